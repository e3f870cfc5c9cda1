// The shared defaults file's reader and writer: arbitrary file contents,
// then a store and reads. The regression test replays the same inputs on a
// real file.
#include "fuzz/checks/SharedDefaultsCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkSharedDefaultsBytes(lumora::fuzz::asText(data, size)));
}
