// The daemon's background queue: order, no key twice, a bound, and an end
// that waits for the work under way.

#include "platform/fileprovider/linux/base/BackgroundQueue.h"
#include "platform/fileprovider/linux/base/WorkGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/fixtures/Wait.h"

namespace lumora::fuse {
namespace {

TEST(BackgroundQueueTest, KeysWaitingAreNotQueuedTwiceAndTheQueueIsBounded) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> started;
  std::mutex mutex;
  std::vector<int> done;
  {
    BackgroundQueue<int> queue(1, 2, [&](const int& key) {
      if (key == 0) {
        started.set_value();
        released.wait();
      }
      std::lock_guard lock(mutex);
      done.push_back(key);
    });
    ASSERT_TRUE(queue.push(0));
    started.get_future().wait();  // the only thread is busy with 0
    EXPECT_TRUE(queue.push(1));
    EXPECT_FALSE(queue.push(1));  // already waiting
    EXPECT_TRUE(queue.push(2));
    EXPECT_FALSE(queue.push(3));  // two wait: full
    release.set_value();
    testing::waitUntil(
        [&] {
          std::lock_guard lock(mutex);
          return done.size() == 3;
        },
        std::chrono::seconds(5));
    // Once taken off the queue, a key may come again.
    EXPECT_TRUE(queue.push(1));
  }
  ASSERT_GE(done.size(), 3u);
  EXPECT_EQ((std::vector<int>(done.begin(), done.begin() + 3)), (std::vector<int>{0, 1, 2}));
}

TEST(BackgroundQueueTest, TheEndWaitsForWorkUnderWayAndDropsWhatWaits) {
  std::atomic<int> finished{0};
  std::promise<void> started;
  {
    BackgroundQueue<int> queue(1, 8, [&](const int& key) {
      if (key == 0) {
        started.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      ++finished;
    });
    queue.push(0);
    started.get_future().wait();
    queue.push(1);
    queue.push(2);
  }
  EXPECT_EQ(finished.load(), 1);  // 0 ran to its end; 1 and 2 were dropped
}

TEST(BackgroundQueueTest, AFailingKeyDoesNotStopTheQueue) {
  std::promise<void> second;
  BackgroundQueue<int> queue(1, 8, [&](const int& key) {
    if (key == 1) throw std::runtime_error("no");
    second.set_value();
  });
  queue.push(1);
  queue.push(2);
  EXPECT_EQ(second.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(WorkGateTest, MoreRunAtOnceOnlyOnceThePiecesTakeLong) {
  using std::chrono::milliseconds;
  WorkGate gate(2, 6, milliseconds(5));
  std::mutex mutex;
  unsigned running = 0, most = 0;
  // Twelve pieces at once, each taking `pause`; the most seen running.
  auto burst = [&](milliseconds pause, bool counts) {
    most = 0;
    std::vector<std::thread> threads;
    threads.reserve(12);
    for (int i = 0; i < 12; ++i) {
      threads.emplace_back([&, pause, counts] {
        gate.run([&] {
          {
            std::lock_guard lock(mutex);
            most = std::max(most, ++running);
          }
          std::this_thread::sleep_for(pause);
          std::lock_guard lock(mutex);
          --running;
          return counts;
        });
      });
    }
    for (auto& thread : threads) thread.join();
    return most;
  };
  EXPECT_LE(burst(milliseconds(1), true), 2u);
  // Slow, but pieces that did nothing do not count.
  EXPECT_LE(burst(milliseconds(20), false), 2u);
  burst(milliseconds(20), true);
  EXPECT_EQ(gate.width(), 6u);
  // Long enough that all twelve threads have started while six run, also in
  // a sanitised build on a busy machine.
  EXPECT_EQ(burst(milliseconds(200), true), 6u);
  gate.close();
  EXPECT_FALSE(gate.run([] { return true; }));
}

}  // namespace
}  // namespace lumora::fuse
