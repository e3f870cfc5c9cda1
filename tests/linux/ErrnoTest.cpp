#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/Errno.h"

namespace lumora::fuse {
namespace {

TEST(ErrnoTest, ExtensionErrorsMapToTheKernelsCodes) {
  using fileprovider::fileProviderError;
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorNotAuthenticated)), EACCES);
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorServerUnreachable)), EIO);
  EXPECT_EQ(errnoForError(fileProviderError(fileprovider::kErrorNoSuchItem)), ENOENT);
  EXPECT_EQ(errnoForError(fileProviderError(-1999)), EIO);
  EXPECT_EQ(errnoForError(Error{kTransferErrorDomain, 28, "timed out"}), ETIMEDOUT);
  EXPECT_EQ(errnoForError(Error{kTransferErrorDomain, 6, "no such host"}), EHOSTUNREACH);
  EXPECT_EQ(errnoForError(Error{kTransferErrorDomain, 7, "refused"}), EIO);
  EXPECT_EQ(errnoForError(Error{kDecodingErrorDomain, 1, "entries"}), EIO);
  EXPECT_EQ(errnoForError(posixError(ENOTDIR, "")), ENOTDIR);
  EXPECT_EQ(errnoForError(Error{kPosixErrorDomain, -3, "nonsense"}), EIO);
  EXPECT_EQ(errnoForError(Error{"SomeOtherDomain", 12, "?"}), EIO);
}

}  // namespace
}  // namespace lumora::fuse
