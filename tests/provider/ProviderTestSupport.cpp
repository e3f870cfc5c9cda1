#include "tests/provider/ProviderTestSupport.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace lumora::provider::testing {

std::shared_ptr<backend::LumoraBackend> ServiceTest::makeBackend() const {
  std::filesystem::create_directories(container());
  return std::make_shared<backend::LumoraBackend>(lumoraDomain(), server.baseUrl(), container(),
                                                  dir.path() / "defaults.json");
}

void ServiceTest::writeToken(const std::string& text) const {
  std::ofstream(container() / shared::kTokenFileName, std::ios::binary | std::ios::trunc) << text;
}

void RecordingEnumerationObserver::didEnumerateItems(std::vector<fileprovider::ItemPtr> items) {
  std::lock_guard lock(mutex_);
  calls_.events.push_back("items");
  calls_.threads.push_back(std::this_thread::get_id());
  calls_.items.insert(calls_.items.end(), items.begin(), items.end());
}

void RecordingEnumerationObserver::finishEnumeratingUpToPage(
    std::optional<fileprovider::Page> nextPage) {
  {
    std::lock_guard lock(mutex_);
    calls_.events.push_back("finish");
    calls_.threads.push_back(std::this_thread::get_id());
    calls_.nextPage = std::move(nextPage);
    ++calls_.finals;
  }
  finished_.notify_all();
}

void RecordingEnumerationObserver::finishEnumeratingWithError(Error error) {
  {
    std::lock_guard lock(mutex_);
    calls_.events.push_back("error");
    calls_.threads.push_back(std::this_thread::get_id());
    calls_.error = std::move(error);
    ++calls_.finals;
  }
  finished_.notify_all();
}

bool RecordingEnumerationObserver::waitFinal(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, limit, [this] { return calls_.finals > 0; });
}

RecordingEnumerationObserver::Calls RecordingEnumerationObserver::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void RecordingChangeObserver::didUpdateItems(std::vector<fileprovider::ItemPtr> items) {
  std::lock_guard lock(mutex_);
  calls_.events.push_back("updates:" + std::to_string(items.size()));
}

void RecordingChangeObserver::didDeleteItemsWithIdentifiers(
    std::vector<fileprovider::ItemIdentifier> ids) {
  std::lock_guard lock(mutex_);
  calls_.events.push_back("deletes:" + std::to_string(ids.size()));
}

void RecordingChangeObserver::finishEnumeratingChangesUpToSyncAnchor(
    fileprovider::SyncAnchor anchor, bool moreComing) {
  {
    std::lock_guard lock(mutex_);
    calls_.events.push_back("finish");
    calls_.anchor = std::move(anchor);
    calls_.moreComing = moreComing;
    ++calls_.finals;
  }
  finished_.notify_all();
}

void RecordingChangeObserver::finishEnumeratingWithError(Error) {
  {
    std::lock_guard lock(mutex_);
    calls_.events.push_back("error");
    ++calls_.finals;
  }
  finished_.notify_all();
}

bool RecordingChangeObserver::waitFinal(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, limit, [this] { return calls_.finals > 0; });
}

RecordingChangeObserver::Calls RecordingChangeObserver::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::string listingBody(const std::vector<std::string>& keys, std::optional<std::string> cursor) {
  nlohmann::json entries = nlohmann::json::array();
  for (const auto& key : keys) {
    nlohmann::json record{{"key", key}};
    if (!key.ends_with('/')) {
      record["size"] = key.size();
      record["etag"] = "e-" + key;
      record["modified"] = "2024-05-01T10:00:00Z";
    }
    entries.push_back(record);
  }
  nlohmann::json body{{"entries", entries}};
  if (cursor) body["cursor"] = *cursor;
  return body.dump();
}

}  // namespace lumora::provider::testing
