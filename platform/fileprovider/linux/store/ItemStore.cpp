#include "platform/fileprovider/linux/store/ItemStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <ctime>
#include <unordered_set>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

// Folders by identifier, and each folder's listing as rows in the service's
// order. A row's id is a big folder's item's inode: never given twice
// (AUTOINCREMENT), so that an inode the kernel holds of a removed item
// cannot come to stand for another. Staged rows wait for their listing's
// end. Identifiers, names and versions are kept as blobs: they are bytes,
// not necessarily UTF-8.
constexpr const char* kSchema = R"sql(
CREATE TABLE folders(
  id INTEGER PRIMARY KEY,
  identifier BLOB NOT NULL UNIQUE,
  listed_at INTEGER NOT NULL,
  complete INTEGER NOT NULL,
  big INTEGER NOT NULL,
  count INTEGER NOT NULL);
CREATE TABLE items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder INTEGER NOT NULL REFERENCES folders(id),
  position INTEGER NOT NULL,
  identifier BLOB NOT NULL,
  name BLOB NOT NULL,
  shown BLOB NOT NULL,
  content_version BLOB NOT NULL,
  size INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  UNIQUE(folder, identifier));
CREATE INDEX items_by_position ON items(folder, position);
CREATE INDEX items_by_name ON items(folder, shown);
CREATE TABLE staging(
  folder BLOB NOT NULL,
  position INTEGER NOT NULL,
  identifier BLOB NOT NULL,
  name BLOB NOT NULL,
  shown BLOB NOT NULL,
  content_version BLOB NOT NULL,
  size INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  PRIMARY KEY(folder, identifier)) WITHOUT ROWID;
CREATE INDEX staging_by_name ON staging(folder, name, position);
PRAGMA user_version = 2;
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
  void bindView(int at, std::string_view bytes) {
    sqlite3_bind_blob(stmt_, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
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
                  "SELECT f.identifier, f.listed_at, f.complete, f.big, f.count, i.id, i.position, "
                  "i.identifier, i.name, i.shown, i.content_version, i.size, i.modified, i.flags, "
                  "s.folder FROM folders f JOIN items i ON i.folder = f.id LEFT JOIN staging s "
                  "LIMIT 1");
  if (!probe.ok()) return Opened::unreadable;
  int step = probe.step();
  if (step != SQLITE_ROW && step != SQLITE_DONE) return Opened::unreadable;
  // Pages of a listing that never ended.
  return exec(db, "DELETE FROM staging") ? Opened::ok : Opened::unreadable;
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

// The columns of a big folder's row, as rowFrom reads them.
#define ROW_COLUMNS                                                                         \
  "SELECT id, folder, position, identifier, shown, content_version, size, modified, flags " \
  "FROM items"

// The reads of big folders, prepared once on the reader connection.
struct ItemStore::Reads {
  explicit Reads(sqlite3* db)
      : folder(db, "SELECT id, listed_at, complete, big, count FROM folders WHERE identifier = ?"),
        row(db, ROW_COLUMNS " WHERE id = ?"),
        rowNamed(db, ROW_COLUMNS " WHERE folder = ? AND shown = ?"),
        rowIds(db, "SELECT id FROM items WHERE folder = ? ORDER BY position"),
        rowsAfter(
            db, ROW_COLUMNS
            " WHERE folder = ? AND position > ? AND (flags & 1) = ? ORDER BY position LIMIT ?") {}
  Statement folder, row, rowNamed, rowIds, rowsAfter;
};
#undef ROW_COLUMNS

namespace {
StoredRow rowFrom(Statement& query) {
  StoredRow row;
  row.id = query.integer(0);
  row.folder = query.integer(1);
  row.position = query.integer(2);
  row.identifier = query.bytes(3);
  row.name = query.bytes(4);
  row.contentVersion = query.bytes(5);
  row.size = query.integer(6);
  row.modified = query.integer(7);
  row.isDirectory = (query.integer(8) & kDirectory) != 0;
  row.sizeKnown = (query.integer(8) & kSizeKnown) != 0;
  return row;
}
int64_t flagsOf(const ListedItem& item) {
  return (item.isDirectory ? kDirectory : 0) | (item.sizeKnown ? kSizeKnown : 0);
}

// Columns 3 to 8 of a listing's row: the record as listed.
void bindRecord(Statement& insert, const ListedItem& item) {
  insert.bind(3, item.identifier);
  insert.bind(4, item.name);
  insert.bind(5, item.contentVersion);
  insert.bind(6, item.size);
  insert.bind(7, item.modified);
  insert.bind(8, flagsOf(item));
}
}  // namespace

ItemStore::ItemStore(fs::path file, sqlite3* writer, sqlite3* reader)
    : file_(std::move(file)),
      writer_(writer),
      reader_(reader),
      reads_(std::make_unique<Reads>(reader)) {
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
  reads_.reset();
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
                  "WHERE f.identifier = ? AND f.big = 0 ORDER BY i.position");
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
    for (auto& staged : staged_) {
      if (staged.done) staged.done->set_value(std::unexpected(posixError(EIO, "store broken")));
    }
    staged_.clear();
    stagedItems_ = 0;
  }
  changed_.notify_all();
  log("the item store %s %s (%s); folders are listed from the service", file_.c_str(), what,
      sqlite3_errmsg(writer_));
}

void ItemStore::writeLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock,
                  [&] { return stopping_ || broken_ || !queued_.empty() || !staged_.empty(); });
    if (broken_ || (queued_.empty() && staged_.empty())) return;
    if (!staged_.empty()) {
      // Before the listings queued: a listing put after a commit is newer.
      Staged staged = std::move(staged_.front());
      staged_.pop_front();
      lock.unlock();
      bool written = writeStaged(staged);
      lock.lock();
      stagedItems_ -= staged.items.size();
      if (!written) {
        lock.unlock();
        broken("cannot be written");
        return;
      }
      changed_.notify_all();
      continue;
    }
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
                   "INSERT INTO folders(identifier, listed_at, complete, big, count) "
                   "VALUES(?, ?, ?, 0, ?) ON CONFLICT(identifier) DO UPDATE SET "
                   "listed_at = excluded.listed_at, complete = excluded.complete, big = 0, "
                   "count = excluded.count RETURNING id");
  Statement clear(writer_, "DELETE FROM items WHERE folder = ?");
  Statement insert(writer_,
                   "INSERT OR IGNORE INTO items(folder, position, identifier, name, shown, "
                   "content_version, size, modified, flags) VALUES(?, ?, ?, ?, ?4, ?, ?, ?, ?)");
  bool ok = folder.ok() && clear.ok() && insert.ok();
  for (auto it = batch.begin(); ok && it != batch.end(); ++it) {
    folder.bind(1, it->first);
    folder.bind(2, it->second->listedAt);
    folder.bind(3, int64_t{it->second->complete});
    folder.bind(4, static_cast<int64_t>(it->second->items.size()));
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
      bindRecord(insert, item);
      ok = insert.step() == SQLITE_DONE;
      insert.reset();
    }
  }
  if (ok && exec(writer_, "COMMIT")) return true;
  exec(writer_, "ROLLBACK");
  return false;
}

void ItemStore::stage(const fileprovider::ItemIdentifier& folder, std::vector<ListedItem> items,
                      bool first) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return broken_ || stagedItems_ < kMaxStagedItems; });
    if (broken_) return;
    stagedItems_ += items.size();
    staged_.push_back(Staged{Staged::Kind::rows, folder, std::move(items), first, 0, nullptr});
  }
  changed_.notify_all();
}

void ItemStore::dropStaged(const fileprovider::ItemIdentifier& folder) {
  {
    std::lock_guard lock(mutex_);
    if (broken_) return;
    staged_.push_back(Staged{Staged::Kind::drop, folder, {}, false, 0, nullptr});
  }
  changed_.notify_all();
}

Result<StagedCommit> ItemStore::commitStaged(const fileprovider::ItemIdentifier& folder,
                                             int64_t listedAt) {
  auto done = std::make_shared<std::promise<Result<StagedCommit>>>();
  auto answer = done->get_future();
  {
    std::lock_guard lock(mutex_);
    if (broken_) return std::unexpected(posixError(EIO, "the item store is broken"));
    // A small listing of the folder queued before is older than this one.
    queued_.erase(folder);
    digests_.erase(folder);
    staged_.push_back(Staged{Staged::Kind::commit, folder, {}, false, listedAt, done});
  }
  changed_.notify_all();
  return answer.get();
}

bool ItemStore::writeStaged(Staged& staged) {
  if (staged.kind == Staged::Kind::commit) {
    auto committed = commitWrite(staged.folder, staged.listedAt);
    bool ok = committed.has_value();
    staged.done->set_value(std::move(committed));
    return ok;
  }
  bool ok = exec(writer_, "BEGIN IMMEDIATE");
  if (staged.kind == Staged::Kind::drop || staged.first) {
    Statement clear(writer_, "DELETE FROM staging WHERE folder = ?");
    clear.bind(1, staged.folder);
    ok = ok && clear.ok() && clear.step() == SQLITE_DONE;
    stagedPositions_.erase(staged.folder);
  }
  if (staged.kind == Staged::Kind::rows) {
    // The first of an identifier named twice keeps its place, as in memory.
    Statement insert(writer_,
                     "INSERT OR IGNORE INTO staging(folder, position, identifier, name, shown, "
                     "content_version, size, modified, flags) VALUES(?, ?, ?, ?, ?4, ?, ?, ?, ?)");
    int64_t& position = stagedPositions_[staged.folder];
    ok = ok && insert.ok();
    for (const auto& item : staged.items) {
      if (!ok) break;
      insert.bind(1, staged.folder);
      insert.bind(2, position++);
      bindRecord(insert, item);
      ok = insert.step() == SQLITE_DONE;
      insert.reset();
    }
  }
  if (ok && exec(writer_, "COMMIT")) return true;
  exec(writer_, "ROLLBACK");
  return false;
}

Result<StagedCommit> ItemStore::commitWrite(const std::string& folder, int64_t listedAt) {
  stagedPositions_.erase(folder);
  auto failed = [&]() -> Result<StagedCommit> {
    std::string why = sqlite3_errmsg(writer_);
    exec(writer_, "ROLLBACK");
    return std::unexpected(posixError(EIO, "cannot commit a listing: " + why));
  };
  // One transaction: a crash leaves the last whole listing.
  if (!exec(writer_, "BEGIN IMMEDIATE")) return failed();
  // Names given twice: the later records shown with a suffix that no record
  // has as its own name, in listing order.
  Statement later(writer_,
                  "SELECT s.identifier, s.name FROM staging s WHERE s.folder = ?1 AND EXISTS("
                  "SELECT 1 FROM staging t WHERE t.folder = ?1 AND t.name = s.name AND "
                  "t.position < s.position) ORDER BY s.position");
  Statement own(writer_, "SELECT 1 FROM staging WHERE folder = ? AND name = ? LIMIT 1");
  Statement setShown(writer_, "UPDATE staging SET shown = ? WHERE folder = ? AND identifier = ?");
  if (!later.ok() || !own.ok() || !setShown.ok()) return failed();
  std::vector<std::pair<std::string, std::string>> colliding;
  later.bind(1, folder);
  while (later.step() == SQLITE_ROW) colliding.emplace_back(later.bytes(0), later.bytes(1));
  std::unordered_set<std::string> given;
  for (const auto& [identifier, name] : colliding) {
    std::string shown;
    for (int number = 2;; ++number) {
      shown = suffixedName(name, number);
      if (given.contains(shown)) continue;
      own.bind(1, folder);
      own.bind(2, shown);
      bool taken = own.step() == SQLITE_ROW;
      own.reset();
      if (!taken) break;
    }
    log("two records of one listing are named %s; the later one shows as %s", name.c_str(),
        shown.c_str());
    setShown.bind(1, shown);
    setShown.bind(2, folder);
    setShown.bind(3, identifier);
    if (setShown.step() != SQLITE_DONE) return failed();
    setShown.reset();
    given.insert(std::move(shown));
  }

  StagedCommit commit;
  Statement count(writer_, "SELECT count(*) FROM staging WHERE folder = ?");
  if (!count.ok()) return failed();
  count.bind(1, folder);
  if (count.step() != SQLITE_ROW) return failed();
  commit.folder = StoredFolder{0, listedAt, count.integer(0), true, true};
  Statement upsertFolder(writer_,
                         "INSERT INTO folders(identifier, listed_at, complete, big, count) "
                         "VALUES(?, ?, 1, 1, ?) ON CONFLICT(identifier) DO UPDATE SET "
                         "listed_at = excluded.listed_at, complete = 1, big = 1, "
                         "count = excluded.count RETURNING id");
  if (!upsertFolder.ok()) return failed();
  upsertFolder.bind(1, folder);
  upsertFolder.bind(2, listedAt);
  upsertFolder.bind(3, commit.folder.count);
  if (upsertFolder.step() != SQLITE_ROW) return failed();
  int64_t id = commit.folder.id = upsertFolder.integer(0);
  if (upsertFolder.step() != SQLITE_DONE) return failed();

  // What the kernel may hold that changes: rows that go, and rows that stay
  // under another name or with other attributes.
  Statement gone(writer_,
                 "SELECT i.id, i.shown FROM items i WHERE i.folder = ?1 AND NOT EXISTS("
                 "SELECT 1 FROM staging s WHERE s.folder = ?2 AND s.identifier = i.identifier)");
  Statement changed(writer_,
                    "SELECT i.id, i.shown, i.shown != s.shown, i.size != s.size OR "
                    "i.modified != s.modified OR i.flags != s.flags FROM items i JOIN staging s "
                    "ON s.folder = ?2 AND s.identifier = i.identifier WHERE i.folder = ?1 AND "
                    "(i.shown != s.shown OR i.size != s.size OR i.modified != s.modified OR "
                    "i.flags != s.flags OR i.content_version != s.content_version)");
  Statement remove(writer_, "DELETE FROM items WHERE id = ?");
  if (!gone.ok() || !changed.ok() || !remove.ok()) return failed();
  std::vector<int64_t> goneRows;
  gone.bind(1, id);
  gone.bind(2, folder);
  while (gone.step() == SQLITE_ROW) {
    goneRows.push_back(gone.integer(0));
    commit.goneNames.push_back(gone.bytes(1));
  }
  changed.bind(1, id);
  changed.bind(2, folder);
  while (changed.step() == SQLITE_ROW) {
    if (changed.integer(2) != 0) commit.goneNames.push_back(changed.bytes(1));
    if (changed.integer(3) != 0) commit.changedRows.push_back(changed.integer(0));
  }
  for (int64_t row : goneRows) {
    remove.bind(1, row);
    if (remove.step() != SQLITE_DONE) return failed();
    remove.reset();
  }
  // Rows of items still listed keep their ids: the kernel's inodes stay.
  Statement upsert(writer_,
                   "INSERT INTO items(folder, position, identifier, name, shown, content_version, "
                   "size, modified, flags) SELECT ?1, position, identifier, name, shown, "
                   "content_version, size, modified, flags FROM staging WHERE folder = ?2 "
                   "ON CONFLICT(folder, identifier) DO UPDATE SET position = excluded.position, "
                   "name = excluded.name, shown = excluded.shown, "
                   "content_version = excluded.content_version, size = excluded.size, "
                   "modified = excluded.modified, flags = excluded.flags");
  Statement clear(writer_, "DELETE FROM staging WHERE folder = ?");
  if (!upsert.ok() || !clear.ok()) return failed();
  upsert.bind(1, id);
  upsert.bind(2, folder);
  clear.bind(1, folder);
  if (upsert.step() != SQLITE_DONE || clear.step() != SQLITE_DONE) return failed();
  if (!exec(writer_, "COMMIT")) return failed();
  {
    std::lock_guard lock(mutex_);
    ++listingsWritten_;
  }
  return commit;
}

std::optional<StoredFolder> ItemStore::folder(const fileprovider::ItemIdentifier& folder) {
  {
    std::lock_guard lock(mutex_);
    if (broken_) return std::nullopt;
  }
  std::lock_guard lock(readMutex_);
  Statement& query = reads_->folder;
  if (!query.ok()) return std::nullopt;
  query.bind(1, folder);
  std::optional<StoredFolder> found;
  if (query.step() == SQLITE_ROW) {
    found = StoredFolder{query.integer(0), query.integer(1), query.integer(4),
                         query.integer(2) != 0, query.integer(3) != 0};
  }
  query.reset();
  return found;
}

std::optional<StoredRow> ItemStore::row(int64_t id) {
  std::lock_guard lock(readMutex_);
  Statement& query = reads_->row;
  if (!query.ok()) return std::nullopt;
  query.bind(1, id);
  std::optional<StoredRow> found;
  if (query.step() == SQLITE_ROW) found = rowFrom(query);
  query.reset();
  return found;
}

std::optional<StoredRow> ItemStore::rowNamed(int64_t folder, std::string_view name) {
  std::lock_guard lock(readMutex_);
  Statement& query = reads_->rowNamed;
  if (!query.ok()) return std::nullopt;
  query.bind(1, folder);
  query.bindView(2, name);
  std::optional<StoredRow> found;
  if (query.step() == SQLITE_ROW) found = rowFrom(query);
  query.reset();
  return found;
}

std::vector<int64_t> ItemStore::rowIds(int64_t folder) {
  std::lock_guard lock(readMutex_);
  Statement& query = reads_->rowIds;
  std::vector<int64_t> ids;
  if (!query.ok()) return ids;
  query.bind(1, folder);
  while (query.step() == SQLITE_ROW) ids.push_back(query.integer(0));
  query.reset();
  return ids;
}

std::vector<StoredRow> ItemStore::rowsAfter(int64_t folder, int64_t position, bool folders,
                                            size_t count) {
  std::lock_guard lock(readMutex_);
  Statement& query = reads_->rowsAfter;
  std::vector<StoredRow> rows;
  if (!query.ok()) return rows;
  query.bind(1, folder);
  query.bind(2, position);
  query.bind(3, int64_t{folders ? kDirectory : 0});
  query.bind(4, static_cast<int64_t>(count));
  while (query.step() == SQLITE_ROW) rows.push_back(rowFrom(query));
  query.reset();
  return rows;
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
