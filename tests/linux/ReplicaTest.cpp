#include <gtest/gtest.h>

#include "platform/fileprovider/linux/ExtensionDriver.h"
#include "platform/fileprovider/linux/Replica.h"

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

struct FakeClock {
  steady_clock::time_point now = steady_clock::time_point() + hours(1);
  Clock clock() {
    return [this] { return now; };
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

TEST(ReplicaTest, AListingKeepsOrderDropsBadNamesAndTheFirstOfTwoNamesStands) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
  replica.applyListing(kRootInode,
                       {item("mirror/b", "b"), item("mirror/x", ".."), item("mirror/d/", "d", true),
                        item("mirror/b/", "b"), item("mirror/e", "")});
  auto children = replica.children(kRootInode);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0].name, "b");
  EXPECT_EQ(replica.node(children[0].inode)->identifier, "mirror/b");
  EXPECT_EQ(children[1].name, "d");
  EXPECT_TRUE(children[1].isDirectory);
  EXPECT_FALSE(replica.child(kRootInode, "..").has_value());
}

TEST(ReplicaTest, UnlistedFoldersComeInOrderAfterAChildAndUpToACount) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
  replica.applyListing(kRootInode, {item("mirror/a/", "a", true), item("mirror/f", "f"),
                                    item("mirror/b/", "b", true), item("mirror/c/", "c", true),
                                    item("mirror/d/", "d", true)});
  auto inode = [&](const char* name) { return replica.child(kRootInode, name)->inode; };
  replica.applyListing(inode("c"), {});
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

TEST(ReplicaTest, InodesAreStablePerIdentifierAcrossListings) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
  replica.applyListing(kRootInode, {item("mirror/a", "a"), item("mirror/b", "b")});
  auto a = replica.child(kRootInode, "a")->inode;
  auto b = replica.child(kRootInode, "b")->inode;
  EXPECT_NE(a, b);
  EXPECT_NE(a, kRootInode);
  replica.applyListing(kRootInode, {item("mirror/b", "b")});
  EXPECT_FALSE(replica.child(kRootInode, "a").has_value());
  replica.applyListing(kRootInode, {item("mirror/c", "c"), item("mirror/a", "a")});
  EXPECT_EQ(replica.child(kRootInode, "a")->inode, a);
  EXPECT_NE(replica.child(kRootInode, "c")->inode, b);
}

TEST(ReplicaTest, AFolderThatListsItselfDoesNotBecomeItsOwnChild) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
  replica.applyListing(kRootInode, {item("mirror/d/", "d", true)});
  auto folder = replica.child(kRootInode, "d")->inode;
  replica.applyListing(folder, {item("mirror/d/", "d", true), item("mirror/d/x", "x")});
  auto children = replica.children(folder);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].name, "x");
}

TEST(ReplicaTest, ANewListingNamesWhatTheKernelHoldsInAnOlderForm) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
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

TEST(ReplicaTest, ListingsAgeAndAreMarkedStale) {
  FakeClock time;
  Replica replica(seconds(3), time.clock());
  EXPECT_TRUE(replica.needsListing(kRootInode));
  replica.applyListing(kRootInode, {});
  EXPECT_FALSE(replica.needsListing(kRootInode));
  time.now += milliseconds(2999);
  EXPECT_FALSE(replica.needsListing(kRootInode));
  time.now += milliseconds(1);
  EXPECT_TRUE(replica.needsListing(kRootInode));
  replica.applyListing(kRootInode, {});
  replica.markAllStale();
  EXPECT_TRUE(replica.needsListing(kRootInode));
  EXPECT_TRUE(replica.hasListing(kRootInode));
}

}  // namespace
}  // namespace lumora::fuse
