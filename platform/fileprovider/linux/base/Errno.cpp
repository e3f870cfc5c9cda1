#include "platform/fileprovider/linux/base/Errno.h"

#include <cerrno>

#include "platform/fileprovider/Types.h"
#include "platform/foundation/TransferError.h"

namespace lumora::fuse {

int errnoForError(const Error& error) {
  if (error.domain == kFileProviderErrorDomain) {
    switch (error.code) {
      case fileprovider::kErrorNotAuthenticated:
        return EACCES;
      case fileprovider::kErrorNoSuchItem:
        return ENOENT;
      case fileprovider::kErrorVersionNoLongerAvailable:
        return ESTALE;  // the file changed under its reader
      case fileprovider::kErrorServerUnreachable:
        // A refused token or a refused item is a refusal, not an outage.
        return error.cause.httpStatus == 401 || error.cause.httpStatus == 403 ? EACCES : EIO;
      default:
        return EIO;
    }
  }
  if (error.domain == kTransferErrorDomain) {
    // A service that does not answer in time is an outage like any other
    // (EIO): ETIMEDOUT would tell a program that its own call timed out.
    switch (static_cast<TransferError>(error.code)) {
      case TransferError::hostNotFound:
        return EHOSTUNREACH;
      default:
        return EIO;
    }
  }
  if (error.domain == kPosixErrorDomain && error.code > 0 && error.code < 4096) {
    return static_cast<int>(error.code);
  }
  return EIO;
}

}  // namespace lumora::fuse
