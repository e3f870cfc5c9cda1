// The listing decoder and makeEntry on arbitrary response bodies.
#include "fuzz/checks/StorageListCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkStorageList(lumora::fuzz::asText(data, size)));
}
