// The control request framing and parser. The live server is replayed on
// the same inputs by the regression test.
#include "fuzz/checks/ControlSocketCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkControlRequest(lumora::fuzz::asText(data, size)));
}
