#pragma once
// The byte-range headers of ranged downloads: the Range a request sends and
// the Content-Range a partial answer (206) or a refusal (416) carries.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumora::backend {

struct ContentRange {
  // The span sent, inclusive; none in "bytes */N" (a refused range).
  std::optional<uint64_t> first;
  std::optional<uint64_t> last;
  // The whole object's size; none when the host wrote "*".
  std::optional<uint64_t> total;
};

// Parses "bytes A-B/N", "bytes A-B/*" and "bytes */N". None for anything
// else: another unit, B before A, A-B not inside N, numbers that overflow.
std::optional<ContentRange> parseContentRange(std::string_view text);

// "bytes=A-B" for the span [first, endExclusive); endExclusive > first.
std::string rangeHeaderValue(uint64_t first, uint64_t endExclusive);

}  // namespace lumora::backend
