#pragma once
// Which lumora-fileprovider the window starts. Installed, the daemon lives
// in libexec (out of PATH); a window started from a build tree uses the
// daemon of that build tree. PATH is the last resort.

#include <filesystem>
#include <optional>
#include <string>

namespace lumora::ui {

struct DaemonSearch {
  std::filesystem::path self;        // this program, as /proc/self/exe names it
  std::filesystem::path fromBinDir;  // the daemon's folder relative to self's folder
  std::optional<std::filesystem::path> buildTreeDir;     // where the build puts this program
  std::optional<std::filesystem::path> buildTreeDaemon;  // the daemon that build makes
  std::string pathVariable;                              // $PATH

  // This program's own values.
  static DaemonSearch current();
};

// The first executable daemon of: the build tree's (when `self` sits in its
// build folder), the one beside `self` in the installed layout, one on PATH.
std::optional<std::filesystem::path> locateDaemon(const DaemonSearch& search);

}  // namespace lumora::ui
