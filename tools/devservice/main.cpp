// lumora-devservice: the stand-in for the service's HTTPS API over a local
// folder. See --help.

#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/DevService.h"

using namespace lumora::devservice;

int main(int argc, char** argv) {
  auto options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "lumora-devservice: %s\n\n%s", options.error().description.c_str(),
                 usageText());
    return 2;
  }
  if (options->help) {
    std::fputs(usageText(), stdout);
    return 0;
  }
  // Block the stop signals before any thread starts; one thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto service = DevService::create(*options);
  if (!service) {
    std::fprintf(stderr, "lumora-devservice: %s\n", service.error().description.c_str());
    return 1;
  }
  if (options->issueTokenFile) {
    auto token = (*service)->state().issueToken();
    if (!token) {
      std::fprintf(stderr, "lumora-devservice: %s\n", token.error().description.c_str());
      return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(options->issueTokenFile->parent_path(), ec);
    if (auto written = lumora::writeFileAtomically(*options->issueTokenFile, *token + "\n", 0600);
        !written) {
      std::fprintf(stderr, "lumora-devservice: %s\n", written.error().description.c_str());
      return 1;
    }
  }
  if (auto port = (*service)->bind(); !port) {
    std::fprintf(stderr, "lumora-devservice: %s\n", port.error().description.c_str());
    return 1;
  }
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    (*service)->stop();
  });
  if (options->tls) {
    std::fprintf(stderr, "lumora-devservice: certificate %s\n", (*service)->certFile().c_str());
  }
  std::printf("%s\n", (*service)->baseUrl().c_str());
  std::fflush(stdout);
  (*service)->run();
  // run() also returns when listening fails; wake the stopper then. SIGTERM
  // is blocked in every thread and only taken by the stopper's sigwait, so
  // it ends no thread.
  // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread,cert-pos44-c)
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return 0;
}
