// The EXIF thumbnail reader on arbitrary heads of photos.
#include "fuzz/checks/ExifThumbnailCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkExifThumbnail(lumora::fuzz::asText(data, size)));
}
