#include "platform/fileprovider/linux/content/ContentCache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/fileprovider/linux/base/Log.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPartialPrefix = ".partial-";
constexpr const char* kMapSuffix = ".map";
// Beside a kept entry's data: the item's identifier.
constexpr const char* kKeptSuffix = ".kept";
constexpr const char* kTemporarySuffix = ".tmp";
// Complete small entries' maps, appended to one file shared by all of them.
constexpr const char* kJournalName = "journal";
// "LJNL", then the layout's version.
constexpr char kJournalMagic[8] = {'L', 'J', 'N', 'L', 0, 0, 0, 1};
constexpr size_t kNameLength = 64;
// Above this many changed entries, a flush syncs the whole file system once.
constexpr size_t kSyncOneByOne = 8;

std::optional<DiskSpace> statDisk(const fs::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return DiskSpace{static_cast<uint64_t>(st.f_bavail) * st.f_frsize,
                   static_cast<uint64_t>(st.f_blocks) * st.f_frsize};
}

std::optional<std::string> readSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The checksums of a whole file's blocks; none when it cannot be read whole.
std::optional<BlockMap> mapOfWholeFile(int fd, uint64_t size) {
  BlockMap map(size);
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kBlockSize, size)));
  for (uint64_t i = 0; i < map.blockCount(); ++i) {
    uint64_t offset = i * kBlockSize;
    size_t length = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size - offset));
    size_t got = 0;
    while (got < length) {
      ssize_t n = ::pread(fd, buffer.data() + got, length - got, static_cast<off_t>(offset + got));
      if (n <= 0) return std::nullopt;
      got += static_cast<size_t>(n);
    }
    map.present[i] = true;
    map.checksums[i] = blockChecksum(buffer.data(), length);
  }
  return map;
}

// As many of `bytes` as the disk took: all of them unless it failed.
size_t writeAll(int fd, std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  return written;
}

bool writeFileDurablyNamed(const fs::path& target, const std::string& bytes) {
  fs::path temporary = target;
  temporary += kTemporarySuffix;
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  size_t written = writeAll(fd.get(), bytes);
  // The map's own bytes need no sync of their own: one that is torn by a
  // crash fails its checksum and drops the entry.
  fd.reset();
  if (written != bytes.size() || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void putNumber(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint64_t getNumber(std::string_view in, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  return value;
}

// One journal record: the length of what follows, the entry's name and its
// map, and a checksum of all of it. A record cut short by a crash or
// damaged fails its checksum.
void appendJournalRecord(std::string& out, const std::string& name, const BlockMap& map) {
  size_t start = out.size();
  std::string body = name + map.encode();
  putNumber(out, body.size(), 4);
  out += body;
  putNumber(out, blockChecksum(out.data() + start, out.size() - start), 8);
}

// The maps a journal holds by name, the later record of a name winning.
// Reading stops at the first record that fails its checks: what follows
// it cannot be framed.
std::map<std::string, BlockMap> readJournal(std::string_view bytes) {
  std::map<std::string, BlockMap> maps;
  if (bytes.size() < sizeof kJournalMagic ||
      std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0) {
    return maps;
  }
  for (size_t at = sizeof kJournalMagic; at + 4 <= bytes.size();) {
    uint64_t length = getNumber(bytes, at, 4);
    if (length < kNameLength || bytes.size() - at - 4 < length + 8) break;
    if (blockChecksum(bytes.data() + at, 4 + length) != getNumber(bytes, at + 4 + length, 8)) break;
    std::string name(bytes.substr(at + 4, kNameLength));
    auto map = BlockMap::decode(bytes.substr(at + 4 + kNameLength, length - kNameLength));
    if (!map || !map->complete()) break;
    maps.insert_or_assign(std::move(name), std::move(*map));
    at += 4 + length + 8;
  }
  return maps;
}

uint64_t freeSpaceFloor(const DiskSpace& disk) {
  auto share = static_cast<uint64_t>(static_cast<double>(disk.total) * kFreeSpaceFloorShare);
  return std::min(share, kFreeSpaceFloorMax);
}

// The map of a complete entry of `size` bytes with these checksums.
BlockMap wholeMap(uint64_t size, std::vector<uint64_t> checksums) {
  BlockMap map(size);
  map.present.flip();
  map.checksums = std::move(checksums);
  return map;
}
}  // namespace

struct ContentCache::Slot {
  // None while the entry rests (see kLiveEntries): then it is complete and
  // its map is on the disk; its blocks' checksums stand for it, and
  // `checked` says whether they were checked since the start.
  std::shared_ptr<CacheEntry> entry;
  std::vector<uint64_t> resting;
  bool checked = false;
  uint64_t size = 0;
  uint64_t lastUse = 0;
  int pins = 0;
  bool discarded = false;
  bool kept = false;
  std::string keptIdentifier;  // kept: whose contents these are
  // Its map goes to the journal while it is complete, else to its own file.
  bool journaled = false;
};

struct ContentCache::State {
  fs::path directory;
  uint64_t limit = 0;
  DiskSpaceProbe probe;
  std::shared_ptr<DescriptorPool> pool = std::make_shared<DescriptorPool>(kIdleDescriptors);
  std::mutex mutex;
  std::condition_variable wake;       // the flusher's
  std::map<std::string, Slot> slots;  // protected by mutex; named entries only
  // Names of the slots whose entries do not rest; protected by mutex.
  std::set<std::string> live;
  // Slots that may be evicted (all but kept ones), by last use, oldest
  // first: their names in `slots`; protected by mutex.
  std::map<uint64_t, const std::string*> byUse;
  // Entries read through, by name, while someone holds them; protected by mutex.
  std::map<std::string, std::weak_ptr<CacheEntry>> streams;
  // Kept entries' names by item identifier; protected by mutex.
  std::map<std::string, std::string> kept;
  uint64_t keptTotal = 0;  // protected by mutex; their sizes
  uint64_t total = 0;      // protected by mutex; their sizes
  uint64_t tick = 0;       // protected by mutex
  bool stopping = false;   // protected by mutex

  void removeFiles(const std::string& name) const {
    std::error_code ec;
    fs::remove(directory / name, ec);
    fs::remove(directory / (name + kMapSuffix), ec);
    fs::remove(directory / (name + kKeptSuffix), ec);
  }

  // Takes the slot off the books and its files off the disk.
  void eraseLocked(std::map<std::string, Slot>::iterator it) {
    removeFiles(it->first);
    if (it->second.entry) it->second.entry->closeIdle();
    total -= it->second.size;
    if (it->second.kept) {
      keptTotal -= it->second.size;
      auto named = kept.find(it->second.keptIdentifier);
      if (named != kept.end() && named->second == it->first) kept.erase(named);
    } else {
      byUse.erase(it->second.lastUse);
    }
    live.erase(it->first);
    slots.erase(it);
  }

  static bool completeLocked(const Slot& slot) { return !slot.entry || slot.entry->complete(); }

  // Never evicted from now on.
  void keepLocked(Slot& slot, const std::string& identifier) {
    if (!slot.kept) byUse.erase(slot.lastUse);
    slot.kept = true;
    slot.keptIdentifier = identifier;
    keptTotal += slot.size;
  }

  void usedLocked(std::map<std::string, Slot>::iterator it) {
    Slot& slot = it->second;
    if (!slot.kept) byUse.erase(slot.lastUse);
    slot.lastUse = ++tick;
    if (!slot.kept) byUse.emplace(slot.lastUse, &it->first);
  }

  // The entry goes now, or with its last lease.
  void discardLocked(const std::string& name) {
    auto it = slots.find(name);
    if (it == slots.end()) return;
    it->second.discarded = true;
    if (it->second.pins == 0) eraseLocked(it);
  }

  // True when the entry is on the books and now held once more.
  bool pin(const CacheEntry& entry) {
    if (entry.transient()) return false;
    std::lock_guard lock(mutex);
    auto it = slots.find(entry.name());
    if (it == slots.end() || it->second.entry.get() != &entry) return false;
    ++it->second.pins;
    return true;
  }

  void unpin(const CacheEntry& entry) {
    if (entry.transient()) return;
    std::lock_guard lock(mutex);
    auto it = slots.find(entry.name());
    if (it == slots.end() || it->second.entry.get() != &entry) return;
    if (it->second.pins > 0) --it->second.pins;
    if (it->second.pins == 0 && it->second.discarded) {
      eraseLocked(it);
    } else if (it->second.pins == 0 && total > limit) {
      // Held open when the limit was lowered: it goes now, if need be.
      evictLocked(0, {}, true);
    }
  }

  // Evicts the least recently used entry that no one holds; the bytes
  // freed, none when everything left is in use.
  std::optional<uint64_t> evictOneLocked(const std::string& keep) {
    for (const auto& [use, name] : byUse) {
      auto it = slots.find(*name);
      if (it->second.pins > 0 || *name == keep) continue;
      uint64_t size = it->second.size;
      eraseLocked(it);
      return size;
    }
    return std::nullopt;
  }

  // Makes room for `wanted` more bytes below the limit (when `counted`)
  // and above the free space floor. True when there is room.
  bool evictLocked(uint64_t wanted, const std::string& keep, bool counted) {
    auto disk = probe(directory);
    uint64_t floor = disk ? freeSpaceFloor(*disk) : 0;
    uint64_t freed = 0;
    auto overLimit = [&] { return counted && total + wanted > limit; };
    auto shortOfDisk = [&] { return disk && disk->available + freed < floor + wanted; };
    while (overLimit() || shortOfDisk()) {
      auto size = evictOneLocked(keep);
      if (!size) return false;
      freed += *size;
    }
    return true;
  }

  // Room on the disk for `bytes` more of an entry's blocks.
  bool room(uint64_t bytes, const std::string& keep) {
    std::lock_guard lock(mutex);
    return evictLocked(bytes, keep, false);
  }

  // The disk refused a write: frees `bytes`, whatever its count says.
  bool free(uint64_t bytes, const std::string& keep) {
    std::lock_guard lock(mutex);
    for (uint64_t freed = 0; freed < bytes;) {
      auto size = evictOneLocked(keep);
      if (!size) return false;
      freed += *size;
    }
    return true;
  }
};

ContentCache::Lease& ContentCache::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    entry_ = std::move(other.entry_);
  }
  return *this;
}

ContentCache::Lease::Lease(std::shared_ptr<State> state, std::shared_ptr<CacheEntry> entry)
    : state_(std::move(state)), entry_(std::move(entry)) {
  if (entry_) entry_->leased();
}

ContentCache::Lease ContentCache::Lease::another() const {
  if (!entry_) return Lease();
  if (state_ && state_->pin(*entry_)) return Lease(state_, entry_);
  return Lease(nullptr, entry_);
}

ContentCache::Lease::~Lease() {
  reset();
}

void ContentCache::Lease::reset() {
  if (entry_) entry_->released();
  if (state_ && entry_) state_->unpin(*entry_);
  state_.reset();
  entry_.reset();
}

ContentCache::ContentCache(fs::path directory, uint64_t limitBytes, DiskSpaceProbe probe)
    : directory_(std::move(directory)), state_(std::make_shared<State>()) {
  state_->directory = directory_;
  state_->limit = limitBytes;
  state_->probe = probe ? std::move(probe) : DiskSpaceProbe(statDisk);
  // Entries may outlive the cache, in transfers that end late.
  room_ = std::make_shared<const RoomFunction>(
      [weak = std::weak_ptr<State>(state_)](const std::string& name, uint64_t bytes, bool refused) {
        auto state = weak.lock();
        if (!state) return !refused;
        return refused ? state->free(bytes, name) : state->room(bytes, name);
      });
}

EntryStorage ContentCache::storageFor(const std::string& name) const {
  EntryStorage storage;
  storage.path = (directory_ / name).string();
  storage.pool = state_->pool;
  storage.room = room_;
  return storage;
}

ContentCache::~ContentCache() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (flusher_.joinable()) flusher_.join();
  flush();
}

Result<void> ContentCache::prepare() {
  std::error_code ec;
  fs::create_directories(directory_.parent_path(), ec);
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + directory_.string()));
  }
  ::chmod(directory_.c_str(), 0700);
  struct Found {
    std::string name;
    BlockMap map;
    fs::file_time_type time;
    bool journaled = false;
  };
  std::vector<Found> found;
  std::vector<fs::path> doomed;
  std::map<std::string, uint64_t> dataSizes;
  std::vector<std::string> maps;
  std::vector<std::string> keptMarks;
  // Every file here is an entry's data or map, or goes: nothing stays on
  // the disk that the limit does not count. Folders are the daemon's own.
  for (const auto& entry : fs::directory_iterator(directory_, ec)) {
    std::string name = entry.path().filename().string();
    std::error_code kind;
    if (entry.is_directory(kind) || name == kJournalName) continue;
    bool regular = entry.is_regular_file(kind);
    if (regular && name.size() == kNameLength) {
      dataSizes[name] = entry.file_size(kind);
    } else if (regular && name.size() == kNameLength + 4 && name.ends_with(kMapSuffix)) {
      maps.push_back(name.substr(0, kNameLength));
    } else if (regular && name.size() == kNameLength + 5 && name.ends_with(kKeptSuffix)) {
      keptMarks.push_back(name.substr(0, kNameLength));
    } else {
      doomed.push_back(entry.path());
    }
  }
  if (ec) return std::unexpected(posixError(ec.value(), "cannot read " + directory_.string()));
  for (const auto& name : maps) {
    fs::path mapPath = directory_ / (name + kMapSuffix);
    auto bytes = readSmallFile(mapPath);
    auto map = bytes ? BlockMap::decode(*bytes) : std::nullopt;
    auto data = dataSizes.find(name);
    if (!map || data == dataSizes.end() || data->second < map->fileSize) {
      log("dropping a cached file that does not match its map");
      doomed.push_back(mapPath);
      if (data != dataSizes.end()) doomed.push_back(directory_ / name);
      continue;
    }
    found.push_back({name, std::move(*map), fs::last_write_time(mapPath, ec)});
    dataSizes.erase(data);
  }
  // Small complete entries whose data is there in full; the records of the
  // rest are left out of the journal written afresh below.
  fs::path journalPath = directory_ / kJournalName;
  auto journalBytes = readSmallFile(journalPath);
  auto journalTime = fs::last_write_time(journalPath, ec);
  for (auto& [name, map] : readJournal(journalBytes.value_or(std::string()))) {
    auto data = dataSizes.find(name);
    if (data == dataSizes.end() || data->second != map.fileSize) continue;
    found.push_back({name, std::move(map), journalTime, true});
    dataSizes.erase(data);
  }
  // Data with no map never had its blocks made durable.
  for (const auto& [name, size] : dataSizes) doomed.push_back(directory_ / name);
  for (const auto& path : doomed) fs::remove(path, ec);

  // Journaled entries keep their records' order among themselves.
  std::stable_sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.time < b.time; });
  std::string records;
  size_t recordCount = 0;
  for (const auto& file : found) {
    if (!file.journaled) continue;
    appendJournalRecord(records, file.name, file.map);
    ++recordCount;
  }
  if (journalBytes || recordCount > 0) {
    std::lock_guard flushing(flushMutex_);
    if (!rewriteJournal(records, recordCount)) {
      // Its entries cannot be told from data with no map at the next start.
      log("cannot write the cache's journal");
    }
  }
  {
    // Opened only when used: a full cache costs no descriptors.
    std::lock_guard lock(state_->mutex);
    for (auto& file : found) {
      auto it = state_->slots.try_emplace(std::move(file.name)).first;
      Slot& slot = it->second;
      slot.size = file.map.fileSize;
      slot.journaled = file.journaled;
      if (file.map.complete()) {
        slot.resting = std::move(file.map.checksums);  // checked when first served
      } else {
        slot.entry =
            std::make_shared<CacheEntry>(it->first, storageFor(it->first), std::move(file.map),
                                         /*fromEarlierRun=*/true, /*transient=*/false);
        state_->live.insert(it->first);
      }
      state_->usedLocked(it);
      state_->total += slot.size;
    }
    for (const auto& name : keptMarks) {
      auto slot = state_->slots.find(name);
      auto identifier = readSmallFile(directory_ / (name + kKeptSuffix));
      if (slot == state_->slots.end() || !identifier || !State::completeLocked(slot->second)) {
        fs::remove(directory_ / (name + kKeptSuffix), ec);
        continue;
      }
      // Two versions of one item kept: a crash came between the keep of
      // the newer and the drop of the older; the later mark wins.
      if (auto other = state_->kept.find(*identifier); other != state_->kept.end()) {
        state_->discardLocked(other->second);
      }
      state_->keepLocked(slot->second, *identifier);
      state_->kept[*identifier] = name;
    }
    state_->evictLocked(0, {}, true);
  }
  if (!flusher_.joinable()) flusher_ = std::thread([this] { runFlusher(); });
  return {};
}

std::string ContentCache::fileNameFor(const std::string& identifier, const std::string& version) {
  // The NUL keeps ("ab", "c") and ("a", "bc") apart.
  std::string input = identifier;
  input.push_back('\0');
  input += version;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // Names are asked for on every open: the digest is looked up once, and
  // each thread keeps its context, which costs more than hashing a name.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                               EVP_MD_CTX_free);
  if (!sha256 || !context || !EVP_DigestInit_ex2(context.get(), sha256, nullptr) ||
      !EVP_DigestUpdate(context.get(), input.data(), input.size()) ||
      !EVP_DigestFinal_ex(context.get(), digest, &length)) {
    EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 15]);
  }
  return name;
}

ContentCache::Lease ContentCache::leaseLocked(std::map<std::string, Slot>::iterator it) {
  Slot& slot = it->second;
  if (!slot.entry) {
    slot.entry = std::make_shared<CacheEntry>(it->first, storageFor(it->first),
                                              wholeMap(slot.size, std::move(slot.resting)),
                                              !slot.checked, false);
    slot.resting = {};
    state_->live.insert(it->first);
  }
  state_->usedLocked(it);
  ++slot.pins;
  return Lease(state_, slot.entry);
}

void ContentCache::restIdle() {
  std::lock_guard lock(state_->mutex);
  if (state_->live.size() <= kLiveEntries) return;
  for (auto name = state_->live.begin(); name != state_->live.end();) {
    Slot& slot = state_->slots.at(*name);
    const auto& entry = slot.entry;
    bool idle = slot.pins == 0 && !slot.discarded && slot.lastUse + kLiveEntries <= state_->tick &&
                entry->complete() && !entry->streaming();
    auto map = idle ? entry->settledMap() : std::nullopt;
    if (!map) {
      ++name;
      continue;
    }
    slot.checked = !entry->hasUnverified();
    entry->closeIdle();
    slot.resting = std::move(map->checksums);
    slot.entry.reset();
    name = state_->live.erase(name);
  }
}

std::optional<ContentCache::Lease> ContentCache::open(const std::string& identifier,
                                                      const std::string& version) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(fileNameFor(identifier, version));
  if (it == state_->slots.end() || it->second.discarded) return std::nullopt;
  return leaseLocked(it);
}

Result<ContentCache::Lease> ContentCache::admit(
    const std::string& name, uint64_t size, bool mayStream, bool journaled,
    const std::function<Result<std::shared_ptr<CacheEntry>>(Placement)>& make) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(name);
  if (it != state_->slots.end() && !it->second.discarded) return leaseLocked(it);
  std::erase_if(state_->streams, [](const auto& stream) { return stream.second.expired(); });
  Placement placement = Placement::named;
  if (it != state_->slots.end()) {
    // A discarded entry still held open keeps its files; the new one gets
    // none of its own.
    placement = Placement::transient;
  } else {
    bool room = state_->evictLocked(size, name, true);
    if (!room) {
      // Which room is lacking: the disk's, or only the limit's.
      auto disk = state_->probe(directory_);
      bool diskRoom = !disk || disk->available >= freeSpaceFloor(*disk) + size;
      placement = diskRoom ? Placement::transient : Placement::memory;
    }
  }
  if (placement == Placement::memory && !mayStream) placement = Placement::transient;
  auto entry = make(placement);
  if (!entry) return std::unexpected(entry.error());
  // Read through either way: held only while open, never kept.
  if (placement != Placement::named) state_->streams[name] = *entry;
  if (placement != Placement::named) return Lease(nullptr, std::move(*entry));
  auto made = state_->slots.try_emplace(name).first;
  made->second.entry = std::move(*entry);
  made->second.size = size;
  made->second.journaled = journaled;
  state_->live.insert(name);
  state_->total += size;
  return leaseLocked(made);
}

Result<ContentCache::Lease> ContentCache::adopt(const std::string& identifier,
                                                const std::string& version,
                                                const fs::path& downloaded) {
  std::string name = fileNameFor(identifier, version);
  UniqueFd source(::open(downloaded.c_str(), O_RDWR | O_CLOEXEC));
  if (!source.valid()) return std::unexpected(posixError(errno, "cannot open the download"));
  struct stat st {};
  ::fstat(source.get(), &st);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  auto map = mapOfWholeFile(source.get(), size);
  if (!map) {
    ::unlink(downloaded.c_str());
    return std::unexpected(posixError(EIO, "cannot read the download"));
  }
  // Already on the disk: kept there, if need be with no name.
  bool taken = false;
  auto lease = admit(
      name, size, false, size <= kJournaledFileMax,
      [&](Placement placement) -> Result<std::shared_ptr<CacheEntry>> {
        bool named = placement == Placement::named;
        fs::path target = directory_ / name;
        std::error_code ec;
        bool moved = false;  // `source` is the cache's file now
        if (named) {
          fs::rename(downloaded, target, ec);
          moved = !ec;
          if (ec == std::errc::cross_device_link) {
            // Another file system: copy beside the target, then rename into
            // place, so that no half-written file ever carries a cache name.
            fs::path partial = directory_ / (kPartialPrefix + name);
            ec.clear();
            fs::copy_file(downloaded, partial, fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::rename(partial, target, ec);
            std::error_code ignored;
            if (ec) fs::remove(partial, ignored);
            fs::remove(downloaded, ignored);
          }
          if (ec)
            return std::unexpected(posixError(ec.value(), "cannot store contents in the cache"));
          // Downloads are made private already: no inode change to pay.
          if (moved && (st.st_mode & 07777) != 0600) ::fchmod(source.get(), 0600);
        } else {
          ::unlink(downloaded.c_str());
        }
        taken = true;
        EntryStorage storage = named ? storageFor(name) : EntryStorage{};
        if (!named) {
          storage.fd = std::move(source);
        } else if (moved) {
          // It is read at once: the descriptor at hand saves opening it again.
          storage.opened = std::move(source);
        }
        auto entry =
            std::make_shared<CacheEntry>(name, std::move(storage), std::move(*map), false, !named);
        entry->markMapChanged();
        return entry;
      });
  // Still here when the cache held that version before (a fetch that raced
  // another) or failed to take it.
  if (!taken) ::unlink(downloaded.c_str());
  return lease;
}

Result<ContentCache::Lease> ContentCache::create(const std::string& identifier,
                                                 const std::string& version, uint64_t size) {
  std::string name = fileNameFor(identifier, version);
  return admit(
      name, size, true, false, [&](Placement placement) -> Result<std::shared_ptr<CacheEntry>> {
        if (placement == Placement::memory) {
          return std::make_shared<CacheEntry>(name, EntryStorage{}, BlockMap(size), false, true);
        }
        bool named = placement == Placement::named;
        UniqueFd fd(named ? ::open((directory_ / name).c_str(),
                                   O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                          : ::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (!fd.valid()) return std::unexpected(posixError(errno, "cannot create a cache file"));
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
          int code = errno;
          if (named) ::unlink((directory_ / name).c_str());
          return std::unexpected(posixError(code, "cannot size a cache file"));
        }
        EntryStorage storage = named ? storageFor(name) : EntryStorage{};
        if (named) {
          fd.reset();  // opened again when used
        } else {
          storage.fd = std::move(fd);
          storage.room = room_;
        }
        auto entry =
            std::make_shared<CacheEntry>(name, std::move(storage), BlockMap(size), false, !named);
        entry->markMapChanged();
        return entry;
      });
}

bool ContentCache::hasRoomFor(uint64_t size) {
  return state_->room(size, {});
}

ContentCache::EntryState ContentCache::stateOf(const std::string& identifier,
                                               const std::string& version) const {
  std::shared_ptr<CacheEntry> entry;
  {
    std::string name = fileNameFor(identifier, version);
    std::lock_guard lock(state_->mutex);
    auto it = state_->slots.find(name);
    if (it == state_->slots.end() || it->second.discarded) {
      auto stream = state_->streams.find(name);
      bool streaming = stream != state_->streams.end() && !stream->second.expired();
      return streaming ? EntryState::streaming : EntryState::absent;
    }
    if (!it->second.entry) return EntryState::complete;  // resting
    entry = it->second.entry;
  }
  if (entry->streaming()) return EntryState::streaming;
  if (entry->complete()) return EntryState::complete;
  return entry->anyPresent() ? EntryState::partial : EntryState::absent;
}

void ContentCache::discard(const std::string& identifier, const std::string& version) {
  std::lock_guard lock(state_->mutex);
  state_->discardLocked(fileNameFor(identifier, version));
}

bool ContentCache::keep(const std::string& identifier, const std::string& version) {
  std::string name = fileNameFor(identifier, version);
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(name);
  if (it == state_->slots.end() || it->second.discarded || !State::completeLocked(it->second)) {
    return false;
  }
  if (it->second.kept) return true;
  // The mark first: a crash after it leaves the entry kept, not lost.
  if (!writeFileDurablyNamed(directory_ / (name + kKeptSuffix), identifier)) return false;
  if (auto other = state_->kept.find(identifier); other != state_->kept.end()) {
    state_->discardLocked(other->second);
  }
  it = state_->slots.find(name);
  state_->keepLocked(it->second, identifier);
  state_->kept[identifier] = name;
  return true;
}

void ContentCache::drop(const std::string& identifier, const std::string& version) {
  std::lock_guard lock(state_->mutex);
  state_->discardLocked(fileNameFor(identifier, version));
  if (auto other = state_->kept.find(identifier); other != state_->kept.end()) {
    state_->discardLocked(other->second);
  }
}

bool ContentCache::isKept(const std::string& identifier, const std::string& version) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(fileNameFor(identifier, version));
  return it != state_->slots.end() && it->second.kept && !it->second.discarded;
}

void ContentCache::setLimit(uint64_t limitBytes) {
  std::lock_guard lock(state_->mutex);
  state_->limit = limitBytes;
  state_->evictLocked(0, {}, true);
}

uint64_t ContentCache::limit() const {
  std::lock_guard lock(state_->mutex);
  return state_->limit;
}

uint64_t ContentCache::keptBytes() const {
  std::lock_guard lock(state_->mutex);
  return state_->keptTotal;
}

void ContentCache::flush() {
  writeChangedMaps();
  restIdle();
}

void ContentCache::writeChangedMaps() {
  std::lock_guard flushing(flushMutex_);
  struct Changed {
    std::shared_ptr<CacheEntry> entry;
    BlockMap map;
    bool journaled = false;
  };
  std::vector<Changed> changed;
  {
    std::lock_guard lock(state_->mutex);
    // A resting entry has no changes.
    for (const auto& name : state_->live) {
      Slot& slot = state_->slots.at(name);
      auto map = slot.entry->takeChangedMap();
      if (!map) continue;
      // No longer whole: its own map file from now on, which wins over
      // its record at start.
      if (slot.journaled && !map->complete()) slot.journaled = false;
      changed.push_back({slot.entry, std::move(*map), slot.journaled});
    }
  }
  if (changed.empty()) return;
  // The blocks these maps name are durable before any map names them: a
  // few files are synced one by one, many with their file system at once.
  UniqueFd folder(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  bool durable = folder.valid();
  if (durable && changed.size() > kSyncOneByOne) {
    durable = ::syncfs(folder.get()) == 0;
  } else {
    for (const auto& item : changed) {
      // Any descriptor of the file syncs what was written through another.
      auto fd = item.entry->descriptor();
      durable = durable && fd && ::fdatasync((*fd)->get()) == 0;
    }
  }
  if (!durable) {
    log("cannot make cached contents durable; their maps wait");
    for (auto& item : changed) item.entry->markMapChanged();
    return;
  }
  std::string records;
  size_t recordCount = 0;
  bool namedMaps = false;
  for (auto& [entry, map, journaled] : changed) {
    const std::string& name = entry->name();
    {
      // An entry evicted meanwhile must not get its map back, nor put it
      // over that of a new entry of its name.
      std::lock_guard lock(state_->mutex);
      auto slot = state_->slots.find(name);
      if (slot == state_->slots.end() || slot->second.entry != entry) continue;
    }
    if (journaled) {
      appendJournalRecord(records, name, map);
      ++recordCount;
      continue;
    }
    namedMaps = true;
    if (!writeFileDurablyNamed(directory_ / (name + kMapSuffix), map.encode())) {
      log("cannot write a cached file's map");
    }
  }
  if (recordCount > 0 && !appendToJournal(records, recordCount)) {
    log("cannot write the cache's journal; its records wait");
    for (auto& item : changed) {
      if (item.journaled) item.entry->markMapChanged();
    }
  }
  if (namedMaps) ::fsync(folder.get());
  compactJournalIfDue();
}

bool ContentCache::appendToJournal(const std::string& records, size_t count) {
  fs::path path = directory_ / kJournalName;
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return false;
  std::string bytes;
  if (st.st_size == 0) bytes.assign(kJournalMagic, sizeof kJournalMagic);
  bytes += records;
  size_t written = writeAll(fd.get(), bytes);
  if (written != bytes.size()) {
    // A record cut short would hide every later one: the tail goes.
    (void)!::ftruncate(fd.get(), st.st_size);
    return false;
  }
  journalRecords_ += count;
  return true;
}

bool ContentCache::rewriteJournal(const std::string& records, size_t count) {
  std::string bytes(kJournalMagic, sizeof kJournalMagic);
  bytes += records;
  if (!writeFileDurablyNamed(directory_ / kJournalName, bytes)) return false;
  journalRecords_ = count;
  return true;
}

// Records of entries since evicted, or recorded twice, are left behind
// when the journal is written afresh with the maps it names now.
void ContentCache::compactJournalIfDue() {
  if (journalRecords_ < kJournalSlack) return;
  std::vector<std::pair<std::string, BlockMap>> live;
  {
    std::lock_guard lock(state_->mutex);
    size_t journaled = 0;
    for (const auto& [name, slot] : state_->slots) journaled += slot.journaled ? 1 : 0;
    if (journalRecords_ < 2 * journaled + kJournalSlack) return;
    for (const auto& [name, slot] : state_->slots) {
      if (!slot.journaled) continue;
      // One not yet durable gets its record at the next flush.
      auto map = slot.entry ? slot.entry->settledMap() : wholeMap(slot.size, slot.resting);
      if (map && map->complete()) live.emplace_back(name, std::move(*map));
    }
  }
  std::string records;
  for (const auto& [name, map] : live) appendJournalRecord(records, name, map);
  if (!rewriteJournal(records, live.size())) log("cannot write the cache's journal afresh");
}

void ContentCache::runFlusher() {
  std::unique_lock lock(state_->mutex);
  while (!state_->stopping) {
    state_->wake.wait_for(lock, kMapFlushInterval);
    if (state_->stopping) break;
    lock.unlock();
    flush();
    lock.lock();
  }
}

uint64_t ContentCache::bytesUsed() const {
  std::lock_guard lock(state_->mutex);
  return state_->total;
}

size_t ContentCache::fileCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->slots.size();
}

size_t ContentCache::liveEntries() const {
  std::lock_guard lock(state_->mutex);
  return state_->live.size();
}

size_t ContentCache::idleDescriptors() const {
  return state_->pool->size();
}

}  // namespace lumora::fuse
