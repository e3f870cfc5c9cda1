#include "tests/linux/StorageService.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

namespace lumora::testing {

using nlohmann::json;

StorageService::StorageService(std::string token) : token_(std::move(token)) {
  server_.get("/storage/list", [this](const auto& req, auto& res) { handleList(req, res); });
  server_.get("/storage/download-url",
              [this](const auto& req, auto& res) { handleDownloadUrl(req, res); });
  server_.get("/objects/.*", [this](const auto& req, auto& res) { handleObject(req, res); });
}

StorageService::~StorageService() {
  releaseStalls();
}

void StorageService::stallListingsOf(const std::string& prefix, bool afterFirstPage) {
  std::lock_guard lock(mutex_);
  stalled_[prefix] = afterFirstPage;
}

void StorageService::releaseStalls() {
  {
    std::lock_guard lock(mutex_);
    stalled_.clear();
    stallObjectsFrom_.reset();
  }
  released_.notify_all();
}

void StorageService::stallObjectsFrom(uint64_t offset) {
  std::lock_guard lock(mutex_);
  stallObjectsFrom_ = offset;
}

void StorageService::omitSizes(bool omit) {
  std::lock_guard lock(mutex_);
  omitSizes_ = omit;
}

void StorageService::ignoreRanges(bool ignore) {
  std::lock_guard lock(mutex_);
  ignoreRanges_ = ignore;
}

void StorageService::weakTags(bool weak) {
  std::lock_guard lock(mutex_);
  weakTags_ = weak;
}

uint64_t StorageService::largestObjectAsk() const {
  std::lock_guard lock(mutex_);
  return largestObjectAsk_;
}

uint64_t StorageService::objectBytesAsked() const {
  std::lock_guard lock(mutex_);
  return objectBytesAsked_;
}

std::map<std::string, uint64_t> StorageService::objectBytesAskedByKey() const {
  std::lock_guard lock(mutex_);
  return bytesAskedOf_;
}

void StorageService::setFile(const std::string& key, std::string contents) {
  std::lock_guard lock(mutex_);
  File& file = files_[key];
  file.contents = std::move(contents);
  file.object = nextObject_++;
  file.etag = "etag-" + std::to_string(file.object);
  objects_[file.object] = key;
}

void StorageService::removeFile(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto file = files_.find(key);
  if (file == files_.end()) return;
  objects_.erase(file->second.object);
  files_.erase(file);
}

void StorageService::addRawRecord(const std::string& prefix, std::string recordJson) {
  std::lock_guard lock(mutex_);
  rawRecords_[prefix].push_back(std::move(recordJson));
}

void StorageService::setPageSize(size_t size) {
  std::lock_guard lock(mutex_);
  pageSize_ = size;
}

void StorageService::setDown(bool down) {
  std::lock_guard lock(mutex_);
  down_ = down;
}

void StorageService::failNext(const std::string& path, int count, int skip) {
  std::lock_guard lock(mutex_);
  failNext_[path] = Failures{count, skip};
}

int StorageService::failuresLeft() const {
  std::lock_guard lock(mutex_);
  int left = 0;
  for (const auto& [path, failures] : failNext_) left += failures.count;
  return left;
}

size_t StorageService::listingsOf(const std::string& prefix) const {
  size_t count = 0;
  for (const auto& r : server_.requestsTo("/storage/list")) {
    if (r.queryValue("prefix") == prefix) ++count;
  }
  return count;
}

size_t StorageService::requestsOtherThanReads() const {
  size_t count = 0;
  for (const auto& r : server_.requests()) {
    bool read =
        r.method == "GET" && (r.path == "/storage/list" || r.path == "/storage/download-url" ||
                              r.path.starts_with("/objects/"));
    if (!read) ++count;
  }
  return count;
}

bool StorageService::refuse(const httplib::Request& req, httplib::Response& res, bool needsToken) {
  std::lock_guard lock(mutex_);
  if (down_) {
    res.status = 503;
    return true;
  }
  for (auto& [path, failures] : failNext_) {
    if (failures.count == 0 || !req.path.starts_with(path)) continue;
    if (failures.skip > 0) {
      --failures.skip;
      continue;
    }
    --failures.count;
    res.status = 503;
    return true;
  }
  if (needsToken && req.get_header_value("Authorization") != "Bearer " + token_) {
    res.status = 401;
    res.set_content(R"({"error":"unauthorized"})", "application/json");
    return true;
  }
  return false;
}

std::string StorageService::recordOf(const std::string& key, const File& file) const {
  json record{{"key", key}, {"etag", file.etag}};
  if (!omitSizes_) record["size"] = file.contents.size();
  return record.dump();
}

void StorageService::handleList(const httplib::Request& req, httplib::Response& res) {
  if (refuse(req, res, true)) return;
  std::string prefix = req.get_param_value("prefix");
  std::string cursor = req.get_param_value("cursor");
  std::unique_lock lock(mutex_);
  released_.wait_for(lock, std::chrono::seconds(30), [&] {
    auto stall = stalled_.find(prefix);
    return stall == stalled_.end() || (stall->second && cursor.empty());
  });
  std::vector<std::string> records;
  if (req.get_param_value("exact") == "1") {
    auto it = files_.find(prefix);
    if (it != files_.end()) {
      records.push_back(recordOf(it->first, it->second));
    }
    res.set_content(R"({"entries":[)" + (records.empty() ? "" : records[0]) + "]}",
                    "application/json");
    return;
  }
  if (auto raw = rawRecords_.find(prefix); raw != rawRecords_.end()) records = raw->second;
  std::set<std::string> folders;
  for (const auto& [key, file] : files_) {
    if (!key.starts_with(prefix) || key.size() == prefix.size()) continue;
    std::string rest = key.substr(prefix.size());
    auto slash = rest.find('/');
    if (slash == std::string::npos) {
      records.push_back(recordOf(key, file));
    } else if (folders.insert(rest.substr(0, slash + 1)).second) {
      records.push_back(json{{"key", prefix + rest.substr(0, slash + 1)}, {"dir", true}}.dump());
    }
  }
  size_t start = 0;
  if (!cursor.empty()) start = std::stoul(cursor);
  size_t end = std::min(records.size(), start + pageSize_);
  std::string body = R"({"entries":[)";
  for (size_t i = start; i < end; ++i) {
    if (i > start) body += ",";
    body += records[i];
  }
  body += "]";
  if (end < records.size()) body += R"(,"cursor":")" + std::to_string(end) + "\"";
  body += "}";
  res.set_content(body, "application/json");
}

void StorageService::handleDownloadUrl(const httplib::Request& req, httplib::Response& res) {
  if (refuse(req, res, true)) return;
  std::lock_guard lock(mutex_);
  auto it = files_.find(req.get_param_value("key"));
  if (it == files_.end()) {
    res.status = 404;
    return;
  }
  json body{{"url", server_.url("/objects/" + std::to_string(it->second.object))},
            {"expires", static_cast<double>(std::time(nullptr) + 3600)}};
  res.set_content(body.dump(), "application/json");
}

void StorageService::handleObject(const httplib::Request& req, httplib::Response& res) {
  if (refuse(req, res, false)) return;
  std::unique_lock lock(mutex_);
  uint64_t from = req.ranges.empty() || req.ranges[0].first < 0 ? 0 : req.ranges[0].first;
  released_.wait_for(lock, std::chrono::seconds(30),
                     [&] { return !stallObjectsFrom_ || from < *stallObjectsFrom_; });
  if (ignoreRanges_) const_cast<httplib::Request&>(req).ranges.clear();
  int object = std::stoi(req.path.substr(std::string("/objects/").size()));
  // A download URL names the key, as an object store's does: it serves
  // whatever the key holds now, and If-Match holds it to one version.
  auto key = objects_.find(object);
  auto file = key == objects_.end() ? files_.end() : files_.find(key->second);
  if (file == files_.end()) {
    res.status = 404;
    return;
  }
  std::string etag = (weakTags_ ? "W/\"" : "\"") + file->second.etag + "\"";
  if (req.has_header("If-Match") && req.get_header_value("If-Match") != etag) {
    const_cast<httplib::Request&>(req).ranges.clear();
    res.status = 412;
    return;
  }
  uint64_t size = file->second.contents.size();
  uint64_t asked = 0;
  if (req.ranges.empty()) {
    asked = size;
  } else {
    for (auto [first, last] : req.ranges) {
      uint64_t end = last < 0 ? size : std::min<uint64_t>(size, last + 1);
      asked += end > static_cast<uint64_t>(first) ? end - first : 0;
    }
  }
  objectBytesAsked_ += asked;
  largestObjectAsk_ = std::max(largestObjectAsk_, asked);
  bytesAskedOf_[file->first] += asked;
  res.set_header("ETag", etag);
  // One range is answered here as a real store does, cut to the object's
  // end: this library would state the range as asked, past the end, and
  // refuse a body shorter than that. Chunked, it leaves the range to us.
  if (req.ranges.size() == 1 && req.ranges[0].first >= 0) {
    auto [first, last] = req.ranges[0];
    if (static_cast<uint64_t>(first) >= size) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    uint64_t end = last < 0 ? size : std::min<uint64_t>(size, last + 1);
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                        std::to_string(end - 1) + "/" + std::to_string(size));
    res.set_chunked_content_provider("application/octet-stream",
                                     [body = file->second.contents.substr(first, end - first)](
                                         size_t sent, httplib::DataSink& sink) {
                                       if (sent < body.size())
                                         return sink.write(body.data() + sent, body.size() - sent);
                                       sink.done();
                                       return true;
                                     });
    return;
  }
  res.set_content(file->second.contents, "application/octet-stream");
}

}  // namespace lumora::testing
