#pragma once
// The daemon's log: one short line per event on standard error (which is the
// log file once the daemon has detached). Never given a token.

#include <cstdint>
#include <filesystem>
#include <string>

namespace lumora::fuse {

// Once detached: standard error goes to `file`, and once it holds `limit`
// bytes it becomes `file`.1 (the one before goes) and a new `file` begins,
// so that the log never holds more than about two limits. False when the
// file cannot be opened; standard error is then left as it is.
bool logToFile(const std::filesystem::path& file, std::uint64_t limit);
inline constexpr std::uint64_t kLogFileLimit = 1 << 20;

[[gnu::format(printf, 1, 2)]] void log(const char* format, ...);

// Tests and embedders may silence it.
void setLogEnabled(bool enabled);

// A size as people read it in messages: "512 bytes", "1.5 MiB".
std::string inBytes(std::uint64_t bytes);

}  // namespace lumora::fuse
