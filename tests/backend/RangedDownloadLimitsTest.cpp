// The ranged fetch's limits and parts: ranges asked at once, connections
// kept for waited-for fetches, memory for a great range, the kept sources'
// bound, and the Content-Range reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "extension/backend/ContentRange.h"
#include "extension/backend/ObjectSources.h"
#include "tests/backend/RangedObjectHost.h"
#include "tests/fixtures/Wait.h"

namespace lumora::testing {
namespace {

TEST_F(RangedDownloadTest, RangesAskedAtOnceShareOneLookUpAndOneUrl) {
  configure([](HostSettings& s) { s.size = 1 << 20; });
  std::vector<std::thread> readers;
  std::atomic<int> good{0};
  for (uint64_t i = 0; i < 8; ++i) {
    readers.emplace_back([&, i] {
      Received r;
      auto got = fetch({i << 16, 1 << 16}, 0, r);
      if (got && r.holds(i << 16, 1 << 16, 1)) ++good;
    });
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(good.load(), 8);
  EXPECT_EQ(h_.server.requestsTo("/storage/list").size(), 1u);
  EXPECT_EQ(urlRequests(), 1u);
  EXPECT_EQ(objectRequests().size(), 8u);
}

TEST_F(RangedDownloadTest, SpeculativeFetchesLeaveTheKeptConnectionToWaitedOnes) {
  configure([](HostSettings& s) { s.size = 1 << 20; });
  Received first;
  ASSERT_TRUE(fetch({0, 4096}, 0, first));
  int kept = objectRequests().back().remotePort;
  // Two speculative fetches held mid-answer, as read-ahead under way.
  configure([](HostSettings& s) { s.holdAfterFirstChunk = true; });
  std::vector<std::thread> ahead;
  for (uint64_t i = 1; i <= 2; ++i) {
    ahead.emplace_back([this, i] {
      Received r;
      EXPECT_TRUE(h_.backend->fetchRange("mirror/o", "", {i << 18, 1 << 16}, 0, r.sink(), true));
    });
  }
  EXPECT_TRUE(waitUntil([this] { return objectRequests().size() == 3; }));
  configure([](HostSettings& s) { s.holdAfterFirstChunk = false; });
  Received waited;
  EXPECT_TRUE(fetch({3 << 18, 4096}, 0, waited));
  EXPECT_EQ(objectRequests().back().remotePort, kept);
  release();
  for (auto& t : ahead) t.join();
}

TEST_F(RangedDownloadTest, AGreatRangePassesThroughInLittleMemory) {
#ifdef __SANITIZE_ADDRESS__
  // Freed memory waits in AddressSanitizer's quarantine, so the resident
  // figure counts every buffer freed meanwhile, the test server's included.
  GTEST_SKIP() << "resident memory means nothing under AddressSanitizer";
#endif
  constexpr uint64_t kSize = uint64_t{256} << 20;
  configure([&](HostSettings& s) { s.size = kSize; });
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak from here on
  long before = statusKiB("VmRSS:");
  uint64_t seen = 0;
  auto got = h_.backend->fetchRange("mirror/o", "", {0, kSize}, 0,
                                    [&](uint64_t offset, const char*, size_t size) {
                                      EXPECT_EQ(offset, seen);
                                      seen += size;
                                      return true;
                                    });
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(seen, kSize);
  EXPECT_TRUE(got->reachesEnd);
  long peak = statusKiB("VmHWM:");
  EXPECT_LT(peak - before, 32 * 1024) << "peak " << peak << " KiB, before " << before << " KiB";
}

TEST(ObjectSources, KeepTheMostRecentlyUsedAndForgetOnlyTheOneNamed) {
  backend::ObjectSources sources(2);
  auto a = sources.obtain("a");
  auto b = sources.obtain("b");
  EXPECT_EQ(sources.obtain("a"), a);  // "a" is now the more recent
  sources.obtain("c");                // "b" goes
  EXPECT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources.obtain("a"), a);
  EXPECT_NE(sources.obtain("b"), b);
  auto current = sources.obtain("a");
  sources.forget("a", b.get());  // not the one kept: nothing happens
  EXPECT_EQ(sources.obtain("a"), current);
  sources.forget("a", current.get());
  EXPECT_NE(sources.obtain("a"), current);
}

TEST(ContentRange, ReadsTheThreeFormsAndRefusesTheRest) {
  using backend::parseContentRange;
  auto span = parseContentRange("bytes 0-99/1000");
  ASSERT_TRUE(span);
  EXPECT_EQ(span->first, 0u);
  EXPECT_EQ(span->last, 99u);
  EXPECT_EQ(span->total, 1000u);
  auto unknown = parseContentRange("Bytes 5-9/*");
  ASSERT_TRUE(unknown);
  EXPECT_FALSE(unknown->total);
  auto refused = parseContentRange("bytes */1000");
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->first);
  EXPECT_EQ(refused->total, 1000u);
  for (const char* bad : {"", "bytes */*", "bytes 9-5/10", "bytes 0-10/10", "bytes -1-5/10",
                          "bytes 0-99999999999999999999/*", "items 0-1/2", "bytes 0-1"}) {
    EXPECT_FALSE(parseContentRange(bad)) << bad;
  }
  EXPECT_EQ(backend::rangeHeaderValue(4096, 8192), "bytes=4096-8191");
}

}  // namespace
}  // namespace lumora::testing
