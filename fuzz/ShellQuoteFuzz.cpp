// Shell quoting of arbitrary words, read back by a strict POSIX reader.
#include "fuzz/checks/ShellQuoteCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkShellQuote(lumora::fuzz::asText(data, size)));
}
