// The domain mounted for real: what ls, stat and cat see through the mount
// against a local service, and what the service sees of it.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/control/ControlSocket.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/fileprovider/linux/core/FolderReadAhead.h"
#include "platform/fileprovider/linux/mount/FuseMount.h"
#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"
#include "platform/fileprovider/linux/store/ItemStore.h"
#include "platform/foundation/Paths.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/MountedDomain.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> listFolder(const fs::path& folder, int* error = nullptr) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    if (error) *error = errno;
    return names;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  if (error) *error = 0;
  return names;
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    writeToken(service.token());
  }
  TempHome home;
  StorageService service;
};

TEST_F(MountTest, LsStatAndCatMatchTheServedTree) {
  service.setFile("mirror/readme.txt", "hello, world\n");
  service.setFile("mirror/docs/a.txt", std::string(5000, 'a'));
  service.setFile("mirror/docs/deep/er/b.bin", std::string("\0\1\2binary", 9));
  service.setFile("mirror/photos/c.jpg", "jpeg");
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());

  EXPECT_EQ(listFolder(mount.root()), (std::vector<std::string>{"docs", "photos", "readme.txt"}));
  EXPECT_EQ(listFolder(mount.root() / "docs"), (std::vector<std::string>{"a.txt", "deep"}));
  EXPECT_EQ(listFolder(mount.root() / "docs/deep/er"), std::vector<std::string>{"b.bin"});

  struct stat st {};
  ASSERT_EQ(::stat((mount.root() / "docs/a.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(st.st_size, 5000);
  EXPECT_EQ(st.st_uid, ::getuid());
  ino_t fileInode = st.st_ino;
  ASSERT_EQ(::stat((mount.root() / "docs").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0555u);

  EXPECT_EQ(readFile(mount.root() / "readme.txt").value_or("?"), "hello, world\n");
  EXPECT_EQ(readFile(mount.root() / "docs/a.txt").value_or("?"), std::string(5000, 'a'));
  EXPECT_EQ(readFile(mount.root() / "docs/deep/er/b.bin").value_or("?"),
            std::string("\0\1\2binary", 9));
  EXPECT_EQ(readFile(mount.root() / "nothing-here").error(), ENOENT);

  // The inode number of an identifier stays as long as the daemon runs.
  EXPECT_EQ(mount.control("signal NSFileProviderRootContainerItemIdentifier"), "ok");
  listFolder(mount.root() / "docs");
  ASSERT_EQ(::stat((mount.root() / "docs/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, fileInode);

  // Contents went to the cache under hashed names, never under the key.
  for (const auto& entry : fs::directory_iterator(mount.cacheFolder())) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file()) continue;
    EXPECT_EQ(name.size(), 64u) << name;
    EXPECT_EQ(name.find("txt"), std::string::npos);
  }
}

TEST_F(MountTest, AFolderServedInManySmallPagesShowsItsFirstPageAtOnceAndIsListedWhole) {
  std::set<std::string> expected{".", ".."};
  for (int i = 0; i < 40; ++i) {
    std::string name = "file-" + std::to_string(i);
    service.setFile("mirror/many/" + name, name);
    expected.insert(name);
  }
  service.setPageSize(3);
  service.stallListingsOf("mirror/many/", true);
  MountedDomain mount(service);
  // The folder opens and its first page is read while the next one hangs.
  DIR* dir = nullptr;
  std::set<std::string> names;
  auto first = std::async(std::launch::async, [&] {
    dir = ::opendir((mount.root() / "many").c_str());
    for (int i = 0; dir && i < 5; ++i) {
      if (dirent* entry = ::readdir(dir)) names.insert(entry->d_name);
    }
  });
  EXPECT_EQ(first.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(waitUntil([&] { return service.listingsOf("mirror/many/") == 2u; }, 5s));
  service.releaseStalls();
  first.wait();
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = ::readdir(dir)) names.insert(entry->d_name);
  ::closedir(dir);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(service.listingsOf("mirror/many/"), 14u);  // 40 records, 3 a page
  EXPECT_EQ(readFile(mount.root() / "many/file-39").value_or("?"), "file-39");
}

TEST_F(MountTest, TheFoldersNextInLineAreListedAheadButOnlySoMany) {
  const size_t folders = fuse::kPrefetchAhead + 4;
  auto folder = [](size_t i) {
    char name[8];
    std::snprintf(name, sizeof name, "d%02zu", i);
    return std::string(name);
  };
  for (size_t i = 0; i < folders; ++i) service.setFile("mirror/" + folder(i) + "/f.txt", "f");
  service.setFile("mirror/d00/deep/x.txt", "x");
  MountedDomain mount(service);
  auto listings = [&](const std::string& name) {
    return service.listingsOf("mirror/" + name + "/");
  };
  auto waitFor = [&](const std::vector<std::string>& names) {
    waitUntil(
        [&] {
          return std::all_of(names.begin(), names.end(), [&](auto& n) { return listings(n) > 0; });
        },
        std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for any extra one
  };

  // Reading the top lists its first subfolders ahead, and no more.
  EXPECT_EQ(listFolder(mount.root()).size(), folders);
  std::vector<std::string> first, rest;
  for (size_t i = 0; i < folders; ++i)
    (i < fuse::kPrefetchAhead ? first : rest).push_back(folder(i));
  waitFor(first);
  for (const auto& name : first) EXPECT_EQ(listings(name), 1u) << name;
  for (const auto& name : rest) EXPECT_EQ(listings(name), 0u) << name;
  EXPECT_EQ(listings("d00/deep"), 0u);

  // Reading a folder listed ahead takes that listing, and moves on: its own
  // subfolders and its next siblings are listed ahead in turn.
  EXPECT_EQ(listFolder(mount.root() / "d00"), (std::vector<std::string>{"deep", "f.txt"}));
  EXPECT_EQ(listings("d00"), 1u);
  rest.push_back("d00/deep");
  waitFor(rest);
  for (const auto& name : rest) EXPECT_EQ(listings(name), 1u) << name;
  EXPECT_EQ(readFile(mount.root() / "d00/deep/x.txt").value_or("?"), "x");
}

TEST_F(MountTest, FilesSavedInTheMountPointMoveAsideToASiblingAndNothingIsReplaced) {
  fs::path root = paths::homeDirectory() / shared::kDomainDisplayName;
  auto save = [&](const std::string& name) {
    fs::create_directories(root / "sub");
    std::ofstream(root / "sub" / name) << name;
  };
  auto holding = [&](const std::string& name) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(root.parent_path())) {
      auto sibling = entry.path().filename().string();
      if (sibling.starts_with(root.filename().string() + " (saved ") &&
          readFile(entry.path() / "sub" / name).value_or("") == name) {
        found.push_back(entry.path());
      }
    }
    return found;
  };
  fs::create_directories(root);
  EXPECT_EQ(fuse::moveAsideSavedFiles(root, 0).value(), std::nullopt);  // empty: stays
  save("first");
  auto first = fuse::moveAsideSavedFiles(root, 0).value();
  save("second");  // again within the same second: a name of its own
  auto second = fuse::moveAsideSavedFiles(root, 0).value();
  EXPECT_EQ(holding("first"), std::vector{first.value_or("?")});
  EXPECT_EQ(holding("second"), std::vector{second.value_or("?")});
  EXPECT_TRUE(fs::is_empty(root));
  // The mount moves what it finds aside before it mounts.
  save("third");
  { MountedDomain mount(service); }
  EXPECT_EQ(holding("third").size(), 1u);
  EXPECT_TRUE(fs::is_empty(root));
  // A dead mount is no folder of files: nothing moves.
  int device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=0,group_id=0";
  bool dead = ::mount("dead", root.c_str(), "fuse", 0, options.c_str()) == 0;
  ::close(device);
  if (!dead) GTEST_SKIP() << "cannot mount FUSE directly here: " << std::strerror(errno);
  EXPECT_FALSE(fuse::moveAsideSavedFiles(root, 0).has_value());
  EXPECT_TRUE(fuse::detachMount(root));
  EXPECT_EQ(holding("first").size() + holding("second").size() + holding("third").size(), 3u);
}

// The real extension, except that handing out an enumerator for one folder
// holds the calling thread until released.
class HeldListing final : public fileprovider::ReplicatedExtension {
 public:
  HeldListing(fileprovider::ReplicatedExtension& inner, std::string held)
      : inner_(inner), held_(std::move(held)) {}
  std::promise<void> release;
  std::atomic<bool> holding{false};

  void invalidate() override { inner_.invalidate(); }
  fileprovider::ProgressPtr itemForIdentifier(const fileprovider::ItemIdentifier& id,
                                              const fileprovider::Request& r,
                                              fileprovider::ItemCompletion c) override {
    return inner_.itemForIdentifier(id, r, std::move(c));
  }
  fileprovider::ProgressPtr fetchContents(const fileprovider::ItemIdentifier& id,
                                          const std::optional<fileprovider::ItemVersion>& v,
                                          const fileprovider::Request& r,
                                          fileprovider::FetchCompletion c) override {
    return inner_.fetchContents(id, v, r, std::move(c));
  }
  fileprovider::ProgressPtr createItem(fileprovider::ItemPtr, fileprovider::ItemFields,
                                       const std::optional<fs::path>&, uint64_t,
                                       const fileprovider::Request&,
                                       fileprovider::ChangeCompletion) override {
    return nullptr;
  }
  fileprovider::ProgressPtr modifyItem(fileprovider::ItemPtr, const fileprovider::ItemVersion&,
                                       fileprovider::ItemFields, const std::optional<fs::path>&,
                                       uint64_t, const fileprovider::Request&,
                                       fileprovider::ChangeCompletion) override {
    return nullptr;
  }
  fileprovider::ProgressPtr deleteItem(const fileprovider::ItemIdentifier&,
                                       const fileprovider::ItemVersion&, uint64_t,
                                       const fileprovider::Request&,
                                       fileprovider::DeleteCompletion) override {
    return nullptr;
  }
  std::unique_ptr<fileprovider::Enumerator> enumeratorForContainerItemIdentifier(
      const fileprovider::ItemIdentifier& id, const fileprovider::Request& r,
      std::optional<Error>* e) override {
    if (id == held_ && !holding.exchange(true)) release.get_future().wait();
    return inner_.enumeratorForContainerItemIdentifier(id, r, e);
  }

 private:
  fileprovider::ReplicatedExtension& inner_;
  const std::string held_;
};

TEST_F(MountTest, TheDomainLockIsReleasedOnlyOnceTheCacheHasStopped) {
  service.setFile("mirror/a/x.txt", "x");
  auto real = makeExtension(service);
  HeldListing extension(*real, "mirror/a/");
  fs::path root = paths::homeDirectory() / shared::kDomainDisplayName;
  auto daemon = fuse::DomainDaemon::start(
      {{shared::kDomainIdentifier, shared::kDomainDisplayName}, root, true}, extension);
  ASSERT_TRUE(daemon.has_value()) << daemon.error().description;
  std::thread loop([d = daemon->get()] { d->run(); });
  listFolder(root);  // a/ is listed ahead, on a thread the filesystem owns
  ASSERT_TRUE(waitUntil([&] { return extension.holding.load(); }, 5s));
  (*daemon)->stop();
  loop.join();
  std::thread ending([&] { daemon->reset(); });  // waits for that thread
  auto lockFree = [] {
    fs::path lock =
        paths::cacheHome() / "lumora" / (std::string(shared::kDomainIdentifier) + ".lock");
    int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return free;
  };
  // The control socket is gone: the daemon is past its own stopping steps.
  waitUntil([&] { return !fs::exists(fuse::controlSocketPath(shared::kDomainIdentifier)); });
  EXPECT_FALSE(waitUntil(lockFree, 300ms));
  extension.release.set_value();
  ending.join();
  EXPECT_TRUE(lockFree());
}

TEST_F(MountTest, StoppingWaitsNeitherForAHungListingNorForAReaderStuckOnIt) {
  service.setFile("mirror/a/x.txt", "x");
  service.setFile("mirror/b/y.txt", "y");
  auto mount = std::make_unique<MountedDomain>(service);
  service.stallListingsOf("mirror/a/");
  listFolder(mount->root());  // a/ is then listed ahead, and hangs
  int error = 0;
  std::thread reader([&, root = mount->root()] { listFolder(root / "a", &error); });
  waitUntil([&] { return service.requestsTo("/storage/list") >= 3; }, std::chrono::seconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader is waiting too

  auto started = std::chrono::steady_clock::now();
  mount.reset();
  reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_NE(error, 0);  // the reader got an error, not a hang
}

TEST_F(MountTest, WithoutATokenTheMountAnswersEACCES) {
  fs::remove(paths::appGroupContainer(shared::kAppGroup).value() / shared::kTokenFileName);
  service.setFile("mirror/a.txt", "a");
  MountedDomain mount(service);
  int error = 0;
  listFolder(mount.root(), &error);
  EXPECT_EQ(error, EACCES);
  EXPECT_EQ(service.requestsTo("/storage/list"), 0u);  // nothing is sent without a token

  // The token arrives: the same mount works without a restart.
  writeToken(service.token());
  EXPECT_EQ(listFolder(mount.root(), &error), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(error, 0);
}

TEST_F(MountTest, RecordsThatCannotBeFileNamesAreHiddenAndTwoOfOneNameBothShow) {
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/.."})");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/."})");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/"})");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/nul\u0000name"})");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/)" + std::string(256, 'x') + "\"}");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/twice","size":5,"etag":"first"})");
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/twice/","dir":false,"size":9})");
  // A file and a folder of one name, as object stores hold them.
  service.addRawRecord("mirror/odd/", R"({"key":"mirror/odd/x","size":1})");
  service.setFile("mirror/odd/x/inner.txt", "inner");
  service.setFile("mirror/odd/plain", "plain");
  MountedDomain mount(service);
  EXPECT_EQ(listFolder(mount.root() / "odd"),
            (std::vector<std::string>{"plain", "twice", "twice (2)", "x", "x (2)"}));
  struct stat st {};
  ASSERT_EQ(::stat((mount.root() / "odd/twice").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ASSERT_EQ(::stat((mount.root() / "odd/twice (2)").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 9);
  ASSERT_EQ(::stat((mount.root() / "odd/x").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readFile(mount.root() / "odd/x (2)/inner.txt").value_or("?"), "inner");
}

TEST_F(MountTest, AListingThatNamesAFolderAboveItIsNotFollowed) {
  service.setFile("mirror/a/b/c.txt", "c");
  service.addRawRecord("mirror/a/b/", R"({"key":"mirror/a/"})");
  service.addRawRecord("mirror/a/b/", R"({"key":"mirror/a/b/"})");
  MountedDomain mount(service);
  EXPECT_EQ(listFolder(mount.root() / "a/b"), std::vector<std::string>{"c.txt"});
  EXPECT_EQ(listFolder(mount.root() / "a"), std::vector<std::string>{"b"});
  EXPECT_EQ(listFolder(mount.root()), std::vector<std::string>{"a"});
}

TEST_F(MountTest, AFolderWhoseKeyIsTheRootsPrefixTakesNothingFromTheRoot) {
  service.setFile("mirror/a.txt", "a");
  service.setFile("mirror/docs/b.txt", "b");
  service.addRawRecord("mirror/", R"({"key":"mirror/"})");
  MountedDomain mount(service);
  EXPECT_EQ(listFolder(mount.root()), (std::vector<std::string>{"a.txt", "docs", "mirror"}));
  // Its listing is the root's own: every record there is the root's already.
  EXPECT_TRUE(listFolder(mount.root() / "mirror").empty());
  EXPECT_EQ(mount.control("signal NSFileProviderRootContainerItemIdentifier"), "ok");
  EXPECT_EQ(listFolder(mount.root()), (std::vector<std::string>{"a.txt", "docs", "mirror"}));
  EXPECT_EQ(readFile(mount.root() / "docs/b.txt").value_or("?"), "b");
}

TEST_F(MountTest, FilesShowTheServicesDatesAndFoldersTheNewestOfTheirs) {
  service.addRawRecord("mirror/", R"({"key":"mirror/dated/"})");
  service.addRawRecord(
      "mirror/dated/",
      R"({"key":"mirror/dated/old.txt","size":3,"modified":"2021-03-04T05:06:07Z"})");
  service.addRawRecord(
      "mirror/dated/",
      R"({"key":"mirror/dated/new.txt","size":3,"modified":"2024-05-01T10:00:00+02:00"})");
  service.setFile("mirror/plain/undated.txt", "u");
  auto before = std::time(nullptr);
  MountedDomain mount(service);
  struct stat st {};
  ASSERT_EQ(::stat((mount.root() / "dated/old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1614834367);
  EXPECT_EQ(st.st_ctim.tv_sec, 1614834367);
  ASSERT_EQ(::stat((mount.root() / "dated/new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1714550400);
  // The folder's date changed with its listing; the kernel hears of it from
  // the notifier's thread.
  EXPECT_TRUE(waitUntil(
      [&] {
        return ::stat((mount.root() / "dated").c_str(), &st) == 0 &&
               st.st_mtim.tv_sec == 1714550400;
      },
      std::chrono::seconds(3)));
  // A folder whose records carry no dates: the time it was listed.
  listFolder(mount.root() / "plain");
  ASSERT_EQ(::stat((mount.root() / "plain").c_str(), &st), 0);
  EXPECT_GE(st.st_mtim.tv_sec, before);
  EXPECT_LE(st.st_mtim.tv_sec, std::time(nullptr));
}

TEST_F(MountTest, TheMountIsReadOnlyAndEveryChangeIsRefusedWithEROFSBeforeTheService) {
  service.setFile("mirror/a.txt", "a");
  service.setFile("mirror/docs/b.txt", "b");
  MountedDomain mount(service);
  ASSERT_EQ(listFolder(mount.root()).size(), 2u);
  ASSERT_EQ(listFolder(mount.root() / "docs").size(), 1u);
  // Read-only as file managers ask: statvfs, the mount's options, the modes.
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(mount.root().c_str(), &vfs), 0);
  EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line, options;
  while (std::getline(mountinfo, line)) {
    if (line.find(" " + mount.root().string() + " ") != std::string::npos) {
      options = line.substr(line.find(mount.root().string()) + mount.root().string().size() + 1);
    }
  }
  EXPECT_TRUE(options.starts_with("ro,")) << options;
  struct stat st {};
  ASSERT_EQ(::stat((mount.root() / "docs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  ASSERT_EQ(::stat((mount.root() / "a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  service.server().clearRecords();
  auto& ext = mount.extension();
  const fs::path root = mount.root();
  auto expectRefused = [](int result, const char* what) {
    EXPECT_EQ(result, -1) << what;
    EXPECT_EQ(errno, EROFS) << what;
  };

  int creates = ext.creates, modifies = ext.modifies, deletes = ext.deletes;
  expectRefused(::open((root / "new.txt").c_str(), O_CREAT | O_WRONLY, 0644), "create");
  expectRefused(::mknod((root / "node").c_str(), S_IFREG | 0644, 0), "mknod");
  expectRefused(::mkdir((root / "dir").c_str(), 0755), "mkdir");
  expectRefused(::symlink("a.txt", (root / "link").c_str()), "symlink");
  expectRefused(::link((root / "a.txt").c_str(), (root / "hard").c_str()), "link");

  expectRefused(::open((root / "a.txt").c_str(), O_WRONLY), "open for writing");
  expectRefused(::open((root / "a.txt").c_str(), O_RDONLY | O_TRUNC), "truncating open");
  expectRefused(::truncate((root / "a.txt").c_str(), 0), "truncate");
  expectRefused(::chmod((root / "a.txt").c_str(), 0777), "chmod");
  expectRefused(::rename((root / "a.txt").c_str(), (root / "docs/a.txt").c_str()), "rename");
  expectRefused(::setxattr((root / "a.txt").c_str(), "user.x", "1", 1, 0), "setxattr");

  expectRefused(::unlink((root / "a.txt").c_str()), "unlink");
  expectRefused(::rmdir((root / "docs").c_str()), "rmdir");
  // The kernel refuses a read-only volume's changes itself: the extension
  // is never asked.
  EXPECT_EQ(ext.creates + ext.modifies + ext.deletes, creates + modifies + deletes);

  EXPECT_EQ(service.requestsOtherThanReads(), 0u);
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 0u);
  EXPECT_EQ(readFile(root / "a.txt").value_or("?"), "a");  // still there, unchanged
}

// Opening the files of a folder just listed asks for their contents only:
// the listed version, with no look-up of each item.
TEST_F(MountTest, FilesOfAFreshlyListedFolderOpenWithoutALookUpEach) {
  for (int i = 0; i < 6; ++i) service.setFile("mirror/shots/" + std::to_string(i), "shot");
  service.setFile("mirror/shots/clip", std::string(3 << 20, 'c'));
  service.setFile("mirror/changing/late", "as listed");
  service.setFile("mirror/first.txt", "first");
  MountedDomain mount(service);
  // The first download shows that the store states the listing's tags.
  EXPECT_EQ(readFile(mount.root() / "first.txt").value_or("?"), "first");
  ASSERT_EQ(listFolder(mount.root() / "shots").size(), 7u);
  service.server().clearRecords();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(readFile(mount.root() / "shots" / std::to_string(i)).value_or("?"), "shot");
  }
  EXPECT_EQ(readFile(mount.root() / "shots/clip").value_or("?").size(), 3u << 20);
  EXPECT_EQ(service.requestsTo("/storage/list"), 0u);
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 7u);
  // Changed since it was listed: the store refuses the listed version, and
  // the open reads the new one.
  auto version = [&] {
    char value[64] = {};
    ::getxattr((mount.root() / "changing/late").c_str(), "user.lumora.version", value,
               sizeof value);
    return std::string(value);
  };
  std::string listed = version();
  service.setFile("mirror/changing/late", "changed since");
  EXPECT_EQ(readFile(mount.root() / "changing/late").value_or("?"), "changed since");
  EXPECT_NE(version(), listed);
}

TEST_F(MountTest, AThumbnailerGetsOnlyCachedFilesAndItsFailureGoesOnceTheFileIsCached) {
  // A thumbnailer as the desktop names one: a copy of cat.
  fs::path peek = home.home() / "bin/peek-thumbnailer";
  fs::create_directories(peek.parent_path());
  fs::copy_file("/bin/cat", peek);
  home.write(".local/share/thumbnailers/peek.thumbnailer",
             "[Thumbnailer Entry]\nExec=" + peek.string() + " %i %o\n");
  service.setFile("mirror/photos/a b.jpg", "jpeg bytes");
  // The desktop names it by the link users reach the mount through (the
  // daemon makes it).
  fs::path seen = home.home() / "Seen";
  MountedDomain mount(service, fuse::kContentCacheLimit, seen);
  fs::path photo = seen / "photos/a b.jpg";
  auto thumbnail = [&] {
    return std::system(
        ("'" + peek.string() + "' '" + photo.string() + "' >/dev/null 2>&1").c_str());
  };
  EXPECT_NE(thumbnail(), 0);
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 0u);
  // What GNOME's thumbnail factory records of the failure.
  fs::path failed = home.write(
      ".cache/thumbnails/fail/gnome-thumbnail-factory/" + fuse::failedThumbnailName(photo), "png");

  EXPECT_EQ(readFile(photo).value_or("?"), "jpeg bytes");  // the user opens it
  // The kernel tells of the close after close() returns.
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(failed); }));
  EXPECT_EQ(thumbnail(), 0);
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 1u);
}

TEST_F(MountTest, AnUnchangedFileIsFetchedOnceAndAChangedOneAgain) {
  service.setFile("mirror/f.txt", "version one");
  MountedDomain mount(service);
  EXPECT_EQ(readFile(mount.root() / "f.txt").value_or("?"), "version one");
  EXPECT_EQ(readFile(mount.root() / "f.txt").value_or("?"), "version one");
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 1u);

  service.setFile("mirror/f.txt", "version two, longer");
  EXPECT_EQ(mount.control("signal NSFileProviderWorkingSetContainerItemIdentifier"), "ok");
  EXPECT_EQ(readFile(mount.root() / "f.txt").value_or("?"), "version two, longer");
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 2u);
  EXPECT_EQ(readFile(mount.root() / "f.txt").value_or("?"), "version two, longer");
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 2u);

  // Pages the kernel holds of an older version are never served: neither at
  // the same length nor when the file shrinks.
  for (std::string next : {"VERSION TWO, LONGER", "v4"}) {
    service.setFile("mirror/f.txt", next);
    EXPECT_EQ(mount.control("signal NSFileProviderWorkingSetContainerItemIdentifier"), "ok");
    EXPECT_EQ(readFile(mount.root() / "f.txt").value_or("?"), next);
    struct stat st {};
    ASSERT_EQ(::stat((mount.root() / "f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(next.size()));
  }
}

// The kernel keeps names, attributes and folder entries for a while without
// asking; whatever a new listing changes reaches it at once.
TEST_F(MountTest, WhatANewListingChangesTheKernelSeesAtOnce) {
  service.setFile("mirror/docs/gone.txt", "soon gone");
  service.setFile("mirror/docs/grows.txt", "short");
  service.setFile("mirror/docs/stays.txt", "stays");
  MountedDomain mount(service);
  const fs::path docs = mount.root() / "docs";
  EXPECT_EQ(listFolder(docs), (std::vector<std::string>{"gone.txt", "grows.txt", "stays.txt"}));
  struct stat st {};
  ASSERT_EQ(::stat((docs / "gone.txt").c_str(), &st), 0);
  ASSERT_EQ(::stat((docs / "grows.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);

  // Unchanged, the folder is read from the kernel's copy: the same entries,
  // and no new listing.
  size_t listings = service.listingsOf("mirror/docs/");
  EXPECT_EQ(listFolder(docs), (std::vector<std::string>{"gone.txt", "grows.txt", "stays.txt"}));
  EXPECT_EQ(service.listingsOf("mirror/docs/"), listings);

  service.removeFile("mirror/docs/gone.txt");
  service.setFile("mirror/docs/grows.txt", "a good deal longer");
  service.setFile("mirror/docs/new.txt", "new");
  EXPECT_EQ(mount.control("signal NSFileProviderWorkingSetContainerItemIdentifier"), "ok");
  // Opening a file lists its folder again, with no folder read that would
  // bring the kernel new entries and attributes by itself.
  EXPECT_EQ(readFile(docs / "stays.txt").value_or("?"), "stays");
  // The kernel is told from a thread of the daemon's own: give it a moment,
  // far less than the time the kernel would otherwise keep what it has.
  const auto aMoment = std::chrono::seconds(1);
  EXPECT_TRUE(waitUntil(
      [&] {
        struct stat now {};
        return ::stat((docs / "gone.txt").c_str(), &now) != 0 && errno == ENOENT;
      },
      aMoment));
  EXPECT_TRUE(waitUntil(
      [&] {
        struct stat now {};
        return ::stat((docs / "grows.txt").c_str(), &now) == 0 && now.st_size == 18;
      },
      aMoment));
  EXPECT_EQ(listFolder(docs), (std::vector<std::string>{"grows.txt", "new.txt", "stays.txt"}));
  EXPECT_EQ(readFile(docs / "grows.txt").value_or("?"), "a good deal longer");
}

TEST_F(MountTest, ItemsGoneFromTheServiceLeaveTheReplicaOnceTheKernelForgetsThem) {
  for (int i = 0; i < 50; ++i) service.setFile("mirror/docs/f" + std::to_string(i), "f");
  service.setFile("mirror/docs/stays", "s");
  MountedDomain mount(service);
  const fs::path docs = mount.root() / "docs";
  ASSERT_EQ(listFolder(docs).size(), 51u);
  struct stat st {};
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(::stat((docs / ("f" + std::to_string(i))).c_str(), &st), 0);
  size_t listed = mount.replica().size();
  EXPECT_GE(listed, 53u);  // the root, docs, and its files

  for (int i = 0; i < 50; ++i) service.removeFile("mirror/docs/f" + std::to_string(i));
  EXPECT_EQ(mount.control("signal NSFileProviderWorkingSetContainerItemIdentifier"), "ok");
  EXPECT_EQ(listFolder(docs), std::vector<std::string>{"stays"});
  // The kernel is told the names went, lets the inodes go and says so.
  EXPECT_TRUE(
      waitUntil([&] { return mount.replica().size() <= listed - 50; }, std::chrono::seconds(5)))
      << mount.replica().size();
  EXPECT_EQ(readFile(docs / "stays").value_or("?"), "s");
}

TEST_F(MountTest, TheServiceStoppedGivesEIOAndTheMountRecoversWhenItIsBack) {
  service.setFile("mirror/cached.txt", "cached");
  for (int i = 0; i < 3; ++i) service.setFile("mirror/later" + std::to_string(i), "later");
  MountedDomain mount(service);
  ASSERT_EQ(readFile(mount.root() / "cached.txt").value_or("?"), "cached");

  fuse::setLogEnabled(true);
  ::testing::internal::CaptureStderr();
  service.setDown(true);
  // A fetch's first request: the download URL of a listed version, else
  // the look-up.
  auto asked = [&] {
    return service.requestsTo("/storage/list") + service.requestsTo("/storage/download-url");
  };
  for (int i = 0; i < 3; ++i) {
    // Asked again with pauses, then given up within the bound.
    auto askedBefore = asked();
    auto start = mount.retryTime().elapsed();
    EXPECT_EQ(readFile(mount.root() / ("later" + std::to_string(i))).error(), EIO);
    EXPECT_LE(mount.retryTime().elapsed() - start, fuse::RetryLimits{}.bound);
    EXPECT_GT(asked() - askedBefore, 1u);
    EXPECT_LE(asked() - askedBefore, static_cast<size_t>(fuse::RetryLimits{}.answeredAttempts));
  }
  EXPECT_EQ(readFile(mount.root() / "cached.txt").value_or("?"), "cached");  // from the cache

  service.setDown(false);
  EXPECT_EQ(readFile(mount.root() / "later0").value_or("?"), "later");
  EXPECT_EQ(readFile(mount.root() / "later1").value_or("?"), "later");
  std::string log = ::testing::internal::GetCapturedStderr();
  fuse::setLogEnabled(false);
  // A 503 is an answer: the service is there, only failing; not an outage.
  EXPECT_EQ(log.find("the service is unreachable"), std::string::npos) << log;
}

TEST_F(MountTest, AListingALookUpAndAFetchThatFailOnceAreAnsweredWithoutAnError) {
  service.setFile("mirror/readme.txt", "hello");
  service.setFile("mirror/docs/a.txt", "in docs");
  service.setFile("mirror/photos/b.jpg", "b");
  service.setFile("mirror/photos/c.jpg", "c");
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());

  // A look-up lists the folders on its way, and each listing fails once.
  service.failNext("/storage/list", 2);
  struct stat found {};
  EXPECT_EQ(::stat((mount.root() / "docs" / "a.txt").c_str(), &found), 0) << errno;
  EXPECT_EQ(found.st_size, 7);
  EXPECT_EQ(service.failuresLeft(), 0);

  // A page asked for again, not the listing restarted.
  service.setPageSize(1);
  service.failNext("/storage/list", 1, 1);
  EXPECT_EQ(listFolder(mount.root() / "photos"), (std::vector<std::string>{"b.jpg", "c.jpg"}));
  EXPECT_EQ(service.failuresLeft(), 0);
  EXPECT_EQ(service.listingsOf("mirror/photos/"), 3u);

  service.failNext("/storage/download-url", 1);
  service.failNext("/objects/", 2);
  EXPECT_EQ(readFile(mount.root() / "readme.txt").value_or("?"), "hello");
  EXPECT_EQ(readFile(mount.root() / "docs" / "a.txt").value_or("?"), "in docs");
  EXPECT_EQ(service.failuresLeft(), 0);
}

TEST_F(MountTest, TheCacheFoldersArePrivate) {
  ::umask(022);
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());
  auto downloads = fuse::downloadsFolder(shared::kDomainIdentifier);
  for (const auto& folder : {mount.cacheFolder().parent_path(), mount.cacheFolder(), downloads}) {
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0) << folder;
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
  }
}

TEST_F(MountTest, TheCacheStaysWithinItsLimitAndKeepsOpenFiles) {
  for (int i = 0; i < 6; ++i)
    service.setFile("mirror/f" + std::to_string(i), std::string(1000, 'a' + i));
  MountedDomain mount(service, 2500);
  int held = ::open((mount.root() / "f0").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  for (int i = 1; i < 6; ++i) {
    EXPECT_EQ(readFile(mount.root() / ("f" + std::to_string(i))).value_or("?"),
              std::string(1000, 'a' + i));
  }
  uint64_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(mount.cacheFolder())) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  EXPECT_LE(bytes, 2500u);
  // The file held open was not evicted: it still reads whole.
  char buffer[1000];
  EXPECT_EQ(::pread(held, buffer, sizeof buffer, 0), 1000);
  EXPECT_EQ(std::string(buffer, 1000), std::string(1000, 'a'));
  ::close(held);
  // An evicted file is fetched again.
  size_t before = service.requestsTo("/storage/download-url");
  EXPECT_EQ(readFile(mount.root() / "f1").value_or("?"), std::string(1000, 'b'));
  EXPECT_EQ(service.requestsTo("/storage/download-url"), before + 1);
}

TEST_F(MountTest, AMissIsKeptByTheKernelUntilAListingShowsTheName) {
  service.setFile("mirror/photos/a.jpg", "a");
  MountedDomain mount(service);
  fs::path probe = mount.root() / "photos" / "folder.jpg";
  struct stat st {};
  ASSERT_NE(::stat(probe.c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
  size_t listings = service.listingsOf("mirror/photos/");
  for (int i = 0; i < 5; ++i) EXPECT_NE(::stat(probe.c_str(), &st), 0);
  EXPECT_EQ(service.listingsOf("mirror/photos/"), listings);
  // The name appears: the kernel forgets the miss with the new listing.
  service.setFile("mirror/photos/folder.jpg", "cover");
  EXPECT_EQ(mount.control("signal NSFileProviderRootContainerItemIdentifier"), "ok");
  EXPECT_EQ(listFolder(mount.root() / "photos").size(), 2u);
  EXPECT_TRUE(waitUntil([&] { return ::stat(probe.c_str(), &st) == 0; }, std::chrono::seconds(3)));
}

TEST_F(MountTest, FilesReadInOrderAreFetchedAheadWithinABudgetAndOnlyForAReader) {
  auto name = [](int i) { return std::string(i < 10 ? "f0" : "f") + std::to_string(i); };
  for (const char* folder : {"read", "listed", "jumped"}) {
    for (int i = 0; i < 2 + 3 * static_cast<int>(fuse::kFilesAhead); ++i) {
      service.setFile(std::string("mirror/") + folder + "/" + name(i),
                      std::string(100, 'a' + i % 26));
    }
  }
  MountedDomain mount(service);
  auto fetchedIn = [&](const std::string& folder) {
    size_t count = 0;
    for (const auto& request : service.server().requestsTo("/storage/download-url")) {
      if (request.queryValue("key").value_or("").starts_with("mirror/" + folder + "/")) ++count;
    }
    return count;
  };
  // Only listed: nothing is fetched.
  EXPECT_EQ(listFolder(mount.root() / "listed").size(), 2 + 3 * fuse::kFilesAhead);
  // Two in order: the next ones come ahead, no further than the budget.
  EXPECT_EQ(readFile(mount.root() / "read" / name(0)).value_or("?"), std::string(100, 'a'));
  EXPECT_EQ(readFile(mount.root() / "read" / name(1)).value_or("?"), std::string(100, 'b'));
  EXPECT_TRUE(waitUntil([&] { return fetchedIn("read") == 2 + fuse::kFilesAhead; },
                        std::chrono::seconds(5)));
  for (int i = 2; i < 2 + static_cast<int>(fuse::kFilesAhead); ++i) {
    EXPECT_EQ(readFile(mount.root() / "read" / name(i)).value_or("?"), std::string(100, 'a' + i));
  }
  EXPECT_TRUE(waitUntil([&] { return fetchedIn("read") == 2 + 2 * fuse::kFilesAhead; },
                        std::chrono::seconds(5)));
  EXPECT_EQ(fetchedIn("listed"), 0u);
  // A reader that jumps away starts nothing where it lands.
  readFile(mount.root() / "jumped" / name(0));
  readFile(mount.root() / "jumped" / name(1));
  readFile(mount.root() / "jumped" / name(25));
  EXPECT_TRUE(waitUntil([&] { return fetchedIn("jumped") <= 3 + fuse::kFilesAhead; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (const auto& request : service.server().requestsTo("/storage/download-url")) {
    EXPECT_NE(request.queryValue("key"), "mirror/jumped/" + name(26));
  }
}

TEST_F(MountTest, TheControlRequestsAnswer) {
  MountedDomain mount(service);
  EXPECT_TRUE(mount.control("status").starts_with("ok mounted " + std::to_string(::getpid())));
  EXPECT_TRUE(mount.control("signal").starts_with("error"));
  EXPECT_TRUE(mount.control("bogus").starts_with("error"));
  // The same over the socket.
  auto answer = fuse::sendControlRequest(fuse::controlSocketPath(shared::kDomainIdentifier),
                                         "status", std::chrono::seconds(2));
  ASSERT_TRUE(answer.has_value()) << answer.error().description;
  EXPECT_TRUE(answer->ends_with(mount.root().string()));
}

}  // namespace
}  // namespace lumora::testing

namespace lumora::testing {
namespace {

// A restart while the service refuses connections: every folder seen before
// answers from the item store, a downloaded file opens from the cache, and
// a file not downloaded (or downloaded only in a version since replaced)
// fails at once; once the service is back, its changes show.
TEST_F(MountTest, AfterARestartWithTheServiceAwayWhatWasSeenStillAnswers) {
  service.setFile("mirror/readme.txt", "hello");
  service.setFile("mirror/docs/a.txt", "cached a");
  service.setFile("mirror/docs/b.txt", "never read");
  service.setFile("mirror/docs/v.txt", "version one");
  service.setFile("mirror/docs/sub/c.txt", "c");
  const std::vector<std::string> docs{"a.txt", "b.txt", "sub", "v.txt"};
  // What is seen before the restart, and answers after it without the service.
  auto seen = [&](MountedDomain& mount) {
    EXPECT_EQ(listFolder(mount.root()), (std::vector<std::string>{"docs", "readme.txt"}));
    EXPECT_EQ(listFolder(mount.root() / "docs"), docs);
    EXPECT_EQ(listFolder(mount.root() / "docs/sub"), std::vector<std::string>{"c.txt"});
    EXPECT_EQ(readFile(mount.root() / "docs/a.txt").value_or("?"), "cached a");
  };
  {
    MountedDomain mount(service);
    ASSERT_TRUE(mount.mounted());
    seen(mount);
    EXPECT_EQ(readFile(mount.root() / "docs/v.txt").value_or("?"), "version one");
    // The listing now names a version that the cache does not hold.
    service.setFile("mirror/docs/v.txt", "version two");
    EXPECT_EQ(mount.control("signal NSFileProviderRootContainerItemIdentifier"), "ok");
    EXPECT_EQ(listFolder(mount.root() / "docs"), docs);
  }
  service.server().refuseConnections();
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());
  seen(mount);
  EXPECT_EQ(readFile(mount.root() / "docs/b.txt").error(), EIO);
  EXPECT_EQ(readFile(mount.root() / "docs/v.txt").error(), EIO);  // never version one
  EXPECT_NE(mount.control("status").find(" offline "), std::string::npos);

  service.server().acceptConnections();
  service.setFile("mirror/docs/new.txt", "new");
  mount.retryTime().sleep(fuse::RetryLimits{}.maxProbeDelay);  // a probe is due
  EXPECT_TRUE(
      waitUntil([&] { return listFolder(mount.root() / "docs").size() == docs.size() + 1; }, 10s));
  EXPECT_EQ(readFile(mount.root() / "docs/v.txt").value_or("?"), "version two");
  EXPECT_NE(mount.control("status").find(" online "), std::string::npos);
}

// A folder over the big-listing bound is read from the item store: every
// entry shows, a colliding name is suffixed, a renewal keeps the inodes of
// the items that stay, and a restart with the service away serves it.
TEST_F(MountTest, ABigFolderIsServedFromTheItemStoreAndKeepsItsInodesAcrossRenewals) {
  service.setPageSize(40);
  for (int i = 0; i < 150; ++i) service.setFile("mirror/big/f" + std::to_string(1000 + i), "x");
  service.addRawRecord("mirror/big/", R"({"key":"mirror/big/twice","size":5})");
  service.addRawRecord("mirror/big/", R"({"key":"mirror/big/twice/","dir":false,"size":9})");
  service.setFile("mirror/big/sub/inner.txt", "inner");
  auto inodeOf = [](const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  auto seen = [&](MountedDomain& mount, size_t count) {
    auto names = listFolder(mount.root() / "big");
    EXPECT_EQ(names.size(), count);
    struct stat st {};
    EXPECT_EQ(::stat((mount.root() / "big/twice (2)").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 9);
    EXPECT_EQ(readFile(mount.root() / "big/sub/inner.txt").value_or("?"), "inner");
  };
  {
    MountedDomain mount(service);
    ASSERT_TRUE(mount.mounted());
    mount.filesystem().setBigListing(50);
    seen(mount, 153);
    EXPECT_EQ(readFile(mount.root() / "big/f1100").value_or("?"), "x");
    auto kept = inodeOf(mount.root() / "big/f1100");
    auto removed = inodeOf(mount.root() / "big/f1000");
    EXPECT_GE(kept, fuse::kStoredInodeBase);
    ASSERT_TRUE(mount.replica().node(removed));

    service.removeFile("mirror/big/f1000");
    EXPECT_EQ(mount.control("signal NSFileProviderRootContainerItemIdentifier"), "ok");
    seen(mount, 152);
    EXPECT_EQ(inodeOf(mount.root() / "big/f1100"), kept);
    EXPECT_EQ(inodeOf(mount.root() / "big/f1000"), 0u);
    EXPECT_FALSE(mount.replica().node(removed));
  }
  service.server().refuseConnections();
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());
  auto names = listFolder(mount.root() / "big");
  EXPECT_EQ(names.size(), 152u);
  EXPECT_GE(inodeOf(mount.root() / "big/f1100"), fuse::kStoredInodeBase);
}

// A store that cannot be read is set aside: the mount lists from the service.
TEST_F(MountTest, ADamagedItemStoreIsSetAsideAndTheMountListsFromTheService) {
  service.setFile("mirror/readme.txt", "hello");
  fs::path store = fuse::ItemStore::fileFor(shared::kDomainIdentifier);
  fs::create_directories(store.parent_path());
  std::ofstream(store, std::ios::binary) << std::string(4096, '\x33');
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());
  EXPECT_EQ(listFolder(mount.root()), std::vector<std::string>{"readme.txt"});
  int setAside = 0;
  for (const auto& entry : fs::directory_iterator(store.parent_path())) {
    setAside += entry.path().filename().string().starts_with("items.sqlite.unreadable-");
  }
  EXPECT_EQ(setAside, 1);
}

}  // namespace
}  // namespace lumora::testing
