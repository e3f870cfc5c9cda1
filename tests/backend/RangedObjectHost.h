#pragma once
// A local storage host for one object whose behaviour each ranged-fetch test
// sets (ranges honoured or ignored, version stamps, revoked URLs, wrong
// answers), a backend wired to it, and a sink that records what it took.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/backend/BackendHarness.h"

namespace lumora::testing {

inline constexpr size_t kObjectChunk = 64 * 1024;

// The byte at `offset` of the object's version `salt`.
inline char objectByte(uint64_t offset, int salt) {
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
    uint64_t shortAnswers = 0;                // a 206 carries at most this many bytes
    bool starTotal = false;                   // "bytes a-b/*"
    int status = 0;                           // answers this status instead
    double expiresIn = 3600;                  // seconds, for new download URLs
    std::set<int> revoked;                    // signatures the host refuses with 403
    bool holdAfterFirstChunk = false;         // waits for `released` after 4 KiB
    bool listingAwaitsUrl = false;            // answers a look-up once a URL was asked for
    int apiDelayMs = 0;                       // before each answer of the API
  };

  void SetUp() override {
    h_.setDefaultsToken("api-token");
    h_.server.get("/storage/list", [this](const httplib::Request& req, httplib::Response& res) {
      delayAnswer();
      std::unique_lock lock(mutex_);
      if (host_.listingAwaitsUrl &&
          !urlAsked_.wait_for(lock, std::chrono::seconds(5), [this] { return signatures_ > 0; }))
        listingTimedOut_ = true;
      res.set_content(R"({"entries":[{"key":")" + req.get_param_value("prefix") + R"(","size":)" +
                          std::to_string(host_.size) + R"(,"etag":"v)" +
                          std::to_string(host_.salt) + R"("}]})",
                      "application/json");
    });
    h_.server.get("/storage/download-url", [this](const httplib::Request&, httplib::Response& res) {
      delayAnswer();
      {
        std::lock_guard lock(mutex_);
        double expires = static_cast<double>(::time(nullptr)) + host_.expiresIn;
        res.set_content(R"({"url":")" + h_.server.url("/objects/o?sig=") +
                            std::to_string(++signatures_) + R"(","expires":)" +
                            std::to_string(expires) + "}",
                        "application/json");
      }
      urlAsked_.notify_all();
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
      if (s.shortAnswers) end = std::min(end, first + s.shortAnswers);
      res.status = 206;
      res.set_header(
          "Content-Range",
          s.contentRange.value_or("bytes " + std::to_string(first) + "-" + std::to_string(end - 1) +
                                  "/" + (s.starTotal ? "*" : std::to_string(s.size))));
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
          size_t n = static_cast<size_t>(std::min<uint64_t>(
              end - at, s.holdAfterFirstChunk && sent == 0 ? 4096 : kObjectChunk));
          if (s.holdAfterFirstChunk && sent == 4096) {
            std::unique_lock wait(mutex_);
            if (!released_.wait_for(wait, std::chrono::seconds(5), [this] { return released; }))
              holdTimedOut_ = true;
          }
          std::string buffer(n, '\0');
          for (size_t i = 0; i < n; ++i) buffer[i] = objectByte(at + i, s.salt);
          produced_ += n;
          return sink.write(buffer.data(), n);
        });
  }

  void delayAnswer() {
    int ms = 0;
    {
      std::lock_guard lock(mutex_);
      ms = host_.apiDelayMs;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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

  Result<backend::RangeFetch> fetch(fileprovider::ByteRange range, uint64_t alignment,
                                    Received& into, const std::string& version = "") {
    return h_.backend->fetchRange("mirror/o", version, range, alignment, into.sink());
  }
  std::vector<RecordedRequest> objectRequests() const { return h_.server.requestsTo("/objects/o"); }
  size_t urlRequests() const { return h_.server.requestsTo("/storage/download-url").size(); }

  std::mutex mutex_;
  std::condition_variable released_;
  std::condition_variable urlAsked_;
  bool released = false;               // guarded by mutex_
  HostSettings host_;                  // guarded by mutex_
  int signatures_ = 0;                 // guarded by mutex_
  std::atomic<uint64_t> produced_{0};  // object bytes the host has sent
  std::atomic<bool> holdTimedOut_{false};
  bool listingTimedOut_ = false;  // guarded by mutex_
  BackendHarness h_;              // declared last: its server stops before the fields it reads go
};

}  // namespace lumora::testing
