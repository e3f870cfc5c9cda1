#include "host/core/connect/SidebarBookmark.h"

#include <QUrl>

#include <sstream>

#include "platform/foundation/Paths.h"
#include "platform/foundation/TextFile.h"

namespace lumora::host {

namespace fs = std::filesystem;

fs::path gtkBookmarksFile() {
  return paths::configHome() / "gtk-3.0" / "bookmarks";
}

Result<bool> addSidebarBookmark(const fs::path& bookmarks, const fs::path& folder,
                                const std::string& label) {
  const std::string uri =
      QUrl::fromLocalFile(QString::fromStdString(folder.string())).toEncoded().toStdString();
  // A bookmarks file kept as a link (a dotfiles folder) stays a link.
  std::error_code ec;
  fs::path target = bookmarks;
  if (fs::is_symlink(bookmarks, ec)) {
    if (fs::path resolved = fs::weakly_canonical(bookmarks, ec); !ec) target = resolved;
  }
  std::string text;
  if (fs::exists(target, ec)) {
    auto read = readUtf8File(target);
    if (!read) return std::unexpected(read.error());
    text = std::move(*read);
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // "URI" or "URI label"
    if (line.substr(0, line.find(' ')) == uri) return false;
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += uri + ' ' + label + '\n';
  fs::create_directories(target.parent_path(), ec);
  if (auto written = writeFileAtomically(target, text, 0644); !written) {
    return std::unexpected(written.error());
  }
  return true;
}

}  // namespace lumora::host
