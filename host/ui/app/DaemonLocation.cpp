#include "host/ui/app/DaemonLocation.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <system_error>

namespace lumora::ui {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDaemonName = "lumora-fileprovider";

bool executable(const fs::path& file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec) && ::access(file.c_str(), X_OK) == 0;
}

bool sameFolder(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

DaemonSearch DaemonSearch::current() {
  DaemonSearch search;
  std::error_code ec;
  search.self = fs::read_symlink("/proc/self/exe", ec);
  search.fromBinDir = LUMORA_DAEMON_FROM_BINDIR;
#ifdef LUMORA_BUILD_TREE_DAEMON
  search.buildTreeDir = fs::path(LUMORA_BUILD_TREE_DESKTOP_DIR);
  search.buildTreeDaemon = fs::path(LUMORA_BUILD_TREE_DAEMON);
#endif
  if (const char* path = std::getenv("PATH")) search.pathVariable = path;
  return search;
}

std::optional<fs::path> locateDaemon(const DaemonSearch& search) {
  const fs::path folder = search.self.parent_path();
  // Only a program that is still in its build folder takes the build's
  // daemon: a copy installed elsewhere never reaches into the build tree.
  if (!search.self.empty() && search.buildTreeDir && search.buildTreeDaemon &&
      sameFolder(folder, *search.buildTreeDir) && executable(*search.buildTreeDaemon)) {
    return *search.buildTreeDaemon;
  }
  if (!search.self.empty()) {
    fs::path installed = (folder / search.fromBinDir / kDaemonName).lexically_normal();
    if (executable(installed)) return installed;
  }
  std::istringstream dirs(search.pathVariable);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    // An empty entry means the working folder: never a place to start a daemon from.
    if (dir.empty() || dir.front() != '/') continue;
    fs::path candidate = fs::path(dir) / kDaemonName;
    if (executable(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace lumora::ui
