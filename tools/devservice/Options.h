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

// The bucket back end's settings (--s3-endpoint and its companions).
struct BucketOptions {
  std::string endpoint;  // http(s)://host[:port][/path], path-style requests
  std::string bucket;
  std::string region = "us-east-1";
  std::string keyPrefix;  // the bucket's keys that "mirror/" stands for
  std::optional<std::filesystem::path> credentialsFile;
  std::string caFile;       // extra CA bundle for the store; empty: the system's
  int timeoutSeconds = 20;  // bound of every request to the store
};

struct Options {
  std::filesystem::path root;  // the served folder ("mirror/"), unless a bucket
  std::optional<BucketOptions> bucket;
  // A secret shared by every instance: tokens, URL signatures and cursors
  // verify on any of them. Default: the state folder's own secret.
  std::optional<std::filesystem::path> secretFile;
  std::filesystem::path state;  // state folder; default $XDG_STATE_HOME/lumora-devservice
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  bool tls = true;
  // A certificate and key of the operator's, so that instances behind one
  // name share them. Default: a self-signed pair made in the state folder.
  std::optional<std::filesystem::path> tlsCert;
  std::optional<std::filesystem::path> tlsKey;
  std::size_t pageSize = 1000;
  int urlLifetimeSeconds = 300;
  // Each kept-alive connection holds one while it is open: the desktop
  // client alone may hold a few dozen at once.
  int threads = 64;
  std::optional<std::filesystem::path> issueTokenFile;
  std::uint64_t objectRate = 0;  // bytes per second of object bodies; 0: unpaced
  bool ignoreRanges = false;     // answer object requests whole, as a host without ranges
  bool log = false;
  bool help = false;
  FaultOptions faults;

  // Sign-in and tokens.
  std::optional<std::filesystem::path> usersFile;  // who may sign in; none: nobody can
  std::int64_t tokenLifetimeSeconds = 30 * 24 * 3600;
  std::int64_t clockOffsetSeconds = 0;  // shifts the clock of tokens and sign-ins (testing)
};

const char* usageText();
// Parses argv (without the program name). Fails with a message for the user.
Result<Options> parseOptions(const std::vector<std::string>& args);
bool isLoopbackHost(const std::string& host);

}  // namespace lumora::devservice
