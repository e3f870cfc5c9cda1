#include "platform/foundation/Executor.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

namespace lumora {
namespace {

TEST(Executor, RunsManyBlockingTasksConcurrentlyAndSurvivesThrowingTasks) {
  ASSERT_GE(sharedExecutorThreadCount(), 16u);
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  int finished = 0;
  constexpr int kTasks = 16;
  runDetached([] { throw 42; });
  for (int i = 0; i < kTasks; ++i) {
    runDetached([&] {
      std::unique_lock lock(mutex);
      ++started;
      changed.notify_all();
      // Every task waits for all the others: only passes if they run at once.
      changed.wait(lock, [&] { return started == kTasks; });
      ++finished;
      changed.notify_all();
    });
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished == kTasks; }));
}

}  // namespace
}  // namespace lumora
