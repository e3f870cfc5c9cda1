// The daemon's core without a mount: the real extension against a local
// service, and a clock the test moves.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "platform/fileprovider/linux/base/Errno.h"
#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/MountedDomain.h"

namespace lumora::testing {
namespace {

using namespace std::chrono;

// A home, a service and the real extension against it, and a cache.
class DomainFilesystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeToken(service.token());
    ASSERT_TRUE(cache.prepare().has_value());
  }
  TempHome home;
  StorageService service;
  std::unique_ptr<CountingExtension> extension = makeExtension(service);
  fuse::ContentCache cache{home.root() / "cache", 1 << 20};
};

// Large files, which come block by block, in a cache that holds several.
class FileVersionsTest : public DomainFilesystemTest {
 protected:
  static constexpr size_t kSize = 2 << 20;
  void SetUp() override {
    DomainFilesystemTest::SetUp();
    ASSERT_TRUE(roomy.prepare().has_value());
    service.setFile("mirror/v/f.bin", std::string(kSize, 'a'));
    folder = *filesystem.lookup(fuse::kRootInode, "v");
    file = *filesystem.lookup(folder.inode, "f.bin");
  }
  // The whole file as the handle reads it, or the errno of its failure.
  std::string readAll(fuse::OpenedFile& handle) {
    auto span = filesystem.read(handle, 0, kSize);
    if (!span) return "errno " + std::to_string(fuse::errnoForError(span.error()));
    std::string bytes(span->length, '\0');
    return ::pread(span->fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()) ? bytes : "";
  }
  std::unique_ptr<fuse::OpenedFile> open() {
    auto opened = filesystem.openFile(file.inode, O_RDONLY);
    if (!opened) ADD_FAILURE() << "errno " << fuse::errnoForError(opened.error());
    return opened ? std::move(*opened) : nullptr;
  }
  fuse::ContentCache roomy{home.root() / "roomy", 64 << 20};
  fuse::DomainFilesystem filesystem{*extension, roomy};
  fuse::NodeInfo folder, file;
};

TEST_F(FileVersionsTest, AnOpenAfterAChangeReadsTheNewVersionThoughTheListingIsFresh) {
  service.setFile("mirror/v/f.bin", std::string(kSize, 'b'));
  auto opened = open();
  ASSERT_TRUE(opened);
  EXPECT_EQ(readAll(*opened), std::string(kSize, 'b'));
}

TEST_F(FileVersionsTest, OpensOfTwoVersionsAtOnceDoNotShareAnEntry) {
  // A file read once shows that the store's tags are the listed ones.
  service.setFile("mirror/v/other.bin", std::string(kSize, 'o'));
  filesystem.replica().markStale(folder.inode);
  auto other = filesystem.openFile(filesystem.lookup(folder.inode, "other.bin")->inode, O_RDONLY);
  ASSERT_TRUE(other.has_value());
  service.server().clearRecords();
  service.stallObjectsFrom(0);
  auto objectRequests = [&] {
    auto all = service.server().requests();
    return std::count_if(all.begin(), all.end(),
                         [](const auto& r) { return r.path.starts_with("/objects/"); });
  };
  auto first = std::async(std::launch::async, [&] { return open(); });
  ASSERT_TRUE(waitUntil([&] { return objectRequests() >= 1; }, seconds(3)));
  service.setFile("mirror/v/f.bin", std::string(kSize, 'b'));
  filesystem.replica().markStale(folder.inode);
  auto second = std::async(std::launch::async, [&] { return open(); });
  bool bothAsked = waitUntil([&] { return objectRequests() >= 2; }, seconds(2));
  service.releaseStalls();
  EXPECT_TRUE(bothAsked);
  auto a = first.get(), b = second.get();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(readAll(*a), std::string(kSize, 'b'));
  EXPECT_EQ(readAll(*b), std::string(kSize, 'b'));
}

TEST_F(FileVersionsTest, VersionsNeverShareTheKernelsPagesAndForgettingPrunes) {
  ASSERT_TRUE(filesystem.lookedUp(file.inode));
  auto older = open();
  ASSERT_TRUE(older);
  ASSERT_EQ(readAll(*older), std::string(kSize, 'a'));  // cached whole
  service.setFile("mirror/v/f.bin", std::string(kSize, 'b'));
  filesystem.replica().markStale(folder.inode);
  // The older handle still reads through the kernel's pages: the newer one
  // reads past them, and the older one reads its own version to the end.
  auto newer = open();
  ASSERT_TRUE(newer);
  EXPECT_TRUE(newer->directIo);
  EXPECT_FALSE(newer->invalidateKernel);
  EXPECT_EQ(readAll(*older), std::string(kSize, 'a'));
  EXPECT_EQ(readAll(*newer), std::string(kSize, 'b'));
  // The pages stay the older version's until the kernel forgets the inode.
  older.reset();
  auto next = open();
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->directIo);
  newer.reset();
  next.reset();
  EXPECT_EQ(filesystem.versionsServed(), 1u);
  filesystem.forget(file.inode, 1);
  EXPECT_EQ(filesystem.versionsServed(), 0u);
  ASSERT_TRUE(filesystem.lookedUp(file.inode));
  auto fresh = open();
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->directIo);
}

TEST_F(FileVersionsTest, AFileWhoseHostTagsItWeaklyIsReadInOneAnswer) {
  service.weakTags(true);
  service.server().clearRecords();
  auto opened = open();
  ASSERT_TRUE(opened);
  EXPECT_EQ(readAll(*opened), std::string(kSize, 'a'));
  // The first block told of the weak tag; the rest is not stitched to it.
  auto asked = service.server().requests();
  std::erase_if(asked, [](const auto& r) { return !r.path.starts_with("/objects/"); });
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_FALSE(asked[1].header("Range"));
}

TEST(CacheEntryGenerationTest, AClaimMadeBeforeTheContentsWereDroppedMarksNothing) {
  UniqueFd fd(::memfd_create("entry", 0));
  ASSERT_EQ(::ftruncate(fd.get(), 2 * fuse::kBlockSize), 0);
  fuse::EntryStorage storage;
  storage.fd = std::move(fd);
  fuse::CacheEntry entry("e", std::move(storage), fuse::BlockMap(2 * fuse::kBlockSize), false,
                         true);
  auto earlier = entry.claim({0, 2});
  entry.dropContents();  // a block failed its check; the earlier transfer goes on
  auto later = entry.claim({0, 1});
  ASSERT_EQ(later.size(), 1u);
  entry.blockArrived(0, 0, earlier[0].generation);
  entry.fetchEnded(earlier[0], std::nullopt);
  EXPECT_EQ(entry.waitFor({0, 1}, steady_clock::now()), fuse::CacheEntry::Wait::timedOut);
  entry.blockArrived(0, 0, later[0].generation);
  EXPECT_EQ(entry.waitFor({0, 1}, steady_clock::now()), fuse::CacheEntry::Wait::ready);
}

TEST_F(DomainFilesystemTest, AnAgedBigFolderAnswersAtOnceAndIsRenewedBehindTheReader) {
  for (int i = 0; i < 20000; ++i) service.setFile("mirror/big/f" + std::to_string(i), "x");
  service.setPageSize(2000);
  auto now = steady_clock::now();
  fuse::DomainFilesystem filesystem(
      *extension, cache, [&] { return now; }, seconds(3));

  auto folder = filesystem.lookup(fuse::kRootInode, "big");
  ASSERT_TRUE(folder.has_value());
  ASSERT_EQ(filesystem.wholeDirectory(folder->inode)->size(), 20000u);
  EXPECT_EQ(service.listingsOf("mirror/big/"), 10u);

  // Aged, and the service hangs: look-ups and misses answer from what is known.
  now += seconds(4);
  service.stallListingsOf("mirror/big/");
  auto answers = std::async(std::launch::async, [&] {
    bool found = filesystem.lookup(folder->inode, "f19999").has_value();
    for (int i = 0; i < 3; ++i) found = found && !filesystem.lookup(folder->inode, "desktop.ini");
    return found;
  });
  ASSERT_EQ(answers.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_TRUE(answers.get());
  // One renewal under way for all of them, and none asked again meanwhile.
  EXPECT_TRUE(waitUntil([&] { return service.listingsOf("mirror/big/") == 11u; }));
  service.setFile("mirror/big/desktop.ini", "now it is there");
  service.releaseStalls();
  EXPECT_TRUE(waitUntil([&] { return filesystem.lookup(folder->inode, "desktop.ini").has_value(); },
                        seconds(10)));
  EXPECT_EQ(service.listingsOf("mirror/big/"), 21u);  // 10 pages, then 11
}

TEST_F(DomainFilesystemTest, AFolderNeverListedAnswersFromItsFirstPageAndWaitsOnlyForWhatItLacks) {
  for (int i = 10000; i < 15000; ++i) service.setFile("mirror/big/f" + std::to_string(i), "x");
  service.setPageSize(1000);
  fuse::DomainFilesystem filesystem(*extension, cache);
  auto folder = filesystem.lookup(fuse::kRootInode, "big");
  ASSERT_TRUE(folder.has_value());

  service.stallListingsOf("mirror/big/", true);
  auto first =
      std::async(std::launch::async, [&] { return filesystem.openDirectory(folder->inode); });
  bool shownAtOnce = first.wait_for(seconds(5)) == std::future_status::ready;
  if (!shownAtOnce) service.releaseStalls();  // not held up by the hung pages
  ASSERT_TRUE(shownAtOnce);
  auto shown = first.get();
  ASSERT_TRUE(shown.has_value());
  EXPECT_FALSE(shown->complete);
  ASSERT_EQ(shown->entries.size(), 1000u);
  EXPECT_TRUE(filesystem.lookup(folder->inode, "f10999").has_value());
  // A name the first page lacks, there or not, waits for the rest.
  auto later = std::async(std::launch::async,
                          [&] { return filesystem.lookup(folder->inode, "f14999").has_value(); });
  auto absent = std::async(std::launch::async, [&] {
    auto found = filesystem.lookup(folder->inode, "desktop.ini");
    return !found && fuse::errnoForError(found.error()) == ENOENT;
  });
  EXPECT_EQ(later.wait_for(milliseconds(300)), std::future_status::timeout);
  service.releaseStalls();
  EXPECT_TRUE(later.get());
  EXPECT_TRUE(absent.get());

  auto whole = filesystem.wholeDirectory(folder->inode);
  ASSERT_TRUE(whole.has_value());
  ASSERT_EQ(whole->size(), 5000u);
  for (size_t i = 0; i < shown->entries.size(); ++i) {
    EXPECT_EQ((*whole)[i], shown->entries[i]);
  }
  EXPECT_TRUE(filesystem.openDirectory(folder->inode)->complete);
  EXPECT_EQ(service.listingsOf("mirror/big/"), 5u);  // one listing for every caller
}

TEST_F(DomainFilesystemTest, AListingThatNeverEndsIsAnErrorWithinTheBound) {
  service.setFile("mirror/hung/a.txt", "a");
  fuse::DomainFilesystem filesystem(*extension, cache, steady_clock::now, seconds(3), nullptr,
                                    milliseconds(500));
  // The root's own listing may outlast the bound in a sanitised build under load; it is
  // not what this test is about, so it gets more than one go.
  std::optional<fuse::NodeInfo> folder;
  ASSERT_TRUE(waitUntil([&] {
    auto found = filesystem.lookup(fuse::kRootInode, "hung");
    if (found) folder = *found;
    return found.has_value();
  }));
  service.stallListingsOf("mirror/hung/");
  auto started = steady_clock::now();
  auto listed = filesystem.openDirectory(folder->inode);
  ASSERT_FALSE(listed.has_value());
  EXPECT_EQ(fuse::errnoForError(listed.error()), ETIMEDOUT);
  EXPECT_LT(steady_clock::now() - started, seconds(5));
  service.releaseStalls();
}

}  // namespace
}  // namespace lumora::testing
