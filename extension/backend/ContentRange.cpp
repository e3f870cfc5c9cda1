#include "extension/backend/ContentRange.h"

#include <cctype>
#include <charconv>

namespace lumora::backend {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Digits only: from_chars alone would take a sign or leave text behind.
std::optional<uint64_t> number(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ContentRange> parseContentRange(std::string_view text) {
  text = trim(text);
  constexpr std::string_view kUnit = "bytes";
  if (text.size() <= kUnit.size() || text[kUnit.size()] != ' ') return std::nullopt;
  for (size_t i = 0; i < kUnit.size(); ++i) {
    // The unit's case does not matter; ASCII letters only, so no other byte
    // passes for one.
    if (std::tolower(static_cast<unsigned char>(text[i])) != kUnit[i]) return std::nullopt;
  }
  text = trim(text.substr(kUnit.size() + 1));
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view span = text.substr(0, slash);
  std::string_view total = text.substr(slash + 1);

  ContentRange range;
  if (total != "*") {
    range.total = number(total);
    if (!range.total) return std::nullopt;
  }
  if (span == "*") {
    if (!range.total) return std::nullopt;  // "bytes */*" says nothing
    return range;
  }
  size_t dash = span.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  range.first = number(span.substr(0, dash));
  range.last = number(span.substr(dash + 1));
  if (!range.first || !range.last || *range.last < *range.first) return std::nullopt;
  if (range.total && *range.last >= *range.total) return std::nullopt;
  return range;
}

std::string rangeHeaderValue(uint64_t first, uint64_t endExclusive) {
  return "bytes=" + std::to_string(first) + "-" + std::to_string(endExclusive - 1);
}

}  // namespace lumora::backend
