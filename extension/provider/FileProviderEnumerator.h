#pragma once
// Answers the system's questions about one container: its items page by page
// through the backend's listing, and (never any) changes since an anchor.

#include <functional>
#include <memory>

#include "extension/backend/LumoraBackend.h"
#include "platform/fileprovider/Protocols.h"

namespace lumora::provider {

// The current time in seconds since 1970; injected so tests control it.
using SecondsClock = std::function<double()>;
double systemSeconds();

// The anchor for a time: its whole seconds, truncated toward zero, in decimal.
fileprovider::SyncAnchor syncAnchorForTime(double secondsSince1970);

class FileProviderEnumerator final : public fileprovider::Enumerator {
 public:
  FileProviderEnumerator(fileprovider::ItemIdentifier containerID,
                         std::shared_ptr<const backend::LumoraBackend> backend,
                         SecondsClock clock = systemSeconds);

  const fileprovider::ItemIdentifier& containerID() const { return containerID_; }
  const std::shared_ptr<const backend::LumoraBackend>& backend() const { return backend_; }

  // Returns at once; the observer is called from a task of the shared executor.
  void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                      fileprovider::Page page) override;
  void enumerateChanges(std::shared_ptr<fileprovider::ChangeObserver> observer,
                        fileprovider::SyncAnchor anchor) override;
  void currentSyncAnchor(
      std::function<void(std::optional<fileprovider::SyncAnchor>)> completion) override;
  // Ends nothing: work under way still calls its observer.
  void invalidate() override {}

  fileprovider::SyncAnchor makeSyncAnchor() const;

 private:
  // Set at construction, never changed; tasks copy what they need so that
  // they outlive the enumerator safely.
  const fileprovider::ItemIdentifier containerID_;
  const std::shared_ptr<const backend::LumoraBackend> backend_;
  const SecondsClock clock_;
};

}  // namespace lumora::provider
