#include <gtest/gtest.h>

#include "platform/fileprovider/linux/core/FolderReadAhead.h"
#include "platform/fileprovider/linux/core/Replica.h"
#include "platform/fileprovider/linux/driver/ExtensionDriver.h"
#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"

namespace lumora::fuse {
namespace {

using namespace std::chrono;
namespace fp = lumora::fileprovider;

fp::ItemPtr item(const std::string& id, const std::string& name, bool folder = false) {
  return std::make_shared<LocalItem>(id, fp::kRootContainerItemIdentifier, name, folder);
}

// A file of a given size, as a listing reports it.
class SizedFile final : public fp::Item {
 public:
  SizedFile(std::string id, std::string name, int64_t size)
      : id_(std::move(id)), name_(std::move(name)), size_(size) {}
  fp::ItemIdentifier itemIdentifier() const override { return id_; }
  fp::ItemIdentifier parentItemIdentifier() const override {
    return fp::kRootContainerItemIdentifier;
  }
  std::string filename() const override { return name_; }
  std::string contentType() const override { return "text/plain"; }
  std::optional<int64_t> documentSize() const override { return size_; }
  fp::ItemVersion itemVersion() const override { return {}; }
  fp::ItemCapabilities capabilities() const override { return 0; }

 private:
  std::string id_, name_;
  int64_t size_;
};

fp::ItemPtr sized(const std::string& id, const std::string& name, int64_t size) {
  return std::make_shared<SizedFile>(id, name, size);
}

const std::vector<fp::ItemPtr> kNothing;

// A file with a modification date.
class DatedFile final : public fp::Item {
 public:
  DatedFile(std::string id, std::string name, int64_t modified)
      : id_(std::move(id)), name_(std::move(name)), modified_(modified) {}
  fp::ItemIdentifier itemIdentifier() const override { return id_; }
  fp::ItemIdentifier parentItemIdentifier() const override {
    return fp::kRootContainerItemIdentifier;
  }
  std::string filename() const override { return name_; }
  std::string contentType() const override { return "text/plain"; }
  std::optional<int64_t> documentSize() const override { return 1; }
  fp::ItemVersion itemVersion() const override { return {}; }
  fp::ItemCapabilities capabilities() const override { return 0; }
  std::optional<int64_t> contentModificationTime() const override { return modified_; }

 private:
  std::string id_, name_;
  int64_t modified_;
};

fp::ItemPtr dated(const std::string& id, const std::string& name, int64_t modified) {
  return std::make_shared<DatedFile>(id, name, modified);
}

struct FakeClock {
  steady_clock::time_point now = steady_clock::time_point() + hours(1);
  int64_t wall = 1'700'000'000;
  Clock clock() {
    return [this] { return now; };
  }
  WallClock wallClock() {
    return [this] { return wall; };
  }
};

TEST(ReplicaTest, NamesThatCannotStandInAFolderAreRefused) {
  EXPECT_TRUE(isUsableFileName("a.txt"));
  EXPECT_TRUE(isUsableFileName("..."));
  EXPECT_TRUE(isUsableFileName(std::string(255, 'x')));
  EXPECT_FALSE(isUsableFileName(""));
  EXPECT_FALSE(isUsableFileName("."));
  EXPECT_FALSE(isUsableFileName(".."));
  EXPECT_FALSE(isUsableFileName(std::string(256, 'x')));
  EXPECT_FALSE(isUsableFileName(std::string("a\0b", 3)));
  EXPECT_FALSE(isUsableFileName("a/b"));
}

TEST(ReplicaTest, AListingKeepsOrderDropsBadNamesAndShowsTheLaterOfTwoNamesWithASuffix) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  // "b (2)" is a record's own name, so the suffix moves on to "b (3)".
  replica.applyListing(kRootInode, {item("mirror/b", "b"), item("mirror/x", ".."),
                                    item("mirror/d/", "d", true), item("mirror/b/", "b", true),
                                    item("mirror/e", ""), item("mirror/b (2)", "b (2)")});
  auto children = replica.children(kRootInode);
  ASSERT_EQ(children.size(), 4u);
  EXPECT_EQ(children[0].name, "b");
  EXPECT_EQ(replica.node(children[0].inode)->identifier, "mirror/b");
  EXPECT_EQ(children[1].name, "d");
  EXPECT_TRUE(children[1].isDirectory);
  EXPECT_EQ(children[2].name, "b (3)");
  EXPECT_EQ(replica.child(kRootInode, "b (3)")->identifier, "mirror/b/");
  EXPECT_EQ(children[3].name, "b (2)");
  EXPECT_EQ(replica.child(kRootInode, "b (2)")->identifier, "mirror/b (2)");
  EXPECT_FALSE(replica.child(kRootInode, "..").has_value());

  // Listed again unchanged, every name stays where it was.
  auto again = replica.applyListing(kRootInode,
                                    {item("mirror/b", "b"), item("mirror/d/", "d", true),
                                     item("mirror/b/", "b", true), item("mirror/b (2)", "b (2)")});
  EXPECT_TRUE(again.goneNames.empty());
  EXPECT_EQ(replica.child(kRootInode, "b (3)")->identifier, "mirror/b/");
}

TEST(ReplicaTest, ASuffixedNameStaysWithin255Bytes) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  std::string longName = std::string(252, 'x') + "\xC3\xA9";  // ends in a two-byte character
  replica.applyListing(kRootInode, {item("mirror/l", longName), item("mirror/l/", longName, true)});
  auto children = replica.children(kRootInode);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[1].name, std::string(251, 'x') + " (2)");
}

TEST(ReplicaTest, ARecordThatIsTheRootOrAnAncestorOfItsFolderIsRefused) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(kRootInode, {item("mirror/a/", "a", true)});
  Inode a = replica.child(kRootInode, "a")->inode;
  replica.applyListing(a, {item("mirror/a/b/", "b", true)});
  Inode b = replica.child(a, "b")->inode;
  replica.applyListing(
      b, {item(fp::kRootContainerItemIdentifier, "root", true), item("mirror/a/", "a", true),
          item("mirror/a/b/", "b", true), item("mirror/a/b/c", "c")});
  auto children = replica.children(b);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].name, "c");
  // The tree is as it was: a still under the root, b under a.
  EXPECT_EQ(replica.node(a)->parent, kRootInode);
  EXPECT_EQ(replica.node(b)->parent, a);
  EXPECT_EQ(replica.child(kRootInode, "a")->inode, a);

  // An item that another folder shows stays there.
  replica.applyListing(a, {item("mirror/a/b/", "b", true), item("mirror/a/b/c", "c")});
  EXPECT_EQ(replica.children(a).size(), 1u);
  EXPECT_EQ(replica.child(b, "c")->parent, b);
}

TEST(ReplicaTest, FilesShowTheirDatesAndFoldersTheNewestOrTheTimeOfTheirListing) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(
      kRootInode, {item("mirror/dated/", "dated", true), item("mirror/plain/", "plain", true)});
  Inode datedFolder = replica.child(kRootInode, "dated")->inode;
  Inode plainFolder = replica.child(kRootInode, "plain")->inode;
  EXPECT_EQ(replica.node(kRootInode)->modified, time.wall);  // nothing listed is dated
  EXPECT_EQ(replica.node(plainFolder)->modified, time.wall);

  replica.applyListing(datedFolder, {dated("mirror/dated/old", "old", 1000),
                                     dated("mirror/dated/new", "new", 5000)});
  EXPECT_EQ(replica.child(datedFolder, "old")->modified, 1000);
  EXPECT_EQ(replica.node(datedFolder)->modified, 5000);
  EXPECT_EQ(replica.children(datedFolder)[1].modified, 5000);

  // An unchanged listing keeps the time it was first seen at; a changed one
  // takes the time of its listing.
  time.wall += 60;
  replica.applyListing(plainFolder, {item("mirror/plain/x", "x")});
  EXPECT_EQ(replica.node(plainFolder)->modified, time.wall);
  time.wall += 60;
  auto same = replica.applyListing(plainFolder, {item("mirror/plain/x", "x")});
  EXPECT_EQ(replica.node(plainFolder)->modified, time.wall - 60);
  EXPECT_TRUE(same.changedAttributes.empty());

  // The root relisted keeps the dated folder's own date; a newer file date
  // reaches the kernel as changed attributes.
  replica.applyListing(
      kRootInode, {item("mirror/dated/", "dated", true), item("mirror/plain/", "plain", true)});
  EXPECT_EQ(replica.node(datedFolder)->modified, 5000);
  auto newer = replica.applyListing(datedFolder, {dated("mirror/dated/old", "old", 1000),
                                                  dated("mirror/dated/new", "new", 9000)});
  EXPECT_EQ(newer.changedAttributes,
            (std::vector<Inode>{replica.child(datedFolder, "new")->inode, datedFolder}));
  EXPECT_EQ(replica.updateItem(dated("mirror/dated/old", "old", 2000)),
            replica.child(datedFolder, "old")->inode);
  EXPECT_EQ(replica.child(datedFolder, "old")->modified, 2000);
}

TEST(ReplicaTest, ItemsNoLongerListedLeaveOnceTheKernelHasForgottenThem) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(kRootInode, {item("mirror/kept", "kept"), item("mirror/held", "held"),
                                    item("mirror/d/", "d", true)});
  Inode kept = replica.child(kRootInode, "kept")->inode;
  Inode held = replica.child(kRootInode, "held")->inode;
  Inode folder = replica.child(kRootInode, "d")->inode;
  replica.applyListing(folder, {item("mirror/d/x", "x")});
  Inode x = replica.child(folder, "x")->inode;
  EXPECT_TRUE(replica.lookedUp(held));
  EXPECT_TRUE(replica.lookedUp(held));
  EXPECT_EQ(replica.size(), 5u);

  // Only "kept" is listed now: "held" stays while the kernel knows it; the
  // folder, its listing and its child go at once.
  replica.applyListing(kRootInode, {item("mirror/kept", "kept")});
  EXPECT_EQ(replica.size(), 3u);
  EXPECT_FALSE(replica.node(folder).has_value());
  EXPECT_FALSE(replica.node(x).has_value());
  EXPECT_FALSE(replica.hasListing(folder));
  replica.forget(held, 1);
  EXPECT_TRUE(replica.node(held).has_value());
  replica.forget(held, 1);
  EXPECT_FALSE(replica.node(held).has_value());
  EXPECT_FALSE(replica.lookedUp(held));

  // A listed item forgotten by the kernel stays; the root always stays.
  EXPECT_TRUE(replica.lookedUp(kept));
  replica.forget(kept, 1);
  EXPECT_TRUE(replica.node(kept).has_value());
  replica.forget(kRootInode, 1);
  replica.applyListing(kRootInode, kNothing);
  EXPECT_EQ(replica.size(), 1u);
  EXPECT_TRUE(replica.node(kRootInode).has_value());

  // Listed again, an item that left gets a fresh inode.
  replica.applyListing(kRootInode, {item("mirror/kept", "kept")});
  EXPECT_NE(replica.child(kRootInode, "kept")->inode, kept);
}

TEST(ReplicaTest, ABigFolderIsReadFromTheStoreWithAnInodePerRow) {
  testing::TempHome home;
  auto store = ItemStore::open(ItemStore::fileFor("domain"));
  ASSERT_TRUE(store);
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.setStore(store->get());
  replica.applyListing(kRootInode, {item("mirror/big/", "big", true)});
  Inode big = replica.child(kRootInode, "big")->inode;
  (*store)->stage("mirror/big/",
                  {ListedItem{"mirror/big/s1/", "s1", "", 0, 0, true, true},
                   ListedItem{"mirror/big/f", "f", "v", 7, 0, false, true},
                   ListedItem{"mirror/big/s2/", "s2", "", 0, 0, true, true}},
                  true);
  auto committed = (*store)->commitStaged("mirror/big/", 1);
  ASSERT_TRUE(committed);
  replica.applyBigListing(big, *committed);
  auto f = replica.child(big, "f");
  ASSERT_TRUE(f);
  EXPECT_GE(f->inode, kStoredInodeBase);
  EXPECT_EQ(f->parent, big);
  EXPECT_EQ(f->item->parentItemIdentifier(), "mirror/big/");
  auto entries = replica.childInodes(big);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1], f->inode);
  EXPECT_EQ(replica.describe(entries)[2].name, "s2");
  EXPECT_TRUE(replica.lookedUp(f->inode));
  EXPECT_EQ(replica.unlistedFolders(big, entries[0], 5), std::vector<Inode>{entries[2]});
  // A folder in it is listed in memory as any other.
  replica.applyListing(entries[0], {item("mirror/big/s1/x", "x")});
  EXPECT_EQ(replica.node(replica.child(entries[0], "x")->inode)->parent, entries[0]);
  EXPECT_EQ(replica.unlistedFolders(big, 0, 5), std::vector<Inode>{entries[2]});
  // Grown small again: back in memory, and the kernel told its names left.
  auto changes = replica.applyListing(big, {item("mirror/big/f", "f")});
  EXPECT_EQ(changes.goneNames.size(), 3u);
  EXPECT_LT(replica.child(big, "f")->inode, kStoredInodeBase);
}

TEST(ReplicaTest, UnlistedFoldersComeInOrderAfterAChildAndUpToACount) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(kRootInode, {item("mirror/a/", "a", true), item("mirror/f", "f"),
                                    item("mirror/b/", "b", true), item("mirror/c/", "c", true),
                                    item("mirror/d/", "d", true)});
  auto inode = [&](const char* name) { return replica.child(kRootInode, name)->inode; };
  replica.applyListing(inode("c"), kNothing);
  EXPECT_EQ(replica.unlistedFolders(kRootInode, 0, 10),
            (std::vector<Inode>{inode("a"), inode("b"), inode("d")}));
  EXPECT_EQ(replica.unlistedFolders(kRootInode, 0, 2),
            (std::vector<Inode>{inode("a"), inode("b")}));
  EXPECT_EQ(replica.unlistedFolders(kRootInode, inode("f"), 10),
            (std::vector<Inode>{inode("b"), inode("d")}));
  EXPECT_TRUE(replica.unlistedFolders(kRootInode, inode("d"), 10).empty());
  EXPECT_TRUE(replica.unlistedFolders(kRootInode, 12345, 10).empty());  // not a child
  EXPECT_TRUE(replica.unlistedFolders(inode("a"), 0, 10).empty());      // no listing yet
}

TEST(ReplicaTest, InodesAreStablePerIdentifierWhileTheKernelHoldsThem) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(kRootInode, {item("mirror/a", "a"), item("mirror/b", "b")});
  auto a = replica.child(kRootInode, "a")->inode;
  auto b = replica.child(kRootInode, "b")->inode;
  EXPECT_NE(a, b);
  EXPECT_NE(a, kRootInode);
  ASSERT_TRUE(replica.lookedUp(a));  // the kernel holds it: its number stays
  replica.applyListing(kRootInode, {item("mirror/b", "b")});
  EXPECT_FALSE(replica.child(kRootInode, "a").has_value());
  replica.applyListing(kRootInode, {item("mirror/c", "c"), item("mirror/a", "a")});
  EXPECT_EQ(replica.child(kRootInode, "a")->inode, a);
  EXPECT_NE(replica.child(kRootInode, "c")->inode, b);
}

TEST(ReplicaTest, AFolderThatListsItselfDoesNotBecomeItsOwnChild) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  replica.applyListing(kRootInode, {item("mirror/d/", "d", true)});
  auto folder = replica.child(kRootInode, "d")->inode;
  replica.applyListing(folder, {item("mirror/d/", "d", true), item("mirror/d/x", "x")});
  auto children = replica.children(folder);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].name, "x");
}

TEST(ReplicaTest, ANewListingNamesWhatTheKernelHoldsInAnOlderForm) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  auto first = replica.applyListing(
      kRootInode,
      {sized("mirror/a", "a", 1), sized("mirror/b", "b", 2), item("mirror/c/", "c", true)});
  EXPECT_TRUE(first.goneNames.empty());
  EXPECT_TRUE(first.changedAttributes.empty());
  Inode b = replica.child(kRootInode, "b")->inode;

  // The kernel's copy of the entries is current until they change.
  EXPECT_FALSE(replica.markEntriesServed(kRootInode));
  EXPECT_TRUE(replica.markEntriesServed(kRootInode));
  auto same = replica.applyListing(
      kRootInode,
      {sized("mirror/a", "a", 1), sized("mirror/b", "b", 2), item("mirror/c/", "c", true)});
  EXPECT_FALSE(same.entriesChanged);
  EXPECT_TRUE(same.goneNames.empty());
  EXPECT_TRUE(replica.markEntriesServed(kRootInode));

  // "a" went, "b" grew, "c" is now a file (another item under that name).
  auto changed = replica.applyListing(
      kRootInode,
      {sized("mirror/b", "b", 20), sized("mirror/c", "c", 3), sized("mirror/d", "d", 4)});
  EXPECT_TRUE(changed.entriesChanged);
  EXPECT_EQ(changed.goneNames, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(changed.changedAttributes, std::vector<Inode>{b});
  EXPECT_FALSE(replica.markEntriesServed(kRootInode));

  // A size change alone: no name goes, one item's attributes change.
  auto grown = replica.applyListing(
      kRootInode,
      {sized("mirror/b", "b", 21), sized("mirror/c", "c", 3), sized("mirror/d", "d", 4)});
  EXPECT_TRUE(grown.goneNames.empty());
  EXPECT_EQ(grown.changedAttributes, std::vector<Inode>{b});
  EXPECT_EQ(replica.updateItem(sized("mirror/b", "b", 22)), std::optional<Inode>(b));
  EXPECT_EQ(replica.updateItem(sized("mirror/b", "b", 22)), std::nullopt);
  EXPECT_EQ(replica.updateItem(sized("mirror/unknown", "u", 1)), std::nullopt);
}

TEST(ReplicaTest, TheFolderReadAheadQueuesEachFileOnceAndNotThoseWithoutASize) {
  Replica replica(hours(1), steady_clock::now);
  std::vector<ListedItem> items;
  for (int i = 0; i < 40; ++i) {
    std::string name = "f" + std::to_string(i);
    ListedItem& item = items.emplace_back();
    item.identifier = "mirror/" + name;
    item.name = name;
    item.sizeKnown = i != 2;
  }
  replica.applyListing(kRootInode, std::move(items));
  FolderReadAhead ahead(replica, 1000, [](Inode) { return false; });
  auto inode = [&](const char* name) { return replica.child(kRootInode, name)->inode; };
  EXPECT_EQ(ahead.opened(kRootInode, inode("f0")), 0u);
  // f2 may be of any size: it is left to be read in blocks.
  EXPECT_EQ(ahead.opened(kRootInode, inode("f1")), kFilesAhead - 1);
  EXPECT_TRUE(testing::waitUntil([&] { return ahead.fetched() == kFilesAhead - 1; }));
  // The next open in order queues only the file that came into the window.
  EXPECT_EQ(ahead.opened(kRootInode, inode("f2")), 1u);
  EXPECT_EQ(ahead.opened(kRootInode, inode("f3")), 1u);
}

TEST(ReplicaTest, ListingsAgeAndAreMarkedStale) {
  FakeClock time;
  Replica replica(seconds(3), time.clock(), time.wallClock());
  EXPECT_TRUE(replica.needsListing(kRootInode));
  replica.applyListing(kRootInode, kNothing);
  EXPECT_FALSE(replica.needsListing(kRootInode));
  time.now += milliseconds(2999);
  EXPECT_FALSE(replica.needsListing(kRootInode));
  time.now += milliseconds(1);
  EXPECT_TRUE(replica.needsListing(kRootInode));
  replica.applyListing(kRootInode, kNothing);
  replica.markAllStale();
  EXPECT_TRUE(replica.needsListing(kRootInode));
  EXPECT_TRUE(replica.hasListing(kRootInode));
}

}  // namespace
}  // namespace lumora::fuse
