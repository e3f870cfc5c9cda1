#pragma once
// A backend wired to a local test server, a private container folder and a
// private defaults file, with its own HTTP session so that connections close
// with the test.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "extension/backend/LumoraBackend.h"
#include "platform/foundation/HttpSession.h"
#include "platform/foundation/SharedDefaults.h"
#include "shared/Identifiers.h"
#include "tests/fixtures/LocalHttpServer.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::testing {

struct BackendHarness {
  explicit BackendHarness(LocalHttpServer::Scheme scheme = LocalHttpServer::Scheme::http,
                          HttpSession::Options options = {})
      : server(scheme) {
    if (scheme == LocalHttpServer::Scheme::https) options.extraCaFile = server.caFile();
    session = std::make_shared<HttpSession>(options);
    backend = std::make_unique<backend::LumoraBackend>(
        fileprovider::Domain{shared::kDomainIdentifier, shared::kDomainDisplayName},
        server.baseUrl(), container(), defaultsFile(), session);
  }

  std::filesystem::path container() const { return folder.path() / "container"; }
  std::filesystem::path defaultsFile() const { return folder.path() / "defaults.json"; }

  void writeTokenFile(const std::string& text) const {
    std::filesystem::create_directories(container());
    std::ofstream(container() / shared::kTokenFileName, std::ios::binary) << text;
  }
  void setDefaultsToken(const std::string& value) const {
    ASSERT_TRUE(SharedDefaults(defaultsFile()).setString(shared::kAccessTokenDefaultsKey, value));
  }

  TempDir folder;
  LocalHttpServer server;
  std::shared_ptr<HttpSession> session;
  std::unique_ptr<backend::LumoraBackend> backend;  // declared last: goes first
};

// A figure of this process's /proc status in KiB, such as "VmRSS:"; -1
// when it is missing.
inline long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

}  // namespace lumora::testing
