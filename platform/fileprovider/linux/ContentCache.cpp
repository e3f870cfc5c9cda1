#include "platform/fileprovider/linux/ContentCache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/fileprovider/linux/Log.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPartialPrefix = ".partial-";
constexpr const char* kMapSuffix = ".map";
constexpr const char* kTemporarySuffix = ".tmp";
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

bool writeFileDurablyNamed(const fs::path& target, const std::string& bytes) {
  fs::path temporary = target;
  temporary += kTemporarySuffix;
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  // The map's own bytes need no sync of their own: one that is torn by a
  // crash fails its checksum and drops the entry.
  fd.reset();
  if (written != bytes.size() || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

uint64_t freeSpaceFloor(const DiskSpace& disk) {
  auto share = static_cast<uint64_t>(static_cast<double>(disk.total) * kFreeSpaceFloorShare);
  return std::min(share, kFreeSpaceFloorMax);
}

}  // namespace

struct ContentCache::Slot {
  std::shared_ptr<CacheEntry> entry;
  uint64_t lastUse = 0;
  int pins = 0;
  bool discarded = false;
};

struct ContentCache::State {
  fs::path directory;
  std::mutex mutex;
  std::condition_variable wake;       // the flusher's
  std::map<std::string, Slot> slots;  // protected by mutex; named entries only
  uint64_t total = 0;                 // protected by mutex; their sizes
  uint64_t tick = 0;                  // protected by mutex
  bool stopping = false;              // protected by mutex

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
      std::error_code ec;
      fs::remove(directory / it->first, ec);
      fs::remove(directory / (it->first + kMapSuffix), ec);
      total -= it->second.entry->size();
      slots.erase(it);
    }
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

ContentCache::Lease ContentCache::Lease::another() const {
  Lease lease;
  lease.entry_ = entry_;
  if (state_ && entry_ && state_->pin(*entry_)) lease.state_ = state_;
  return lease;
}

ContentCache::Lease::~Lease() {
  reset();
}

void ContentCache::Lease::reset() {
  if (state_ && entry_) state_->unpin(*entry_);
  state_.reset();
  entry_.reset();
}

ContentCache::ContentCache(fs::path directory, uint64_t limitBytes, DiskSpaceProbe probe)
    : directory_(std::move(directory)),
      limit_(limitBytes),
      probe_(probe ? std::move(probe) : DiskSpaceProbe(statDisk)),
      state_(std::make_shared<State>()) {
  state_->directory = directory_;
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
  };
  std::vector<Found> found;
  std::vector<fs::path> doomed;
  std::map<std::string, uint64_t> dataSizes;
  std::vector<std::string> maps;
  for (const auto& entry : fs::directory_iterator(directory_, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() == kNameLength && entry.is_regular_file(ec)) {
      dataSizes[name] = entry.file_size(ec);
    } else if (name.size() == kNameLength + 4 && name.ends_with(kMapSuffix)) {
      maps.push_back(name.substr(0, kNameLength));
    } else if (name.starts_with(kPartialPrefix) || name.ends_with(kTemporarySuffix)) {
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
  // Data with no map never had its blocks made durable.
  for (const auto& [name, size] : dataSizes) doomed.push_back(directory_ / name);
  for (const auto& path : doomed) fs::remove(path, ec);

  std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.time < b.time; });
  {
    std::lock_guard lock(state_->mutex);
    for (auto& file : found) {
      UniqueFd fd(::open((directory_ / file.name).c_str(), O_RDWR | O_CLOEXEC));
      if (!fd.valid()) continue;
      uint64_t size = file.map.fileSize;
      auto entry = std::make_shared<CacheEntry>(file.name, std::move(fd), std::move(file.map),
                                                /*fromEarlierRun=*/true, /*transient=*/false);
      state_->slots[file.name] = Slot{std::move(entry), ++state_->tick, 0, false};
      state_->total += size;
    }
    evictLocked(0, {});
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
  EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 15]);
  }
  return name;
}

ContentCache::Lease ContentCache::leaseLocked(Slot& slot) {
  slot.lastUse = ++state_->tick;
  ++slot.pins;
  Lease lease;
  lease.state_ = state_;
  lease.entry_ = slot.entry;
  return lease;
}

std::optional<ContentCache::Lease> ContentCache::open(const std::string& identifier,
                                                      const std::string& version) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(fileNameFor(identifier, version));
  if (it == state_->slots.end() || it->second.discarded) return std::nullopt;
  return leaseLocked(it->second);
}

Result<ContentCache::Lease> ContentCache::admit(
    const std::string& name, uint64_t size,
    const std::function<Result<std::shared_ptr<CacheEntry>>(bool named)>& make) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(name);
  if (it != state_->slots.end() && !it->second.discarded) return leaseLocked(it->second);
  if (it != state_->slots.end()) {
    // A discarded entry still held open keeps its files; the new one gets
    // none of its own.
    auto entry = make(false);
    if (!entry) return std::unexpected(entry.error());
    Lease lease;
    lease.entry_ = std::move(*entry);
    return lease;
  }
  evictLocked(size, name);
  auto disk = probe_(directory_);
  uint64_t floor = disk ? freeSpaceFloor(*disk) : 0;
  bool diskRoom = !disk || disk->available >= floor + size;
  bool named = state_->total + size <= limit_ && diskRoom;
  if (!named && !diskRoom && disk && disk->available < size) {
    return std::unexpected(posixError(ENOSPC, "no room on disk for the file's contents"));
  }
  auto entry = make(named);
  if (!entry) return std::unexpected(entry.error());
  Lease lease;
  if (!named) {
    lease.entry_ = std::move(*entry);
    return lease;
  }
  auto& slot = state_->slots[name];
  slot.entry = std::move(*entry);
  state_->total += size;
  return leaseLocked(slot);
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
  auto lease = admit(name, size, [&](bool named) -> Result<std::shared_ptr<CacheEntry>> {
    fs::path target = directory_ / name;
    std::error_code ec;
    if (named) {
      fs::rename(downloaded, target, ec);
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
      if (ec) return std::unexpected(posixError(ec.value(), "cannot store contents in the cache"));
      ::fchmod(source.get(), 0600);
    } else {
      ::unlink(downloaded.c_str());
    }
    auto entry =
        std::make_shared<CacheEntry>(name, std::move(source), std::move(*map), false, !named);
    entry->markMapChanged();
    return entry;
  });
  if (!lease) ::unlink(downloaded.c_str());
  return lease;
}

Result<ContentCache::Lease> ContentCache::create(const std::string& identifier,
                                                 const std::string& version, uint64_t size) {
  std::string name = fileNameFor(identifier, version);
  return admit(name, size, [&](bool named) -> Result<std::shared_ptr<CacheEntry>> {
    UniqueFd fd(
        named ? ::open((directory_ / name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
              : ::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.valid()) return std::unexpected(posixError(errno, "cannot create a cache file"));
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
      int code = errno;
      if (named) ::unlink((directory_ / name).c_str());
      return std::unexpected(posixError(code, "cannot size a cache file"));
    }
    auto entry = std::make_shared<CacheEntry>(name, std::move(fd), BlockMap(size), false, !named);
    entry->markMapChanged();
    return entry;
  });
}

ContentCache::EntryState ContentCache::stateOf(const std::string& identifier,
                                               const std::string& version) const {
  std::shared_ptr<CacheEntry> entry;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->slots.find(fileNameFor(identifier, version));
    if (it == state_->slots.end() || it->second.discarded) return EntryState::absent;
    entry = it->second.entry;
  }
  if (entry->complete()) return EntryState::complete;
  return entry->anyPresent() ? EntryState::partial : EntryState::absent;
}

void ContentCache::discard(const std::string& identifier, const std::string& version) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->slots.find(fileNameFor(identifier, version));
  if (it == state_->slots.end()) return;
  it->second.discarded = true;
  if (it->second.pins > 0) return;
  removeFiles(it->first);
  state_->total -= it->second.entry->size();
  state_->slots.erase(it);
}

void ContentCache::removeFiles(const std::string& name) const {
  std::error_code ec;
  fs::remove(directory_ / name, ec);
  fs::remove(directory_ / (name + kMapSuffix), ec);
}

// Makes room for `wanted` more bytes below the limit and above the free
// space floor, evicting least recently used entries that no one holds.
void ContentCache::evictLocked(uint64_t wanted, const std::string& keep) {
  auto disk = probe_(directory_);
  uint64_t floor = disk ? freeSpaceFloor(*disk) : 0;
  uint64_t freed = 0;
  auto short_of_room = [&] {
    if (state_->total + wanted > limit_) return true;
    return disk && disk->available + freed < floor + wanted;
  };
  while (short_of_room()) {
    auto victim = state_->slots.end();
    for (auto it = state_->slots.begin(); it != state_->slots.end(); ++it) {
      if (it->second.pins > 0 || it->first == keep) continue;
      if (victim == state_->slots.end() || it->second.lastUse < victim->second.lastUse) {
        victim = it;
      }
    }
    if (victim == state_->slots.end()) return;  // everything left is in use
    removeFiles(victim->first);
    state_->total -= victim->second.entry->size();
    freed += victim->second.entry->size();
    state_->slots.erase(victim);
  }
}

void ContentCache::flush() {
  std::lock_guard flushing(flushMutex_);
  struct Changed {
    std::shared_ptr<CacheEntry> entry;
    BlockMap map;
  };
  std::vector<Changed> changed;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& [name, slot] : state_->slots) {
      if (auto map = slot.entry->takeChangedMap()) changed.push_back({slot.entry, std::move(*map)});
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
    for (const auto& item : changed) durable = durable && ::fdatasync(item.entry->fd()) == 0;
  }
  if (!durable) {
    log("cannot make cached contents durable; their maps wait");
    for (auto& item : changed) item.entry->markMapChanged();
    return;
  }
  for (auto& [entry, map] : changed) {
    const std::string& name = entry->name();
    {
      // An entry evicted meanwhile must not get its map back.
      std::lock_guard lock(state_->mutex);
      if (!state_->slots.contains(name)) continue;
    }
    if (!writeFileDurablyNamed(directory_ / (name + kMapSuffix), map.encode())) {
      log("cannot write a cached file's map");
    }
  }
  ::fsync(folder.get());
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

}  // namespace lumora::fuse
