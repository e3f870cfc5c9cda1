// The modification-date parser on arbitrary texts.
#include "fuzz/checks/InternetDateCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkInternetDate(lumora::fuzz::asText(data, size)));
}
