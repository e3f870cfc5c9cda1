#include "platform/foundation/Executor.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace lumora {

namespace {

class ThreadPool {
 public:
  explicit ThreadPool(unsigned count) {
    workers_.reserve(count);
    for (unsigned i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The pool lives for the whole process: workers are detached at exit so a
  // task blocked on the network never holds up process shutdown.
  ~ThreadPool() {
    for (auto& worker : workers_) worker.detach();
  }

  void post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(task));
    }
    ready_.notify_one();
  }

  unsigned size() const { return static_cast<unsigned>(workers_.size()); }

 private:
  void work() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      try {
        task();
      } catch (...) {
        // A task's failure must not take the worker, or the process, down.
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;  // protected by mutex_
  std::vector<std::thread> workers_;         // written only by the constructor
};

ThreadPool& sharedPool() {
  // Never destroyed: worker threads may still be running during static
  // destruction, and they reference the pool.
  static ThreadPool* pool =
      new ThreadPool(std::max(32u, 4 * std::max(1u, std::thread::hardware_concurrency())));
  return *pool;
}

}  // namespace

void runDetached(std::function<void()> task) {
  sharedPool().post(std::move(task));
}

unsigned sharedExecutorThreadCount() {
  return sharedPool().size();
}

}  // namespace lumora
