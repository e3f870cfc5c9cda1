#include "platform/foundation/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace lumora::paths {
namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absoluteFromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

fs::path xdgOr(const char* variable, const char* fallback) {
  if (auto fromEnv = absoluteFromEnv(variable)) return *fromEnv;
  return homeDirectory() / fallback;
}

}  // namespace

fs::path homeDirectory() {
  if (auto fromEnv = absoluteFromEnv("HOME")) return *fromEnv;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] == '/') {
    return fs::path(found->pw_dir);
  }
  return fs::path("/");
}

fs::path dataHome() {
  return xdgOr("XDG_DATA_HOME", ".local/share");
}
fs::path configHome() {
  return xdgOr("XDG_CONFIG_HOME", ".config");
}
fs::path cacheHome() {
  return xdgOr("XDG_CACHE_HOME", ".cache");
}
fs::path stateHome() {
  return xdgOr("XDG_STATE_HOME", ".local/state");
}
std::optional<fs::path> runtimeDir() {
  return absoluteFromEnv("XDG_RUNTIME_DIR");
}

std::optional<fs::path> appGroupContainer(std::string_view appGroup) {
  fs::path dir = dataHome() / appGroup;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (!fs::is_directory(dir, ec)) return std::nullopt;
  }
  return dir;
}

fs::path sharedDefaultsFile(std::string_view appGroup) {
  return configHome() / appGroup / "defaults.json";
}

}  // namespace lumora::paths
