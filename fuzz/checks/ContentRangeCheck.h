#pragma once
// The Content-Range reader accepts exactly the three forms a ranged answer
// may carry, with sound numbers, and yields the numbers written.

#include <cerrno>
#include <cstdlib>
#include <regex>

#include "extension/backend/ContentRange.h"
#include "fuzz/checks/Property.h"

namespace lumora::fuzz {

// Written apart from the reader: a pattern for the shape, strtoull for the
// numbers. Empty when the text is not sound.
struct ReferenceRange {
  bool sound = false;
  std::optional<uint64_t> first, last, total;
};

inline std::optional<uint64_t> referenceNumber(const std::string& digits) {
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return static_cast<uint64_t>(value);
}

inline ReferenceRange referenceRange(std::string_view text) {
  static const std::regex shape(
      R"(^[ \t]*[Bb][Yy][Tt][Ee][Ss] [ \t]*(\*|([0-9]+)-([0-9]+))/(\*|[0-9]+)[ \t]*$)");
  ReferenceRange out;
  std::string owned(text);
  if (owned.find('\0') != std::string::npos) return out;
  std::smatch m;
  if (!std::regex_match(owned, m, shape)) return out;
  if (m[4] != "*") {
    out.total = referenceNumber(m[4]);
    if (!out.total) return out;
  }
  if (m[1] == "*") {
    out.sound = out.total.has_value();
    return out;
  }
  out.first = referenceNumber(m[2]);
  out.last = referenceNumber(m[3]);
  if (!out.first || !out.last || *out.last < *out.first) return out;
  if (out.total && *out.last >= *out.total) return out;
  out.sound = true;
  return out;
}

inline std::string checkContentRange(std::string_view text) {
  auto ours = backend::parseContentRange(text);
  ReferenceRange reference = referenceRange(text);
  LUMORA_PROPERTY(ours.has_value() == reference.sound,
                  reference.sound ? "refused a sound Content-Range" : "accepted an unsound one");
  if (!ours) return {};
  LUMORA_PROPERTY(ours->first == reference.first, "another first byte");
  LUMORA_PROPERTY(ours->last == reference.last, "another last byte");
  LUMORA_PROPERTY(ours->total == reference.total, "another total");
  LUMORA_PROPERTY(ours->first.has_value() == ours->last.has_value(), "half a span");
  return {};
}

}  // namespace lumora::fuzz
