// One backend used from many threads at once: every call succeeds and each
// sees its own answer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/backend/BackendHarness.h"

namespace lumora::testing {
namespace {

TEST(BackendConcurrency, TwoHundredListingsFromSixteenThreads) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.get("/storage/list", [](const httplib::Request& req, httplib::Response& res) {
    std::string prefix = req.get_param_value("prefix");
    res.set_content(
        R"({"entries":[{"key":")" + prefix + R"(f.txt","size":1}],"cursor":")" + prefix + "\"}",
        "application/json");
  });
  constexpr int kThreads = 16, kCalls = 200;
  std::atomic<int> next{0}, correct{0};
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = next++; i < kCalls; i = next++) {
        std::string folder = "mirror/f" + std::to_string(i) + "/";
        auto page = h.backend->list(folder, {});
        if (page && page->entries.size() == 1 && page->entries[0].id == folder + "f.txt" &&
            page->entries[0].parentID == folder && page->nextPage == folder) {
          correct.fetch_add(1);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(correct.load(), kCalls);
  EXPECT_EQ(h.server.requestCount(), static_cast<size_t>(kCalls));
  EXPECT_LE(h.server.connectionCount(), static_cast<size_t>(kThreads) + 2);
}

TEST(BackendConcurrency, ConcurrentDownloadsEachGetTheirOwnBytes) {
  BackendHarness h;
  h.setDefaultsToken("t");
  h.server.get("/storage/download-url", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content(
        R"({"url":")" + h.server.url("/o/" + req.get_param_value("key").substr(7)) + "\"}",
        "application/json");
  });
  h.server.get("/o/(.*)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(req.matches[1]) + std::string(4096, '.'), "text/plain");
  });
  constexpr int kThreads = 8, kEach = 4;
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = "n" + std::to_string(t) + "-" + std::to_string(i);
        backend::Entry entry;
        entry.id = "mirror/" + name;
        fileprovider::Progress progress(100);
        auto path = h.backend->download(entry, progress);
        if (!path) continue;
        std::ifstream in(*path);
        std::string text(std::istreambuf_iterator<char>(in), {});
        if (text == name + std::string(4096, '.') && progress.isFinished()) correct.fetch_add(1);
        std::filesystem::remove(*path);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(correct.load(), kThreads * kEach);
}

}  // namespace
}  // namespace lumora::testing
