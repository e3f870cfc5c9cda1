#pragma once
// The domain manager on Linux: a domain is registered while its
// lumora-fileprovider daemon runs; the manager starts it, stops it and
// signals it over the daemon's control socket. A domain added through it is
// watched while the manager lives: a daemon that died is started again, as
// the system restarts an extension. Given the user's service manager, it
// leaves all that to it instead: the domain is an enabled instance of the
// daemon's unit, mounted at every login and restarted after a crash.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/fileprovider/DomainManager.h"
#include "platform/fileprovider/linux/control/UserUnits.h"

namespace lumora::fileprovider {

// Errors of the daemon's own (it could not mount, could not be started): not
// File Provider errors, so that the host reports them.
inline constexpr const char* kDomainDaemonErrorDomain = "LumoraDomainDaemonErrorDomain";

class LinuxDomainManager final : public DomainManager {
 public:
  // `daemonExecutable`: the daemon to start; by default lumora-fileprovider
  // beside the calling executable, else on PATH.
  // `watchInterval`: how often a watched domain's daemon is checked.
  // `startTimeout`: how long a starting daemon may take to say whether it
  // mounted; one that says nothing by then is killed, its start failed.
  // `units`: the user's service manager (systemdUserUnits()); without one
  // the manager starts and watches the daemon itself.
  explicit LinuxDomainManager(std::optional<std::filesystem::path> daemonExecutable = std::nullopt,
                              std::chrono::milliseconds stopTimeout = std::chrono::seconds(10),
                              std::chrono::milliseconds watchInterval = std::chrono::seconds(1),
                              std::chrono::milliseconds startTimeout = std::chrono::seconds(30),
                              std::shared_ptr<UserUnits> units = nullptr);
  // Ends the watch, and every start under way at once (failed).
  ~LinuxDomainManager() override;
  LinuxDomainManager(const LinuxDomainManager&) = delete;
  LinuxDomainManager& operator=(const LinuxDomainManager&) = delete;

  void addDomain(const Domain& domain, ErrorCompletion completion) override;
  void removeDomain(const Domain& domain, ErrorCompletion completion) override;
  std::unique_ptr<DomainHandle> managerForDomain(const Domain& domain) override;

  // Synchronous forms, on the caller's thread. Neither watches the domain;
  // removing it ends a watch.
  std::optional<Error> addDomainNow(const Domain& domain) const;
  std::optional<Error> removeDomainNow(const Domain& domain) const;

  // The daemon's process id when one serves the domain.
  static std::optional<pid_t> daemonProcess(const Domain& domain);
  // A daemon of this user listens for the domain, whether or not it is
  // ready to answer: busy is alive.
  static bool daemonAlive(const Domain& domain);
  std::filesystem::path daemonExecutable() const;
  // Where the domain is mounted: a dot folder that stays across logins,
  // $XDG_DATA_HOME/lumora/.mounts/<identifier>. Desktops list FUSE mounts in
  // the home folder as volumes with an eject button, but none whose path
  // holds a dot folder (wherever XDG_DATA_HOME points).
  static std::filesystem::path hiddenMountpoint(const Domain& domain);
  // Where users see it: ~/<display name>, a link to the mount point.
  static std::filesystem::path shownPath(const Domain& domain);
  // The instance's environment file: the display name, the mount point and
  // where it is shown.
  static std::filesystem::path unitEnvironmentFile(const Domain& domain);

 private:
  class Watch;
  const std::optional<std::filesystem::path> daemonExecutable_;
  const std::chrono::milliseconds stopTimeout_;
  const std::chrono::milliseconds startTimeout_;
  const std::shared_ptr<UserUnits> units_;
  std::shared_ptr<Watch> watch_;  // shared with the tasks the manager starts
};

}  // namespace lumora::fileprovider
