#include "host/core/onboarding/OnboardingModel.h"

#include <thread>

#include "host/core/connect/CliToken.h"

namespace lumora::host {

OnboardingModel::OnboardingModel(QObject* parent) : OnboardingModel(HostEnvironment{}, parent) {}

OnboardingModel::OnboardingModel(HostEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

bool OnboardingModel::hasToken() const {
  return !readCliToken(environment_.runner.home()).empty();
}

void OnboardingModel::signIn() {
  setPhase(Phase::waiting);
  // "login" may wait for the browser for minutes: a thread of its own keeps
  // it off the shared pool. Its outcome is not read; the watch decides.
  std::thread([runner = environment_.runner] { runner.runCLI({"login"}); }).detach();
  watch(kTokenTests);
}

void OnboardingModel::watch(int testsLeft) {
  if (hasToken()) {
    // Also on the final test: a token that arrived during the last pause
    // counts, rather than leaving the flow stuck in `waiting`.
    setPhase(Phase::done);
    return;
  }
  if (testsLeft <= 1) {
    setPhase(Phase::welcome);
    return;
  }
  environment_.timing.pause(this, kPause, [this, testsLeft] { watch(testsLeft - 1); });
}

void OnboardingModel::setPhase(Phase phase) {
  if (phase_ == phase) return;
  phase_ = phase;
  emit phaseChanged(phase);
}

}  // namespace lumora::host
