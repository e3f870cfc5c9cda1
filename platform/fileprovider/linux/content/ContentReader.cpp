#include "platform/fileprovider/linux/content/ContentReader.h"

#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <deque>

#include "platform/fileprovider/linux/base/Log.h"
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
        generation_(run.generation),
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
    // The entry's contents were dropped since the claim: these bytes may
    // be of a version that turned out to be another, and the blocks are
    // someone else's to fetch now.
    if (entry_->generation() != generation_) return false;
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
        entry_->blockArrived(next_ == 0 ? 0 : (next_ - 1) / kBlockSize, XXH3_64bits_digest(hash_),
                             generation_);
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
  const uint64_t generation_;
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

// A run's transfer from its queue to its end. Read-ahead passes into the
// class of reads waited for once a read waits for one of its blocks, and
// is no longer cancelled then.
struct TransferJob {
  enum class State { queued, underWay, over };
  ContentSource source;
  std::shared_ptr<Ending> ending;  // its entry and run
  bool ahead = false;              // protected by the queue's mutex
  State state = State::queued;     // protected by the queue's mutex
  // Nobody wants it any more: its sink stops it at its next bytes...
  std::atomic<bool> cancelled{false};
  // ...which it did: the rest of its run is absent again, not failed.
  std::atomic<bool> cut{false};
  std::weak_ptr<ContentReader::Transfers> queue;

  bool overlaps(const CacheEntry* entry, BlockRun run) const {
    return ending->entry.get() == entry && ending->run.first < run.end &&
           run.first < ending->run.end;
  }
  static void cancel(const std::shared_ptr<TransferJob>& job);
};

// The budget of ranged transfers: at most `limit` under way. Waiting to
// start, transfers that reads wait for go before read-ahead, which takes at
// most `limit - kSlotsForReads` slots. Transfers call back into it from
// the extension's threads.
struct ContentReader::Transfers {
  using Job = std::shared_ptr<TransferJob>;

  Transfers(fp::ReplicatedExtension& extension, size_t limit, std::shared_ptr<Retry> retry,
            bool readersFirst)
      : driver(extension, retry),
        limit(std::max<size_t>(1, limit)),
        aheadLimit(readersFirst
                       ? std::max<size_t>(1, this->limit - std::min(this->limit, kSlotsForReads))
                       : this->limit),
        readersFirst(readersFirst) {}
  ExtensionDriver driver;  // starts transfers and does not wait for them
  const size_t limit;
  const size_t aheadLimit;
  const bool readersFirst;
  std::atomic<bool> stopped{false};
  std::atomic<uint64_t> blocksFetched{0};
  std::mutex mutex;
  size_t running = 0;                  // protected by mutex
  size_t runningAhead = 0;             // protected by mutex
  std::deque<Job> waited;              // protected by mutex; in arrival order
  std::deque<Job> ahead;               // protected by mutex; in arrival order
  std::vector<TransferJob*> underWay;  // protected by mutex

  bool mayStartLocked(bool isAhead) const {
    if (isAhead) return running < limit && runningAhead < aheadLimit;
    // Slots read-ahead leaves free are taken by reads; a small budget
    // still lets reads past read-ahead that fills it.
    return running < limit || (readersFirst && running - runningAhead < kSlotsForReads);
  }

  void enqueue(const Job& job) {
    {
      std::lock_guard lock(mutex);
      // Before reads came first, everything shared one queue.
      (job->ahead && readersFirst ? ahead : waited).push_back(job);
    }
    drain();
  }

  // Starts what the budget allows, reads waited for first.
  void drain() {
    std::vector<Job> go;
    {
      std::lock_guard lock(mutex);
      if (stopped.load()) return;
      for (;;) {
        std::deque<Job>* from = nullptr;
        if (!waited.empty() && mayStartLocked(false)) {
          from = &waited;
        } else if (!ahead.empty() && mayStartLocked(true)) {
          from = &ahead;
        } else {
          break;
        }
        Job job = std::move(from->front());
        from->pop_front();
        job->state = TransferJob::State::underWay;
        ++running;
        if (job->ahead) ++runningAhead;
        underWay.push_back(job.get());
        go.push_back(std::move(job));
      }
    }
    for (auto& job : go) begin(job);
  }

  void ended(const Job& job) {
    {
      std::lock_guard lock(mutex);
      --running;
      if (job->ahead) --runningAhead;
      job->state = TransferJob::State::over;
      std::erase(underWay, job.get());
    }
    drain();
  }

  // Read-ahead that nobody wants any more: dropped when it has not started,
  // cut at its next bytes when it has. Its blocks end absent, for whoever
  // claims them next.
  void cancel(const Job& job) {
    if (!readersFirst) return;
    {
      std::lock_guard lock(mutex);
      if (!job->ahead || job->state == TransferJob::State::over) return;
      if (job->state == TransferJob::State::underWay) {
        job->cancelled.store(true);
        return;
      }
      std::erase(ahead, job);
      job->state = TransferJob::State::over;
    }
    job->ending->finish(std::nullopt);
  }

  // A read waits for `run` of `entry`: read-ahead that holds any of it is
  // waited for from now on.
  void promote(const CacheEntry* entry, BlockRun run) {
    bool changed = false;
    {
      std::lock_guard lock(mutex);
      for (auto it = ahead.begin(); it != ahead.end();) {
        if (!(*it)->overlaps(entry, run)) {
          ++it;
          continue;
        }
        (*it)->ahead = false;
        waited.push_back(std::move(*it));
        it = ahead.erase(it);
        changed = true;
      }
      for (TransferJob* job : underWay) {
        if (!job->ahead || !job->overlaps(entry, run)) continue;
        job->ahead = false;
        job->cancelled.store(false);  // too late when it was cut already
        --runningAhead;
        changed = true;
      }
    }
    if (changed) drain();
  }

  // Everything waiting to start is dropped; its blocks end with an error.
  void dropWaiting() {
    std::vector<Job> dropped;
    {
      std::lock_guard lock(mutex);
      for (auto* queue : {&waited, &ahead}) {
        for (auto& job : *queue) {
          job->state = TransferJob::State::over;
          dropped.push_back(std::move(job));
        }
        queue->clear();
      }
    }
    for (auto& job : dropped) job->ending->finish(posix(ECANCELED, "the transfer was dropped"));
  }

  void begin(const Job& job);

  // One attempt of a run's transfer, from where the writer got to: the
  // whole run the first time, only its rest after a cut.
  static void attempt(const std::shared_ptr<Transfers>& transfers, const Job& job,
                      const std::shared_ptr<BlockWriter>& writer,
                      const std::shared_ptr<Retry::Attempts>& attempts, uint64_t size) {
    const ContentSource& source = job->source;
    uint64_t from = writer->position();
    bool resumed = from != job->ending->run.first * kBlockSize;
    fp::ByteRange range{from, writer->end() - from};
    // Read-ahead goes out as speculative, so that it leaves the connections
    // that reads waited for use to them; one a read came to wait for no
    // longer is. The one queue of old marked nothing.
    fp::Request request;
    {
      std::lock_guard lock(transfers->mutex);
      request.speculative = job->ahead && transfers->readersFirst;
    }
    transfers->driver.fetchPartial(
        source.identifier, source.version, range, resumed ? 1 : kBlockSize,
        [writer, job](uint64_t offset, const char* data, size_t length) {
          if (job->cancelled.load()) {
            job->cut.store(true);
            return false;
          }
          return writer->write(offset, data, length);
        },
        [transfers, job, writer, attempts, size](Result<fp::PartialContents> answer) {
          const auto& ending = job->ending;
          std::optional<Error> error;
          if (!answer) {
            error = answer.error();
          } else if (answer->fileSize != size) {
            error = fp::fileProviderError(fp::kErrorVersionNoLongerAvailable);
          } else if (!writer->whole()) {
            error = transferError(TransferError::connectionLost,
                                  "the service delivered less of the file than it said");
          }
          // Cut, or cancelled before its next attempt: what did not arrive
          // is absent again, without an error for a read to see.
          if (error && (job->cut.load() || job->cancelled.load())) {
            ending->finish(std::nullopt);
            transfers->ended(job);
            return;
          }
          // The pause keeps this transfer's place in the budget.
          const auto& retry = transfers->driver.retry();
          if (error && retry && retry->again(*attempts, *error, transfers->stopped)) {
            attempt(transfers, job, writer, attempts, size);
            return;
          }
          if (!error) {
            if (retry) retry->succeeded();
            transfers->blocksFetched += ending->run.end - ending->run.first;
          }
          ending->finish(error);
          transfers->ended(job);
        },
        request);
  }
};

void ContentReader::Transfers::begin(const Job& job) {
  auto transfers = job->queue.lock();
  if (!transfers) return;
  const auto& ending = job->ending;
  auto writer = std::make_shared<BlockWriter>(ending->entry, ending->run);
  const auto& retry = driver.retry();
  auto attempts = std::make_shared<Retry::Attempts>(retry ? retry->begin() : Retry::Attempts{});
  attempt(transfers, job, writer, attempts, ending->entry->size());
}

void TransferJob::cancel(const std::shared_ptr<TransferJob>& job) {
  if (auto transfers = job->queue.lock()) transfers->cancel(job);
}

ReadAhead::~ReadAhead() {
  for (auto& issuedJob : issued) {
    if (auto job = issuedJob.lock()) TransferJob::cancel(job);
  }
}

ContentReader::ContentReader(ExtensionDriver& driver, size_t maxTransfers,
                             std::chrono::steady_clock::duration timeout, bool readersFirst)
    : driver_(driver),
      timeout_(timeout),
      transfers_(std::make_shared<Transfers>(driver.extension(), maxTransfers, driver.retry(),
                                             readersFirst)) {}

ContentReader::~ContentReader() {
  stop();
}

void ContentReader::stop() {
  transfers_->stopped.store(true);
  transfers_->driver.stopWaiting();
  transfers_->dropWaiting();
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

std::shared_ptr<TransferJob> ContentReader::fetch(const ContentSource& source,
                                                  const std::shared_ptr<CacheEntry>& entry,
                                                  BlockRun run, bool ahead) {
  auto job = std::make_shared<TransferJob>();
  job->source = source;
  job->ending = std::make_shared<Ending>();
  job->ending->entry = entry;
  job->ending->run = run;
  job->ahead = ahead;
  job->queue = transfers_;
  transfers_->enqueue(job);
  return job;
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
  std::vector<std::weak_ptr<TransferJob>> away;
  {
    std::lock_guard lock(reader.mutex);
    // A first read is no order yet: a file manager peeking at the head of
    // each file reads once and closes.
    // Early in a run nothing is read ahead yet: the kernel's reads a little
    // ahead of the last one, out of order, still continue it.
    bool inOrder = (offset == reader.nextOffset && reader.nextOffset != 0) ||
                   (reader.window > 0 && offset >= reader.nextOffset &&
                    offset < std::max(reader.fetchedUntil, reader.nextOffset + kPeekStart));
    // A read the kernel sent before the last one, handled after it: the run
    // goes on as it was. Starting it again would read nothing ahead for a
    // while, and a fast reader meets such reads all the time.
    bool late = !inOrder && offset < reader.nextOffset && offset >= reader.runStart &&
                reader.nextOffset - offset <= kJumpDistance && reader.nextOffset != 0;
    if (late) {
      // Nothing changes: the reader is still where it was.
    } else if (!inOrder) {
      // A jump away, not a read a little behind or ahead (the kernel's own
      // read-ahead sends several reads at once, handled out of order):
      // what was read ahead for the reader is not wanted.
      uint64_t distance =
          offset > reader.nextOffset ? offset - reader.nextOffset : reader.nextOffset - offset;
      if (distance > kJumpDistance) {
        away.swap(reader.issued);
      }
      reader.window = 0;
      reader.fetchedUntil = 0;
      reader.runStart = offset;
    } else {
      uint64_t end = offset + length;
      if (reader.window == 0) reader.fetchedUntil = end;
      // Over a file's first MiBs the window is a quarter of what was read
      // in order, so that a peek at the head (a thumbnailer's) fetches
      // little beyond what it and the kernel's read-ahead read. Past them
      // it is a reader that goes on: the window doubles as the reader
      // moves into it, for wide transfers.
      uint64_t run = end - reader.runStart;
      bool peek = run < kPeekRun;
      reader.window = peek ? std::clamp(run / 4, kInitialWindow, kMaxWindow)
                           : std::max(reader.window, std::min(run, kMaxWindow));
      // A peek at one place (a thumbnailer's: the head, an index, a frame)
      // reads a few hundred KiB in order, and the kernel reads ahead of it
      // already: nothing more is fetched until the run is longer.
      if (run < kPeekStart) {
        reader.fetchedUntil = std::max(reader.fetchedUntil, end);
      } else if (reader.fetchedUntil < end + reader.window / 2) {
        // Once the reader is half-way into what was read ahead, the window
        // moves on, to a whole block: a part of one would be fetched whole.
        if (!peek && reader.fetchedUntil > end)
          reader.window = std::min(reader.window * 2, kMaxWindow);
        uint64_t from = std::max(reader.fetchedUntil, end);
        uint64_t to = std::min(
            size, std::max((end + reader.window) / kBlockSize * kBlockSize, from + kBlockSize));
        if (to > from) ahead = {from / kBlockSize, blockCountFor(to)};
        reader.fetchedUntil = std::max(reader.fetchedUntil, to);
      }
    }
    reader.nextOffset = std::max(reader.nextOffset, offset + length);
    if (!inOrder && !late) reader.nextOffset = offset + length;
  }
  // Of it, what holds blocks this read needs is waited for below.
  for (auto& issued : away) {
    auto job = issued.lock();
    if (job && !job->overlaps(entry.get(), needed)) transfers_->cancel(job);
  }

  auto deadline = std::chrono::steady_clock::now() + timeout_;
  for (int attempt = 0; attempt < 4; ++attempt) {
    for (auto run : entry->claim(needed)) fetch(source, entry, run, false);
    transfers_->promote(entry.get(), needed);
    if (ahead.end > ahead.first) {
      uint64_t stream =
          std::max(kMinStream, (ahead.end - ahead.first) * kBlockSize / kStreamsPerWindow);
      if (transfers_->readersFirst) stream = std::min(stream, kMaxStream);
      stream /= kBlockSize;
      std::vector<std::shared_ptr<TransferJob>> started;
      for (auto run : entry->claim(ahead)) {
        for (uint64_t at = run.first; at < run.end; at += stream) {
          started.push_back(
              fetch(source, entry, {at, std::min(run.end, at + stream), run.generation}, true));
        }
      }
      ahead = {};
      if (transfers_->readersFirst) {
        std::lock_guard lock(reader.mutex);
        std::erase_if(reader.issued, [](const auto& job) { return job.expired(); });
        reader.issued.insert(reader.issued.end(), started.begin(), started.end());
      }
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
