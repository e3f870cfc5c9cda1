#include "platform/foundation/HostName.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <string_view>

namespace lumora {

namespace {

// One value of an env-style file: unquoted, or in double or single quotes
// with backslash escapes, as systemd writes them.
std::string unquote(std::string_view value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
    value.remove_suffix(1);
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfo) {
  std::ifstream in(machineInfo);
  std::string line;
  std::optional<std::string> found;
  constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
  while (std::getline(in, line)) {
    std::string_view view(line);
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) view.remove_prefix(1);
    if (view.starts_with(kKey)) found = unquote(view.substr(kKey.size()));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

}  // namespace

std::optional<std::string> localizedHostName(const std::filesystem::path& machineInfo) {
  if (auto pretty = prettyHostName(machineInfo)) return pretty;
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

}  // namespace lumora
