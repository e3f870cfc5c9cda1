#pragma once
// How the object route answers conditional and paced requests: the
// If-Match and If-Range checks against an object's version, its
// Last-Modified date, and the pacing of bodies in the slow mode.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace lumora::devservice {

// An HTTP date ("Mon, 06 May 2024 10:00:00 GMT") for a time in seconds.
std::string httpDate(std::time_t seconds);

// If-Match: true when the header is absent, "*", or names `etag` among its
// tags (strong comparison: a weak tag never matches).
bool ifMatchAccepts(std::string_view header, std::string_view etag);

// If-Range: true when the header is absent or names the current version,
// by its ETag (strong) or by its exact Last-Modified date; a range asked
// under any other version is answered with the whole object.
bool ifRangeStands(std::string_view header, std::string_view etag, std::string_view lastModified);

// Hands out a body in pieces at a set rate: each piece is due once the
// bytes before it have taken their share of time.
class Pacer {
 public:
  explicit Pacer(std::uint64_t bytesPerSecond) : rate_(bytesPerSecond) {}
  // The size of the next piece (a twentieth of a second's worth).
  std::size_t pieceSize(std::size_t available) const;
  // Waits until a piece of `size` bytes is due, then counts it as sent.
  void awaitTurn(std::size_t size);

 private:
  const std::uint64_t rate_;
  std::uint64_t sent_ = 0;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace lumora::devservice
