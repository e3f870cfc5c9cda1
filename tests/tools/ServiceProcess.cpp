#include "tests/tools/ServiceProcess.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace lumora::testing {

std::string devServiceBinary() {
  return LUMORA_DEVSERVICE_BIN;
}
std::string devCliScript() {
  return LUMORA_DEVCLI_DIR "/lumora";
}

bool addServiceUser(const std::filesystem::path& users, const std::string& name,
                    const std::string& password) {
  return runProcess({"/bin/sh", "-c", R"(printf '%s\n' "$3" | "$0" adduser "$1" "$2")",
                     devServiceBinary(), users.string(), name, password})
             .exitCode == 0;
}

httplib::Result confirmSignIn(httplib::Client& c, const std::string& session,
                              const std::string& user, const std::string& password) {
  auto page = c.Get("/signin?session=" + session);
  std::string cookie = page ? page->get_header_value("Set-Cookie") : "";
  return c.Post("/signin/confirm", {{"Cookie", cookie.substr(0, cookie.find(';'))}},
                "session=" + session + "&user=" + user + "&password=" + password,
                "application/x-www-form-urlencoded");
}

ServiceProcess::ServiceProcess(const std::filesystem::path& root, std::vector<std::string> extra,
                               bool tls)
    : ServiceProcess(ServiceStorage{{"--root", root.string()}, {}}, std::move(extra), tls) {}

ServiceProcess::ServiceProcess(const ServiceStorage& storage, std::vector<std::string> extra,
                               bool tls)
    : tls_(tls) {
  std::vector<std::string> argv = {devServiceBinary(), "--state", state_.path().string(),
                                   "--issue-token", (state_.path() / "minted").string()};
  argv.insert(argv.end(), storage.options.begin(), storage.options.end());
  if (!tls) argv.push_back("--plain");
  argv.insert(argv.end(), extra.begin(), extra.end());
  child_ = std::make_unique<Child>(argv, storage.env);
  if (auto line = child_->readLine(std::chrono::seconds(20))) url_ = *line;
  std::ifstream in(state_.path() / "minted");
  std::getline(in, token_);
}

ServiceProcess::~ServiceProcess() {
  stop();
}

ProcessResult ServiceProcess::stop() {
  if (!child_) return {};
  child_->signal(SIGTERM);
  ProcessResult result = child_->wait(std::chrono::seconds(10));
  errors_ = result.err;
  child_.reset();
  return result;
}

std::unique_ptr<httplib::Client> ServiceProcess::client() const {
  auto client = std::make_unique<httplib::Client>(url_);
  if (tls_) {
    client->set_ca_cert_path(caFile().c_str());
    client->enable_server_certificate_verification(true);
  }
  client->set_connection_timeout(5);
  client->set_read_timeout(10);
  return client;
}

httplib::Result ServiceProcess::authorizedGet(const std::string& target) const {
  return client()->Get(target, {{"Authorization", "Bearer " + token_}});
}

}  // namespace lumora::testing
