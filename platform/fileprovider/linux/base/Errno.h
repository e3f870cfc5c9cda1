#pragma once
// The one place where errors of the extension become errno values for the
// kernel.

#include "platform/foundation/Error.h"

namespace lumora::fuse {

// What the kernel asked for when the error happened: a missing item means
// ENOENT for a look-up, and for an open or a listing alike.
int errnoForError(const Error& error);

}  // namespace lumora::fuse
