#pragma once
// A storage service for the mount tests: the listing and download-URL API
// over an in-memory tree, served by a real local HTTP server.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/fixtures/LocalHttpServer.h"

namespace lumora::testing {

class StorageService {
 public:
  explicit StorageService(std::string token = "secret-token");
  ~StorageService();  // lets stalled requests go first
  StorageService(const StorageService&) = delete;
  StorageService& operator=(const StorageService&) = delete;

  // A file under "mirror/"; its folders appear in listings by themselves.
  // Setting a file again changes its contents and its etag.
  void setFile(const std::string& key, std::string contents);
  void removeFile(const std::string& key);
  // A record as the service would send it, listed under `prefix` before the
  // tree's own records: for names that cannot be file names.
  void addRawRecord(const std::string& prefix, std::string recordJson);
  void setPageSize(size_t size);
  // Every request answers 503 while down.
  void setDown(bool down);
  // The next `count` requests whose path starts with `path`, after `skip`
  // more, answer 503: a fault that a second try passes.
  void failNext(const std::string& path, int count, int skip = 0);
  // Faults set by failNext that no request has met yet.
  int failuresLeft() const;
  // Listings of `prefix` get no answer until releaseStalls() (at most 30 s):
  // a service that hangs; with `afterFirstPage`, only their later pages.
  void stallListingsOf(const std::string& prefix, bool afterFirstPage = false);
  void releaseStalls();
  // Object bodies beyond `offset` get no answer until releaseStalls(): a
  // host whose transfer of the rest of a file stalls.
  void stallObjectsFrom(uint64_t offset);
  // Listing records carry no "size" (the member is optional).
  void omitSizes(bool omit);
  // Objects answer 200 with the whole body whatever Range asks.
  void ignoreRanges(bool ignore);
  // Objects state their ETags weak (W/"...").
  void weakTags(bool weak);
  // The bytes of objects asked for: what a Range names, else whole bodies.
  uint64_t objectBytesAsked() const;
  // The most one request asked for.
  uint64_t largestObjectAsk() const;
  // The same, by the key of the file asked for.
  std::map<std::string, uint64_t> objectBytesAskedByKey() const;

  std::string baseUrl() const { return server_.baseUrl(); }
  const std::string& token() const { return token_; }
  LocalHttpServer& server() { return server_; }
  size_t requestsTo(const std::string& path) const { return server_.requestsTo(path).size(); }
  // Listing requests (pages included) for `prefix`, such as "mirror/docs/".
  size_t listingsOf(const std::string& prefix) const;
  // Requests other than reads: the API has none, so any would be a fault.
  size_t requestsOtherThanReads() const;

 private:
  struct File {
    std::string contents;
    std::string etag;
    int object = 0;
  };
  void handleList(const httplib::Request& req, httplib::Response& res);
  void handleDownloadUrl(const httplib::Request& req, httplib::Response& res);
  void handleObject(const httplib::Request& req, httplib::Response& res);
  std::string recordOf(const std::string& key, const File& file) const;  // under mutex_
  bool refuse(const httplib::Request& req, httplib::Response& res, bool needsToken);

  const std::string token_;
  mutable std::mutex mutex_;
  std::map<std::string, File> files_;                           // protected by mutex_
  std::map<int, std::string> objects_;                          // protected by mutex_
  std::map<std::string, std::vector<std::string>> rawRecords_;  // protected by mutex_
  size_t pageSize_ = 1000;                                      // protected by mutex_
  bool down_ = false;                                           // protected by mutex_
  struct Failures {
    int count = 0;
    int skip = 0;
  };
  std::map<std::string, Failures> failNext_;  // protected by mutex_
  std::map<std::string, bool> stalled_;       // afterFirstPage; protected by mutex_
  std::optional<uint64_t> stallObjectsFrom_;  // protected by mutex_
  bool omitSizes_ = false;                    // protected by mutex_
  bool ignoreRanges_ = false;                 // protected by mutex_
  bool weakTags_ = false;                     // protected by mutex_
  uint64_t objectBytesAsked_ = 0;             // protected by mutex_
  uint64_t largestObjectAsk_ = 0;             // protected by mutex_

  std::map<std::string, uint64_t> bytesAskedOf_;  // by key; protected by mutex_
  std::condition_variable released_;
  int nextObject_ = 1;  // protected by mutex_
  // Last, so that it stops serving before the tree above goes.
  LocalHttpServer server_;
};

}  // namespace lumora::testing
