#pragma once
// Content types of items, as MIME types through GIO's content-type database.

#include <optional>
#include <string>
#include <string_view>

namespace lumora::fileprovider {

// The type of every folder.
inline constexpr const char* kFolderContentType = "inode/directory";
// The generic type of any stream of bytes.
inline constexpr const char* kDataContentType = "application/octet-stream";

// True when `mimeType` names data: a file's contents rather than a folder,
// a device or another file-system object.
bool conformsToData(const std::string& mimeType);

// The data type that the platform knows for a filename extension (given
// without its period), or none when it knows none.
std::optional<std::string> contentTypeForFilenameExtension(std::string_view extension);

// The text after the last period of `filename`, empty when there is none.
std::string_view pathExtension(std::string_view filename);

}  // namespace lumora::fileprovider
