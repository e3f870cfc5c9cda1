#include "tools/devservice/ObjectConditions.h"

#include <algorithm>
#include <thread>

namespace lumora::devservice {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string httpDate(std::time_t seconds) {
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  // Fixed English names: the date's format does not follow the locale.
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

bool ifMatchAccepts(std::string_view header, std::string_view etag) {
  header = trim(header);
  if (header.empty() || header == "*") return true;
  while (!header.empty()) {
    size_t comma = header.find(',');
    std::string_view tag = trim(header.substr(0, comma));
    if (tag == etag) return true;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return false;
}

bool ifRangeStands(std::string_view header, std::string_view etag, std::string_view lastModified) {
  header = trim(header);
  if (header.empty()) return true;
  if (header.starts_with("W/")) return false;  // If-Range takes strong validators only
  return header == etag || header == lastModified;
}

std::size_t Pacer::pieceSize(std::size_t available) const {
  std::uint64_t piece = std::max<std::uint64_t>(1, rate_ / 20);
  return static_cast<std::size_t>(std::min<std::uint64_t>(piece, available));
}

void Pacer::awaitTurn(std::size_t size) {
  auto now = std::chrono::steady_clock::now();
  if (sent_ == 0) start_ = now;
  auto due =
      start_ +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(static_cast<double>(sent_) / static_cast<double>(rate_)));
  if (due > now) std::this_thread::sleep_until(due);
  sent_ += size;
}

}  // namespace lumora::devservice
