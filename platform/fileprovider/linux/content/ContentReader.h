#pragma once
// Brings a large file's blocks into its cache entry as they are read: a
// read waits only for the blocks it touches; a reader going through the
// file in order gets a read-ahead window once it read past a peek
// (kPeekStart), which grows with what it read in order, up to kMaxWindow,
// fetched by several ranged transfers at once;
// a reader that jumps about fetches what it touches and no more. Transfers have a budget of their
// own, so that they never take every thread of the shared pool from listings and look-ups.
//
// Blocks a read waits for go first: they pass queued read-ahead, and
// read-ahead leaves them slots of their own. Read-ahead that its reader no
// longer wants (it jumped elsewhere, or closed the file) is dropped before
// it starts and cut where it is under way; its blocks are absent again.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fileprovider/Protocols.h"
#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/driver/ExtensionDriver.h"

namespace lumora::fuse {

inline constexpr uint64_t kInitialWindow = kBlockSize;
// A read this far from where the reader was is a jump; nearer, it is the
// kernel's own reads out of order.
inline constexpr uint64_t kJumpDistance = 1 << 20;
inline constexpr uint64_t kMaxWindow = 64 << 20;
// Reads in order up to this far are a peek at one place: nothing is read
// ahead of them.
inline constexpr uint64_t kPeekStart = 512 << 10;
// Up to this far they are a peek as much as a start: the window is a
// quarter of them.
inline constexpr uint64_t kPeekRun = 4 << 20;
// A read-ahead window is fetched in parts of at least this size, so that a
// wide window is fetched by up to kMaxWindow / kMinStream streams at once.
inline constexpr uint64_t kMinStream = 1 << 20;
inline constexpr size_t kStreamsPerWindow = 4;
// And in parts of at most this size, so that a reader catching up with its
// read-ahead waits behind less of it. Smaller parts cost throughput on a
// far link: each request waits a round trip (measured by bench/SeekBench:
// 4 MiB parts read in order 15-25% slower at 20-40 ms, 8 MiB as fast).
inline constexpr uint64_t kMaxStream = 8 << 20;
// Ranged transfers under way at once, across every file.
inline constexpr size_t kMaxTransfers = 8;
// Of those, how many read-ahead leaves to reads that wait: a read never
// waits for a slot behind transfers nobody waits for.
inline constexpr size_t kSlotsForReads = 2;
// The longest a read waits for its blocks: the service's own time-out and
// a margin.
inline constexpr std::chrono::seconds kReadTimeout{75};

// A ranged transfer of some blocks of an entry, queued or under way.
struct TransferJob;

// Where a reader of one open file is.
struct ReadAhead {
  ReadAhead() = default;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // A reader that is gone wants none of its read-ahead: it is cancelled.
  ~ReadAhead();

  std::mutex mutex;
  uint64_t nextOffset = 0;    // protected by mutex; where the last read ended
  uint64_t window = 0;        // protected by mutex; 0 while not reading in order
  uint64_t fetchedUntil = 0;  // protected by mutex; read ahead up to here
  uint64_t runStart = 0;      // protected by mutex; where the reads in order began
  // The read-ahead started for this reader, what a jump away cancels.
  std::vector<std::weak_ptr<TransferJob>> issued;  // protected by mutex
};

// What to fetch: an item's identifier and the version its entry holds.
struct ContentSource {
  fileprovider::ItemIdentifier identifier;
  fileprovider::ItemVersion version;
};

struct FirstBlock {
  fileprovider::PartialContents contents;
  std::string bytes;
};

class ContentReader {
 public:
  // `readersFirst` false: one queue in arrival order and no cancelling, as
  // before reads came first; for benchmarks to compare against.
  ContentReader(ExtensionDriver& driver, size_t maxTransfers = kMaxTransfers,
                std::chrono::steady_clock::duration timeout = kReadTimeout,
                bool readersFirst = true);
  ~ContentReader();
  ContentReader(const ContentReader&) = delete;
  ContentReader& operator=(const ContentReader&) = delete;

  // The file's first block, for a file that has no entry yet: its answer
  // says the content's size.
  Result<FirstBlock> fetchFirstBlock(const ContentSource& source);
  // Stores bytes fetched for `entry` at `offset` (whole blocks, or the
  // file's last one), as fetchFirstBlock returns them.
  static void store(const std::shared_ptr<CacheEntry>& entry, uint64_t offset,
                    const std::string& bytes);

  // Makes [offset, offset + length) of the entry present.
  Result<void> ensure(const ContentSource& source, const std::shared_ptr<CacheEntry>& entry,
                      ReadAhead& reader, uint64_t offset, uint64_t length);

  // From now on nothing waits for a transfer; transfers not started are
  // dropped. Those under way end on their own, without this object.
  void stop();
  // Blocks fetched, for figures and tests.
  uint64_t blocksFetched() const;

 private:
  struct Transfers;
  friend struct TransferJob;
  // Queues a transfer of `run`; `ahead`: read-ahead, which no read waits for.
  std::shared_ptr<TransferJob> fetch(const ContentSource& source,
                                     const std::shared_ptr<CacheEntry>& entry, BlockRun run,
                                     bool ahead);

  ExtensionDriver& driver_;  // for the waits of this object's callers
  const std::chrono::steady_clock::duration timeout_;
  // Shared with the transfers under way, which may outlive this object.
  std::shared_ptr<Transfers> transfers_;
};

}  // namespace lumora::fuse
