#pragma once
// What the mount table says about a folder, and detaching a dead mount.

#include <filesystem>

namespace lumora::fuse {

// True when something is mounted exactly at `path`.
bool isMountPoint(const std::filesystem::path& path);
// Detaches whatever is mounted at `path` (a dead daemon's mount): umount2 as
// root, fusermount3 otherwise. True when nothing is mounted there afterwards.
bool detachMount(const std::filesystem::path& path);

}  // namespace lumora::fuse
