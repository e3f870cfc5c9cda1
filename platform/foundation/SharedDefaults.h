#pragma once
// The shared user-defaults suite of an app group: a JSON object of string
// values in one file, replaced atomically with mode 0600. A missing, corrupt
// or unreadable file reads as holding no values; nothing here throws.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace lumora {

// The suite's reading of a file's bytes, without the file: the string stored
// under `key`, or none (bytes that are not UTF-8 or not a JSON object hold
// no values).
std::optional<std::string> defaultsString(std::string_view fileBytes, std::string_view key);
// The bytes the file holds after `value` is stored under `key` in a file
// that held `fileBytes`.
std::string defaultsWithString(std::string_view fileBytes, std::string_view key,
                               std::string_view value);

class SharedDefaults {
 public:
  explicit SharedDefaults(std::filesystem::path file) : file_(std::move(file)) {}
  // The suite of an app group, at its standard location.
  static SharedDefaults forSuite(std::string_view appGroup);

  // The string stored under `key`; none when the file or the key is missing,
  // the file is corrupt, or the value is not a string.
  std::optional<std::string> stringForKey(std::string_view key) const;

  // Stores `value` under `key`, keeping the file's other keys. A corrupt file
  // is replaced by a fresh object. Creates the folder (0700) when missing.
  Result<void> setString(std::string_view key, std::string_view value) const;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace lumora
