#pragma once
// The sign-in flow: starts the tool's "login" and watches the tool's token
// file, 151 tests 2 s apart. Touched only on the GUI thread.

#include <QObject>

#include "host/core/system/HostEnvironment.h"

namespace lumora::host {

class OnboardingModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)

 public:
  enum class Phase { welcome, waiting, done };
  Q_ENUM(Phase)

  // Tests of the token file in one watch, and the pause between two.
  static constexpr int kTokenTests = 151;
  static constexpr std::chrono::nanoseconds kPause = std::chrono::seconds(2);

  explicit OnboardingModel(QObject* parent = nullptr);
  explicit OnboardingModel(HostEnvironment environment, QObject* parent = nullptr);

  Phase phase() const { return phase_; }

  // Whether home + "/.lumora/auth/token" holds UTF-8 text that is not blank.
  Q_INVOKABLE bool hasToken() const;
  // Moves to `waiting`, starts the tool's "login" on a thread of its own and
  // watches for the token: `done` when it is found, `welcome` when the last
  // test finds none.
  Q_INVOKABLE void signIn();

 signals:
  void phaseChanged(lumora::host::OnboardingModel::Phase phase);

 private:
  void setPhase(Phase phase);
  void watch(int testsLeft);

  HostEnvironment environment_;   // fixed at construction
  Phase phase_ = Phase::welcome;  // GUI thread only
};

}  // namespace lumora::host
