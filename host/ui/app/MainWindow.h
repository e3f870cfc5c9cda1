#pragma once
// The one window: 460 wide, as high as its content. It shows the onboarding
// screen until the user is signed in, then the control plane over the status
// bar. The first time it is shown it runs the start-up check.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "host/ui/app/StatusBar.h"
#include "host/ui/controlplane/ControlPlaneView.h"
#include "host/ui/onboarding/OnboardingView.h"

namespace lumora::host {
class LumoraHostApp;
}

namespace lumora::ui {

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 460;
  using ControlPlaneFactory = std::function<std::unique_ptr<ControlPlaneView>()>;

  // `makeControlPlane` builds the control plane when the user is signed in;
  // by default one with this machine's tools and name.
  explicit MainWindow(host::LumoraHostApp& app, ControlPlaneFactory makeControlPlane = {},
                      QWidget* parent = nullptr);
  ~MainWindow() override;

  OnboardingView* onboardingView() const { return onboarding_; }
  ControlPlaneView* controlPlane() const { return controlPlane_; }
  StatusBar* statusBar() const { return statusBar_; }
  // Whether the start-up check has run.
  bool startupRan() const { return startupRan_; }

  // Brings the window to the front (a second launch asked for it).
  void bringToFront();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void render();
  void showSignedIn();

  host::LumoraHostApp& app_;
  ControlPlaneFactory makeControlPlane_;
  QPointer<QWidget> content_;  // the layout shown now
  QPointer<OnboardingView> onboarding_;
  QPointer<ControlPlaneView> controlPlane_;
  QPointer<StatusBar> statusBar_;
  bool startupScheduled_ = false;  // the first show schedules the check
  bool startupRan_ = false;
};

}  // namespace lumora::ui
