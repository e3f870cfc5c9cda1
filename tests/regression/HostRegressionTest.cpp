// The checkpoint listing parser, replayed on the fuzz seeds and findings.
#include <gtest/gtest.h>

#include "fuzz/checks/SnapshotListingCheck.h"
#include "tests/regression/Inputs.h"

namespace lumora::fuzz {
namespace {

TEST(HostRegression, SnapshotListing) {
  LUMORA_REPLAY("SnapshotListingFuzz", checkSnapshotListing);
}

}  // namespace
}  // namespace lumora::fuzz
