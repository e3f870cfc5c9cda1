// The checkpoint listing parser on arbitrary tool output.
#include "fuzz/checks/SnapshotListingCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(
      lumora::fuzz::checkSnapshotListing(lumora::fuzz::asText(data, size)));
}
