#include "platform/fileprovider/linux/base/ListedItem.h"

#include <algorithm>

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

bool isUsableFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  return name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
}

std::string suffixedName(std::string_view name, int number) {
  std::string suffix = " (" + std::to_string(number) + ")";
  size_t keep = std::min(name.size(), 255 - suffix.size());
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return std::string(name.substr(0, keep)) + suffix;
}

ListedItem listedItemFor(const fp::Item& item) {
  ListedItem listed;
  listed.name = item.filename();
  if (!isUsableFileName(listed.name)) return listed;
  listed.identifier = item.itemIdentifier();
  // Not the content type: that of a file is looked up by its extension.
  listed.isDirectory = item.isFolder();
  auto size = item.documentSize();
  listed.size = listed.isDirectory ? 0 : size.value_or(0);
  listed.sizeKnown = listed.isDirectory || size.has_value();
  listed.contentVersion = item.itemVersion().contentVersion;
  listed.modified = item.contentModificationTime().value_or(0);
  return listed;
}

}  // namespace lumora::fuse
