#pragma once
// Command-line options of lumora-devservice.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "tools/devservice/Faults.h"

namespace lumora::devservice {

struct Options {
  std::filesystem::path root;   // the served folder ("mirror/")
  std::filesystem::path state;  // state folder; default $XDG_STATE_HOME/lumora-devservice
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  bool tls = true;
  std::size_t pageSize = 1000;
  int urlLifetimeSeconds = 300;
  int threads = 16;
  std::optional<std::filesystem::path> issueTokenFile;
  std::uint64_t objectRate = 0;  // bytes per second of object bodies; 0: unpaced
  bool ignoreRanges = false;     // answer object requests whole, as a host without ranges
  bool log = false;
  bool help = false;
  FaultOptions faults;
};

const char* usageText();
// Parses argv (without the program name). Fails with a message for the user.
Result<Options> parseOptions(const std::vector<std::string>& args);
bool isLoopbackHost(const std::string& host);

}  // namespace lumora::devservice
