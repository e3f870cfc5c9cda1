// lumora-devservice: the stand-in for the service's HTTPS API over a local
// folder or a bucket, and its operator's commands (adduser, revoke). See --help.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/DevService.h"

using namespace lumora::devservice;

namespace {

// lumora-devservice adduser FILE NAME, the password on standard input.
int addUserCommand(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fputs("usage: lumora-devservice adduser FILE NAME (password on standard input)\n", stderr);
    return 2;
  }
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (auto added = addUser(args[0], args[1], password); !added) {
    std::fprintf(stderr, "lumora-devservice: %s\n", added.error().description.c_str());
    return added.error().domain == "usage" ? 2 : 1;
  }
  return 0;
}

// lumora-devservice revoke TOKEN-ID|TOKEN|--user NAME [--secret-file F | --state DIR]
int revokeCommand(const std::vector<std::string>& args) {
  std::vector<std::string> rest = {"--root", "/"};  // the options parser wants some storage
  std::string what;
  bool user = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--user" && i + 1 < args.size()) {
      what = args[++i];
      user = true;
    } else if ((args[i] == "--secret-file" || args[i] == "--state") && i + 1 < args.size()) {
      rest.push_back(args[i]);
      rest.push_back(args[++i]);
    } else if (what.empty() && !args[i].starts_with("--")) {
      what = args[i];
    } else {
      what.clear();
      break;
    }
  }
  auto options = parseOptions(rest);
  if (what.empty() || !options) {
    std::fputs(
        "usage: lumora-devservice revoke TOKEN-ID|TOKEN|--user NAME"
        " [--secret-file FILE | --state DIR]\n",
        stderr);
    return 2;
  }
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  if (auto done = revoke(revocationFile(*options), what, user, now); !done) {
    std::fprintf(stderr, "lumora-devservice: %s\n", done.error().description.c_str());
    return done.error().domain == "usage" ? 2 : 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "adduser") {
    return addUserCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc > 1 && std::string(argv[1]) == "revoke") {
    return revokeCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
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
    // The operator's own token, for tools and tests that need no sign-in.
    auto token = (*service)->issueToken("operator");
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
