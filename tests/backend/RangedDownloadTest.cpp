// The backend's ranged fetch against a local storage host whose behaviour
// each test sets: ranges honoured or ignored, version stamps, revoked URLs,
// wrong answers. Bytes must reach the sink as they arrive, and only bytes of
// the version being read.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "extension/backend/ContentRange.h"
#include "extension/backend/ObjectSources.h"
#include "tests/backend/BackendHarness.h"

namespace lumora::testing {
namespace {

using namespace std::chrono_literals;
using fileprovider::ByteRange;

constexpr size_t kChunk = 64 * 1024;

// The byte at `offset` of the object's version `salt`.
char objectByte(uint64_t offset, int salt) {
  return static_cast<char>(LocalHttpServer::patternByte(offset + static_cast<uint64_t>(salt) * 7));
}

// Collects what a fetch passes to its sink.
struct Received {
  std::vector<std::pair<uint64_t, std::string>> pieces;
  size_t bytes() const {
    size_t n = 0;
    for (const auto& p : pieces) n += p.second.size();
    return n;
  }
  // True when the pieces are contiguous from `offset` and hold version `salt`.
  bool holds(uint64_t offset, uint64_t length, int salt) const {
    uint64_t at = offset;
    for (const auto& [where, data] : pieces) {
      if (where != at) return false;
      for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != objectByte(at + i, salt)) return false;
      }
      at += data.size();
    }
    return at == offset + length;
  }
  fileprovider::PartialContentSink sink() {
    return [this](uint64_t offset, const char* data, size_t size) {
      pieces.emplace_back(offset, std::string(data, size));
      return true;
    };
  }
};

class RangedDownloadTest : public ::testing::Test {
 protected:
  // The storage host's behaviour; guarded by mutex_.
  struct HostSettings {
    uint64_t size = 10000;
    int salt = 1;  // the object's version: its bytes
    std::string etag = "\"v1\"";
    std::string lastModified;
    bool honourRanges = true;
    bool honourConditions = true;
    std::optional<std::string> contentRange;  // replaces a sound Content-Range
    int status = 0;                           // answers this status instead
    double expiresIn = 3600;                  // seconds, for new download URLs
    std::set<int> revoked;                    // signatures the host refuses with 403
    bool holdAfterFirstChunk = false;         // waits for `released` after 4 KiB
  };

  void SetUp() override {
    h_.setDefaultsToken("api-token");
    h_.server.get("/storage/list", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      res.set_content(R"({"entries":[{"key":")" + req.get_param_value("prefix") + R"(","size":)" +
                          std::to_string(host_.size) + R"(,"etag":"v)" +
                          std::to_string(host_.salt) + R"("}]})",
                      "application/json");
    });
    h_.server.get("/storage/download-url", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      double expires = static_cast<double>(::time(nullptr)) + host_.expiresIn;
      res.set_content(R"({"url":")" + h_.server.url("/objects/o?sig=") +
                          std::to_string(++signatures_) + R"(","expires":)" +
                          std::to_string(expires) + "}",
                      "application/json");
    });
    h_.server.get("/objects/o", [this](const httplib::Request& req, httplib::Response& res) {
      serveObject(req, res);
    });
  }

  void serveObject(const httplib::Request& req, httplib::Response& res) {
    std::unique_lock lock(mutex_);
    HostSettings s = host_;
    lock.unlock();
    if (s.revoked.contains(std::stoi(req.get_param_value("sig")))) {
      res.status = 403;
      res.set_content("<Error>AccessDenied</Error>", "application/xml");
      return;
    }
    if (s.status != 0) {
      res.status = s.status;
      res.set_content("an error page", "text/plain");
      return;
    }
    if (!s.etag.empty()) res.set_header("ETag", s.etag);
    if (!s.lastModified.empty()) res.set_header("Last-Modified", s.lastModified);
    std::string ifMatch = req.get_header_value("If-Match");
    if (s.honourConditions && !ifMatch.empty() && ifMatch != s.etag) {
      res.status = 412;
      return;
    }
    std::string ifRange = req.get_header_value("If-Range");
    bool rangeStands =
        ifRange.empty() || !s.honourConditions || ifRange == s.etag || ifRange == s.lastModified;
    uint64_t first = 0, end = s.size;
    unsigned long long a = 0, b = 0;
    std::string range = req.get_header_value("Range");
    if (s.honourRanges && rangeStands &&
        std::sscanf(range.c_str(), "bytes=%llu-%llu", &a, &b) == 2) {
      if (a >= s.size) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(s.size));
        return;
      }
      first = a;
      end = std::min<uint64_t>(b + 1, s.size);
      res.status = 206;
      res.set_header("Content-Range", s.contentRange.value_or("bytes " + std::to_string(first) +
                                                              "-" + std::to_string(end - 1) + "/" +
                                                              std::to_string(s.size)));
    } else {
      res.status = 200;
    }
    // Chunked: httplib leaves the range to us, and no length is declared.
    res.set_chunked_content_provider(
        "application/octet-stream", [this, first, end, s](size_t sent, httplib::DataSink& sink) {
          uint64_t at = first + sent;
          if (at >= end) {
            sink.done();
            return true;
          }
          size_t n = static_cast<size_t>(
              std::min<uint64_t>(end - at, s.holdAfterFirstChunk && sent == 0 ? 4096 : kChunk));
          if (s.holdAfterFirstChunk && sent == 4096) {
            std::unique_lock wait(mutex_);
            if (!released_.wait_for(wait, 5s, [this] { return released; })) holdTimedOut_ = true;
          }
          std::string buffer(n, '\0');
          for (size_t i = 0; i < n; ++i) buffer[i] = objectByte(at + i, s.salt);
          produced_ += n;
          return sink.write(buffer.data(), n);
        });
  }

  void configure(const std::function<void(HostSettings&)>& change) {
    std::lock_guard lock(mutex_);
    change(host_);
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released = true;
    }
    released_.notify_all();
  }

  Result<backend::RangeFetch> fetch(ByteRange range, uint64_t alignment, Received& into,
                                    const std::string& version = "") {
    return h_.backend->fetchRange("mirror/o", version, range, alignment, into.sink());
  }
  std::vector<RecordedRequest> objectRequests() const { return h_.server.requestsTo("/objects/o"); }
  size_t urlRequests() const { return h_.server.requestsTo("/storage/download-url").size(); }

  std::mutex mutex_;
  std::condition_variable released_;
  bool released = false;               // guarded by mutex_
  HostSettings host_;                  // guarded by mutex_
  int signatures_ = 0;                 // guarded by mutex_
  std::atomic<uint64_t> produced_{0};  // object bytes the host has sent
  std::atomic<bool> holdTimedOut_{false};
  BackendHarness h_;  // declared last: its server stops before the fields it reads go
};

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
  EXPECT_FALSE(sent[0].header("If-Match"));
  EXPECT_EQ(sent[1].header("If-Match"), "\"v1\"");
  EXPECT_EQ(sent[2].header("If-Match"), "\"v1\"");
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
  for (std::string wrong : {"bytes 0-99/10000", "bytes 100-199/*", "bytes 100-150/10000",
                            "bytes */10000", "items 100-199/10000", ""}) {
    configure([&](HostSettings& s) { s.contentRange = wrong; });
    Received r;
    auto got = fetch({100, 100}, 0, r);
    ASSERT_FALSE(got) << wrong;
    EXPECT_TRUE(isTransferError(got.error(), TransferError::badResponse)) << wrong;
    EXPECT_EQ(r.bytes(), 0u) << wrong;
  }
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

long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

TEST_F(RangedDownloadTest, AGreatRangePassesThroughInLittleMemory) {
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
