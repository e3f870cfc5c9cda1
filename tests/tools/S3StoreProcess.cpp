#include "tests/tools/S3StoreProcess.h"

#include <httplib.h>
#include <signal.h>

#include <regex>

#include "tools/devservice/SigV4.h"

namespace lumora::testing {

std::string s3StorePackageFolder() {
  return LUMORA_S3STORE_DIR;
}

std::string encodeStorePath(const std::string& key) {
  return devservice::awsUriEncode(key, true);
}

S3StoreProcess::S3StoreProcess() {
  // s3rver's continuation tokens use DES, which OpenSSL 3 keeps in its
  // legacy provider.
  child_ = std::make_unique<Child>(std::vector<std::string>{
      "node", "--openssl-legacy-provider",
      s3StorePackageFolder() + "/node_modules/s3rver/bin/s3rver.js", "-d", data_.path().string(),
      "-a", "127.0.0.1", "-p", "0", "-s", "--configure-bucket", kBucket});
  const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
  for (int lines = 0; lines < 20; ++lines) {
    auto line = child_->readLine(std::chrono::seconds(20));
    if (!line) break;
    std::smatch m;
    if (std::regex_search(*line, m, listening)) {
      port_ = std::stoi(m[1]);
      break;
    }
  }
}

S3StoreProcess::~S3StoreProcess() {
  child_->signal(SIGTERM);
  child_->wait(std::chrono::seconds(10));
}

bool S3StoreProcess::put(const std::string& storeKey, const std::string& body) const {
  httplib::Client client("127.0.0.1", port_);
  auto res = client.Put("/" + std::string(kBucket) + "/" + encodeStorePath(storeKey), body,
                        "application/octet-stream");
  return res && res->status == 200;
}

ServiceStorage S3StoreProcess::storage(std::vector<std::string> extra) const {
  ServiceStorage s{{"--s3-endpoint", endpoint(), "--bucket", kBucket, "--key-prefix", kKeyPrefix},
                   {"AWS_ACCESS_KEY_ID=S3RVER", "AWS_SECRET_ACCESS_KEY=S3RVER"}};
  s.options.insert(s.options.end(), extra.begin(), extra.end());
  return s;
}

}  // namespace lumora::testing
