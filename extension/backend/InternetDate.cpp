#include "extension/backend/InternetDate.h"

namespace lumora::backend {
namespace {

// The number in `digits` characters at `at`, or -1 when any is not a digit.
int number(std::string_view text, size_t at, size_t digits) {
  int value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<Date> parseInternetDate(std::string_view text) {
  // 2024-05-01T10:00:00Z or 2024-05-01T10:00:00+02:00
  if (text.size() != 20 && text.size() != 25) return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  int year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
  int hour = number(text, 11, 2), minute = number(text, 14, 2), second = number(text, 17, 2);
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) {
    return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;

  int offsetSeconds = 0;
  if (text.size() == 20) {
    if (text[19] != 'Z') return std::nullopt;
  } else {
    char sign = text[19];
    int offsetHour = number(text, 20, 2), offsetMinute = number(text, 23, 2);
    if ((sign != '+' && sign != '-') || text[22] != ':' || offsetHour < 0 || offsetMinute < 0 ||
        offsetHour > 23 || offsetMinute > 59) {
      return std::nullopt;
    }
    offsetSeconds = (offsetHour * 3600 + offsetMinute * 60) * (sign == '+' ? 1 : -1);
  }

  std::chrono::year_month_day date{std::chrono::year(year),
                                   std::chrono::month(static_cast<unsigned>(month)),
                                   std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;  // 2024-02-30, month 13, day 0
  return Date(std::chrono::sys_days(date)) + std::chrono::hours(hour) +
         std::chrono::minutes(minute) + std::chrono::seconds(second - offsetSeconds);
}

}  // namespace lumora::backend
