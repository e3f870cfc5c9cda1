#include "host/core/connect/CliToken.h"

#include "platform/foundation/TextFile.h"

namespace lumora::host {

std::filesystem::path cliTokenFile(const std::filesystem::path& home) {
  return home / ".lumora" / "auth" / "token";
}

std::string readCliToken(const std::filesystem::path& home) {
  auto text = readUtf8File(cliTokenFile(home));
  if (!text) return {};
  return trimUnicodeWhitespace(*text);
}

}  // namespace lumora::host
