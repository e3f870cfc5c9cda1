#include <gtest/gtest.h>

#include "host/core/controlplane/SnapshotItem.h"

namespace lumora::host {
namespace {

SnapshotItem item(const char* id, const char* created, const char* size, const char* name) {
  return SnapshotItem{QString::fromUtf8(id), QString::fromUtf8(created), QString::fromUtf8(size),
                      QString::fromUtf8(name)};
}

TEST(SnapshotListingTest, HeaderAndDataLines) {
  auto items = parseSnapshotListing(
      "ID       CREATED              SIZE  NAME\n"
      "snap-1   2024-05-01T10:00Z    1.2G  before   upgrade\n");
  ASSERT_EQ(items.size(), 1);
  EXPECT_EQ(items[0], item("snap-1", "2024-05-01T10:00Z", "1.2G", "before upgrade"));
}

TEST(SnapshotListingTest, SkippedAndDefaultedLines) {
  auto items = parseSnapshotListing(
      "   \n"
      "two words\n"
      "no snapshots yet for this machine, really\n"
      "a b c\n"
      "\t \t\n"
      "IDENTITY 2024 5M caf\xc3\xa9 \xe2\x80\x94 night\n"
      "  lead  trail  9K  \n"
      "tab\tinside word 1K\n");
  ASSERT_EQ(items.size(), 4);
  EXPECT_EQ(items[0], item("a", "b", "c", "snapshot"));
  EXPECT_EQ(items[1], item("IDENTITY", "2024", "5M", "café — night"));
  EXPECT_EQ(items[2], item("lead", "trail", "9K", "snapshot"));
  EXPECT_EQ(items[3], item("tab\tinside", "word", "1K", "snapshot"));
}

TEST(SnapshotListingTest, ErrorOutputWithThreeWordsStillYieldsAnItem) {
  auto items = parseSnapshotListing("error: not signed in\n");
  ASSERT_EQ(items.size(), 1);
  EXPECT_EQ(items[0], item("error:", "not", "signed", "in"));
  EXPECT_TRUE(parseSnapshotListing("").isEmpty());
  EXPECT_TRUE(parseSnapshotListing("ID only header\n").isEmpty());
}

}  // namespace
}  // namespace lumora::host
