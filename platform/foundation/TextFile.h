#pragma once
// Whole-file reads as UTF-8 text and atomic whole-file writes.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace lumora {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing beyond U+10FFFF, no truncated sequence.
bool isValidUtf8(std::string_view bytes);

// Reads the whole file. Fails with a POSIX error when it cannot be read and
// with a decoding error when the bytes are not valid UTF-8.
Result<std::string> readUtf8File(const std::filesystem::path& path);

// Writes `contents` to `path` atomically: a fresh temporary file in the same
// folder (O_EXCL, never an existing file), written, flushed to disk, given
// `mode`, then renamed over the destination. A symlink at the destination is
// replaced, never followed. On failure the destination is untouched and the
// temporary file is removed.
Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                 mode_t mode = 0600);

// Trims Unicode white space and line separators from both ends of UTF-8 text.
std::string trimUnicodeWhitespace(std::string_view text);

}  // namespace lumora
