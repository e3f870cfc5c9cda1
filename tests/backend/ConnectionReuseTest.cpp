// One session reuses its connections: sequential requests share one, and
// many threads share a small set.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/HttpSession.h"
#include "tests/fixtures/LocalHttpServer.h"

namespace lumora {
namespace {

using testing::LocalHttpServer;
using namespace std::chrono_literals;

TEST(ConnectionReuse, AThousandSequentialRequestsUseAHandfulOfConnections) {
  LocalHttpServer server;
  server.reply("/ping", 200, "pong", "text/plain");
  HttpSession session;
  for (int i = 0; i < 1000; ++i) {
    auto r = session.get(server.url("/ping?i=" + std::to_string(i)), {}, 5s);
    ASSERT_TRUE(r) << r.error().description;
    ASSERT_EQ(r->body, "pong");
  }
  EXPECT_EQ(server.requestCount(), 1000u);
  EXPECT_LE(server.connectionCount(), 3u);
}

TEST(ConnectionReuse, ConcurrentRequestsFromManyThreadsShareConnections) {
  LocalHttpServer server;
  server.reply("/ping", 200, "pong", "text/plain");
  HttpSession session;
  constexpr int kThreads = 16, kEach = 20;
  std::atomic<int> succeeded{0};
  std::mutex failureMutex;
  std::string failure;  // guarded by failureMutex
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        auto r = session.get(server.url("/ping"), {}, 30s);
        if (r && r->status == 200 && r->body == "pong") {
          succeeded.fetch_add(1);
        } else {
          std::lock_guard lock(failureMutex);
          failure = r ? "status " + std::to_string(r->status) : r.error().description;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), kThreads * kEach) << failure;
  EXPECT_LE(server.connectionCount(), static_cast<size_t>(kThreads) + 2);
}

}  // namespace
}  // namespace lumora
