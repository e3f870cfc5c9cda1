#pragma once
// Who reads a file matters for one kind of reader: a desktop's thumbnailer
// that peeks at every file of a folder the user only looks at. Such a
// reader gets what is cached and nothing more, so that a glance at a folder
// downloads nothing.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace lumora::fuse {

class ThumbnailReaders {
 public:
  // The folders the freedesktop thumbnailer files are read from:
  // $XDG_DATA_HOME and $XDG_DATA_DIRS, each with "thumbnailers".
  static std::vector<std::filesystem::path> standardFolders();

  // Learns the executables named by the Exec= lines of the .thumbnailer
  // files in `folders`; processes are looked at under `proc`.
  explicit ThumbnailReaders(const std::vector<std::filesystem::path>& folders = standardFolders(),
                            std::filesystem::path proc = "/proc");

  // True for a thumbnailer: its executable is one, or it runs beneath one
  // (a script's helpers, the sandbox GNOME's thumbnail factory runs them
  // in). Decided once per process for a short while.
  bool isThumbnailer(pid_t pid);

  // The files a thumbnailer was turned away from, until their contents are
  // here and the desktop is told to try them again.
  void turnedAway(uint64_t inode);
  bool wasTurnedAway(uint64_t inode);
  void triedAgain(uint64_t inode);

 private:
  bool decide(pid_t pid, int depth);
  bool isThumbnailerItself(pid_t pid) const;

  std::filesystem::path proc_;
  std::unordered_set<std::string> names_;  // executables' file names; fixed after construction
  struct Decision {
    bool thumbnailer = false;
    std::chrono::steady_clock::time_point until;
  };
  std::mutex mutex_;
  std::unordered_map<pid_t, Decision> decided_;  // protected by mutex_
  std::unordered_set<uint64_t> turnedAway_;      // protected by mutex_
};

// The user's cache folder, where desktops keep thumbnails.
std::filesystem::path userCacheFolder();

// The file URI desktops key a thumbnail of `file` by, escaped as GLib
// escapes one. `file` is the path users see (shownPathOf), not the mount
// point's, when the two differ.
std::string thumbnailUri(const std::filesystem::path& file);

// The file name under "thumbnails/fail/gnome-thumbnail-factory" of the
// user's cache folder that records a failed thumbnail of `file`: the MD5 of
// its thumbnailUri.
std::string failedThumbnailName(const std::filesystem::path& file);

// Removes the record of a failed thumbnail of `file`, which desktops keep
// until the file's date changes: its contents are here now, and the next
// look at its folder draws it. True when there was one.
bool forgetFailedThumbnail(const std::filesystem::path& file);

}  // namespace lumora::fuse
