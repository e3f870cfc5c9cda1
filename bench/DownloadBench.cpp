// A 1 GiB download through the backend's `download` beside `curl -s -o FILE`
// on the same local URL, in the same run. Prints ROW lines for scripts/bench.

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "extension/backend/LumoraBackend.h"
#include "platform/foundation/HttpSession.h"
#include "platform/foundation/SharedDefaults.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/TempHome.h"

namespace fs = std::filesystem;
using lumora::testing::LocalHttpServer;

namespace {

constexpr uint64_t kSize = uint64_t{1} << 30;

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  lumora::testing::TempDir work;
  ::setenv("TMPDIR", work.path().c_str(), 1);
  fs::path object = work.path() / "object.bin";
  std::ofstream(object).close();
  fs::resize_file(object, kSize);
  lumora::SharedDefaults(work.path() / "defaults.json")
      .setString(lumora::shared::kAccessTokenDefaultsKey, "bench");

  LocalHttpServer server;
  server.get("/object", [&](const httplib::Request&, httplib::Response& res) {
    LocalHttpServer::streamFile(res, object);
  });
  server.reply("/storage/download-url", 200, R"({"url":")" + server.url("/object") + "\"}");
  auto session = std::make_shared<lumora::HttpSession>();
  lumora::backend::LumoraBackend backend({"bench", "Bench"}, server.baseUrl(), std::nullopt,
                                         work.path() / "defaults.json", session);
  lumora::backend::Entry entry;
  entry.id = "mirror/object.bin";

  double oursBest = 1e9, curlBest = 1e9;
  for (int round = 0; round < 3; ++round) {
    lumora::fileprovider::Progress progress(100);
    auto start = std::chrono::steady_clock::now();
    auto path = backend.download(entry, progress);
    double ours = seconds(start);
    if (!path || fs::file_size(*path) != kSize) {
      std::fprintf(stderr, "download failed\n");
      return 1;
    }
    fs::remove(*path);
    oursBest = std::min(oursBest, ours);

    fs::path copy = work.path() / "curl.bin";
    std::string command = "curl -s -o '" + copy.string() + "' '" + server.url("/object") + "'";
    start = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    double reference = seconds(start);
    if (status != 0 || fs::file_size(copy) != kSize) {
      std::fprintf(stderr, "curl failed\n");
      return 1;
    }
    fs::remove(copy);
    curlBest = std::min(curlBest, reference);
  }
  double mib = static_cast<double>(kSize) / (1 << 20);
  std::printf("ROW\t1 GiB download, local server (MiB/s)\t%.0f\t%.0f\t%.2f\t%s\n", mib / oursBest,
              mib / curlBest, curlBest / oursBest, ">= 0.90 of curl");
  return 0;
}
