// parentKey and the entries made from keys alone, on arbitrary keys.
#include "fuzz/checks/ParentKeyCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkParentKey(lumora::fuzz::asText(data, size)));
}
