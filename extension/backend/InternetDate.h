#pragma once
// RFC 3339 date-times as the platform's default ISO 8601 formatter reads
// them: "YYYY-MM-DDTHH:MM:SS" and a zone, "Z" or "+HH:MM"/"-HH:MM". Whole
// seconds only; any other form, and impossible dates, give none.

#include <optional>
#include <string_view>

#include "extension/backend/Entry.h"

namespace lumora::backend {

std::optional<Date> parseInternetDate(std::string_view text);

}  // namespace lumora::backend
