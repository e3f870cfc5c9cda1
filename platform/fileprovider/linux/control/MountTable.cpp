#include "platform/fileprovider/linux/control/MountTable.h"

#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/foundation/Spawn.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

// Mount points in /proc/self/mountinfo escape space, tab, newline and
// backslash as octal.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

bool isMountPoint(const fs::path& path) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  std::string wanted = fs::absolute(path).lexically_normal().string();
  if (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (unescapeMountField(point) == wanted) return true;
  }
  return false;
}

bool detachMount(const fs::path& path) {
  if (!isMountPoint(path)) return true;
  if (::geteuid() == 0 && ::umount2(path.c_str(), MNT_DETACH) == 0) return !isMountPoint(path);
  SpawnRequest request;
  request.argv = {"fusermount3", "-u", "-z", "-q", path.string()};
  request.searchPath = true;
  // Its outcome is read from the mount table below.
  if (auto child = spawnProcess(request)) (void)waitForExit(*child);
  return !isMountPoint(path);
}

}  // namespace lumora::fuse
