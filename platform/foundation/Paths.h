#pragma once
// Where things live on a Linux desktop: the home directory, the XDG base
// directories, and the app-group container shared by host and extension.

#include <filesystem>
#include <optional>
#include <string_view>

namespace lumora::paths {

// $HOME when set and absolute, otherwise the password database's entry.
std::filesystem::path homeDirectory();

// The XDG base directories, each from its variable when set to an absolute
// path, otherwise the documented default under the home directory.
std::filesystem::path dataHome();    // ~/.local/share
std::filesystem::path configHome();  // ~/.config
std::filesystem::path cacheHome();   // ~/.cache
std::filesystem::path stateHome();   // ~/.local/state
// $XDG_RUNTIME_DIR when set, otherwise none.
std::optional<std::filesystem::path> runtimeDir();

// The container directory of an app group: $XDG_DATA_HOME/<group>/, created
// with mode 0700 when missing. None when it cannot be made or is not a folder.
std::optional<std::filesystem::path> appGroupContainer(std::string_view appGroup);

// The JSON file that holds the shared defaults of an app group:
// $XDG_CONFIG_HOME/<group>/defaults.json (the folder is not created here).
std::filesystem::path sharedDefaultsFile(std::string_view appGroup);

}  // namespace lumora::paths
