#pragma once
// The item store: what each folder's last whole listing gave, kept on disk
// per domain so that a restarted daemon answers for every folder it saw
// before, with or without the service. One SQLite file in WAL mode, private
// to the user (it holds the names of the user's files). Writes are queued
// and made by a thread of its own, a batch of listings per transaction, so
// a request never waits for the disk and a crash leaves whole listings only.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/base/ListedItem.h"
#include "platform/foundation/Error.h"

struct sqlite3;

namespace lumora::fuse {

// The schema's version, kept in PRAGMA user_version. A store of another
// version is set aside, never read.
inline constexpr int kItemStoreSchema = 2;

// One row of a big folder's listing, as the replica reads it.
struct StoredRow {
  int64_t id = 0;
  int64_t folder = 0;  // the folder's own id in the store
  int64_t position = 0;
  fileprovider::ItemIdentifier identifier;
  std::string name;  // as shown: a suffix given to a colliding name included
  fileprovider::Bytes contentVersion;
  int64_t size = 0;
  int64_t modified = 0;
  bool isDirectory = false;
  bool sizeKnown = false;
};

// A folder as the store knows it.
struct StoredFolder {
  int64_t id = 0;
  int64_t listedAt = 0;
  int64_t count = 0;
  bool complete = true;
  bool big = false;  // its rows are read from here, never held in memory
};

// What committing a big folder's staged listing changed of what was there:
// names the kernel may hold that no longer stand for the same row, and rows
// whose attributes changed.
struct StagedCommit {
  StoredFolder folder;
  std::vector<std::string> goneNames;
  std::vector<int64_t> changedRows;
};

// Items of big folders' pages queued for the disk at most.
inline constexpr size_t kMaxStagedItems = 16384;

class ItemStore {
 public:
  struct Listing {
    // In the service's order: the replica gives colliding names their
    // suffixes from the order alone, so the same order gives the same names.
    std::vector<ListedItem> items;
    int64_t listedAt = 0;  // seconds since the epoch
    bool complete = true;
  };

  // $XDG_STATE_HOME/lumora/<domain>/items.sqlite
  static std::filesystem::path fileFor(const std::string& domainIdentifier);
  // Opens the store at `file`, making it and its folder private (0700,
  // 0600). A file that cannot be read as a store of this schema (damaged,
  // foreign, newer) is renamed aside, said once in the log, and an empty
  // store begins. An error only when no store can be made there at all.
  static Result<std::unique_ptr<ItemStore>> open(const std::filesystem::path& file);
  // Writes what is queued first.
  ~ItemStore();
  ItemStore(const ItemStore&) = delete;
  ItemStore& operator=(const ItemStore&) = delete;

  // Queues the folder's listing, replacing one queued for it, and returns.
  void put(const fileprovider::ItemIdentifier& folder, std::vector<ListedItem> items,
           int64_t listedAt, bool complete);
  // The folder's last listing put, written or not.
  std::optional<Listing> listing(const fileprovider::ItemIdentifier& folder);
  // Returns once everything queued before it is written.
  void flush();

  // A big folder's listing, page by page: begun afresh by the first call of
  // a listing, committed whole by commitStaged, dropped by dropStaged (a
  // listing that failed leaves the last whole one). Staged rows are never
  // read, and a crash drops them.
  void stage(const fileprovider::ItemIdentifier& folder, std::vector<ListedItem> items, bool first);
  void dropStaged(const fileprovider::ItemIdentifier& folder);
  // Makes the staged rows the folder's listing, in one transaction: rows of
  // items still listed keep their ids, the others go. Names given twice are
  // shown as the replica shows them: the later as "name (2)". Waits for the
  // write.
  Result<StagedCommit> commitStaged(const fileprovider::ItemIdentifier& folder, int64_t listedAt);

  // Reads of what is written, for big folders.
  std::optional<StoredFolder> folder(const fileprovider::ItemIdentifier& folder);
  std::optional<StoredRow> row(int64_t id);
  std::optional<StoredRow> rowNamed(int64_t folder, std::string_view name);
  // The folder's row ids in listing order.
  std::vector<int64_t> rowIds(int64_t folder);
  // Up to `count` rows after `position` in listing order, only folders or
  // only files.
  std::vector<StoredRow> rowsAfter(int64_t folder, int64_t position, bool folders, size_t count);
  // Listings written to disk so far, for tests and figures.
  size_t listingsWritten() {
    std::lock_guard lock(mutex_);
    return listingsWritten_;
  }

 private:
  ItemStore(std::filesystem::path file, sqlite3* writer, sqlite3* reader);
  void writeLoop();
  bool writeBatch(const std::map<std::string, std::shared_ptr<const Listing>>& batch);
  struct Staged {
    enum class Kind { rows, drop, commit } kind;
    std::string folder;
    std::vector<ListedItem> items;
    bool first = false;
    int64_t listedAt = 0;
    std::shared_ptr<std::promise<Result<StagedCommit>>> done;
  };
  struct Reads;
  bool writeStaged(Staged& staged);
  Result<StagedCommit> commitWrite(const std::string& folder, int64_t listedAt);
  void broken(const char* what);
  static uint64_t digestOf(const std::vector<ListedItem>& items, bool complete);

  const std::filesystem::path file_;
  sqlite3* const writer_;  // the writer thread's only
  std::mutex readMutex_;
  sqlite3* const reader_;  // protected by readMutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  // Listings put and not yet written, by folder; then the batch being
  // written, still read from here until it is committed.
  std::map<std::string, std::shared_ptr<const Listing>> queued_;   // protected by mutex_
  std::map<std::string, std::shared_ptr<const Listing>> writing_;  // protected by mutex_
  // The last listing put or read of each folder, as digestOf gives it.
  std::map<std::string, uint64_t> digests_;  // protected by mutex_
  // Big folders' pages and commits, in the order given.
  std::deque<Staged> staged_;  // protected by mutex_
  size_t stagedItems_ = 0;     // in staged_: protected by mutex_
  // The next position of each folder's staged rows: the writer thread's only.
  std::map<std::string, int64_t> stagedPositions_;
  // The reader's prepared statements: protected by readMutex_.
  std::unique_ptr<Reads> reads_;
  size_t listingsWritten_ = 0;  // protected by mutex_
  bool stopping_ = false;       // protected by mutex_
  bool broken_ = false;         // a read or write failed: protected by mutex_
  std::thread thread_;          // last: it uses everything above

 public:
  // What the user keeps on this device: paths in the domain, each a file
  // or a folder, with the bytes it held when last counted. In a table of
  // its own, read and written at once (keeps are few and rarely change).
  struct Keep {
    std::string path;  // from the domain's root, '/'-separated; "" for the root
    fileprovider::ItemIdentifier identifier;
    bool folder = false;
    uint64_t bytes = 0;
    bool operator==(const Keep&) const = default;
  };
  std::vector<Keep> keeps();
  Result<void> putKeep(const Keep& keep);
  Result<void> removeKeep(const std::string& path);

 private:
  // Opens keepDb_ and makes the table if it is missing.
  Result<void> prepareKeeps();
  std::mutex keepMutex_;
  sqlite3* keepDb_ = nullptr;  // protected by keepMutex_
};

}  // namespace lumora::fuse
