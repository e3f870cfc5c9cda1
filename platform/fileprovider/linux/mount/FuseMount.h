#pragma once
// One FUSE session: mounted at construction, served by a multi-threaded
// loop, unmounted when the loop ends or the object goes.

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/fileprovider/linux/mount/FuseOperations.h"
#include "platform/fileprovider/linux/mount/KernelNotifier.h"

namespace lumora::fuse {

// Files in `mountpoint` before it is mounted were saved there while no
// daemon served it (one that crashed left a plain folder): the mount would
// hide them. The folder then moves aside whole, to a visible sibling
// "<name> (saved <date> <time>)" (" 2", " 3"… after it when taken, nothing
// replaced), and an empty one with its mode takes its place. Yields where
// they went; none when there was nothing to move. Given where users see the
// mount (`shownAt`, a link to it), they go beside that instead, named after
// it, where users find them (beside the folder when that fails).
Result<std::optional<std::filesystem::path>> moveAsideSavedFiles(
    const std::filesystem::path& mountpoint, std::time_t now,
    const std::filesystem::path& shownAt = {});

class FuseMount {
 public:
  // Fails with a POSIX error whose description is a one-line reason for the
  // user ("… is already in use", "FUSE is not available …").
  // `shownAt`: where users see the mount, when not at the mount point
  // itself (a link to it); files are named to the desktop under it.
  static Result<std::unique_ptr<FuseMount>> mount(const std::filesystem::path& mountpoint,
                                                  FilesystemCore& filesystem,
                                                  const std::string& fsname,
                                                  const std::filesystem::path& shownAt = {});
  ~FuseMount();
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  // Serves requests until stop() or a fatal session error, then unmounts.
  int run();
  // Any thread but the loop's own, any number of times. Returns once the
  // kernel is told nothing more (at most a notification's wait for the
  // requests under way); the loop ends soon after.
  void stop();
  const std::filesystem::path& mountpoint() const { return mountpoint_; }
  // Once run() returned: the mount ended without stop(), the user having
  // unmounted it (an eject, fusermount3 -u).
  bool endedFromOutside() const { return endedFromOutside_; }

 private:
  FuseMount(std::filesystem::path mountpoint, FilesystemCore& filesystem,
            const std::filesystem::path& shownAt);
  void unmount();
  void stopNotifying();

  std::filesystem::path mountpoint_;
  FuseContext context_;
  fuse_session* session_ = nullptr;  // owned; the loop's threads share it
  std::unique_ptr<KernelNotifier> notifier_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> mounted_{false};
  bool endedFromOutside_ = false;  // written by run() only
};

}  // namespace lumora::fuse
