#pragma once
// What the user keeps on this device: files and folders of the domain whose
// contents are downloaded in the background and never evicted. A kept
// folder also keeps what later appears in it: each pass walks it again,
// folder by folder, holding no list of its files. The keeps themselves
// live in the item store, so they outlast restarts; a pass that finds the
// service away waits and tries again.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "platform/fileprovider/linux/store/ItemStore.h"

namespace lumora::fuse {

// How long a pass that found the service away waits before the next, and
// how often kept folders are walked again for what appeared in them.
inline constexpr std::chrono::milliseconds kKeepRetryPause{2000};
inline constexpr std::chrono::seconds kKeepRecheck{300};
// Files of a keep downloaded at once: one connection's speed is not the link's.
inline constexpr size_t kKeepDownloads = 4;

class Keeper {
 public:
  // Where a keep stands.
  enum class Stage { queued, downloading, waiting, kept, failed };
  struct Progress {
    std::string path;
    bool folder = false;
    Stage stage = Stage::queued;
    uint64_t bytes = 0;    // what it holds, as last counted
    uint64_t present = 0;  // of which this device has
    std::string problem;   // failed or waiting: why
  };

  // Without a store, keeps last until the daemon stops.
  Keeper(DomainFilesystem& filesystem, ItemStore* store,
         std::chrono::milliseconds retryPause = kKeepRetryPause,
         std::chrono::milliseconds recheck = kKeepRecheck);
  ~Keeper();
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;

  // Takes up the keeps the store holds and starts walking them.
  void start();
  // `path`: from the domain's root, '/'-separated. Refused at once when it
  // does not fit in the cache beside what is kept already.
  Result<void> keep(const std::string& path);
  // Drops the keep and the contents of everything under the path.
  Result<void> free(const std::string& path);
  std::vector<Progress> progress();
  // The keep that holds the path (itself or a folder above it), if any.
  std::optional<Progress> progressOf(const std::string& path);
  // Something changed on the service: walk the keeps again now.
  void wake();
  // The item at the path, as the file system knows it.
  Result<NodeInfo> resolve(const std::string& path);

 private:
  struct Root {
    ItemStore::Keep keep;
    Progress progress;
  };
  // Calls `file` with each file under the node, folder by folder; stops at
  // the first error `file` returns or a listing fails.
  Result<void> walk(const NodeInfo& node, const std::function<Result<void>(const NodeInfo&)>& file);
  bool isAway(const Error& error) const;
  void run();
  // One pass over a keep; false when it must be tried again soon.
  bool pass(const std::string& path);
  Root* rootLocked(const std::string& path);

  DomainFilesystem& filesystem_;
  ItemStore* const store_;
  const std::chrono::milliseconds retryPause_;
  const std::chrono::milliseconds recheck_;
  // Shared while a file is kept, taken alone while a keep is dropped, so
  // that a pass keeps nothing of a keep freed meanwhile.
  std::shared_mutex work_;
  std::mutex mutex_;
  std::condition_variable woken_;
  std::vector<Root> roots_;  // protected by mutex_
  bool again_ = false;       // protected by mutex_: walk again at once
  bool stopping_ = false;    // protected by mutex_
  std::thread thread_;       // last: it uses everything above
};

const char* stageName(Keeper::Stage stage);

}  // namespace lumora::fuse
