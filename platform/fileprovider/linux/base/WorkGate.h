#pragma once
// How many of one kind of background work run at once: few while each
// piece is quick, more once they take long. Work that mostly waits for a
// far service (a listing, a fetch of a small file) goes faster with more at
// once; work that a near service answers at once mostly uses the processor,
// and more at once would only slow the reader it is meant to help.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumora::fuse {

// Background work that takes this long on average shows a far service.
inline constexpr std::chrono::milliseconds kSlowBackgroundWork{5};

class WorkGate {
 public:
  using Duration = std::chrono::steady_clock::duration;
  // `narrow` at once until the pieces take `slow` or longer on average
  // (over about the last eight), then `wide`.
  WorkGate(unsigned narrow, unsigned wide, Duration slow)
      : narrow_(narrow), wide_(wide), slow_(slow) {}
  WorkGate(const WorkGate&) = delete;
  WorkGate& operator=(const WorkGate&) = delete;

  // Runs `work` in its turn; it returns whether it did anything, and only
  // then does its time count. False, without running it, once closed.
  template <class Work>
  bool run(Work&& work) {
    {
      std::unique_lock lock(mutex_);
      turn_.wait(lock, [&] { return closed_ || running_ < widthLocked(); });
      if (closed_) return false;
      ++running_;
    }
    auto started = std::chrono::steady_clock::now();
    bool did = false;
    try {
      did = work();
    } catch (...) {
      leave(false, {});
      throw;
    }
    leave(did, std::chrono::steady_clock::now() - started);
    return true;
  }

  // Those waiting for a turn give up; what runs goes on.
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    turn_.notify_all();
  }

  unsigned width() const {
    std::lock_guard lock(mutex_);
    return widthLocked();
  }

 private:
  unsigned widthLocked() const { return typical_ >= slow_ ? wide_ : narrow_; }
  void leave(bool counts, Duration took) {
    {
      std::lock_guard lock(mutex_);
      --running_;
      if (counts) typical_ += (took - typical_) / 8;
    }
    turn_.notify_all();
  }

  const unsigned narrow_;
  const unsigned wide_;
  const Duration slow_;
  mutable std::mutex mutex_;
  std::condition_variable turn_;
  unsigned running_ = 0;  // protected by mutex_
  Duration typical_{};    // protected by mutex_
  bool closed_ = false;   // protected by mutex_
};

}  // namespace lumora::fuse
