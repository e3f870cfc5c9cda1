#pragma once
// The command lines that list, start and stop the product's background agents
// through the user's service manager: systemd's user manager on Linux,
// launchctl on macOS. Both tables are always built so both can be tested;
// `currentServiceManager()` picks the one of the platform being built for.

#include <filesystem>
#include <string>
#include <string_view>

namespace lumora::servicemanagement {

struct ServiceManagerTable {
  // Shell text whose standard output lists the loaded jobs by label.
  std::string listCommand;
  // Folder of the agents' definition files for a given home path, ending in
  // "/", and the file name suffix of one agent (label + suffix).
  std::string (*agentDirectory)(std::string_view home);
  std::string agentSuffix;
  // Shell text that loads (on) or unloads (off) the agent `label`. Every
  // variable word is quoted for the shell.
  std::string (*switchCommand)(bool on, std::string_view label, std::string_view home);
};

const ServiceManagerTable& systemdServiceManager();
const ServiceManagerTable& launchctlServiceManager();
const ServiceManagerTable& currentServiceManager();

// Path of the agent `label`'s definition file under `home`.
std::string agentFile(const ServiceManagerTable& table, std::string_view home,
                      std::string_view label);

}  // namespace lumora::servicemanagement
