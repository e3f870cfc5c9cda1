// Ranged fetches through the backend's `fetchRange` beside curl making the
// same requests to the same local server, in the same run: for a cold
// object the exact-key listing, the download URL and the ranged GET; for a
// warm one (URL kept) the ranged GET alone. curl's own time_total is summed,
// so its process start is not counted. Prints ROW lines for scripts/bench.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "extension/backend/LumoraBackend.h"
#include "platform/foundation/HttpSession.h"
#include "platform/foundation/SharedDefaults.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/TempHome.h"

using lumora::testing::LocalHttpServer;

namespace {

constexpr uint64_t kLarge = uint64_t{1} << 30;
constexpr uint64_t kMedium = uint64_t{64} << 20;
constexpr int kFiles = 100;

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs curl and sums the time_total it reports for each transfer, so that
// its process start is not counted against it; negative on failure.
double curlSeconds(const std::string& arguments) {
  std::string command = "curl -s -w '%{time_total}\\n' " + arguments;
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return -1;
  double total = 0, one = 0;
  while (std::fscanf(out, "%lf", &one) == 1) total += one;
  return ::pclose(out) == 0 ? total : -1;
}

uint64_t sizeOf(const std::string& key) {
  return key.starts_with("mirror/large") ? kLarge : kMedium;
}

}  // namespace

int main() {
  lumora::testing::TempDir work;
  lumora::SharedDefaults(work.path() / "defaults.json")
      .setString(lumora::shared::kAccessTokenDefaultsKey, "bench");
  std::atomic<uint64_t> sent{0};  // object bytes the host was asked for

  LocalHttpServer server;
  server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    std::string key = req.get_param_value("prefix");
    res.set_content(R"({"entries":[{"key":")" + key + R"(","size":)" + std::to_string(sizeOf(key)) +
                        R"(,"etag":"e1"}]})",
                    "application/json");
  });
  server.get("/storage/download-url", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content(R"({"url":")" + server.url("/objects/" + req.get_param_value("key")) +
                        R"(","expires":4102444800})",
                    "application/json");
  });
  server.get("/objects/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
    uint64_t size = sizeOf(req.matches[1].str());
    for (auto [first, last] : req.ranges) {
      sent += static_cast<uint64_t>(std::min<ssize_t>(last, static_cast<ssize_t>(size) - 1) -
                                    first + 1);
    }
    res.set_header("ETag", "\"e1\"");
    LocalHttpServer::streamPattern(res, size);  // httplib answers the Range
  });
  auto sink = [](uint64_t, const char*, size_t) { return true; };

  // curl's arguments for what a cold read of `key` asks: listing, URL, range.
  auto coldRequests = [&](const std::string& key, const std::string& range) {
    std::string auth = " -H 'Authorization: Bearer bench' --compressed -o /dev/null '";
    return auth + server.url("/storage/list?prefix=" + key + "&exact=1") + "'" + auth +
           server.url("/storage/download-url?key=" + key) + "' -r " + range + " -o /dev/null '" +
           server.url("/objects/" + key) + "'";
  };

  // The first 4 KiB of a cold 1 GiB object.
  double oursFirst = 1e9, curlFirst = 1e9;
  for (int round = 0; round < 5; ++round) {
    // Cold: a new session, so no connection is left from the round before.
    lumora::backend::LumoraBackend backend({"bench", "Bench"}, server.baseUrl(), std::nullopt,
                                           work.path() / "defaults.json",
                                           std::make_shared<lumora::HttpSession>());
    auto start = std::chrono::steady_clock::now();
    auto got = backend.fetchRange("mirror/large.bin", "", {0, 4096}, 4096, sink);
    oursFirst = std::min(oursFirst, seconds(start));
    if (!got || got->range.length != 4096) return std::fprintf(stderr, "fetch failed\n"), 1;
    double reference = curlSeconds(coldRequests("mirror/large.bin", "0-4095"));
    if (reference < 0) return std::fprintf(stderr, "curl failed\n"), 1;
    curlFirst = std::min(curlFirst, reference);
  }
  std::printf(
      "ROW\tfirst 4 KiB of a cold 1 GiB object (ms, vs curl's 3 requests)\t%.2f\t%.2f\t%.2f\t%s\n",
      oursFirst * 1e3, curlFirst * 1e3, oursFirst / curlFirst, "<= 1.50");

  // The first 64 KiB of 100 cold 64 MiB objects.
  lumora::backend::LumoraBackend backend({"bench", "Bench"}, server.baseUrl(), std::nullopt,
                                         work.path() / "defaults.json",
                                         std::make_shared<lumora::HttpSession>());
  sent = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFiles; ++i) {
    auto got = backend.fetchRange("mirror/medium" + std::to_string(i), "", {0, 65536}, 65536, sink);
    if (!got || got->range.length != 65536) return std::fprintf(stderr, "fetch failed\n"), 1;
  }
  double ours = seconds(start);
  double perFile = static_cast<double>(sent.load()) / kFiles / 1024;
  std::string arguments;
  for (int i = 0; i < kFiles; ++i) {
    arguments += coldRequests("mirror/medium" + std::to_string(i), "0-65535");
  }
  double reference = curlSeconds(arguments);
  if (reference < 0) return std::fprintf(stderr, "curl failed\n"), 1;
  std::printf(
      "ROW\tfirst 64 KiB of 100 cold 64 MiB objects (ms, vs curl's 300 "
      "requests)\t%.1f\t%.1f\t%.2f\t%s\n",
      ours * 1e3, reference * 1e3, ours / reference, "<= 1.50");
  std::printf("ROW\tbytes fetched per object for a 64 KiB peek (KiB)\t%.0f\t%.0f\t%.2f\t%s\n",
              perFile, 64.0, perFile / 64.0, "<= 2048 KiB");

  // 100 ranges of one object once its URL is kept: one request each.
  start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < kFiles; ++i) {
    auto got = backend.fetchRange("mirror/medium0", "", {i << 20, 65536}, 65536, sink);
    if (!got) return std::fprintf(stderr, "fetch failed\n"), 1;
  }
  double warm = seconds(start);
  arguments.clear();
  for (uint64_t i = 0; i < kFiles; ++i) {
    arguments += " -r " + std::to_string(i << 20) + "-" + std::to_string((i << 20) + 65535) +
                 " -o /dev/null '" + server.url("/objects/mirror/medium0") + "'";
  }
  reference = curlSeconds(arguments);
  if (reference < 0) return std::fprintf(stderr, "curl failed\n"), 1;
  std::printf(
      "ROW\t100 ranges of 64 KiB, URL kept (ms, vs curl's 100 ranged GETs)\t%.1f\t%.1f\t%.2f\t%s\n",
      warm * 1e3, reference * 1e3, warm / reference, "<= 3.00");
  return 0;
}
