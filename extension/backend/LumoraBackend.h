#pragma once
// The extension's one connection to the service. Immutable after
// construction; every operation is a fresh request and may run on many
// threads at once. Operations block the calling task until they finish.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/backend/Entry.h"
#include "platform/fileprovider/Progress.h"
#include "platform/fileprovider/Types.h"
#include "platform/foundation/Error.h"

namespace lumora {
class HttpSession;
}

namespace lumora::backend {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

struct ListPage {
  std::vector<Entry> entries;
  std::optional<fileprovider::Page> nextPage;
};

class LumoraBackend final {
 public:
  // The build-time API base, the app group's real container and defaults.
  explicit LumoraBackend(fileprovider::Domain domain);
  // For tests: explicit base URL, container folder (none: no container) and
  // shared defaults file; `session` null means the process-wide session.
  LumoraBackend(fileprovider::Domain domain, std::string apiBase,
                std::optional<std::filesystem::path> containerDirectory,
                std::filesystem::path defaultsFile, std::shared_ptr<HttpSession> session = nullptr);
  ~LumoraBackend();
  LumoraBackend(const LumoraBackend&) = delete;
  LumoraBackend& operator=(const LumoraBackend&) = delete;

  const std::string& apiBase() const { return apiBase_; }
  const std::string& appGroup() const { return appGroup_; }
  const fileprovider::Domain& domain() const { return domain_; }

  Result<std::string> readToken() const;
  Result<std::string> authorizedGet(std::string_view path, const QueryItems& query) const;

  Result<ListPage> list(const fileprovider::ItemIdentifier& container,
                        const fileprovider::Page& page) const;
  Result<Entry> lookupEntry(const fileprovider::ItemIdentifier& identifier) const;
  // Downloads the object into a fresh private temporary file and returns its
  // path; the caller owns the file. Completes `progress` on success only.
  Result<std::filesystem::path> download(const Entry& entry,
                                         fileprovider::Progress& progress) const;

 private:
  const std::string apiBase_;
  const std::string appGroup_;
  const std::shared_ptr<HttpSession> session_;
  const fileprovider::Domain domain_;
  // How the token is found; fixed at construction.
  const bool useRealContainer_;
  const std::optional<std::filesystem::path> containerDirectory_;
  const std::filesystem::path defaultsFile_;
};

// The parent folder key of a storage key; none for the root's children.
std::optional<std::string> parentKey(std::string_view key);

}  // namespace lumora::backend
