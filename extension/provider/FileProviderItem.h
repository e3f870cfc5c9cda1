#pragma once
// One entry as the framework sees it: a read-only view whose attributes are
// computed from the entry on every request.

#include "extension/backend/Entry.h"
#include "platform/fileprovider/Protocols.h"

namespace lumora::provider {

class FileProviderItem final : public fileprovider::Item {
 public:
  explicit FileProviderItem(backend::Entry entry) : entry_(std::move(entry)) {}

  const backend::Entry& entry() const { return entry_; }

  fileprovider::ItemIdentifier itemIdentifier() const override;
  fileprovider::ItemIdentifier parentItemIdentifier() const override;
  std::string filename() const override;
  std::string contentType() const override;
  bool isFolder() const override { return entry_.isDirectory; }
  std::optional<int64_t> documentSize() const override;
  fileprovider::ItemVersion itemVersion() const override;
  fileprovider::ItemCapabilities capabilities() const override;
  // The entry's "modified" date, for the system side's file dates only.
  std::optional<int64_t> contentModificationTime() const override;

 private:
  const backend::Entry entry_;  // immutable: items may be read from any thread
};

}  // namespace lumora::provider
