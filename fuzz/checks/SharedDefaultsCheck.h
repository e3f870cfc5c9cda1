#pragma once
// The shared defaults file: whatever the file holds, reading never fails
// and agrees with a plain JSON reading of it; a stored value reads back
// exactly, and the file's other string values survive the store. Checked on
// the reader and writer of the file's bytes, and on a real file.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "fuzz/checks/JsonReference.h"
#include "fuzz/checks/Property.h"
#include "fuzz/checks/ShellQuoteCheck.h"  // splitWords
#include "platform/foundation/SharedDefaults.h"
#include "platform/foundation/TextFile.h"

namespace lumora::fuzz {

// The string values of a file as the suite should see them.
inline std::vector<std::pair<std::string, std::string>> expectedStrings(std::string_view file) {
  std::vector<std::pair<std::string, std::string>> out;
  if (!isValidUtf8(file)) return out;
  auto parsed = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return out;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) {
    if (it.value().is_string()) out.emplace_back(it.key(), it.value().get<std::string>());
  }
  return out;
}

// Input: a separator byte, then the file's bytes, a key and a value.
struct DefaultsInput {
  std::string contents, key, value;
  explicit DefaultsInput(std::string_view input) {
    std::vector<std::string> parts = splitWords(input);
    parts.resize(3);
    contents = std::move(parts[0]);
    key = std::move(parts[1]);
    value = std::move(parts[2]);
  }
};

// `read(key)` reads the suite before the store, `store()` stores the value
// and returns the file's new bytes, `readAfter(key)` reads the suite then.
template <typename Read, typename Store, typename ReadAfter>
std::string checkDefaultsStore(const DefaultsInput& in, Read read, Store store,
                               ReadAfter readAfter) {
  auto before = expectedStrings(in.contents);
  // Each read parses the whole file again: a few keys say as much as all.
  if (before.size() > 3) before.resize(3);
  for (const auto& [k, v] : before) {
    LUMORA_PROPERTY(read(k) == v, "the file's value of " + escaped(k));
  }
  if (before.empty()) {
    LUMORA_PROPERTY(!read(in.key), "a value from a file that holds none");
  }
  std::optional<std::string> written = store();
  LUMORA_PROPERTY(written.has_value(), "the store failed");
  LUMORA_PROPERTY(isValidUtf8(*written), "the stored file is not UTF-8");
  LUMORA_PROPERTY(nlohmann::json::parse(*written, nullptr, false).is_object(),
                  "the stored file is not a JSON object");
  if (isValidUtf8(in.key)) {
    auto back = readAfter(in.key);
    LUMORA_PROPERTY(back.has_value(), "the stored value is missing");
    if (isValidUtf8(in.value)) {
      LUMORA_PROPERTY(*back == in.value, "the value does not round-trip: " + escaped(*back));
    } else {
      LUMORA_PROPERTY(isValidUtf8(*back), "a replaced value is not UTF-8");
    }
  }
  for (const auto& [k, v] : before) {
    if (k == in.key) continue;
    LUMORA_PROPERTY(readAfter(k) == v, "a store lost the value of " + escaped(k));
  }
  return {};
}

// On the bytes alone.
inline std::string checkSharedDefaultsBytes(std::string_view input) {
  const DefaultsInput in(input);
  std::string after;
  return checkDefaultsStore(
      in, [&](std::string_view k) { return defaultsString(in.contents, k); },
      [&]() -> std::optional<std::string> {
        after = defaultsWithString(in.contents, in.key, in.value);
        return after;
      },
      [&](std::string_view k) { return defaultsString(after, k); });
}

// On a real file, which also stays 0600.
inline std::string checkSharedDefaults(std::string_view input, const std::filesystem::path& file) {
  const DefaultsInput in(input);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(in.contents.data(), static_cast<std::streamsize>(in.contents.size()));
    LUMORA_PROPERTY(out.good(), "cannot write the test file");
  }
  SharedDefaults defaults(file);
  auto read = [&](std::string_view k) { return defaults.stringForKey(k); };
  return checkDefaultsStore(
      in, read,
      [&]() -> std::optional<std::string> {
        if (!defaults.setString(in.key, in.value)) return std::nullopt;
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || (st.st_mode & 0777) != 0600) return std::nullopt;
        auto bytes = readUtf8File(file);
        return bytes ? std::optional<std::string>(*bytes) : std::string("\xff");
      },
      read);
}

}  // namespace lumora::fuzz
