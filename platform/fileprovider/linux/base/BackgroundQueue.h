#pragma once
// A few threads of its own working through a bounded first-in first-out
// queue of keys, meant to be short. A key already waiting is not queued twice
// (a search of the queue tells). The threads start with the first key; when
// the queue goes, what still waits is dropped and the work under way is
// waited for.

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumora::fuse {

template <class Key>
class BackgroundQueue {
 public:
  BackgroundQueue(unsigned threads, size_t capacity, std::function<void(const Key&)> work)
      : threadCount_(threads), capacity_(capacity), work_(std::move(work)) {}
  BackgroundQueue(const BackgroundQueue&) = delete;
  BackgroundQueue& operator=(const BackgroundQueue&) = delete;

  ~BackgroundQueue() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      waiting_.clear();
    }
    ready_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  // False when the key already waits or the queue is full.
  bool push(const Key& key) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || waiting_.size() >= capacity_) return false;
      if (std::find(waiting_.begin(), waiting_.end(), key) != waiting_.end()) return false;
      waiting_.push_back(key);
      if (threads_.empty()) {
        for (unsigned i = 0; i < threadCount_; ++i) threads_.emplace_back([this] { run(); });
      }
    }
    ready_.notify_one();
    return true;
  }

 private:
  void run() {
    for (;;) {
      Key key;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        key = std::move(waiting_.front());
        waiting_.pop_front();
      }
      try {
        work_(key);
      } catch (...) {
        // Background work is a guess at what is wanted next; its failure
        // only means the kernel's request will do the work itself.
      }
    }
  }

  const unsigned threadCount_;
  const size_t capacity_;
  const std::function<void(const Key&)> work_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Key> waiting_;           // protected by mutex_
  bool stopping_ = false;             // protected by mutex_
  std::vector<std::thread> threads_;  // started under mutex_, joined by the destructor
};

}  // namespace lumora::fuse
