#include "platform/foundation/SharedDefaults.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/foundation/Paths.h"
#include "platform/foundation/TextFile.h"

namespace lumora {

namespace {

// The stored object, or an empty one for bytes that are not a JSON object.
nlohmann::json decode(std::string_view bytes) {
  if (!isValidUtf8(bytes)) return nlohmann::json::object();
  auto parsed = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return nlohmann::json::object();
  return parsed;
}

// What the file holds, or nothing for a missing or unreadable file.
std::string fileBytes(const std::filesystem::path& file) {
  auto text = readUtf8File(file);
  return text ? std::move(*text) : std::string();
}

}  // namespace

std::optional<std::string> defaultsString(std::string_view fileBytes, std::string_view key) {
  nlohmann::json object = decode(fileBytes);
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string defaultsWithString(std::string_view fileBytes, std::string_view key,
                               std::string_view value) {
  nlohmann::json object = decode(fileBytes);
  object[std::string(key)] = std::string(value);
  // Invalid UTF-8 in a value is replaced rather than making the file unreadable.
  return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

SharedDefaults SharedDefaults::forSuite(std::string_view appGroup) {
  return SharedDefaults(paths::sharedDefaultsFile(appGroup));
}

std::optional<std::string> SharedDefaults::stringForKey(std::string_view key) const {
  return defaultsString(fileBytes(file_), key);
}

Result<void> SharedDefaults::setString(std::string_view key, std::string_view value) const {
  std::error_code ec;
  auto dir = file_.parent_path();
  if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
    std::filesystem::create_directories(dir.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
  }
  return writeFileAtomically(file_, defaultsWithString(fileBytes(file_), key, value), 0600);
}

}  // namespace lumora
