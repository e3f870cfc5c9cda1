// The backend's download: a download URL from the API, then the object
// from the storage host into a private temporary file that nobody else
// could have made, and that never outlives a failure.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/backend/BackendHarness.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using backend::Entry;

// Points the temporary folder at a fresh, empty one for one test.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* saved = std::getenv("TMPDIR");
    if (saved) savedTmp_ = saved;
    ::setenv("TMPDIR", tmp_.path().c_str(), 1);
    h_.setDefaultsToken("api-token");
    h_.server.get(
        "/storage/download-url", [this](const httplib::Request& req, httplib::Response& res) {
          std::string key = req.get_param_value("key");
          std::string body = downloadBody_.empty()
                                 ? R"({"url":")" + h_.server.url("/objects/" + key.substr(7)) +
                                       R"(","expires":1714557600})"
                                 : downloadBody_;
          res.set_content(body, "application/json");
        });
  }
  void TearDown() override {
    if (savedTmp_) {
      ::setenv("TMPDIR", savedTmp_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

  size_t filesLeft() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(tmp_.path()), {}));
  }
  static Entry fileEntry(std::string key) {
    Entry e;
    e.id = std::move(key);
    return e;
  }

  TempDir tmp_;  // outlives the harness, whose server writes nothing here
  std::optional<std::string> savedTmp_;
  BackendHarness h_;
  std::string downloadBody_;  // set before a request; read by the server's thread after
};

TEST_F(DownloadTest, FetchesTheObjectIntoAPrivateFileWithoutTheToken) {
  h_.server.get("/objects/docs/a.txt", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello, contents", "text/plain");
  });
  fileprovider::Progress progress(100);
  auto path = h_.backend->download(fileEntry("mirror/docs/a.txt"), progress);
  ASSERT_TRUE(path) << path.error().description;

  auto api = h_.server.requestsTo("/storage/download-url").at(0);
  EXPECT_EQ(api.query, (NameValues{{"key", "mirror/docs/a.txt"}}));
  EXPECT_EQ(api.header("Authorization"), "Bearer api-token");
  auto fetch = h_.server.requestsTo("/objects/docs/a.txt").at(0);
  EXPECT_FALSE(fetch.header("Authorization"));

  EXPECT_EQ(path->parent_path(), tmp_.path());
  struct stat st {};
  ASSERT_EQ(::stat(path->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream in(*path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "hello, contents");
  EXPECT_EQ(progress.completedUnitCount(), 100);
  EXPECT_EQ(filesLeft(), 1u);

  // A folder given to the backend takes its downloads instead.
  TempDir own;
  backend::LumoraBackend explicitFolder(h_.backend->domain(), h_.server.baseUrl(), h_.container(),
                                        h_.defaultsFile(), h_.session, own.path());
  auto placed = explicitFolder.download(fileEntry("mirror/docs/a.txt"), progress);
  ASSERT_TRUE(placed) << placed.error().description;
  EXPECT_EQ(placed->parent_path(), own.path());
}

TEST_F(DownloadTest, ExpiresOfAnyFormDownloadsTheSame) {
  h_.server.reply("/o", 200, "x", "text/plain");
  for (std::string expires :
       {"", R"(,"expires":null)", R"(,"expires":-1.5e300)", R"(,"expires":0)"}) {
    downloadBody_ = R"({"url":")" + h_.server.url("/o") + "\"" + expires + "}";
    fileprovider::Progress progress(100);
    auto path = h_.backend->download(fileEntry("mirror/o"), progress);
    ASSERT_TRUE(path) << expires;
    fs::remove(*path);
  }
}

TEST_F(DownloadTest, FailuresLeaveNoFileAndTheProgressUntouched) {
  h_.server.reply("/objects/forbidden", 403, "<Error>AccessDenied</Error>", "application/xml");
  h_.server.reply("/objects/broken", 500, "boom", "text/plain");
  h_.server.get("/objects/cut", [](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamPattern(res, 4'000'000, 1'000'000);
  });
  struct Case {
    std::string key;
    std::string body;
    std::string domain;
    long code;
  };
  const long unreachable = fileprovider::kErrorServerUnreachable;
  std::vector<Case> cases{
      {"mirror/forbidden", "", kFileProviderErrorDomain, unreachable},
      {"mirror/broken", "", kFileProviderErrorDomain, unreachable},
      {"mirror/cut", "", kTransferErrorDomain, static_cast<long>(TransferError::connectionLost)},
      {"mirror/x", R"({"expires":5})", kDecodingErrorDomain, 2},
      {"mirror/x", R"({"url":""})", kFileProviderErrorDomain, unreachable},
      {"mirror/x", R"({"url":"file:///etc/hostname"})", kFileProviderErrorDomain, unreachable},
  };
  for (const Case& c : cases) {
    downloadBody_ = c.body;
    fileprovider::Progress progress(100);
    auto result = h_.backend->download(fileEntry(c.key), progress);
    ASSERT_FALSE(result) << c.key << " " << c.body;
    EXPECT_EQ(result.error().domain, c.domain) << c.key << " " << c.body;
    EXPECT_EQ(result.error().code, c.code) << result.error().description;
    EXPECT_EQ(progress.completedUnitCount(), 0);
    EXPECT_EQ(filesLeft(), 0u) << c.key;
  }

  ::setenv("TMPDIR", "/nonexistent/lumora", 1);
  fileprovider::Progress progress(100);
  downloadBody_ = R"({"url":")" + h_.server.url("/objects/forbidden") + "\"}";
  auto noFolder = h_.backend->download(fileEntry("mirror/forbidden"), progress);
  ASSERT_FALSE(noFolder);
  EXPECT_EQ(noFolder.error().domain, kPosixErrorDomain);
}

TEST_F(DownloadTest, AGibibyteObjectNeedsLittleMemory) {
  constexpr uint64_t kSize = uint64_t{1} << 30;
  fs::path sparse = h_.folder.path() / "sparse.bin";
  {
    std::ofstream(sparse).close();
    fs::resize_file(sparse, kSize);  // a hole: no disk blocks on the server side
  }
  h_.server.get("/objects/big", [sparse](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamFile(res, sparse);
  });
  // Reset the peak so it measures this download alone.
  std::ofstream("/proc/self/clear_refs") << "5";
  long before = statusKiB("VmRSS:");
  fileprovider::Progress progress(100);
  auto path = h_.backend->download(fileEntry("mirror/big"), progress);
  ASSERT_TRUE(path) << path.error().description;
  long peak = statusKiB("VmHWM:");
  EXPECT_EQ(fs::file_size(*path), kSize);
  EXPECT_LT(peak - before, 32 * 1024) << "peak " << peak << " KiB, before " << before << " KiB";
  fs::remove(*path);
}

}  // namespace
}  // namespace lumora::testing
