#pragma once
// Shared pieces of the provider tests: a backend pointed at a local HTTP
// server with a token on file, recording observers, and waiting helpers.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension/backend/LumoraBackend.h"
#include "platform/fileprovider/Protocols.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"

namespace lumora::provider::testing {

using namespace std::chrono_literals;
using lumora::testing::LocalHttpServer;
using lumora::testing::TempDir;
using lumora::testing::waitUntil;

inline fileprovider::Domain lumoraDomain() {
  return fileprovider::Domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
}

// A local service and a backend that talks to it with the token "t0k".
class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() { writeToken("t0k\n"); }
  std::filesystem::path container() const { return dir.path() / "container"; }
  void writeToken(const std::string& text) const;
  void removeToken() const { std::filesystem::remove(container() / shared::kTokenFileName); }

  TempDir dir;
  LocalHttpServer server;
  std::shared_ptr<backend::LumoraBackend> backend = makeBackend();

 private:
  std::shared_ptr<backend::LumoraBackend> makeBackend() const;
};

// Records every call of an enumeration observer, in order, with its thread.
class RecordingEnumerationObserver final : public fileprovider::EnumerationObserver {
 public:
  struct Calls {
    std::vector<std::string> events;  // "items", "finish", "error"
    std::vector<fileprovider::ItemPtr> items;
    std::optional<fileprovider::Page> nextPage;
    std::optional<Error> error;
    int finals = 0;
    std::vector<std::thread::id> threads;
  };

  void didEnumerateItems(std::vector<fileprovider::ItemPtr> items) override;
  void finishEnumeratingUpToPage(std::optional<fileprovider::Page> nextPage) override;
  void finishEnumeratingWithError(Error error) override;

  // Waits for the first final call; false on time-out.
  bool waitFinal(std::chrono::milliseconds limit = 30s);
  Calls calls() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  Calls calls_;  // guarded by mutex_
};

class RecordingChangeObserver final : public fileprovider::ChangeObserver {
 public:
  struct Calls {
    std::vector<std::string> events;  // "updates:N", "deletes:N", "finish", "error"
    std::optional<fileprovider::SyncAnchor> anchor;
    std::optional<bool> moreComing;
    int finals = 0;
  };

  void didUpdateItems(std::vector<fileprovider::ItemPtr> items) override;
  void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> ids) override;
  void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor,
                                              bool moreComing) override;
  void finishEnumeratingWithError(Error error) override;

  bool waitFinal(std::chrono::milliseconds limit = 30s);
  Calls calls() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  Calls calls_;  // guarded by mutex_
};

// A JSON listing body: `keys` become records (a key ending in "/" a folder),
// with a cursor when one is given.
std::string listingBody(const std::vector<std::string>& keys,
                        std::optional<std::string> cursor = std::nullopt);

}  // namespace lumora::provider::testing
