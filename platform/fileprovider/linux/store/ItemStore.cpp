#include "platform/fileprovider/linux/store/ItemStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <ctime>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

// Folders by identifier, and each folder's listing as rows in the service's
// order. Identifiers, names and versions are kept as blobs: they are bytes,
// not necessarily UTF-8.
constexpr const char* kSchema = R"sql(
CREATE TABLE folders(
  id INTEGER PRIMARY KEY,
  identifier BLOB NOT NULL UNIQUE,
  listed_at INTEGER NOT NULL,
  complete INTEGER NOT NULL);
CREATE TABLE items(
  folder INTEGER NOT NULL REFERENCES folders(id),
  position INTEGER NOT NULL,
  identifier BLOB NOT NULL,
  name BLOB NOT NULL,
  content_version BLOB NOT NULL,
  size INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  PRIMARY KEY(folder, position)) WITHOUT ROWID;
PRAGMA user_version = 1;
)sql";

constexpr int kDirectory = 1;
constexpr int kSizeKnown = 2;

// A prepared statement that finalises itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return ok_; }
  void bind(int at, const std::string& bytes) {
    sqlite3_bind_blob(stmt_, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  void bind(int at, int64_t value) { sqlite3_bind_int64(stmt_, at, value); }
  int step() { return sqlite3_step(stmt_); }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string bytes(int at) {
    const void* data = sqlite3_column_blob(stmt_, at);
    return data ? std::string(static_cast<const char*>(data),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_, at)))
                : std::string();
  }
  int64_t integer(int at) { return sqlite3_column_int64(stmt_, at); }
  bool isNull(int at) { return sqlite3_column_type(stmt_, at) == SQLITE_NULL; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
};

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Makes `folder` (and its parents) and leaves it 0700 whatever the umask.
Result<void> makePrivateFolder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + folder.string()));
  }
  if (::chmod(folder.c_str(), 0700) != 0) {
    return std::unexpected(posixError(errno, "cannot make " + folder.string() + " private"));
  }
  return {};
}

// The file and its journals 0600 before SQLite opens them: SQLite gives
// the journals the mode of the database file.
void makePrivateFile(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  (void)::fchmod(fd, 0600);
  ::close(fd);
}

enum class Opened { ok, unreadable, newer };

// Opens the file as a store of this schema, making the schema in an empty
// one. Not ok: the file is not such a store (or cannot be opened at all).
Opened openDatabase(const fs::path& file, sqlite3*& db) {
  db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    return Opened::unreadable;
  }
  sqlite3_busy_timeout(db, 5000);
  // The first read of the file: a damaged header or a foreign file fails here.
  if (!exec(db, "PRAGMA journal_mode=WAL") || !exec(db, "PRAGMA synchronous=NORMAL")) {
    return Opened::unreadable;
  }
  Statement version(db, "PRAGMA user_version");
  if (!version.ok() || version.step() != SQLITE_ROW) return Opened::unreadable;
  int64_t found = version.integer(0);
  if (found > kItemStoreSchema) return Opened::newer;
  if (found == 0) {
    // Empty, or another program's database.
    Statement tables(db, "SELECT count(*) FROM sqlite_master");
    if (!tables.ok() || tables.step() != SQLITE_ROW || tables.integer(0) != 0) {
      return Opened::unreadable;
    }
    if (!exec(db, "BEGIN") || !exec(db, kSchema) || !exec(db, "COMMIT")) return Opened::unreadable;
    return Opened::ok;
  }
  if (found != kItemStoreSchema) return Opened::unreadable;
  // The tables are there as this schema has them.
  Statement probe(db,
                  "SELECT f.identifier, f.listed_at, f.complete, i.position, i.identifier, i.name, "
                  "i.content_version, i.size, i.modified, i.flags FROM folders f JOIN items i "
                  "ON i.folder = f.id LIMIT 1");
  if (!probe.ok()) return Opened::unreadable;
  int step = probe.step();
  return step == SQLITE_ROW || step == SQLITE_DONE ? Opened::ok : Opened::unreadable;
}

void closeDatabase(sqlite3*& db) {
  sqlite3_close_v2(db);
  db = nullptr;
}

// The file and its journals renamed aside, so that nothing is lost and
// nothing of it is trusted.
void moveAside(const fs::path& file, const std::string& why) {
  std::string suffix = "." + why + "-" + std::to_string(std::time(nullptr));
  std::error_code ec;
  // One set aside before in the same second keeps its name.
  for (int n = 2; fs::exists(file.string() + suffix, ec); ++n) {
    suffix = "." + why + "-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(n);
  }
  for (const char* part : {"", "-wal", "-shm"}) {
    fs::path from = file.string() + part;
    if (fs::exists(from, ec)) fs::rename(from, file.string() + part + suffix, ec);
  }
  log("the item store %s was %s; set aside as %s%s, starting an empty one", file.c_str(),
      why == "newer" ? "of a newer schema" : "unreadable", file.filename().c_str(), suffix.c_str());
}

}  // namespace

fs::path ItemStore::fileFor(const std::string& domainIdentifier) {
  return paths::stateHome() / "lumora" / domainIdentifier / "items.sqlite";
}

Result<std::unique_ptr<ItemStore>> ItemStore::open(const fs::path& file) {
  if (auto made = makePrivateFolder(file.parent_path()); !made) {
    return std::unexpected(made.error());
  }
  sqlite3* writer = nullptr;
  sqlite3* reader = nullptr;
  for (int attempt = 0; attempt < 2; ++attempt) {
    makePrivateFile(file);
    Opened opened = openDatabase(file, writer);
    if (opened == Opened::ok) {
      if (sqlite3_open_v2(file.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(reader, 5000);
        std::unique_ptr<ItemStore> store(new ItemStore(file, writer, reader));
        if (auto keeps = store->prepareKeeps(); !keeps) {
          log("the item store cannot hold keeps: %s", keeps.error().description.c_str());
        }
        return store;
      }
      closeDatabase(reader);
    }
    closeDatabase(writer);
    if (attempt == 0) moveAside(file, opened == Opened::newer ? "newer" : "unreadable");
  }
  return std::unexpected(posixError(EIO, "cannot make an item store at " + file.string()));
}

ItemStore::ItemStore(fs::path file, sqlite3* writer, sqlite3* reader)
    : file_(std::move(file)), writer_(writer), reader_(reader) {
  thread_ = std::thread([this] { writeLoop(); });
}

ItemStore::~ItemStore() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  bool setAside = broken_;
  sqlite3_close_v2(keepDb_);
  sqlite3_close_v2(reader_);
  sqlite3_close_v2(writer_);
  // Found damaged while in use: the next start begins anew.
  if (setAside) moveAside(file_, "unreadable");
}

// What a listing holds, in a few bytes: a renewal that brings nothing new
// is not written again (an open folder is renewed every few seconds).
uint64_t ItemStore::digestOf(const std::vector<ListedItem>& items, bool complete) {
  XXH3_state_t* state = XXH3_createState();
  XXH3_64bits_reset(state);
  auto add = [&](const void* data, size_t size) { XXH3_64bits_update(state, data, size); };
  auto addText = [&](const std::string& text) {
    uint64_t size = text.size();  // so that ("ab", "c") and ("a", "bc") differ
    add(&size, sizeof size);
    add(text.data(), text.size());
  };
  for (const auto& item : items) {
    addText(item.identifier);
    addText(item.name);
    addText(item.contentVersion);
    int64_t numbers[] = {item.size, item.modified, item.isDirectory, item.sizeKnown};
    add(numbers, sizeof numbers);
  }
  add(&complete, sizeof complete);
  uint64_t digest = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return digest;
}

void ItemStore::put(const fileprovider::ItemIdentifier& folder, std::vector<ListedItem> items,
                    int64_t listedAt, bool complete) {
  uint64_t digest = digestOf(items, complete);
  auto listing = std::make_shared<Listing>(Listing{std::move(items), listedAt, complete});
  {
    std::lock_guard lock(mutex_);
    if (broken_) return;
    auto [known, first] = digests_.try_emplace(folder, digest);
    if (!first && known->second == digest) return;
    known->second = digest;
    queued_[folder] = std::move(listing);
  }
  changed_.notify_all();
}

std::optional<ItemStore::Listing> ItemStore::listing(const fileprovider::ItemIdentifier& folder) {
  {
    std::lock_guard lock(mutex_);
    if (broken_) return std::nullopt;
    for (auto* pending : {&queued_, &writing_}) {
      if (auto it = pending->find(folder); it != pending->end()) return *it->second;
    }
  }
  std::lock_guard lock(readMutex_);
  Statement query(reader_,
                  "SELECT f.listed_at, f.complete, i.identifier, i.name, i.content_version, "
                  "i.size, i.modified, i.flags FROM folders f LEFT JOIN items i ON i.folder = f.id "
                  "WHERE f.identifier = ? ORDER BY i.position");
  if (!query.ok()) {
    broken("cannot be read");
    return std::nullopt;
  }
  query.bind(1, folder);
  std::optional<Listing> found;
  int step = SQLITE_OK;
  while ((step = query.step()) == SQLITE_ROW) {
    if (!found) found = Listing{{}, query.integer(0), query.integer(1) != 0};
    if (query.isNull(2)) continue;  // a folder listed empty
    ListedItem item;
    item.identifier = query.bytes(2);
    item.name = query.bytes(3);
    item.contentVersion = query.bytes(4);
    item.size = query.integer(5);
    item.modified = query.integer(6);
    item.isDirectory = (query.integer(7) & kDirectory) != 0;
    item.sizeKnown = (query.integer(7) & kSizeKnown) != 0;
    found->items.push_back(std::move(item));
  }
  if (step != SQLITE_DONE) {
    broken("cannot be read");
    return std::nullopt;
  }
  if (found) {
    // Its first renewal brings the same records, mostly: not written again.
    uint64_t digest = digestOf(found->items, found->complete);
    std::lock_guard held(mutex_);
    digests_.try_emplace(folder, digest);
  }
  return found;
}

void ItemStore::flush() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return broken_ || (queued_.empty() && writing_.empty()); });
}

void ItemStore::broken(const char* what) {
  {
    std::lock_guard lock(mutex_);
    if (broken_) return;
    broken_ = true;
    queued_.clear();
  }
  changed_.notify_all();
  log("the item store %s %s (%s); folders are listed from the service", file_.c_str(), what,
      sqlite3_errmsg(writer_));
}

void ItemStore::writeLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || broken_ || !queued_.empty(); });
    if (broken_ || queued_.empty()) return;
    writing_.swap(queued_);
    auto batch = writing_;  // shares the listings: readers still see them there
    lock.unlock();
    bool written = writeBatch(batch);
    lock.lock();
    writing_.clear();
    if (written) listingsWritten_ += batch.size();
    if (!written) {
      lock.unlock();
      broken("cannot be written");
      return;
    }
    changed_.notify_all();
  }
}

bool ItemStore::writeBatch(const std::map<std::string, std::shared_ptr<const Listing>>& batch) {
  // One transaction: a crash leaves every folder's listing as it was
  // before, or as it is now, never a part of one.
  if (!exec(writer_, "BEGIN IMMEDIATE")) return false;
  Statement folder(writer_,
                   "INSERT INTO folders(identifier, listed_at, complete) VALUES(?, ?, ?) "
                   "ON CONFLICT(identifier) DO UPDATE SET listed_at = excluded.listed_at, "
                   "complete = excluded.complete RETURNING id");
  Statement clear(writer_, "DELETE FROM items WHERE folder = ?");
  Statement insert(writer_,
                   "INSERT INTO items(folder, position, identifier, name, content_version, size, "
                   "modified, flags) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  bool ok = folder.ok() && clear.ok() && insert.ok();
  for (auto it = batch.begin(); ok && it != batch.end(); ++it) {
    folder.bind(1, it->first);
    folder.bind(2, it->second->listedAt);
    folder.bind(3, int64_t{it->second->complete});
    ok = folder.step() == SQLITE_ROW;
    int64_t id = ok ? folder.integer(0) : 0;
    ok = ok && folder.step() == SQLITE_DONE;
    folder.reset();
    clear.bind(1, id);
    ok = ok && clear.step() == SQLITE_DONE;
    clear.reset();
    int64_t position = 0;
    for (const auto& item : it->second->items) {
      if (!ok) break;
      insert.bind(1, id);
      insert.bind(2, position++);
      insert.bind(3, item.identifier);
      insert.bind(4, item.name);
      insert.bind(5, item.contentVersion);
      insert.bind(6, item.size);
      insert.bind(7, item.modified);
      insert.bind(8,
                  int64_t{(item.isDirectory ? kDirectory : 0) | (item.sizeKnown ? kSizeKnown : 0)});
      ok = insert.step() == SQLITE_DONE;
      insert.reset();
    }
  }
  if (ok && exec(writer_, "COMMIT")) return true;
  exec(writer_, "ROLLBACK");
  return false;
}

Result<void> ItemStore::prepareKeeps() {
  std::lock_guard lock(keepMutex_);
  if (sqlite3_open_v2(file_.c_str(), &keepDb_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(keepDb_);
    keepDb_ = nullptr;
    return std::unexpected(posixError(EIO, "cannot open " + file_.string()));
  }
  sqlite3_busy_timeout(keepDb_, 5000);
  // Beside the schema, not part of it: an older build leaves the table be.
  if (!exec(keepDb_,
            "CREATE TABLE IF NOT EXISTS kept(path BLOB PRIMARY KEY, identifier BLOB NOT NULL, "
            "folder INTEGER NOT NULL, bytes INTEGER NOT NULL)")) {
    sqlite3_close_v2(keepDb_);
    keepDb_ = nullptr;
    return std::unexpected(posixError(EIO, "cannot make the table of keeps"));
  }
  return {};
}

std::vector<ItemStore::Keep> ItemStore::keeps() {
  std::lock_guard lock(keepMutex_);
  std::vector<Keep> found;
  if (!keepDb_) return found;
  Statement select(keepDb_, "SELECT path, identifier, folder, bytes FROM kept ORDER BY path");
  if (!select.ok()) return found;
  while (select.step() == SQLITE_ROW) {
    found.push_back({select.bytes(0), select.bytes(1), select.integer(2) != 0,
                     static_cast<uint64_t>(select.integer(3))});
  }
  return found;
}

Result<void> ItemStore::putKeep(const Keep& keep) {
  std::lock_guard lock(keepMutex_);
  if (!keepDb_) return std::unexpected(posixError(EIO, "the item store cannot hold keeps"));
  Statement insert(keepDb_, "INSERT OR REPLACE INTO kept VALUES(?, ?, ?, ?)");
  if (!insert.ok()) return std::unexpected(posixError(EIO, "cannot write a keep"));
  insert.bind(1, keep.path);
  insert.bind(2, keep.identifier);
  insert.bind(3, int64_t{keep.folder});
  insert.bind(4, static_cast<int64_t>(keep.bytes));
  if (insert.step() != SQLITE_DONE) return std::unexpected(posixError(EIO, "cannot write a keep"));
  return {};
}

Result<void> ItemStore::removeKeep(const std::string& path) {
  std::lock_guard lock(keepMutex_);
  if (!keepDb_) return std::unexpected(posixError(EIO, "the item store cannot hold keeps"));
  Statement remove(keepDb_, "DELETE FROM kept WHERE path = ?");
  if (!remove.ok()) return std::unexpected(posixError(EIO, "cannot remove a keep"));
  remove.bind(1, path);
  if (remove.step() != SQLITE_DONE) return std::unexpected(posixError(EIO, "cannot remove a keep"));
  return {};
}

}  // namespace lumora::fuse
