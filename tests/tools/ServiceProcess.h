#pragma once
// A real lumora-devservice child serving a temporary folder, with a token
// minted through --issue-token, and clients that verify its certificate.

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/fixtures/TempHome.h"
#include "tests/tools/Subprocess.h"

namespace lumora::testing {

// What the service serves: options naming the storage, and environment
// items (NAME=VALUE) such as the store's credentials.
struct ServiceStorage {
  std::vector<std::string> options;
  std::vector<std::string> env;
};

class ServiceProcess {
 public:
  // Starts the service on `root` with `extra` options; check ready().
  explicit ServiceProcess(const std::filesystem::path& root, std::vector<std::string> extra = {},
                          bool tls = true);
  ServiceProcess(const ServiceStorage& storage, std::vector<std::string> extra, bool tls);
  ~ServiceProcess();

  bool ready() const { return !url_.empty(); }
  const std::string& url() const { return url_; }
  const std::string& token() const { return token_; }
  std::filesystem::path caFile() const { return state_.path() / "cert.pem"; }
  std::filesystem::path stateFolder() const { return state_.path(); }
  std::unique_ptr<httplib::Client> client() const;
  // GET with "Authorization: Bearer <token>".
  httplib::Result authorizedGet(const std::string& target) const;
  ProcessResult stop();
  // Standard error of a stopped service.
  const std::string& errors() const { return errors_; }

 private:
  TempDir state_;
  std::unique_ptr<Child> child_;
  std::string url_;
  std::string token_;
  std::string errors_;
  bool tls_;
};

// Adds a user to a users file with the service's own adduser command.
bool addServiceUser(const std::filesystem::path& users, const std::string& name,
                    const std::string& password);
// What a browser does with the sign-in page of `session`: loads it, keeping
// its cookie, and posts the form back with that cookie.
httplib::Result confirmSignIn(httplib::Client& c, const std::string& session,
                              const std::string& user, const std::string& password);

std::string devServiceBinary();
std::string devCliScript();

}  // namespace lumora::testing
