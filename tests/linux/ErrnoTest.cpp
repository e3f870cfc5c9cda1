#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/base/Errno.h"
#include "platform/foundation/TransferError.h"

namespace lumora::fuse {
namespace {

TEST(ErrnoTest, ExtensionErrorsMapToTheKernelsCodes) {
  using fileprovider::fileProviderError;
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorNotAuthenticated)), EACCES);
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorServerUnreachable)), EIO);
  Error refused = fileProviderError(fileprovider::kErrorServerUnreachable);
  refused.cause.httpStatus = 401;  // signed out
  EXPECT_EQ(errnoForError(refused), EACCES);
  refused.cause.httpStatus = 503;
  EXPECT_EQ(errnoForError(refused), EIO);
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorNoSuchItem)), ENOENT);
  EXPECT_EQ(errnoForError(fileProviderError(-1999)), EIO);
  EXPECT_EQ(errnoForError(transferError(TransferError::timedOut, "timed out")), EIO);
  EXPECT_EQ(errnoForError(transferError(TransferError::hostNotFound, "no such host")),
            EHOSTUNREACH);
  EXPECT_EQ(errnoForError(transferError(TransferError::couldNotConnect, "refused")), EIO);
  EXPECT_EQ(errnoForError(Error{kDecodingErrorDomain, 1, "entries"}), EIO);
  EXPECT_EQ(errnoForError(posixError(ENOTDIR, "")), ENOTDIR);
  EXPECT_EQ(errnoForError(Error{kPosixErrorDomain, -3, "nonsense"}), EIO);
  EXPECT_EQ(errnoForError(Error{"SomeOtherDomain", 12, "?"}), EIO);
}

}  // namespace
}  // namespace lumora::fuse
