// The Content-Range reader on arbitrary texts.
#include "fuzz/checks/ContentRangeCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkContentRange(lumora::fuzz::asText(data, size)));
}
