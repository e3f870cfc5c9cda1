#pragma once
// A real S3-compatible store for the bucket tests: s3rver (from the npm
// registry, installed by scripts/install-deps) as a child process on
// loopback, with one bucket, and the service options that serve it.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/fixtures/TempHome.h"
#include "tests/tools/ServiceProcess.h"
#include "tests/tools/Subprocess.h"

namespace lumora::testing {

class S3StoreProcess {
 public:
  static constexpr const char* kBucket = "lumora-test";
  static constexpr const char* kKeyPrefix = "users/u1/";

  S3StoreProcess();
  ~S3StoreProcess();

  bool ready() const { return port_ > 0; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Stores `body` under the bucket key `storeKey` (the store takes
  // unsigned writes); false when it refused.
  bool put(const std::string& storeKey, const std::string& body) const;
  // A client key "mirror/…" stored under the service's key prefix.
  bool putMirror(const std::string& clientKey, const std::string& body) const {
    return put(kKeyPrefix + clientKey.substr(7), body);
  }
  // Options and credentials that make the service serve this bucket.
  ServiceStorage storage(std::vector<std::string> extra = {}) const;

 private:
  TempDir data_;
  std::unique_ptr<Child> child_;
  int port_ = 0;
};

// The folder with the npm packages the tests run (node_modules inside).
std::string s3StorePackageFolder();
// AWS's own URI encoding of a key path ("/" kept), for building store URLs.
std::string encodeStorePath(const std::string& key);

}  // namespace lumora::testing
