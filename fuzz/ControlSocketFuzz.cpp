// The daemon's control socket: one live server, arbitrary requests sent by
// the daemon's own client and by a raw client.
#include <unistd.h>

#include "fuzz/checks/ControlSocketCheck.h"

namespace {

std::filesystem::path socketPath() {
  std::string folder = "/tmp/lumora-fuzz-control-XXXXXX";
  if (!::mkdtemp(folder.data())) std::abort();
  return std::filesystem::path(folder) / "sock" / "control.sock";
}

lumora::fuzz::ControlSocketHarness& harness() {
  static lumora::fuzz::ControlSocketHarness server{socketPath()};
  if (!server.running()) std::abort();
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return lumora::fuzz::abortOnBroken(harness().check(lumora::fuzz::asText(data, size)));
}
