// The EXIF thumbnail reader, replayed on the fuzz seeds and findings.
#include <gtest/gtest.h>

#include "fuzz/checks/ExifThumbnailCheck.h"
#include "tests/regression/Inputs.h"

namespace lumora::fuzz {
namespace {

TEST(ExifThumbnailRegression, Heads) {
  LUMORA_REPLAY("ExifThumbnailFuzz", checkExifThumbnail);
  // Both byte orders of the seeds are read.
  for (const auto& input : regression::inputsOf("ExifThumbnailFuzz")) {
    if (!input.name.starts_with("fuzz/corpus/")) continue;
    auto found = fuse::findExifThumbnail(input.bytes);
    ASSERT_TRUE(found) << input.name;
    EXPECT_EQ(found->orientation, input.name.ends_with("turned.jpg") ? 6 : 1) << input.name;
    EXPECT_TRUE(fuse::decodeJpeg(found->jpeg)) << input.name;
  }
}

}  // namespace
}  // namespace lumora::fuzz
