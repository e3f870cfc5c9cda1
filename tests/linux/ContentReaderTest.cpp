// The daemon's reading of large files, without a mount: a cache entry, the
// reader and an extension that serves parts of files from memory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <random>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/FakeContentExtension.h"
#include "tests/linux/Patterned.h"
#include "tests/linux/RetryTime.h"

namespace lumora::fuse {
namespace {

namespace fp = lumora::fileprovider;

using testing::patterned;

class ContentReaderTest : public ::testing::Test {
 protected:
  ContentSource source{"mirror/big.bin", {"v1", {}}};

  // The entry as an open makes it: the first block fetched, then the rest
  // as it is read.
  ContentCache::Lease open(const std::string& contents) {
    extension.setFile(source.identifier, contents, source.version.contentVersion);
    auto first = reader.fetchFirstBlock(source);
    EXPECT_TRUE(first.has_value()) << first.error().description;
    EXPECT_EQ(first->contents.fileSize, contents.size());
    auto lease = cache.create(source.identifier, "v1", first->contents.fileSize);
    EXPECT_TRUE(lease.has_value());
    ContentReader::store(lease->share(), 0, first->bytes);
    return std::move(*lease);
  }

  // Reads through the reader and checks the bytes against `contents`.
  Result<void> read(ContentCache::Lease& lease, ReadAhead& ahead, uint64_t offset, uint64_t length,
                    const std::string& contents) {
    auto present = reader.ensure(source, lease.share(), ahead, offset, length);
    if (!present) return present;
    std::string got(length, '\0');
    EXPECT_EQ(::pread(lease.fd(), got.data(), length, static_cast<off_t>(offset)),
              static_cast<ssize_t>(length));
    EXPECT_TRUE(got == contents.substr(offset, length)) << "bytes differ at " << offset;
    return {};
  }

  // A reader in order over the first 2 MiB, already present, whose
  // read-ahead to 6 MiB is left queued behind a stalled extension: blocks
  // [8, 12) under way (two slots: one for read-ahead), [12, 24) queued.
  void readAheadStalled(ContentReader& queue, ContentCache::Lease& lease, ReadAhead& inOrder,
                        const std::string& contents) {
    ContentReader::store(lease.share(), 0, contents.substr(0, 2 << 20));
    extension.stall();
    for (uint64_t at = 0; at < (2 << 20); at += 128 << 10) {
      ASSERT_TRUE(queue.ensure(source, lease.share(), inOrder, at, 128 << 10).has_value());
    }
  }
  std::vector<uint64_t> offsets() {
    std::vector<uint64_t> result;
    for (auto range : extension.ranges()) result.push_back(range.offset);
    return result;
  }

  testing::TempDir dir;
  ContentCache cache{dir.path() / "cache", 1ULL << 30};
  testing::FakeContentExtension extension;
  ExtensionDriver driver{extension};
  ContentReader reader{driver, kMaxTransfers, std::chrono::seconds(5)};

  void SetUp() override { ASSERT_TRUE(cache.prepare().has_value()); }
};

TEST_F(ContentReaderTest, ARandomReaderFetchesOnlyTheBlocksItTouches) {
  std::string contents = patterned(16 << 20);
  auto lease = open(contents);
  ReadAhead ahead;
  std::mt19937 random(7);
  const int reads = 40;
  for (int i = 0; i < reads; ++i) {
    uint64_t offset = random() % (contents.size() - 4096);
    ASSERT_TRUE(read(lease, ahead, offset, 4096, contents).has_value());
  }
  EXPECT_LE(reader.blocksFetched(), 1u + 2u * reads);
  EXPECT_LE(extension.bytesSent.load(), (1u + 2u * reads) * kBlockSize);
  EXPECT_FALSE(lease.entry().complete());
}

TEST_F(ContentReaderTest, AReaderInOrderGetsAGrowingWindowFetchedBySeveralStreams) {
  std::string contents = patterned(48 << 20);
  auto lease = open(contents);
  ReadAhead ahead;
  // As the kernel's reads arrive from several threads: past the first MiB,
  // each second one handled before the one sent ahead of it.
  const uint64_t step = 128 << 10;
  for (uint64_t offset = 0; offset < contents.size(); offset += 2 * step) {
    bool swapped = offset >= (1 << 20);
    ASSERT_TRUE(read(lease, ahead, offset + (swapped ? step : 0), step, contents).has_value());
    ASSERT_TRUE(read(lease, ahead, offset + (swapped ? 0 : step), step, contents).has_value());
  }
  EXPECT_TRUE(lease.entry().complete());
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  // Every byte fetched once, the later ranges wide, several under way at once.
  EXPECT_EQ(extension.bytesSent.load(), contents.size());
  uint64_t widest = 0;
  for (auto range : extension.ranges()) widest = std::max(widest, range.length);
  EXPECT_GE(widest, 4u << 20);
  EXPECT_GE(extension.mostAtOnce.load(), 2);
}

TEST_F(ContentReaderTest, AFileChangedUnderAReaderIsAnErrorAndAFailedTransferIsFetchedAgain) {
  std::string contents = patterned(4 << 20);
  auto lease = open(contents);
  ReadAhead ahead;
  extension.failNext(1);
  auto failed = read(lease, ahead, 3 << 20, 4096, contents);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().domain, kTransferErrorDomain);
  EXPECT_TRUE(read(lease, ahead, 3 << 20, 4096, contents).has_value());

  extension.setFile(source.identifier, patterned(4 << 20, 2), "v2");
  auto changed = read(lease, ahead, 2 << 20, 4096, contents);
  ASSERT_FALSE(changed.has_value());
  EXPECT_EQ(changed.error(), fp::fileProviderError(fp::kErrorVersionNoLongerAvailable));
}

TEST_F(ContentReaderTest, StoppingEndsAReadThatWaitsForAStalledTransfer) {
  std::string contents = patterned(2 << 20);
  auto lease = open(contents);
  extension.stall();
  ReadAhead ahead;
  auto waiting = std::async(std::launch::async, [&] {
    return reader.ensure(source, lease.share(), ahead, 1 << 20, 4096);
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  reader.stop();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_FALSE(waiting.get().has_value());
  extension.release();
}

TEST_F(ContentReaderTest, ATransferCutHalfWayResumesFromItsOffsetAndFailuresThatPassAreAskedAgain) {
  std::string contents = patterned(4 << 20);
  auto lease = open(contents);
  testing::RetryTime time;
  ExtensionDriver retrying{extension, time.retry()};
  ContentReader patient{retrying, kMaxTransfers, std::chrono::seconds(5)};

  const uint64_t at = 2 << 20;
  const uint64_t cut = kBlockSize * 2 / 5;
  uint64_t sentBefore = extension.bytesSent.load();
  size_t rangesBefore = extension.ranges().size();
  extension.cutNext(1, cut);
  ReadAhead ahead;
  ASSERT_TRUE(patient.ensure(source, lease.share(), ahead, at, 4096).has_value());
  std::string got(4096, '\0');
  ASSERT_EQ(::pread(lease.fd(), got.data(), got.size(), static_cast<off_t>(at)), 4096);
  EXPECT_TRUE(got == contents.substr(at, 4096));
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  // The second request asks only for what the first did not bring.
  auto ranges = extension.ranges();
  ASSERT_EQ(ranges.size(), rangesBefore + 2);
  EXPECT_EQ(ranges[rangesBefore].offset, at);
  EXPECT_EQ(ranges[rangesBefore + 1].offset, at + cut);
  EXPECT_EQ(ranges[rangesBefore + 1].end(), at + kBlockSize);
  EXPECT_EQ(extension.bytesSent.load() - sentBefore, kBlockSize);

  // Two failures in a row, then the answer: the read sees no error.
  extension.failNext(2);
  ASSERT_TRUE(patient.ensure(source, lease.share(), ahead, 3 << 20, 4096).has_value());
  EXPECT_EQ(time.pauses(), 3);
}

TEST_F(ContentReaderTest, AFirstBlockCutShortIsCompletedFromWhereItStopped) {
  std::string contents = patterned(3 << 20);
  extension.setFile(source.identifier, contents, source.version.contentVersion);
  testing::RetryTime time;
  ExtensionDriver retrying{extension, time.retry()};
  ContentReader patient{retrying, kMaxTransfers, std::chrono::seconds(5)};
  extension.cutNext(1, 50000);
  auto first = patient.fetchFirstBlock(source);
  ASSERT_TRUE(first.has_value()) << first.error().description;
  EXPECT_EQ(first->contents.fileSize, contents.size());
  EXPECT_TRUE(first->bytes == contents.substr(0, kBlockSize));
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  auto ranges = extension.ranges();
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[1].offset, 50000u);
  EXPECT_EQ(extension.bytesSent.load(), kBlockSize);
}

TEST_F(ContentReaderTest, ReadsWaitedForStartBeforeQueuedReadAhead) {
  std::string contents = patterned(24 << 20);
  auto lease = open(contents);
  ContentReader queue{driver, 3, std::chrono::seconds(5)};
  ReadAhead inOrder, other;
  readAheadStalled(queue, lease, inOrder, contents);
  // Another reader's seek, and the reader in order catching up with the
  // last of its queued read-ahead: both start at once, past what is queued.
  auto seek = std::async(std::launch::async, [&] {
    return queue.ensure(source, lease.share(), other, 16 << 20, 4096);
  });
  ASSERT_TRUE(testing::waitUntil([&] { return extension.ranges().size() >= 3; }));
  auto catchUp = std::async(std::launch::async, [&] {
    return queue.ensure(source, lease.share(), inOrder, 5 << 20, 4096);
  });
  ASSERT_TRUE(testing::waitUntil([&] { return extension.ranges().size() >= 4; }));
  extension.release();
  EXPECT_TRUE(seek.get().has_value());
  EXPECT_TRUE(catchUp.get().has_value());
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  auto asked = offsets();
  ASSERT_GE(asked.size(), 4u);
  EXPECT_EQ(asked[1], 2u << 20);  // read-ahead under way before
  EXPECT_EQ(asked[2], 16u << 20);
  EXPECT_EQ(asked[3], 5u << 20);
  // Only read-ahead nobody waits for goes out as speculative.
  auto marked = extension.speculative();
  EXPECT_EQ(std::vector<bool>(marked.begin(), marked.begin() + 4),
            (std::vector<bool>{false, true, false, false}));
}

TEST_F(ContentReaderTest, ReadAheadOfAReaderThatJumpsAwayOrClosesIsDroppedOrCutAndLeftAbsent) {
  std::string contents = patterned(24 << 20);
  auto lease = open(contents);
  ContentReader queue{driver, 2, std::chrono::seconds(5)};
  auto inOrder = std::make_unique<ReadAhead>();
  readAheadStalled(queue, lease, *inOrder, contents);
  uint64_t sentBefore = extension.bytesSent.load();
  auto seek = std::async(std::launch::async, [&] {
    return queue.ensure(source, lease.share(), *inOrder, 16 << 20, 4096);
  });
  ASSERT_TRUE(testing::waitUntil([&] { return extension.ranges().size() >= 3; }));
  extension.release();
  EXPECT_TRUE(seek.get().has_value());
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  // The queued read-ahead was never asked for, and what was under way was
  // cut at its first bytes: the seek's block alone came.
  EXPECT_EQ(offsets(), (std::vector<uint64_t>{0, 2 << 20, 16 << 20}));
  EXPECT_EQ(extension.bytesSent.load() - sentBefore, kBlockSize);
  // Their blocks are absent, not failed: the next reader claims them.
  const BlockRun ahead{(2 << 20) / kBlockSize, (6 << 20) / kBlockSize};
  EXPECT_EQ(lease.entry().claim(ahead), std::vector<BlockRun>{ahead});
  lease.entry().fetchEnded(ahead, std::nullopt);
  ReadAhead next;
  EXPECT_TRUE(read(lease, next, 3 << 20, 4096, contents).has_value());
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));

  // A reader that closes: its read-ahead goes too.
  extension.stall();
  for (uint64_t at = 16 << 20; at < (16 << 20) + kBlockSize; at += 64 << 10) {
    ASSERT_TRUE(queue.ensure(source, lease.share(), *inOrder, at, 64 << 10).has_value());
  }
  sentBefore = extension.bytesSent.load();
  inOrder.reset();
  extension.release();
  ASSERT_TRUE(testing::waitUntil([&] { return extension.idle(); }));
  EXPECT_EQ(extension.bytesSent.load(), sentBefore);
  EXPECT_EQ(lease.entry().claim({65, 69}), (std::vector<BlockRun>{{65, 69}}));
}

}  // namespace
}  // namespace lumora::fuse
