#pragma once
// lumora-fileprovider: serves one domain. Creates the extension for it,
// mounts it, answers the control socket, and stops (unmounting) on SIGTERM,
// SIGINT or the "remove" request.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/Protocols.h"
#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"
#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "platform/fileprovider/linux/core/Keeper.h"
#include "platform/fileprovider/linux/mount/FuseMount.h"
#include "platform/foundation/UniqueFd.h"

namespace lumora::fuse {

struct DaemonOptions {
  fileprovider::Domain domain;
  std::filesystem::path mountpoint;  // default: $HOME/<display name>
  bool foreground = false;
  // Where users see the mount (a link to it, say), so that whatever names
  // its files to the desktop names them as the file manager does; empty:
  // the mount point.
  std::filesystem::path shownAt{};
};

// The cache's size when nothing sets it: a share of the disk, at most a cap.
inline constexpr double kDefaultCacheShare = 0.10;
inline constexpr uint64_t kDefaultCacheCap = 10ULL << 30;
// "20G", "512M", "1.5GiB", "2000000" (bytes), or "15%" of the disk of size
// `diskTotal`; none when it says nothing of the kind.
std::optional<uint64_t> parseCacheSize(std::string_view text, uint64_t diskTotal);
// $XDG_CONFIG_HOME/lumora/fileprovider.conf: lines of "key = value", '#'
// for comments; "cache-size" is the one key read.
std::filesystem::path configurationFile();
// The cache's size: the command line's (--cache-size, `flag`), else the
// configuration file's, else the default for the disk of the cache's
// folder. A value that cannot be read is said in the log and the next
// source taken.
uint64_t cacheSizeSetting(const std::optional<std::string>& flag,
                          const std::filesystem::path& cacheFolder);
// Takes "--cache-size SIZE" out of the arguments: the size given, if any,
// or the usage text when it is not a size.
Result<std::optional<std::string>> takeCacheSizeFlag(std::vector<std::string>& arguments);

// The usage text on failure.
Result<DaemonOptions> parseCommandLine(const std::vector<std::string>& arguments);

// The content cache's folder for a domain: $XDG_CACHE_HOME/lumora/<domain>.
std::filesystem::path contentCacheFolder(const std::string& domainIdentifier);
// Where the extension's downloads land: inside the cache folder, so that
// taking one over is a rename.
std::filesystem::path downloadsFolder(const std::string& domainIdentifier);

class DomainDaemon {
 public:
  // Takes the domain's lock, makes the cache's folders private, mounts and
  // opens the control socket; the extension must outlive the daemon, which
  // asks it again as `retry` allows. While another daemon holds the lock it
  // fails with EALREADY (kAlreadyServed) before touching anything.
  static Result<std::unique_ptr<DomainDaemon>> start(
      const DaemonOptions& options, fileprovider::ReplicatedExtension& extension,
      uint64_t cacheLimit = kContentCacheLimit,
      std::shared_ptr<Retry> retry = std::make_shared<Retry>());
  ~DomainDaemon();
  DomainDaemon(const DomainDaemon&) = delete;
  DomainDaemon& operator=(const DomainDaemon&) = delete;

  // Serves until stop(); unmounted when it returns.
  int run();
  void stop();
  // One control request's answer.
  std::string handle(const std::string& line);
  // A path of the mount as the keeper names it: from the root, '/'-separated;
  // none for a path outside the mount.
  std::optional<std::string> domainPath(const std::string& path) const;
  // The cache's use and the keeps, or the item at `path`, as JSON.
  std::string report(const std::string& path);
  const std::filesystem::path& mountpoint() const { return options_.mountpoint; }
  const std::filesystem::path& shownAt() const {
    return options_.shownAt.empty() ? options_.mountpoint : options_.shownAt;
  }
  DomainFilesystem& filesystem() { return filesystem_; }
  Keeper& keeper() { return keeper_; }
  // The setting read again (SIGHUP): a lower limit evicts what is not kept.
  void reloadSettings();
  void setCacheSizeFlag(std::optional<std::string> flag) { cacheSizeFlag_ = std::move(flag); }

 private:
  DomainDaemon(UniqueFd lock, DaemonOptions options, fileprovider::ReplicatedExtension& extension,
               uint64_t cacheLimit, std::shared_ptr<Retry> retry);

  // flock'ed for the daemon's life. First, so that it goes last: another
  // daemon may touch the cache only once this one's has stopped.
  const UniqueFd lock_;
  const DaemonOptions options_;
  ContentCache cache_;
  // Before the filesystem, which writes to it: none when it cannot be made.
  std::unique_ptr<ItemStore> store_;
  DomainFilesystem filesystem_;
  Keeper keeper_;
  std::unique_ptr<FuseMount> mount_;
  std::unique_ptr<ControlServer> control_;
  std::atomic<bool> ready_{false};            // mount_ is set; read by the control thread
  std::optional<std::string> cacheSizeFlag_;  // set before any reload
};

// Makes the domain's extension, its downloads going to the folder given.
using ExtensionFactory = std::function<std::unique_ptr<fileprovider::ReplicatedExtension>(
    const fileprovider::Domain&, const std::filesystem::path& downloads)>;

// The program: parse, detach unless --foreground, create the extension,
// serve. Returns the exit status.
int daemonMain(int argc, char** argv, const ExtensionFactory& makeExtension);

}  // namespace lumora::fuse
