#include "extension/backend/ObjectSources.h"

#include <algorithm>

namespace lumora::backend {
namespace {

// A URL this close to its expiry is not used: a long range started on it
// could be refused halfway by a host that checks on every read.
constexpr double kExpiryMarginSeconds = 30;

// W/"x" and "x" name the same version for a comparison that only asks
// whether the object changed.
std::string_view opaqueTag(std::string_view etag) {
  if (etag.starts_with("W/")) etag.remove_prefix(2);
  return etag;
}

}  // namespace

ObjectSource::Url ObjectSource::url(double now) const {
  std::lock_guard lock(mutex_);
  // Without an expiry the URL is used until the host refuses it.
  bool usable = !url_.empty() && (!expires_ || now + kExpiryMarginSeconds < *expires_);
  return Url{url_, usable};
}

void ObjectSource::setUrl(std::string url, std::optional<double> expires) {
  std::lock_guard lock(mutex_);
  url_ = std::move(url);
  expires_ = expires;
}

bool ObjectSource::admit(const ObjectValidator& seen) {
  std::lock_guard lock(mutex_);
  if (pinned_.empty()) {
    pinned_ = seen;
    return true;
  }
  if (!pinned_.etag.empty()) return opaqueTag(pinned_.etag) == opaqueTag(seen.etag);
  return pinned_.lastModified == seen.lastModified;
}

ObjectValidator ObjectSource::pinned() const {
  std::lock_guard lock(mutex_);
  return pinned_;
}

bool ObjectSource::admitSize(uint64_t size) {
  std::lock_guard lock(mutex_);
  if (!size_) size_ = size;
  return *size_ == size;
}

std::optional<uint64_t> ObjectSource::size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

std::shared_ptr<ObjectSource> ObjectSources::obtain(const std::string& key) {
  std::lock_guard lock(mutex_);
  Kept& kept = kept_[key];
  kept.lastUse = ++clock_;
  if (!kept.source) kept.source = std::make_shared<ObjectSource>();
  std::shared_ptr<ObjectSource> source = kept.source;
  if (kept_.size() > capacity_) {
    auto oldest = std::min_element(kept_.begin(), kept_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUse < b.second.lastUse;
    });
    kept_.erase(oldest);  // never the one just used: it has the newest tick
  }
  return source;
}

void ObjectSources::forget(const std::string& key, const ObjectSource* source) {
  std::lock_guard lock(mutex_);
  auto it = kept_.find(key);
  if (it != kept_.end() && it->second.source.get() == source) kept_.erase(it);
}

size_t ObjectSources::size() const {
  std::lock_guard lock(mutex_);
  return kept_.size();
}

void ObjectSources::rememberListed(const Entry& entry) {
  if (entry.isDirectory || !entry.contentETagIsTag) return;
  std::lock_guard lock(mutex_);
  auto [it, added] = listed_.insert_or_assign(entry.id, entry);
  if (!added) return;
  listedOrder_.push_back(entry.id);
  if (listedOrder_.size() > kListedCapacity) {
    listed_.erase(listedOrder_.front());
    listedOrder_.pop_front();
  }
}

std::optional<Entry> ObjectSources::listed(const std::string& key,
                                           const std::string& contentVersion) const {
  if (!listedTagsHold.load() || contentVersion.empty()) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto it = listed_.find(key);
  if (it == listed_.end() || it->second.contentETag != contentVersion) return std::nullopt;
  return it->second;
}

std::optional<std::string> strongTag(std::string_view listed) {
  if (listed.empty() || listed.starts_with("W/")) return std::nullopt;
  if (listed.size() >= 2 && listed.front() == '"' && listed.back() == '"') {
    return std::string(listed);
  }
  return "\"" + std::string(listed) + "\"";
}

}  // namespace lumora::backend
