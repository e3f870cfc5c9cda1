#pragma once
// The machine's name as the user knows it.

#include <filesystem>
#include <optional>
#include <string>

namespace lumora {

// PRETTY_HOSTNAME from `machineInfo` (systemd's /etc/machine-info) when it is
// set and not empty, else the kernel's host name; none when neither gives a
// name.
std::optional<std::string> localizedHostName(
    const std::filesystem::path& machineInfo = "/etc/machine-info");

}  // namespace lumora
