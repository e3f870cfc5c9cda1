#pragma once
// Time for the daemon's retries in tests: a pause only moves this clock on,
// so that a test sees every attempt without waiting for the backoff.

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/fileprovider/linux/driver/Retry.h"

namespace lumora::testing {

class RetryTime {
 public:
  std::chrono::steady_clock::time_point now() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(elapsed_.load()));
  }
  void sleep(std::chrono::steady_clock::duration pause) {
    elapsed_ += std::chrono::duration_cast<std::chrono::nanoseconds>(pause).count();
    ++pauses_;
  }
  std::chrono::steady_clock::duration elapsed() const {
    return std::chrono::nanoseconds(elapsed_.load());
  }
  int pauses() const { return pauses_.load(); }

  // A retry policy that keeps to this clock.
  std::shared_ptr<fuse::Retry> retry(fuse::RetryLimits limits = {}, uint64_t seed = 1) {
    return std::make_shared<fuse::Retry>(
        limits, [this] { return now(); }, [this](auto pause) { sleep(pause); }, seed);
  }

 private:
  std::atomic<int64_t> elapsed_{0};
  std::atomic<int> pauses_{0};
};

}  // namespace lumora::testing
