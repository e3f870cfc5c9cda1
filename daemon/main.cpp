// lumora-fileprovider: the system side of the File Provider extension on
// Linux. Started by the domain manager for one domain.

#include "extension/provider/FileProviderExtension.h"
#include "platform/fileprovider/linux/Daemon.h"

int main(int argc, char** argv) {
  return lumora::fuse::daemonMain(
      argc, argv,
      [](const lumora::fileprovider::Domain& domain, const std::filesystem::path& downloads) {
        return std::make_unique<lumora::provider::FileProviderExtension>(domain, downloads);
      });
}
