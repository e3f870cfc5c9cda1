#pragma once
// An owned file descriptor: closed when its owner goes, movable, never
// copied, so that no early return leaks one and none is closed twice.

#include <unistd.h>

#include <utility>

#include "platform/foundation/Error.h"

namespace lumora {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; this owner then holds none.
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

// A pipe whose ends close on exec: a child gets only the copies it is given.
Result<PipeEnds> makePipe();

}  // namespace lumora
