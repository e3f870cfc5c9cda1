#pragma once
// Why a transfer failed, in the session's own terms: the codes of errors in
// kTransferErrorDomain. Nothing above the HTTP session sees the HTTP
// library's codes, so callers (such as the errno mapping) compare against
// these.

#include <string>

#include "platform/foundation/Error.h"

namespace lumora {

enum class TransferError : long {
  failed = 1,           // a failure not named below
  timedOut = 2,         // no answer, or no byte, within the time allowed
  hostNotFound = 3,     // the host's (or proxy's) name did not resolve
  couldNotConnect = 4,  // the host refused or did not take the connection
  connectionLost = 5,   // the connection ended before the whole answer came
  tlsFailed = 6,        // the host's certificate was refused, or TLS failed
  badResponse = 7,      // the answer breaks the protocol or what was asked
  tooLarge = 8,         // a body held in memory would exceed its limit
  unsupportedUrl = 9,   // a URL the session cannot fetch
};

inline Error transferError(TransferError code, std::string description) {
  return Error{kTransferErrorDomain, static_cast<long>(code), std::move(description)};
}

inline bool isTransferError(const Error& error, TransferError code) {
  return error.domain == kTransferErrorDomain && error.code == static_cast<long>(code);
}

}  // namespace lumora
