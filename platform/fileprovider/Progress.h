#pragma once
// A thread-safe progress object: a total and a completed unit count.

#include <atomic>
#include <cstdint>
#include <memory>

namespace lumora::fileprovider {

class Progress {
 public:
  Progress() = default;  // no units, as the plain constructor
  explicit Progress(int64_t totalUnitCount) : total_(totalUnitCount) {}
  static std::shared_ptr<Progress> withTotalUnitCount(int64_t total) {
    return std::make_shared<Progress>(total);
  }

  int64_t totalUnitCount() const { return total_.load(std::memory_order_acquire); }
  int64_t completedUnitCount() const { return completed_.load(std::memory_order_acquire); }
  void setTotalUnitCount(int64_t value) { total_.store(value, std::memory_order_release); }
  void setCompletedUnitCount(int64_t value) { completed_.store(value, std::memory_order_release); }
  bool isFinished() const { return total_ > 0 && completed_ >= total_; }

 private:
  std::atomic<int64_t> total_{0};
  std::atomic<int64_t> completed_{0};
};

using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace lumora::fileprovider
