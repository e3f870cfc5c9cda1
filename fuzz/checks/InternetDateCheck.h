#pragma once
// The date parser accepts exactly the whole-second date-times with a zone,
// on real calendar dates, and what it yields prints back as the input.

#include <chrono>
#include <cstdio>

#include "extension/backend/InternetDate.h"
#include "fuzz/checks/Property.h"

namespace lumora::fuzz {

// Written apart from the parser: the shape and the ranges, field by field.
inline bool wellFormedDate(std::string_view t) {
  auto digits = [&](size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
    }
    return true;
  };
  auto value = [&](size_t from, size_t count) {
    int v = 0;
    for (size_t i = from; i < from + count; ++i) v = v * 10 + (t[i] - '0');
    return v;
  };
  if (t.size() != 20 && t.size() != 25) return false;
  if (!digits(0, 4) || t[4] != '-' || !digits(5, 2) || t[7] != '-' || !digits(8, 2) ||
      t[10] != 'T' || !digits(11, 2) || t[13] != ':' || !digits(14, 2) || t[16] != ':' ||
      !digits(17, 2)) {
    return false;
  }
  if (t.size() == 20) {
    if (t[19] != 'Z') return false;
  } else {
    if ((t[19] != '+' && t[19] != '-') || !digits(20, 2) || t[22] != ':' || !digits(23, 2)) {
      return false;
    }
    if (value(20, 2) > 23 || value(23, 2) > 59) return false;
  }
  int year = value(0, 4), month = value(5, 2), day = value(8, 2);
  if (month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= last && value(11, 2) <= 23 && value(14, 2) <= 59 && value(17, 2) <= 59;
}

inline std::string checkInternetDate(std::string_view text) {
  auto parsed = backend::parseInternetDate(text);
  bool expected = wellFormedDate(text);
  LUMORA_PROPERTY(parsed.has_value() == expected,
                  expected ? "refused a well-formed date-time" : "accepted a malformed date-time");
  if (!parsed) return {};
  // Back to the writer's local time with its offset, then printed again.
  int offset = 0;
  if (text.size() == 25) {
    int hours = (text[20] - '0') * 10 + (text[21] - '0');
    int minutes = (text[23] - '0') * 10 + (text[24] - '0');
    offset = (hours * 60 + minutes) * 60 * (text[19] == '+' ? 1 : -1);
  }
  auto local = *parsed + std::chrono::seconds(offset);
  auto day = std::chrono::floor<std::chrono::days>(local);
  std::chrono::year_month_day ymd{day};
  std::chrono::hh_mm_ss clock{local - day};
  char printed[32];
  std::snprintf(printed, sizeof printed, "%04d-%02u-%02uT%02d:%02d:%02d", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(clock.hours().count()),
                int(clock.minutes().count()), int(clock.seconds().count()));
  LUMORA_PROPERTY(std::string_view(printed) == text.substr(0, 19),
                  "prints back as " + std::string(printed));
  return {};
}

}  // namespace lumora::fuzz
