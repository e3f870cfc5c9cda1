#include "platform/servicemanagement/ServiceManager.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/ProcessRunner.h"

namespace lumora::servicemanagement {

namespace {

std::string systemdDirectory(std::string_view /*home*/) {
  // The user manager reads units from $XDG_CONFIG_HOME/systemd/user/.
  return (paths::configHome() / "systemd" / "user").string() + "/";
}

std::string systemdSwitch(bool on, std::string_view label, std::string_view /*home*/) {
  return std::string("systemctl --user ") + (on ? "start " : "stop ") +
         shellQuote(std::string(label) + ".service") + " 2>/dev/null";
}

std::string launchAgentsDirectory(std::string_view home) {
  return std::string(home) + "/Library/LaunchAgents/";
}

std::string launchctlSwitch(bool on, std::string_view label, std::string_view home) {
  return std::string("launchctl ") + (on ? "load " : "unload ") +
         shellQuote(launchAgentsDirectory(home) + std::string(label) + ".plist") + " 2>/dev/null";
}

}  // namespace

const ServiceManagerTable& systemdServiceManager() {
  static const ServiceManagerTable table{
      "systemctl --user list-units --type=service --state=active --plain --no-legend 2>/dev/null",
      &systemdDirectory, ".service", &systemdSwitch};
  return table;
}

const ServiceManagerTable& launchctlServiceManager() {
  static const ServiceManagerTable table{"launchctl list 2>/dev/null", &launchAgentsDirectory,
                                         ".plist", &launchctlSwitch};
  return table;
}

const ServiceManagerTable& currentServiceManager() {
#ifdef __APPLE__
  return launchctlServiceManager();
#else
  return systemdServiceManager();
#endif
}

std::string agentFile(const ServiceManagerTable& table, std::string_view home,
                      std::string_view label) {
  return table.agentDirectory(home) + std::string(label) + table.agentSuffix;
}

}  // namespace lumora::servicemanagement
