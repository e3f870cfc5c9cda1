#pragma once
// Building request URLs: a path appended to a base, and a query whose names
// and values are percent-encoded as URL query components.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora {

using QueryItem = std::pair<std::string, std::string>;

// Percent-encodes one query name or value. Letters, digits and
// "-._~!$'()*,;:@/" stay literal (so storage keys keep their "/"); "&", "="
// and "+" are encoded so that no reader mistakes them for separators or a
// space, and "?" because some servers split the target at every "?";
// everything else, non-ASCII bytes included, is encoded as %XX.
std::string encodeQueryComponent(std::string_view text);

// "name=value&name=value" in the order given; empty for no items.
std::string encodeQuery(const std::vector<QueryItem>& items);

// `base` followed by `path` as one path component boundary: exactly one "/"
// between them, whatever the base ends in and the path starts with.
std::string appendPath(std::string_view base, std::string_view path);

// appendPath, then "?" and the encoded query when there are items.
std::string buildUrl(std::string_view base, std::string_view path,
                     const std::vector<QueryItem>& items);

}  // namespace lumora
