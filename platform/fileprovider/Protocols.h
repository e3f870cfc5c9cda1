#pragma once
// The framework's protocols that a replicated extension adopts, and the
// observers through which it answers. The system side (the FUSE daemon on
// Linux) drives an extension only through these.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/Progress.h"
#include "platform/fileprovider/Types.h"

namespace lumora::fileprovider {

// An item as the framework sees it. Attributes not listed keep the
// framework's defaults.
class Item {
 public:
  virtual ~Item() = default;
  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;
  // A MIME type: "inode/directory" for folders.
  virtual std::string contentType() const = 0;
  // Whether contentType() is "inode/directory"; an item that knows it
  // answers without working out the type of a file.
  virtual bool isFolder() const { return contentType() == "inode/directory"; }
  // None for folders.
  virtual std::optional<int64_t> documentSize() const = 0;
  virtual ItemVersion itemVersion() const = 0;
  virtual ItemCapabilities capabilities() const = 0;
  // The content's last modification, in seconds since the epoch, when the
  // item knows it. Not one of the attributes the item presents: the system
  // side shows it as the file's dates.
  virtual std::optional<int64_t> contentModificationTime() const { return std::nullopt; }
};
using ItemPtr = std::shared_ptr<const Item>;

class EnumerationObserver {
 public:
  virtual ~EnumerationObserver() = default;
  virtual void didEnumerateItems(std::vector<ItemPtr> items) = 0;
  // `nextPage` none: the container is listed completely.
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void didUpdateItems(std::vector<ItemPtr> items) = 0;
  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

class Enumerator {
 public:
  virtual ~Enumerator() = default;
  virtual void invalidate() = 0;
  virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page page) = 0;
  virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor anchor) = 0;
  virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) = 0;
};

using ItemCompletion = std::function<void(ItemPtr, std::optional<Error>)>;
using FetchCompletion =
    std::function<void(std::optional<std::filesystem::path>, ItemPtr, std::optional<Error>)>;
// item, the fields still to be applied, whether the content should be
// fetched again, error
using ChangeCompletion = std::function<void(ItemPtr, ItemFields, bool, std::optional<Error>)>;
using DeleteCompletion = std::function<void(std::optional<Error>)>;

// A span of a file's bytes.
struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t end() const { return offset + length; }
};

// What a partial fetch delivered: `range` is the span whose bytes went to the
// sink (the range asked for, widened to the alignment and cut at the end of
// the file), `fileSize` the whole file's size as the content says it.
struct PartialContents {
  ByteRange range;
  bool reachesEnd = false;
  uint64_t fileSize = 0;
  ItemPtr item;
  // The host states the version only weakly, which allows no stitching of
  // ranges: the contents are to be read whole, in one answer.
  bool wholeOnly = false;
};
// Takes the fetched bytes in order, `offset` being the file offset of
// `data[0]`. Returning false stops the transfer (the fetch then fails).
using PartialContentSink = std::function<bool(uint64_t offset, const char* data, size_t size)>;
using PartialFetchCompletion =
    std::function<void(std::optional<PartialContents>, std::optional<Error>)>;

// Offered by an extension that can fetch a part of a file's contents, so that
// reads of large files need not wait for the whole download. The bytes of
// one version only: when the stored object is no longer that version, the
// fetch fails with kErrorVersionNoLongerAvailable and delivers nothing further.
class PartialContentFetching {
 public:
  virtual ~PartialContentFetching() = default;
  // Delivers at least `minimalRange` (less only where the file ends), widened
  // outward to multiples of `alignment` (a power of two; 0 or 1: none).
  virtual ProgressPtr fetchPartialContents(const ItemIdentifier& identifier,
                                           const ItemVersion& requestedVersion,
                                           const Request& request, ByteRange minimalRange,
                                           uint64_t alignment, PartialContentSink sink,
                                           PartialFetchCompletion completion) = 0;
};

class ReplicatedExtension {
 public:
  virtual ~ReplicatedExtension() = default;
  virtual void invalidate() = 0;
  virtual ProgressPtr itemForIdentifier(const ItemIdentifier& identifier, const Request& request,
                                        ItemCompletion completion) = 0;
  virtual ProgressPtr fetchContents(const ItemIdentifier& identifier,
                                    const std::optional<ItemVersion>& requestedVersion,
                                    const Request& request, FetchCompletion completion) = 0;
  virtual ProgressPtr createItem(ItemPtr itemTemplate, ItemFields fields,
                                 const std::optional<std::filesystem::path>& contents,
                                 uint64_t options, const Request& request,
                                 ChangeCompletion completion) = 0;
  virtual ProgressPtr modifyItem(ItemPtr item, const ItemVersion& baseVersion,
                                 ItemFields changedFields,
                                 const std::optional<std::filesystem::path>& contents,
                                 uint64_t options, const Request& request,
                                 ChangeCompletion completion) = 0;
  virtual ProgressPtr deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                 uint64_t options, const Request& request,
                                 DeleteCompletion completion) = 0;
  // Never fails: returns an enumerator for any identifier.
  virtual std::unique_ptr<Enumerator> enumeratorForContainerItemIdentifier(
      const ItemIdentifier& containerItemIdentifier, const Request& request,
      std::optional<Error>* error) = 0;
};

}  // namespace lumora::fileprovider
