#include "extension/provider/FileProviderItem.h"

#include "platform/fileprovider/ContentTypes.h"

namespace lumora::provider {

using namespace lumora::fileprovider;

ItemIdentifier FileProviderItem::itemIdentifier() const {
  // The system never sees "mirror/" as an identifier: the root is its constant.
  return entry_.isRoot ? kRootContainerItemIdentifier : entry_.id;
}

ItemIdentifier FileProviderItem::parentItemIdentifier() const {
  return entry_.parentID.value_or(kRootContainerItemIdentifier);
}

std::string FileProviderItem::filename() const {
  return entry_.name;
}

std::string FileProviderItem::contentType() const {
  if (entry_.isDirectory) return kFolderContentType;
  return contentTypeForFilenameExtension(pathExtension(entry_.name)).value_or(kDataContentType);
}

std::optional<int64_t> FileProviderItem::documentSize() const {
  if (entry_.isDirectory) return std::nullopt;
  return entry_.size;
}

ItemVersion FileProviderItem::itemVersion() const {
  return ItemVersion{entry_.contentETag, entry_.metadataTag};
}

ItemCapabilities FileProviderItem::capabilities() const {
  return kItemCapabilitiesAllowsReading;
}

std::optional<int64_t> FileProviderItem::contentModificationTime() const {
  if (!entry_.modifiedAt) return std::nullopt;
  return entry_.modifiedAt->time_since_epoch().count();
}

}  // namespace lumora::provider
