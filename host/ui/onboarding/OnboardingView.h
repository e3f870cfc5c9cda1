#pragma once
// The welcome screen: the diamond, the welcome texts and the block of the
// sign-in phase (a button, a spinner while waiting, a check mark when done).
// Redrawn whenever the model's phase changes.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

#include "host/core/onboarding/OnboardingModel.h"

namespace lumora::ui {

class ActionButton;
class Spinner;
class StyledLabel;

class OnboardingView : public QWidget {
  Q_OBJECT
 public:
  // `onReady` is called when sign-in is complete: the "Open Lumora" button,
  // and each time the phase becomes `done`.
  OnboardingView(host::OnboardingModel& model, std::function<void()> onReady,
                 QWidget* parent = nullptr);
  ~OnboardingView() override;

  host::OnboardingModel& model() const { return model_; }
  // The phase the view shows now.
  host::OnboardingModel::Phase shownPhase() const { return shown_; }
  QWidget* phaseBlock() const { return phaseBlock_; }

 private:
  void render();
  QWidget* makeWelcomeBlock();
  QWidget* makeWaitingBlock();
  QWidget* makeDoneBlock();

  host::OnboardingModel& model_;
  std::function<void()> onReady_;
  host::OnboardingModel::Phase shown_ = host::OnboardingModel::Phase::welcome;
  QWidget* phaseBlock_ = nullptr;  // rebuilt on every phase change
  // Replaced blocks, out of the tree and waiting for deferred deletion; the
  // ones still alive go with the view.
  std::vector<QPointer<QWidget>> retired_;
};

}  // namespace lumora::ui
