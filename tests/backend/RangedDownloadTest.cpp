// The backend's ranged fetch against a local storage host whose behaviour
// each test sets: the bytes, size and end of a range, alignment, the kept
// URL and its renewal, hosts that ignore Range, wrong answers, a changed
// object, statuses outside 2xx, and bytes streamed as they arrive.
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/backend/RangedObjectHost.h"

namespace lumora::testing {
namespace {

TEST_F(RangedDownloadTest, DeliversTheRangeWithTheSizeAndWhetherItReachesTheEnd) {
  Received head;
  auto got = fetch({100, 200}, 0, head);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(got->range.offset, 100u);
  EXPECT_EQ(got->range.length, 200u);
  EXPECT_FALSE(got->reachesEnd);
  EXPECT_EQ(got->fileSize, 10000u);
  EXPECT_EQ(got->entry.id, "mirror/o");
  EXPECT_TRUE(head.holds(100, 200, 1));
  auto sent = objectRequests().at(0);
  EXPECT_EQ(sent.header("Range"), "bytes=100-299");
  EXPECT_FALSE(sent.header("Authorization"));
  EXPECT_EQ(h_.server.requestsTo("/storage/list").at(0).queryValue("exact"), "1");

  Received tail;
  auto last = fetch({9900, 500}, 0, tail);
  ASSERT_TRUE(last) << last.error().description;
  EXPECT_EQ(last->range.offset, 9900u);
  EXPECT_EQ(last->range.length, 100u);
  EXPECT_TRUE(last->reachesEnd);
  EXPECT_TRUE(tail.holds(9900, 100, 1));
}

TEST_F(RangedDownloadTest, AFarServiceIsAskedForTheLookUpAndTheFirstUrlAtOnce) {
  // An answer that takes a while shows the service far away.
  configure([](HostSettings& s) {
    s.apiDelayMs = 3 * static_cast<int>(backend::kOverlapFrom.count()) / 1000;
  });
  ASSERT_TRUE(h_.backend->lookupEntry("mirror/o"));
  // The look-up is answered only once a URL was asked for, which a backend
  // asking one after the other would wait for in vain.
  configure([](HostSettings& s) {
    s.apiDelayMs = 0;
    s.listingAwaitsUrl = true;
  });
  Received r;
  auto got = fetch({0, 100}, 0, r, "v1");
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_TRUE(r.holds(0, 100, 1));
  std::lock_guard lock(mutex_);
  EXPECT_FALSE(listingTimedOut_);
}

TEST_F(RangedDownloadTest, WidensTheRangeOutwardToTheAlignment) {
  Received inner;
  auto got = fetch({5000, 10}, 4096, inner);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(objectRequests().at(0).header("Range"), "bytes=4096-8191");
  EXPECT_EQ(got->range.offset, 4096u);
  EXPECT_EQ(got->range.length, 4096u);
  EXPECT_TRUE(inner.holds(4096, 4096, 1));

  // The size is known now: the last block is asked for as far as the file goes.
  Received last;
  auto end = fetch({9000, 10}, 4096, last);
  ASSERT_TRUE(end) << end.error().description;
  EXPECT_EQ(objectRequests().at(1).header("Range"), "bytes=8192-9999");
  EXPECT_EQ(end->range.offset, 8192u);
  EXPECT_EQ(end->range.length, 1808u);
  EXPECT_TRUE(end->reachesEnd);
  EXPECT_TRUE(last.holds(8192, 1808, 1));
}

TEST_F(RangedDownloadTest, LaterRangesReuseTheUrlAndAskForThePinnedVersion) {
  for (uint64_t offset : {0, 4096, 8192}) {
    Received r;
    auto got = fetch({offset, 100}, 0, r, "v1");
    ASSERT_TRUE(got) << got.error().description;
    EXPECT_TRUE(r.holds(offset, 100, 1));
  }
  EXPECT_EQ(h_.server.requestsTo("/storage/list").size(), 1u);
  EXPECT_EQ(urlRequests(), 1u);
  auto sent = objectRequests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[0].header("If-Match"));  // what the store's tags are like is not known yet
  EXPECT_EQ(sent[1].header("If-Match"), "\"v1\"");
  EXPECT_EQ(sent[2].header("If-Match"), "\"v1\"");

  // Listed as v2, changed again before the first range: the first range
  // of v2 carries the listed tag, and the newer bytes are refused.
  configure([](HostSettings& s) {
    s.salt = 2;
    s.etag = "\"v3\"";
  });
  Received newer;
  auto gone = fetch({0, 100}, 0, newer, "v2");
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(newer.bytes(), 0u);
  EXPECT_EQ(objectRequests().back().header("If-Match"), "\"v2\"");
}

TEST_F(RangedDownloadTest, RangesUnderAWeakTagAreNeverStitched) {
  configure([](HostSettings& s) { s.etag = "W/\"v1\""; });
  Received first, second, whole;
  auto got = fetch({0, 100}, 0, first, "v1");
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_TRUE(got->wholeOnly);  // read it in one answer instead
  auto stitched = fetch({100, 100}, 0, second, "v1");
  ASSERT_FALSE(stitched);
  EXPECT_EQ(second.bytes(), 0u);
  EXPECT_EQ(objectRequests().size(), 1u);
  // One answer that holds the whole object needs no stitching.
  auto all = fetch({0, 10000}, 0, whole, "v1");
  ASSERT_TRUE(all) << all.error().description;
  EXPECT_FALSE(all->wholeOnly);
  EXPECT_TRUE(whole.holds(0, 10000, 1));
}

TEST_F(RangedDownloadTest, AUrlAboutToExpireIsNotReused) {
  configure([](HostSettings& s) { s.expiresIn = 10; });  // inside the safety margin
  Received a, b;
  ASSERT_TRUE(fetch({0, 10}, 0, a));
  ASSERT_TRUE(fetch({10, 10}, 0, b));
  EXPECT_EQ(urlRequests(), 2u);
  EXPECT_EQ(h_.server.requestsTo("/storage/list").size(), 1u);
  EXPECT_EQ(objectRequests().at(1).queryValue("sig"), "2");
}

TEST_F(RangedDownloadTest, ARefusedReusedUrlIsRenewedOnceAndNoMore) {
  Received first;
  ASSERT_TRUE(fetch({0, 10}, 0, first));
  configure([](HostSettings& s) { s.revoked.insert(1); });
  Received second;
  auto renewed = fetch({10, 10}, 0, second);
  ASSERT_TRUE(renewed) << renewed.error().description;
  EXPECT_TRUE(second.holds(10, 10, 1));
  EXPECT_EQ(urlRequests(), 2u);
  EXPECT_EQ(objectRequests().back().queryValue("sig"), "2");

  // A fresh URL that is refused too is an error after exactly one renewal.
  configure([](HostSettings& s) { s.revoked.insert({2, 3, 4}); });
  Received third;
  auto refused = fetch({20, 10}, 0, third);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, fileprovider::kErrorServerUnreachable);
  EXPECT_EQ(urlRequests(), 3u);
  EXPECT_EQ(third.bytes(), 0u);
}

TEST_F(RangedDownloadTest, AHostThatIgnoresRangesStillGivesTheRightBytes) {
  configure([](HostSettings& s) { s.honourRanges = false; });
  Received r;
  auto got = fetch({3000, 1000}, 0, r);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(got->range.offset, 3000u);
  EXPECT_EQ(got->range.length, 1000u);
  EXPECT_EQ(got->fileSize, 10000u);  // read to the end: no length was declared
  EXPECT_FALSE(got->reachesEnd);
  EXPECT_TRUE(r.holds(3000, 1000, 1));
}

TEST_F(RangedDownloadTest, AWholeBodyIsStoppedOnceTheSpanIsIn) {
  constexpr uint64_t kSize = 64 << 20;
  configure([&](HostSettings& s) { s.size = kSize; });
  Received sized;
  ASSERT_TRUE(fetch({0, 10}, 0, sized));  // the size is known from here on
  configure([](HostSettings& s) { s.honourRanges = false; });
  produced_ = 0;
  Received r;
  auto got = fetch({1 << 20, 64 << 10}, 0, r);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_TRUE(r.holds(1 << 20, 64 << 10, 1));
  EXPECT_EQ(got->fileSize, kSize);
  // Socket buffers take a few MiB more; the other 60 MiB are never sent.
  EXPECT_LT(produced_.load(), uint64_t{16} << 20);
}

TEST_F(RangedDownloadTest, APartialAnswerForAnotherSpanIsAnErrorWithoutBytes) {
  for (std::string wrong :
       {"bytes 0-99/10000", "bytes 100-299/10000", "bytes */10000", "items 100-199/10000", ""}) {
    configure([&](HostSettings& s) { s.contentRange = wrong; });
    Received r;
    auto got = fetch({100, 100}, 0, r);
    ASSERT_FALSE(got) << wrong;
    EXPECT_TRUE(isTransferError(got.error(), TransferError::badResponse)) << wrong;
    EXPECT_EQ(r.bytes(), 0u) << wrong;
  }
}

TEST_F(RangedDownloadTest, ShorterPartialAnswersAndUnstatedTotalsAreTakenAndTheRestAskedFor) {
  configure([](HostSettings& s) {
    s.shortAnswers = 3000;
    s.starTotal = true;
  });
  Received r;
  auto got = fetch({1000, 7000}, 0, r);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(got->range.offset, 1000u);
  EXPECT_EQ(got->range.length, 7000u);
  EXPECT_EQ(got->fileSize, 10000u);  // none stated: the listing's
  EXPECT_FALSE(got->reachesEnd);
  EXPECT_TRUE(r.holds(1000, 7000, 1));
  EXPECT_EQ(objectRequests().size(), 3u);

  Received tail;
  auto end = fetch({8000, 5000}, 0, tail);
  ASSERT_TRUE(end) << end.error().description;
  EXPECT_TRUE(end->reachesEnd);
  EXPECT_TRUE(tail.holds(8000, 2000, 1));
}

TEST_F(RangedDownloadTest, AnObjectChangedMidReadFailsWithNoneOfItsBytes) {
  Received first;
  ASSERT_TRUE(fetch({0, 100}, 0, first, "v1"));
  // A host that does not check If-Match is caught by the ETag it states.
  configure([](HostSettings& s) {
    s.salt = 2;
    s.etag = "\"v2\"";
    s.honourConditions = false;
  });
  Received later;
  auto changed = fetch({100, 100}, 0, later, "v1");
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().domain, kFileProviderErrorDomain);
  EXPECT_EQ(changed.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(later.bytes(), 0u);
  // Asking for the old version again finds the new one at the look-up.
  Received stale;
  auto old = fetch({0, 100}, 0, stale, "v1");
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(objectRequests().size(), 2u);

  Received current;
  ASSERT_TRUE(fetch({0, 100}, 0, current, "v2"));
  EXPECT_TRUE(current.holds(0, 100, 2));
  // A host that checks If-Match refuses a changed object with 412.
  configure([](HostSettings& s) {
    s.salt = 3;
    s.etag = "\"v3\"";
    s.honourConditions = true;
  });
  Received refused;
  auto gone = fetch({100, 100}, 0, refused, "v2");
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(refused.bytes(), 0u);
  EXPECT_EQ(objectRequests().back().header("If-Match"), "\"v2\"");
}

TEST_F(RangedDownloadTest, AHostWithDatesOnlyIsAskedWithIfRange) {
  const std::string monday = "Mon, 06 May 2024 10:00:00 GMT";
  configure([&](HostSettings& s) {
    s.etag.clear();
    s.lastModified = monday;
  });
  Received first, second;
  ASSERT_TRUE(fetch({0, 100}, 0, first));
  ASSERT_TRUE(fetch({100, 100}, 0, second));
  EXPECT_EQ(objectRequests().at(1).header("If-Range"), monday);
  EXPECT_TRUE(second.holds(100, 100, 1));
  // Changed: the host sends the new object whole, which its date betrays.
  configure([](HostSettings& s) {
    s.salt = 2;
    s.lastModified = "Tue, 07 May 2024 10:00:00 GMT";
  });
  Received third;
  auto got = fetch({200, 100}, 0, third);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().code, fileprovider::kErrorVersionNoLongerAvailable);
  EXPECT_EQ(third.bytes(), 0u);
}

TEST_F(RangedDownloadTest, StatusesOutsideSuccessAreErrorsNeverBytes) {
  for (int status : {404, 500, 503, 401}) {
    configure([&](HostSettings& s) { s.status = status; });
    Received r;
    auto got = fetch({0, 100}, 0, r);
    ASSERT_FALSE(got) << status;
    EXPECT_EQ(got.error().code, fileprovider::kErrorServerUnreachable) << status;
    EXPECT_EQ(got.error().cause.httpStatus, status);
    EXPECT_EQ(r.bytes(), 0u);
  }
}

TEST_F(RangedDownloadTest, ARangePastTheEndDeliversNothingAndReachesTheEnd) {
  Received r;
  auto got = fetch({20000, 10}, 0, r);
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_EQ(got->range.length, 0u);
  EXPECT_TRUE(got->reachesEnd);
  EXPECT_EQ(got->fileSize, 10000u);
  EXPECT_EQ(r.bytes(), 0u);
  // The size is known: the next one past the end needs no request.
  Received again;
  ASSERT_TRUE(fetch({10000, 10}, 0, again));
  EXPECT_EQ(objectRequests().size(), 1u);
}

TEST_F(RangedDownloadTest, BytesReachTheSinkBeforeTheRangeIsComplete) {
  configure([](HostSettings& s) {
    s.size = 1 << 20;
    s.holdAfterFirstChunk = true;
  });
  // The host sends the rest only once the first bytes have reached the sink.
  auto got = h_.backend->fetchRange("mirror/o", "", {0, 1 << 20}, 0,
                                    [&](uint64_t offset, const char*, size_t) {
                                      if (offset == 0) release();
                                      return true;
                                    });
  ASSERT_TRUE(got) << got.error().description;
  EXPECT_FALSE(holdTimedOut_);
  EXPECT_EQ(got->range.length, 1u << 20);
}

TEST_F(RangedDownloadTest, ASinkThatDeclinesStopsTheFetch) {
  configure([](HostSettings& s) { s.size = 8 << 20; });
  size_t calls = 0;
  auto got = h_.backend->fetchRange("mirror/o", "", {0, 8 << 20}, 0,
                                    [&](uint64_t, const char*, size_t) { return ++calls < 2; });
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().domain, kPosixErrorDomain);
  EXPECT_EQ(got.error().code, ECANCELED);
  EXPECT_EQ(calls, 2u);
}

}  // namespace
}  // namespace lumora::testing
