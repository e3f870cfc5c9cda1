// The daemon for the domain manager's tests: the real program, except that
// the service's address comes from LUMORA_TEST_API_BASE, since a test's
// local server has no fixed address to build in.

#include <cstdlib>

#include "extension/provider/FileProviderExtension.h"
#include "platform/fileprovider/linux/Daemon.h"
#include "platform/foundation/Paths.h"
#include "shared/Identifiers.h"

int main(int argc, char** argv) {
  return lumora::fuse::daemonMain(
      argc, argv,
      [](const lumora::fileprovider::Domain& domain, const std::filesystem::path& downloads)
          -> std::unique_ptr<lumora::fileprovider::ReplicatedExtension> {
        const char* base = std::getenv("LUMORA_TEST_API_BASE");
        if (!base) return nullptr;
        auto backend = std::make_shared<const lumora::backend::LumoraBackend>(
            domain, base, lumora::paths::appGroupContainer(lumora::shared::kAppGroup),
            lumora::paths::sharedDefaultsFile(lumora::shared::kAppGroup), nullptr, downloads);
        return std::make_unique<lumora::provider::FileProviderExtension>(domain, backend);
      });
}
