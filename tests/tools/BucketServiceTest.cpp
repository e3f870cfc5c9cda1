// The service in bucket mode against a real S3-compatible store (s3rver),
// seen from a real client: listings, look-ups, presigned URLs, errors and
// several instances sharing one secret.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "tests/fixtures/LocalHttpServer.h"
#include "tests/tools/S3StoreProcess.h"
#include "tools/devservice/DevService.h"

namespace lumora::testing {
namespace {

using json = nlohmann::json;
using devservice::encodeQueryValue;

json body(const httplib::Result& res) {
  return res ? json::parse(res->body, nullptr, false) : json();
}

std::vector<std::string> keys(const json& page) {
  std::vector<std::string> out;
  for (const auto& e : page["entries"]) out.push_back(e["key"]);
  return out;
}

std::string listTarget(const std::string& prefix, const std::string& cursor = "") {
  std::string t = "/storage/list?prefix=" + encodeQueryValue(prefix) + "&delimiter=/";
  return cursor.empty() ? t : t + "&cursor=" + encodeQueryValue(cursor);
}

// Every page of a delimited listing; stops at 50 pages.
std::vector<json> allPages(const ServiceProcess& s, const std::string& prefix) {
  std::vector<json> pages;
  std::string cursor;
  do {
    pages.push_back(body(s.authorizedGet(listTarget(prefix, cursor))));
    cursor = pages.back().value("cursor", "");
  } while (!cursor.empty() && pages.size() < 50);
  return pages;
}

// A store on loopback that takes connections and never answers.
class SilentStore {
 public:
  SilentStore() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), size);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentStore() { ::close(fd_); }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class BucketServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.ready()) << "s3rver did not start; run scripts/install-deps ("
                               << s3StorePackageFolder() << ")";
  }
  ServiceProcess serve(std::vector<std::string> extra = {}) {
    return ServiceProcess(store.storage(std::move(extra)), {}, false);
  }
  std::string download(const ServiceProcess& s, const std::string& key) {
    auto res = s.authorizedGet("/storage/download-url?key=" + encodeQueryValue(key));
    return res && res->status == 200 ? body(res)["url"].get<std::string>() : std::string();
  }

  S3StoreProcess store;
};

TEST_F(BucketServiceTest, PagesCoverAFolderOnceInKeyOrderWithFoldersAsCommonPrefixes) {
  std::set<std::string> expected;
  for (int i = 0; i < 23; ++i) {
    std::string key = "mirror/many/f" + std::string(i < 10 ? "0" : "") + std::to_string(i);
    ASSERT_TRUE(store.putMirror(key, "x"));
    expected.insert(key);
  }
  for (const char* folder : {"mirror/many/d1/", "mirror/many/g2/", "mirror/many/z3/"}) {
    ASSERT_TRUE(store.putMirror(std::string(folder) + "inner.txt", "in"));
    ASSERT_TRUE(store.putMirror(std::string(folder) + "sub/deeper.txt", "in"));
    expected.insert(folder);
  }
  ServiceProcess s = serve({"--page-size", "4"});
  ASSERT_TRUE(s.ready());
  std::vector<std::string> seen;
  auto pages = allPages(s, "mirror/many/");
  for (const json& page : pages) {
    ASSERT_TRUE(page.contains("entries")) << page.dump();
    for (const auto& k : keys(page)) seen.push_back(k);
    if (page.contains("cursor")) {
      // Opaque: neither the store's token nor the bucket's layout shows.
      std::string cursor = page["cursor"];
      EXPECT_TRUE(std::regex_match(cursor, std::regex("[A-Za-z0-9_-]+"))) << cursor;
    }
  }
  EXPECT_GE(pages.size(), 6u);
  EXPECT_FALSE(pages.back().contains("cursor"));
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size());
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), expected);
}

TEST_F(BucketServiceTest, RecordsHaveTheShapesOfTheLocalFolderAndOnlyOurPrefixShows) {
  ASSERT_TRUE(store.putMirror("mirror/a.txt", "hello, world"));
  ASSERT_TRUE(store.putMirror("mirror/docs/report.pdf", std::string(3000, 'p')));
  ASSERT_TRUE(store.putMirror("mirror/docs/sub/deep.txt", "deep"));
  ASSERT_TRUE(store.put(std::string(S3StoreProcess::kKeyPrefix) + "docs/", ""));  // folder marker
  ASSERT_TRUE(store.put("users/u2/elsewhere.txt", "another user's"));
  ServiceProcess s = serve();
  ASSERT_TRUE(s.ready());

  json root = body(s.authorizedGet(listTarget("mirror/")));
  EXPECT_EQ(keys(root), (std::vector<std::string>{"mirror/a.txt", "mirror/docs/"}));
  EXPECT_FALSE(root.contains("cursor"));
  const json& file = root["entries"][0];
  EXPECT_EQ(file["size"], 12);
  EXPECT_EQ(file["dir"], false);
  EXPECT_TRUE(std::regex_match(file["etag"].get<std::string>(), std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(std::regex_match(file["modified"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  const json& folder = root["entries"][1];
  EXPECT_EQ(folder["dir"], true);
  EXPECT_EQ(folder["size"], 0);

  json docs = body(s.authorizedGet(listTarget("mirror/docs/")));
  EXPECT_EQ(keys(docs), (std::vector<std::string>{"mirror/docs/report.pdf", "mirror/docs/sub/"}));
  EXPECT_EQ(docs["entries"][0]["size"], 3000);
  // Without a delimiter: every file below, and no folder records.
  json all = body(s.authorizedGet("/storage/list?prefix=mirror/docs/"));
  EXPECT_EQ(keys(all),
            (std::vector<std::string>{"mirror/docs/report.pdf", "mirror/docs/sub/deep.txt"}));
  json partial = body(s.authorizedGet(listTarget("mirror/do")));
  EXPECT_EQ(keys(partial), (std::vector<std::string>{"mirror/docs/"}));
  EXPECT_EQ(keys(body(s.authorizedGet(listTarget("")))), std::vector<std::string>{"mirror/"});
  EXPECT_TRUE(body(s.authorizedGet(listTarget("users/")))["entries"].empty());
  EXPECT_EQ(s.authorizedGet("/storage/list?prefix=mirror/&delimiter=%7C")->status, 400);
  EXPECT_EQ(s.client()->Get(listTarget("mirror/"))->status, 401);
}

TEST_F(BucketServiceTest, ExactLookUpsAnswerTheOneObjectOrNone) {
  ASSERT_TRUE(store.putMirror("mirror/docs/a.txt", "a"));
  ASSERT_TRUE(store.putMirror("mirror/docs/a.txt.bak", "bak"));
  ASSERT_TRUE(store.putMirror("mirror/docs/a.txt/inside", "inside"));
  ServiceProcess s = serve();
  ASSERT_TRUE(s.ready());
  auto exact = [&](const std::string& key) {
    return body(s.authorizedGet("/storage/list?prefix=" + encodeQueryValue(key) + "&exact=1"));
  };
  json a = exact("mirror/docs/a.txt");
  EXPECT_EQ(keys(a), std::vector<std::string>{"mirror/docs/a.txt"});
  EXPECT_EQ(a["entries"][0]["size"], 1);
  // The same fields as the folder's listing gives.
  json listed = body(s.authorizedGet(listTarget("mirror/docs/")));
  ASSERT_FALSE(listed["entries"].empty());
  EXPECT_EQ(listed["entries"][0], a["entries"][0]);
  EXPECT_TRUE(exact("mirror/docs/a")["entries"].empty());
  EXPECT_TRUE(exact("mirror/docs/")["entries"].empty());
  EXPECT_TRUE(exact("mirror/docs/missing.txt")["entries"].empty());
  EXPECT_TRUE(exact("other/docs/a.txt")["entries"].empty());
}

TEST_F(BucketServiceTest, DownloadUrlsAreTheStoresOwnAndServeRanges) {
  std::string contents;
  for (int i = 0; i < 5000; ++i) contents += static_cast<char>('a' + i % 26);
  ASSERT_TRUE(store.putMirror("mirror/big.bin", contents));
  ServiceProcess s = serve({"--url-lifetime", "120"});
  ASSERT_TRUE(s.ready());
  auto before = std::chrono::system_clock::now();
  auto res = s.authorizedGet("/storage/download-url?key=mirror/big.bin");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  json answer = body(res);
  std::string url = answer["url"];
  ASSERT_TRUE(url.starts_with(store.endpoint() + "/")) << url;
  EXPECT_NE(url.find("X-Amz-Signature="), std::string::npos);
  EXPECT_NE(url.find("X-Amz-Expires=120"), std::string::npos);
  double expires = answer["expires"];
  double now = std::chrono::duration<double>(before.time_since_epoch()).count();
  EXPECT_NEAR(expires, now + 120, 3);

  httplib::Client direct(store.endpoint());
  std::string target = url.substr(store.endpoint().size());
  auto whole = direct.Get(target);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, contents);
  auto range = direct.Get(target, {{"Range", "bytes=1000-1009"}});
  ASSERT_TRUE(range);
  EXPECT_EQ(range->status, 206);
  EXPECT_EQ(range->body, contents.substr(1000, 10));
  // A missing object gets no URL.
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/none.bin")->status, 404);
}

TEST_F(BucketServiceTest, TheStoreRefusesADownloadUrlOnceItExpired) {
  ASSERT_TRUE(store.putMirror("mirror/a.txt", "short-lived"));
  ServiceProcess s = serve({"--url-lifetime", "1"});
  ASSERT_TRUE(s.ready());
  auto res = s.authorizedGet("/storage/download-url?key=mirror/a.txt");
  ASSERT_TRUE(res && res->status == 200);
  json answer = body(res);
  std::string target = answer["url"].get<std::string>().substr(store.endpoint().size());
  httplib::Client direct(store.endpoint());
  EXPECT_EQ(direct.Get(target)->body, "short-lived");
  // The store's clock has whole seconds: wait until the second after expiry.
  auto expiry = std::chrono::system_clock::time_point(
      std::chrono::seconds(static_cast<std::int64_t>(answer["expires"].get<double>()) + 1));
  std::this_thread::sleep_until(expiry + std::chrono::milliseconds(50));
  auto late = direct.Get(target);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, 403);
  EXPECT_NE(late->body.find("expired"), std::string::npos);
}

TEST_F(BucketServiceTest, KeysWithSpacesAndReservedCharactersRoundTrip) {
  const std::string key = "mirror/odd dir/a b+c&d=e?f#g%h;é'(1).txt";
  ASSERT_TRUE(store.putMirror(key, "odd contents"));
  ServiceProcess s = serve();
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(keys(body(s.authorizedGet(listTarget("mirror/")))),
            std::vector<std::string>{"mirror/odd dir/"});
  json folder = body(s.authorizedGet(listTarget("mirror/odd dir/")));
  EXPECT_EQ(keys(folder), std::vector<std::string>{key});
  json exact = body(s.authorizedGet("/storage/list?prefix=" + encodeQueryValue(key) + "&exact=1"));
  EXPECT_EQ(keys(exact), std::vector<std::string>{key});
  std::string url = download(s, key);
  ASSERT_FALSE(url.empty());
  auto fetched = httplib::Client(store.endpoint()).Get(url.substr(store.endpoint().size()));
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched->body, "odd contents");
}

TEST_F(BucketServiceTest, KeysThatCannotBeOursAreRefused) {
  ServiceProcess s = serve();
  ASSERT_TRUE(s.ready());
  for (const char* key : {"mirror/a/../b.txt", "mirror/./b.txt", "mirror//b.txt"}) {
    EXPECT_EQ(s.authorizedGet("/storage/download-url?key=" + encodeQueryValue(key))->status, 400)
        << key;
    EXPECT_EQ(s.authorizedGet("/storage/list?prefix=" + encodeQueryValue(key) + "&exact=1")->status,
              400)
        << key;
  }
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/a//"))->status, 400);
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/../"))->status, 400);
  EXPECT_EQ(s.authorizedGet("/storage/download-url?key=mirror/" + std::string(1100, 'k'))->status,
            400);
  EXPECT_EQ(s.authorizedGet("/storage/download-url")->status, 400);
}

TEST_F(BucketServiceTest, ForgedOrMisplacedCursorsAreRefused) {
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(store.putMirror("mirror/f" + std::to_string(i), "x"));
  ASSERT_TRUE(store.putMirror("mirror/docs/a", "x"));
  ServiceProcess s = serve({"--page-size", "2"});
  ASSERT_TRUE(s.ready());
  std::string cursor = body(s.authorizedGet(listTarget("mirror/"))).value("cursor", "");
  ASSERT_FALSE(cursor.empty());
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/", cursor))->status, 200);
  std::string altered = cursor;
  altered[5] = altered[5] == 'A' ? 'B' : 'A';
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/", altered))->status, 400);
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/docs/", cursor))->status, 400);
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/", "bWlycm9yL2Yx"))->status, 400);
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/", "**"))->status, 400);
}

TEST_F(BucketServiceTest, AStoreThatFailsDeniesOrHangsIsAnErrorNeverAHalfPage) {
  LocalHttpServer failing;
  failing.get(".*", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("<Error><Code>InternalError</Code></Error>", "application/xml");
  });
  auto asStore = [&](const std::string& endpoint, std::vector<std::string> credentials) {
    ServiceStorage storage = store.storage({"--s3-timeout", "1"});
    storage.options[1] = endpoint;
    if (!credentials.empty()) storage.env = std::move(credentials);
    return ServiceProcess(storage, {}, false);
  };
  ServiceProcess broken = asStore(failing.baseUrl(), {});
  ASSERT_TRUE(broken.ready());
  auto res = broken.authorizedGet(listTarget("mirror/"));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 502);
  EXPECT_FALSE(body(res).contains("entries"));
  EXPECT_EQ(broken.authorizedGet("/storage/download-url?key=mirror/a")->status, 502);
  // The store was asked with a SigV4 signature.
  ASSERT_FALSE(failing.requests().empty());
  EXPECT_TRUE(failing.requests()
                  .front()
                  .header("Authorization")
                  .value_or("")
                  .starts_with("AWS4-HMAC-SHA256 Credential=S3RVER/"));

  ServiceProcess denied =
      asStore(store.endpoint(), {"AWS_ACCESS_KEY_ID=UNKNOWN", "AWS_SECRET_ACCESS_KEY=nope"});
  ASSERT_TRUE(denied.ready());
  auto refused = denied.authorizedGet(listTarget("mirror/"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 502);
  EXPECT_NE(refused->body.find("InvalidAccessKeyId"), std::string::npos);

  SilentStore silent;
  ServiceProcess waiting = asStore(silent.endpoint(), {});
  ASSERT_TRUE(waiting.ready());
  auto start = std::chrono::steady_clock::now();
  auto timedOut = waiting.authorizedGet(listTarget("mirror/"));
  ASSERT_TRUE(timedOut);
  EXPECT_EQ(timedOut->status, 504);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(BucketServiceTest, ListingsAreAskedUrlEncodedAndADocumentTypeIsRefused) {
  // s3rver ignores encoding-type, so a canned store answers as S3 does.
  LocalHttpServer canned;
  canned.get(".*", [](const httplib::Request& req, httplib::Response& res) {
    const std::string head = "<ListBucketResult><IsTruncated>false</IsTruncated>";
    if (req.get_param_value("prefix").ends_with("typed/")) {
      res.set_content("<!DOCTYPE x [<!ENTITY k \"users/u1/typed/k\">]>" + head +
                          "<Contents><Key>&k;</Key><Size>1</Size></Contents></ListBucketResult>",
                      "application/xml");
    } else {
      res.set_content(head +
                          "<EncodingType>url</EncodingType><Contents><Key>users/u1/"
                          "a%01b%1F+c%2B</Key><Size>1</Size></Contents></ListBucketResult>",
                      "application/xml");
    }
  });
  ServiceStorage storage = store.storage();
  storage.options[1] = canned.baseUrl();
  ServiceProcess s(storage, {}, false);
  ASSERT_TRUE(s.ready());
  auto listed = body(s.authorizedGet(listTarget("mirror/")));
  EXPECT_EQ(keys(listed), std::vector<std::string>{"mirror/a\x01"
                                                   "b\x1f c+"});
  ASSERT_FALSE(canned.requests().empty());
  EXPECT_EQ(canned.requests().front().queryValue("encoding-type"), "url");
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/typed/"))->status, 502);
}

TEST_F(BucketServiceTest, CredentialsAreReadAgainWhenTheirSessionExpired) {
  // A store that takes only the session token "fresh", as S3 refuses an expired one.
  LocalHttpServer canned;
  canned.get(".*", [](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("x-amz-security-token") != "fresh") {
      res.status = 400;
      res.set_content("<Error><Code>ExpiredToken</Code></Error>", "application/xml");
      return;
    }
    res.set_content("<ListBucketResult><IsTruncated>false</IsTruncated></ListBucketResult>",
                    "application/xml");
  });
  TempDir folder;
  auto write = [&](const char* token) {
    std::ofstream(folder.path() / "credentials")
        << "[default]\naws_access_key_id = K\naws_secret_access_key = S\naws_session_token = "
        << token << "\n";
  };
  write("stale");
  ServiceStorage storage =
      store.storage({"--s3-credentials", (folder.path() / "credentials").string()});
  storage.options[1] = canned.baseUrl();
  ServiceProcess s(storage, {}, false);
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/"))->status, 502);
  write("fresh");
  EXPECT_EQ(s.authorizedGet(listTarget("mirror/"))->status, 200);
}

TEST_F(BucketServiceTest, InstancesSharingASecretAcceptEachOthersTokensAndCursors) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(store.putMirror("mirror/f" + std::to_string(i), "x"));
  TempDir secrets;
  std::ofstream(secrets.path() / "secret") << std::string(40, 'q') << "\n";
  std::string secretFile = (secrets.path() / "secret").string();
  ServiceProcess a = serve({"--secret-file", secretFile, "--page-size", "2"});
  ServiceProcess b = serve({"--secret-file", secretFile, "--page-size", "2"});
  ServiceProcess alone = serve({"--page-size", "2"});
  ServiceProcess otherPrefix = serve({"--secret-file", secretFile, "--key-prefix", "elsewhere/"});
  ASSERT_TRUE(a.ready() && b.ready() && alone.ready() && otherPrefix.ready());
  std::string cursor = body(a.authorizedGet(listTarget("mirror/"))).value("cursor", "");
  ASSERT_FALSE(cursor.empty());
  auto bearer = [](const ServiceProcess& s) {
    return httplib::Headers{{"Authorization", "Bearer " + s.token()}};
  };
  auto next = b.client()->Get(listTarget("mirror/", cursor), bearer(a));
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200);
  EXPECT_EQ(keys(body(next)), (std::vector<std::string>{"mirror/f2", "mirror/f3"}));
  // An instance with a secret of its own knows neither; one over other keys
  // refuses the token.
  EXPECT_EQ(alone.client()->Get(listTarget("mirror/"), bearer(a))->status, 401);
  EXPECT_EQ(otherPrefix.client()->Get(listTarget("mirror/"), bearer(a))->status, 401);
  EXPECT_EQ(alone.authorizedGet(listTarget("mirror/", cursor))->status, 400);
  // The same secret over another prefix of the bucket is another store.
  ServiceProcess other = serve({"--secret-file", secretFile, "--key-prefix", "users/u2/"});
  ASSERT_TRUE(other.ready());
  EXPECT_EQ(other.authorizedGet(listTarget("mirror/"))->status, 200);
  EXPECT_EQ(other.authorizedGet(listTarget("mirror/", cursor))->status, 400);
}

TEST_F(BucketServiceTest, CredentialsComeFromAFileAndNeverReachTheLog) {
  ASSERT_TRUE(store.putMirror("mirror/a.txt", "a"));
  TempDir folder;
  const std::string secret = "never-log-this-secret-4242";
  std::ofstream(folder.path() / "credentials")
      << "[default]\naws_access_key_id = S3RVER\naws_secret_access_key = " << secret << "\n";
  ServiceStorage storage =
      store.storage({"--s3-credentials", (folder.path() / "credentials").string(), "--log"});
  storage.env = {"AWS_ACCESS_KEY_ID=", "AWS_SECRET_ACCESS_KEY="};
  ServiceProcess s(storage, {}, false);
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(keys(body(s.authorizedGet(listTarget("mirror/")))),
            std::vector<std::string>{"mirror/a.txt"});
  EXPECT_FALSE(download(s, "mirror/a.txt").empty());
  s.stop();
  EXPECT_NE(s.errors().find("/storage/list"), std::string::npos);
  EXPECT_EQ(s.errors().find(secret), std::string::npos);

  // No credentials at all: the service says so and does not start.
  ServiceStorage none = store.storage();
  none.env = {"AWS_ACCESS_KEY_ID=", "AWS_SECRET_ACCESS_KEY="};
  ServiceProcess refused(none, {}, false);
  EXPECT_FALSE(refused.ready());
  ProcessResult result = refused.stop();
  EXPECT_NE(result.exitCode, 0);
  EXPECT_NE(result.err.find("AWS_ACCESS_KEY_ID"), std::string::npos);
}

}  // namespace
}  // namespace lumora::testing
