#pragma once
// The "Lumora" entry in the file manager's sidebar: a line in the GTK
// bookmarks file ($XDG_CONFIG_HOME/gtk-3.0/bookmarks), which GTK file
// managers and file choosers read.

#include <filesystem>
#include <string>

#include "platform/foundation/Error.h"

namespace lumora::host {

// $XDG_CONFIG_HOME/gtk-3.0/bookmarks
std::filesystem::path gtkBookmarksFile();

// Adds "file://<folder> <label>" at the end of `bookmarks` unless a line
// already names `folder` (whatever its label: the user may have renamed it).
// True when a line was added. A file that cannot be read as text is left
// alone and reported, so that none of the user's bookmarks is lost.
Result<bool> addSidebarBookmark(const std::filesystem::path& bookmarks,
                                const std::filesystem::path& folder, const std::string& label);

}  // namespace lumora::host
