#pragma once
// libcurl's result codes as the session reports them: our own TransferError
// codes, so that nothing above the HTTP session knows libcurl's numbers.
// Included by the session's implementation only.

#include <curl/curl.h>

#include "platform/foundation/Error.h"

namespace lumora {

// `detail`: libcurl's error buffer, when it holds a message; `osErrno`: the
// system's error behind it, 0 when none.
Error transferErrorFromCurl(CURLcode code, const char* detail, int osErrno);

}  // namespace lumora
