#include "platform/fileprovider/linux/ContentReader.h"

#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <deque>

#include "platform/fileprovider/linux/Log.h"
#include "platform/foundation/TransferError.h"

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

namespace {

constexpr std::chrono::milliseconds kStopCheck{100};

Error posix(int code, const char* what) {
  return Error{kPosixErrorDomain, code, what};
}

// Writes the bytes of one transfer into its entry and marks each block
// present once the last of its bytes is written. The bytes come in order.
class BlockWriter {
 public:
  BlockWriter(std::shared_ptr<CacheEntry> entry, BlockRun run)
      : entry_(std::move(entry)),
        begin_(run.first * kBlockSize),
        end_(std::min(run.end * kBlockSize, entry_->size())),
        next_(begin_),
        hash_(XXH3_createState()) {
    XXH3_64bits_reset(hash_);
  }
  ~BlockWriter() { XXH3_freeState(hash_); }
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  bool write(uint64_t offset, const char* data, size_t size) {
    // Bytes outside the run (an answer widened beyond it) are not ours.
    if (offset < next_) {
      uint64_t skip = std::min<uint64_t>(next_ - offset, size);
      offset += skip;
      data += skip;
      size -= static_cast<size_t>(skip);
    }
    if (size == 0 || offset >= end_) return true;
    if (offset != next_) return false;  // a gap: the transfer is not what was asked
    size = static_cast<size_t>(std::min<uint64_t>(size, end_ - offset));
    // A full disk makes room or holds the bytes in memory (see CacheEntry).
    if (!entry_->write(offset, data, size)) return false;
    // The checksum of each block, fed as its bytes go by.
    while (size > 0) {
      uint64_t blockEnd = std::min((next_ / kBlockSize + 1) * kBlockSize, entry_->size());
      size_t part = static_cast<size_t>(std::min<uint64_t>(size, blockEnd - next_));
      XXH3_64bits_update(hash_, data, part);
      data += part;
      size -= part;
      next_ += part;
      if (next_ == blockEnd) {
        entry_->blockArrived(next_ == 0 ? 0 : (next_ - 1) / kBlockSize, XXH3_64bits_digest(hash_));
        XXH3_64bits_reset(hash_);
      }
    }
    return true;
  }
  bool whole() const { return next_ >= end_; }
  // Where the bytes got to: a transfer cut short resumes here.
  uint64_t position() const { return next_; }
  uint64_t end() const { return end_; }

 private:
  std::shared_ptr<CacheEntry> entry_;
  const uint64_t begin_;
  const uint64_t end_;
  uint64_t next_;
  XXH3_state_t* hash_;
};

// Ends the run's blocks however the transfer goes: with its answer, or
// with an error when it is dropped before it starts or its completion
// is never called.
struct Ending {
  std::shared_ptr<CacheEntry> entry;
  BlockRun run;
  std::atomic<bool> done{false};
  void finish(const std::optional<Error>& error) {
    if (!done.exchange(true)) entry->fetchEnded(run, error);
  }
  ~Ending() { finish(posix(ECANCELED, "the transfer was dropped")); }
};

}  // namespace

// The budget of ranged transfers: at most `limit` under way; the rest wait
// in order. Transfers call back into it from the extension's threads.
struct ContentReader::Transfers {
  Transfers(fp::ReplicatedExtension& extension, size_t limit, std::shared_ptr<Retry> retry)
      : driver(extension, retry), limit(std::max<size_t>(1, limit)) {}
  ExtensionDriver driver;  // starts transfers and does not wait for them
  const size_t limit;
  std::atomic<bool> stopped{false};
  std::atomic<uint64_t> blocksFetched{0};
  std::mutex mutex;
  size_t running = 0;                         // protected by mutex
  std::deque<std::function<void()>> waiting;  // protected by mutex

  void start(std::function<void()> transfer) {
    {
      std::lock_guard lock(mutex);
      if (running >= limit) {
        waiting.push_back(std::move(transfer));
        return;
      }
      ++running;
    }
    transfer();
  }
  void ended() {
    std::function<void()> next;
    {
      std::lock_guard lock(mutex);
      if (waiting.empty() || stopped.load()) {
        --running;
        return;
      }
      next = std::move(waiting.front());
      waiting.pop_front();
    }
    next();
  }

  // One attempt of a run's transfer, from where the writer got to: the
  // whole run the first time, only its rest after a cut.
  static void attempt(const std::shared_ptr<Transfers>& transfers, const ContentSource& source,
                      const std::shared_ptr<BlockWriter>& writer,
                      const std::shared_ptr<Ending>& ending,
                      const std::shared_ptr<Retry::Attempts>& attempts, uint64_t size) {
    uint64_t from = writer->position();
    bool resumed = from != ending->run.first * kBlockSize;
    fp::ByteRange range{from, writer->end() - from};
    transfers->driver.fetchPartial(
        source.identifier, source.version, range, resumed ? 1 : kBlockSize,
        [writer](uint64_t offset, const char* data, size_t length) {
          return writer->write(offset, data, length);
        },
        [transfers, source, writer, ending, attempts, size](Result<fp::PartialContents> answer) {
          std::optional<Error> error;
          if (!answer) {
            error = answer.error();
          } else if (answer->fileSize != size) {
            error = fp::fileProviderError(fp::kErrorVersionNoLongerAvailable);
          } else if (!writer->whole()) {
            error = transferError(TransferError::connectionLost,
                                  "the service delivered less of the file than it said");
          }
          // The pause keeps this transfer's place in the budget.
          const auto& retry = transfers->driver.retry();
          if (error && retry && retry->again(*attempts, *error, transfers->stopped)) {
            attempt(transfers, source, writer, ending, attempts, size);
            return;
          }
          if (!error) {
            if (retry) retry->succeeded();
            transfers->blocksFetched += ending->run.end - ending->run.first;
          }
          ending->finish(error);
          transfers->ended();
        });
  }
};

ContentReader::ContentReader(ExtensionDriver& driver, size_t maxTransfers,
                             std::chrono::steady_clock::duration timeout)
    : driver_(driver),
      timeout_(timeout),
      transfers_(std::make_shared<Transfers>(driver.extension(), maxTransfers, driver.retry())) {}

ContentReader::~ContentReader() {
  stop();
}

void ContentReader::stop() {
  transfers_->stopped.store(true);
  transfers_->driver.stopWaiting();
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(transfers_->mutex);
    dropped.swap(transfers_->waiting);
  }
  // Each dropped transfer ends its blocks with an error as it goes.
}

uint64_t ContentReader::blocksFetched() const {
  return transfers_->blocksFetched.load();
}

Result<FirstBlock> ContentReader::fetchFirstBlock(const ContentSource& source) {
  auto bytes = std::make_shared<std::string>();
  // Grown once: a block gathered piece by piece would be copied again and
  // again, and each larger buffer touched afresh.
  bytes->reserve(kBlockSize);
  // Bytes already held are skipped, so that an attempt after a cut one may
  // overlap it; a gap is not what was asked.
  auto sink = [bytes](uint64_t offset, const char* data, size_t size) {
    if (offset > bytes->size()) return false;
    uint64_t skip = bytes->size() - offset;
    if (skip < size) bytes->append(data + skip, std::min(size - skip, kBlockSize - bytes->size()));
    return true;
  };
  const auto& retry = driver_.retry();
  Retry::Attempts attempts = retry ? retry->begin() : Retry::Attempts{};
  for (;;) {
    // After a cut, only the rest of the block is asked for.
    uint64_t have = bytes->size() < kBlockSize ? bytes->size() : 0;
    if (have == 0) bytes->clear();
    auto answer =
        driver_.fetchPartialAndWait(source.identifier, source.version, {have, kBlockSize - have},
                                    have == 0 ? kBlockSize : 1, sink, timeout_);
    Error error;
    if (answer) {
      uint64_t expected = std::min<uint64_t>(answer->fileSize, kBlockSize);
      if (bytes->size() == expected) {
        if (retry) retry->succeeded();
        ++transfers_->blocksFetched;
        return FirstBlock{std::move(*answer), std::move(*bytes)};
      }
      if (bytes->size() > expected) bytes->clear();
      error = transferError(TransferError::connectionLost,
                            "the service delivered less of the file than it said");
    } else {
      error = answer.error();
    }
    if (!retry || !retry->again(attempts, error, transfers_->stopped)) {
      return std::unexpected(error);
    }
  }
}

void ContentReader::store(const std::shared_ptr<CacheEntry>& entry, uint64_t offset,
                          const std::string& bytes) {
  BlockRun run{offset / kBlockSize, blockCountFor(offset + bytes.size())};
  for (auto claimed : entry->claim(run)) {
    BlockWriter writer(entry, claimed);
    uint64_t from = claimed.first * kBlockSize;
    bool ok = writer.write(from, bytes.data() + (from - offset), bytes.size() - (from - offset));
    entry->fetchEnded(claimed,
                      ok ? std::nullopt : std::optional(posix(EIO, "cannot write to the cache")));
  }
}

void ContentReader::fetch(const ContentSource& source, const std::shared_ptr<CacheEntry>& entry,
                          BlockRun run) {
  auto ending = std::make_shared<Ending>();
  ending->entry = entry;
  ending->run = run;
  auto transfers = transfers_;
  transfers->start([transfers, source, entry, run, ending] {
    auto writer = std::make_shared<BlockWriter>(entry, run);
    const auto& retry = transfers->driver.retry();
    auto attempts = std::make_shared<Retry::Attempts>(retry ? retry->begin() : Retry::Attempts{});
    Transfers::attempt(transfers, source, writer, ending, attempts, entry->size());
  });
}

Result<void> ContentReader::ensure(const ContentSource& source,
                                   const std::shared_ptr<CacheEntry>& entry, ReadAhead& reader,
                                   uint64_t offset, uint64_t length) {
  uint64_t size = entry->size();
  if (offset >= size || length == 0) return {};
  length = std::min(length, size - offset);
  BlockRun needed{offset / kBlockSize, blockCountFor(offset + length)};

  // Read ahead of a reader that goes through the file in order.
  BlockRun ahead{};
  {
    std::lock_guard lock(reader.mutex);
    // A first read is no order yet: a file manager peeking at the head of
    // each file reads once and closes.
    bool inOrder =
        (offset == reader.nextOffset && reader.nextOffset != 0) ||
        (reader.window > 0 && offset >= reader.nextOffset && offset < reader.fetchedUntil);
    if (!inOrder) {
      reader.window = 0;
      reader.fetchedUntil = 0;
    } else {
      uint64_t end = offset + length;
      if (reader.window == 0) {
        reader.window = kInitialWindow;
        reader.fetchedUntil = end;
      }
      // Once the reader is half-way into what was read ahead, the window
      // grows and moves on.
      if (reader.fetchedUntil < end + reader.window / 2) {
        if (reader.fetchedUntil > end) reader.window = std::min(reader.window * 2, kMaxWindow);
        uint64_t from = std::max(reader.fetchedUntil, end);
        uint64_t to = std::min(size, end + reader.window);
        if (to > from) ahead = {from / kBlockSize, blockCountFor(to)};
        reader.fetchedUntil = std::max(reader.fetchedUntil, to);
      }
    }
    reader.nextOffset = offset + length;
  }

  auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (int attempt = 0; attempt < 4; ++attempt) {
    for (auto run : entry->claim(needed)) fetch(source, entry, run);
    if (ahead.end > ahead.first) {
      uint64_t stream =
          std::max(kMinStream, (ahead.end - ahead.first) * kBlockSize / kStreamsPerWindow) /
          kBlockSize;
      for (auto run : entry->claim(ahead)) {
        for (uint64_t at = run.first; at < run.end; at += stream) {
          fetch(source, entry, {at, std::min(run.end, at + stream)});
        }
      }
      ahead = {};
    }
    Error error;
    CacheEntry::Wait outcome = CacheEntry::Wait::timedOut;
    do {
      if (transfers_->stopped.load())
        return std::unexpected(posix(EIO, "the domain is being stopped"));
      auto slice = std::min(deadline, std::chrono::steady_clock::now() + kStopCheck);
      outcome = entry->waitFor(needed, slice, &error);
    } while (outcome == CacheEntry::Wait::timedOut && std::chrono::steady_clock::now() < deadline);
    switch (outcome) {
      case CacheEntry::Wait::ready:
        if (entry->verify(needed)) return {};
        continue;  // dropped: fetched again
      case CacheEntry::Wait::failed:
        return std::unexpected(error);
      case CacheEntry::Wait::absent:
        continue;
      case CacheEntry::Wait::timedOut:
        return std::unexpected(posix(ETIMEDOUT, "the file's contents did not come in time"));
    }
  }
  return std::unexpected(posix(EIO, "the file's contents could not be fetched"));
}

}  // namespace lumora::fuse
