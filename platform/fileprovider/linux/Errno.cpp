#include "platform/fileprovider/linux/Errno.h"

#include <cerrno>

#include "platform/fileprovider/Types.h"

namespace lumora::fuse {

namespace {

// libcurl's codes, as the transfer error domain carries them.
constexpr long kCurlCouldNotResolveProxy = 5;
constexpr long kCurlCouldNotResolveHost = 6;
constexpr long kCurlOperationTimedOut = 28;

}  // namespace

int errnoForError(const Error& error) {
  if (error.domain == kFileProviderErrorDomain) {
    switch (error.code) {
      case fileprovider::kErrorNotAuthenticated:
        return EACCES;
      case fileprovider::kErrorNoSuchItem:
        return ENOENT;
      default:
        return EIO;
    }
  }
  if (error.domain == kTransferErrorDomain) {
    if (error.code == kCurlOperationTimedOut) return ETIMEDOUT;
    if (error.code == kCurlCouldNotResolveHost || error.code == kCurlCouldNotResolveProxy) {
      return EHOSTUNREACH;
    }
    return EIO;
  }
  if (error.domain == kPosixErrorDomain && error.code > 0 && error.code < 4096) {
    return static_cast<int>(error.code);
  }
  return EIO;
}

}  // namespace lumora::fuse
