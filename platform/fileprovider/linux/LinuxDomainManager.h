#pragma once
// The domain manager on Linux: a domain is registered while its
// lumora-fileprovider daemon runs; the manager starts it, stops it and
// signals it over the daemon's control socket.

#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/fileprovider/DomainManager.h"

namespace lumora::fileprovider {

// Errors of the daemon's own (it could not mount, could not be started): not
// File Provider errors, so that the host reports them.
inline constexpr const char* kDomainDaemonErrorDomain = "LumoraDomainDaemonErrorDomain";

class LinuxDomainManager final : public DomainManager {
 public:
  // `daemonExecutable`: the daemon to start; by default lumora-fileprovider
  // beside the calling executable, else on PATH.
  explicit LinuxDomainManager(std::optional<std::filesystem::path> daemonExecutable = std::nullopt,
                              std::chrono::milliseconds stopTimeout = std::chrono::seconds(10));

  void addDomain(const Domain& domain, ErrorCompletion completion) override;
  void removeDomain(const Domain& domain, ErrorCompletion completion) override;
  std::unique_ptr<DomainHandle> managerForDomain(const Domain& domain) override;

  // Synchronous forms, on the caller's thread.
  std::optional<Error> addDomainNow(const Domain& domain) const;
  std::optional<Error> removeDomainNow(const Domain& domain) const;

  // The daemon's process id when one serves the domain.
  static std::optional<pid_t> daemonProcess(const Domain& domain);
  std::filesystem::path daemonExecutable() const;

 private:
  const std::optional<std::filesystem::path> daemonExecutable_;
  const std::chrono::milliseconds stopTimeout_;
};

}  // namespace lumora::fileprovider
