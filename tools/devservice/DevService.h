#pragma once
// The stand-in service: routes of the storage API, signed object URLs and
// browser sign-in over one cpp-httplib server (HTTPS or plain HTTP). The
// objects live in a local folder (served here under /objects) or a bucket.

#include <httplib.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "tools/devservice/Faults.h"
#include "tools/devservice/ObjectStore.h"
#include "tools/devservice/Options.h"
#include "tools/devservice/SignIn.h"
#include "tools/devservice/StateStore.h"
#include "tools/devservice/StorageTree.h"
#include "tools/devservice/Tokens.h"
#include "tools/devservice/UrlSigner.h"

namespace lumora::devservice {

// Query items of a raw request target, percent-decoded. "+" stays "+": the
// client encodes queries by URL-components rules, where "+" is literal.
std::multimap<std::string, std::string> parseQuery(std::string_view target);
// Percent-encodes a query value, keeping unreserved characters and "/".
std::string encodeQueryValue(std::string_view value);
// A request target fit for a log: the values of query items that grant
// access (signatures, credentials, sign-in sessions, tokens) are replaced.
std::string redactTarget(std::string_view target);

class DevService {
 public:
  static Result<std::unique_ptr<DevService>> create(const Options& options);
  ~DevService();
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  // Binds the listening socket; yields the port.
  Result<int> bind();
  // The base URL clients use, e.g. https://127.0.0.1:8443 (after bind).
  std::string baseUrl() const;
  // Serves until stop() is called (from any thread).
  void run();
  void stop();

  StateStore& state() { return *state_; }
  // A token for `user` with the configured lifetime (--issue-token).
  Result<std::string> issueToken(std::string_view user);
  // The certificate served over HTTPS: --tls-cert, else the state folder's.
  std::filesystem::path certFile() const { return options_.tlsCert.value_or(state_->certFile()); }

 private:
  DevService(const Options& options, std::unique_ptr<StateStore> state);
  void installRoutes();
  bool authorized(const httplib::Request& req, httplib::Response& res);
  // Latency, then the request's fault; true when the answer is already made.
  bool injectFault(bool api, const httplib::Request& req, httplib::Response& res, Fault& fault);
  void handleList(const httplib::Request& req, httplib::Response& res);
  void handleDownloadUrl(const httplib::Request& req, httplib::Response& res);
  void handleObject(const httplib::Request& req, httplib::Response& res);
  std::string publicOrigin(const httplib::Request& req) const;
  void handleSignInConfirm(const httplib::Request& req, httplib::Response& res);
  void handleSignInCollect(const httplib::Request& req, httplib::Response& res);
  // Unix seconds on the clock of tokens and sign-ins (--clock-offset applied).
  std::int64_t now() const;

  // All fields are set before run() and read-only afterwards, except where
  // the type synchronises itself (StateStore, TokenAuthority, SignInDesk,
  // FaultPlan).
  const Options options_;
  std::unique_ptr<StateStore> state_;
  UrlSigner signer_;
  std::unique_ptr<ObjectStore> store_;
  const StorageTree* tree_ = nullptr;  // the local folder's, inside store_; none for a bucket
  TokenAuthority tokens_;
  SignInDesk signIn_;
  FaultPlan faults_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
};

}  // namespace lumora::devservice
