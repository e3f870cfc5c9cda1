#pragma once
// The user's service manager (systemd's user instance), as the domain
// manager uses it to run a domain's daemon as an instance of the
// lumora-fileprovider@.service template: mounted at every login, started
// again after a crash, logged to the journal.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace lumora::fileprovider {

inline constexpr const char* kDaemonUnitTemplate = "lumora-fileprovider@.service";

struct UnitState {
  std::string active;  // ActiveState: "active" once the daemon said READY
  std::string sub;     // SubState: "auto-restart" after a failed start
  std::string status;  // StatusText: the daemon's own last word
};

class UserUnits {
 public:
  virtual ~UserUnits() = default;
  // Enables the unit (wanted by default.target) and queues its start.
  virtual std::optional<Error> enableAndStart(const std::string& unit) = 0;
  // Stops the unit and disables it; a unit never enabled is no error.
  virtual std::optional<Error> stopAndDisable(const std::string& unit) = 0;
  virtual UnitState state(const std::string& unit) = 0;
};

// The user manager on the user bus (sd-bus), when one answers and knows the
// daemon's unit template; otherwise none, and the domain manager runs the
// daemon itself (containers, minimal sessions, a build tree).
std::shared_ptr<UserUnits> systemdUserUnits();

// The instance for a domain: its identifier escaped as systemd-escape does.
std::string daemonUnitFor(const std::string& domainIdentifier);

}  // namespace lumora::fileprovider
