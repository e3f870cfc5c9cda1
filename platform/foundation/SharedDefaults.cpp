#include "platform/foundation/SharedDefaults.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/foundation/Paths.h"
#include "platform/foundation/TextFile.h"

namespace lumora {

namespace {

// The stored object, or an empty one for a missing or corrupt file.
nlohmann::json load(const std::filesystem::path& file) {
  auto text = readUtf8File(file);
  if (!text) return nlohmann::json::object();
  auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return nlohmann::json::object();
  return parsed;
}

}  // namespace

SharedDefaults SharedDefaults::forSuite(std::string_view appGroup) {
  return SharedDefaults(paths::sharedDefaultsFile(appGroup));
}

std::optional<std::string> SharedDefaults::stringForKey(std::string_view key) const {
  nlohmann::json object = load(file_);
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Result<void> SharedDefaults::setString(std::string_view key, std::string_view value) const {
  std::error_code ec;
  auto dir = file_.parent_path();
  if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
    std::filesystem::create_directories(dir.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
  }
  nlohmann::json object = load(file_);
  object[std::string(key)] = std::string(value);
  // Invalid UTF-8 in a value is replaced rather than making the file unreadable.
  return writeFileAtomically(
      file_, object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", 0600);
}

}  // namespace lumora
