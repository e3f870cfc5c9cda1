// The download-URL decoder on arbitrary response bodies.
#include "fuzz/checks/DownloadUrlCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkDownloadUrl(lumora::fuzz::asText(data, size)));
}
