#include "platform/fileprovider/ContentTypes.h"

#include <gio/gio.h>

#include <memory>

namespace lumora::fileprovider {

namespace {

struct GFreeDeleter {
  void operator()(gchar* text) const { g_free(text); }
};
using GString = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace

bool conformsToData(const std::string& mimeType) {
  if (mimeType.empty() || mimeType.starts_with("inode/")) return false;
  // The shared MIME database makes every type outside inode/ a subclass of
  // application/octet-stream; asking GIO keeps us true to that rule.
  return g_content_type_is_a(mimeType.c_str(), kDataContentType) != FALSE;
}

std::optional<std::string> contentTypeForFilenameExtension(std::string_view extension) {
  // Only the extension decides: a whole name such as "Makefile" or
  // "README" would match the database's name globs, which the extension rule
  // must not see. A "/" or NUL would turn the probe into a path.
  if (extension.empty() || extension.find_first_of(std::string_view("/\0", 2)) != extension.npos)
    return std::nullopt;
  const std::string probe = "file." + std::string(extension);
  gboolean uncertain = FALSE;
  GString type(g_content_type_guess(probe.c_str(), nullptr, 0, &uncertain));
  if (!type) return std::nullopt;
  GString mime(g_content_type_get_mime_type(type.get()));
  if (!mime) return std::nullopt;
  std::string result(mime.get());
  // An uncertain guess of a known type (".html" matches several globs) is
  // still the database's answer; an uncertain generic type means "unknown".
  if (uncertain && result == kDataContentType) return std::nullopt;
  if (!conformsToData(result)) return std::nullopt;
  return result;
}

std::string_view pathExtension(std::string_view filename) {
  const auto dot = filename.rfind('.');
  if (dot == filename.npos) return {};
  return filename.substr(dot + 1);
}

}  // namespace lumora::fileprovider
