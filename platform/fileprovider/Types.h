#pragma once
// The File Provider framework's value types, as the extension and the system
// side see them: identifiers, pages, anchors, versions, capabilities, errors.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"

namespace lumora::fileprovider {

using Bytes = std::string;  // opaque byte strings (pages, anchors, versions)

using ItemIdentifier = std::string;
inline const ItemIdentifier kRootContainerItemIdentifier =
    "NSFileProviderRootContainerItemIdentifier";
inline const ItemIdentifier kWorkingSetContainerItemIdentifier =
    "NSFileProviderWorkingSetContainerItemIdentifier";
inline const ItemIdentifier kTrashContainerItemIdentifier =
    "NSFileProviderTrashContainerItemIdentifier";

// A page of an enumeration: opaque bytes. The two initial pages are the
// framework's fixed values and both mean "the start of the listing".
using Page = Bytes;
// Their bytes mirror the framework's: an 8-byte big-endian 0 (sorted by date)
// and an 8-byte big-endian -1 (sorted by name). Neither is valid UTF-8 text
// that a service cursor could collide with in practice.
inline const Page kInitialPageSortedByDate = Page(8, '\0');
inline const Page kInitialPageSortedByName = Page(8, '\xff');

using SyncAnchor = Bytes;

struct ItemVersion {
  Bytes contentVersion;
  Bytes metadataVersion;
  friend bool operator==(const ItemVersion&, const ItemVersion&) = default;
};

using ItemCapabilities = uint64_t;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsReading = 1 << 0;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsContentEnumerating = 1 << 0;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsWriting = 1 << 1;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsReparenting = 1 << 2;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsRenaming = 1 << 3;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsTrashing = 1 << 4;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsDeleting = 1 << 5;
inline constexpr ItemCapabilities kItemCapabilitiesAllowsAddingSubItems = 1 << 1;

// Error codes of kFileProviderErrorDomain.
inline constexpr long kErrorNotAuthenticated = -1000;
inline constexpr long kErrorServerUnreachable = -1004;
inline constexpr long kErrorNoSuchItem = -1005;
// The stored object is no longer the version being read.
inline constexpr long kErrorVersionNoLongerAvailable = -2009;

// A File Provider error with an empty user-information dictionary.
inline Error fileProviderError(long code) {
  const char* text = code == kErrorNotAuthenticated    ? "The user is not signed in."
                     : code == kErrorServerUnreachable ? "The server could not be reached."
                     : code == kErrorNoSuchItem        ? "The item does not exist."
                     : code == kErrorVersionNoLongerAvailable
                         ? "The requested version is no longer available."
                         : "File Provider error.";
  return Error{kFileProviderErrorDomain, code, text};
}

// Fields of an item that a change may touch (unused by a read-only provider).
using ItemFields = uint64_t;

// A request's context. The system passes one to every operation.
struct Request {
  // The system fetches ahead of any reader: nobody waits for the answer, and
  // it may be cut when no reader wants it any more. An extension may keep
  // such work from taking what waited-for requests use (connections).
  bool speculative = false;
};

struct Domain {
  std::string identifier;
  std::string displayName;
};

}  // namespace lumora::fileprovider
