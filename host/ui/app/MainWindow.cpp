#include "host/ui/app/MainWindow.h"

#include <QTimer>
#include <QVBoxLayout>

#include "host/core/LumoraHostApp.h"
#include "host/ui/app/StatusBar.h"
#include "host/ui/controlplane/ControlPlaneView.h"
#include "host/ui/onboarding/OnboardingView.h"
#include "host/ui/widgets/Icons.h"
#include "host/ui/widgets/Shapes.h"

namespace lumora::ui {

MainWindow::MainWindow(host::LumoraHostApp& app, ControlPlaneFactory makeControlPlane,
                       QWidget* parent)
    : QWidget(parent), app_(app), makeControlPlane_(std::move(makeControlPlane)) {
  setObjectName(QStringLiteral("MainWindow"));
  setWindowTitle(QStringLiteral("Lumora"));
  setWindowIcon(appIcon());
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  // The window takes its content's size: 460 wide, as high as the screen shown.
  root->setSizeConstraint(QLayout::SetFixedSize);
  render();
  QObject::connect(&app_, &host::LumoraHostApp::signedInChanged, this, &MainWindow::render);
}

MainWindow::~MainWindow() = default;

void MainWindow::render() {
  const bool signedIn = app_.signedIn();
  if (content_ && (signedIn == (controlPlane_ != nullptr))) return;
  if (content_) {
    layout()->removeWidget(content_);
    content_->hide();
    // Deleted later: the change may come from a button of the old screen.
    content_->deleteLater();
    content_ = nullptr;
  }
  if (signedIn) {
    showSignedIn();
    return;
  }
  onboarding_ = new OnboardingView(
      *app_.onboarding(), [this] { app_.onReady(); }, this);
  content_ = onboarding_;
  layout()->addWidget(content_);
}

void MainWindow::showSignedIn() {
  auto* layoutWidget = new QWidget(this);
  layoutWidget->setObjectName(QStringLiteral("signedInLayout"));
  layoutWidget->setFixedWidth(kWidth);
  auto* column = new QVBoxLayout(layoutWidget);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  std::unique_ptr<ControlPlaneView> made =
      makeControlPlane_ ? makeControlPlane_() : std::make_unique<ControlPlaneView>();
  controlPlane_ = made.release();
  controlPlane_->setParent(layoutWidget);
  column->addWidget(controlPlane_, 0, Qt::AlignHCenter);
  column->addWidget(new Divider(layoutWidget));
  statusBar_ = new StatusBar(app_, layoutWidget);
  statusBar_->setFixedWidth(kWidth);
  column->addWidget(statusBar_);
  content_ = layoutWidget;
  layout()->addWidget(content_);
  content_->show();
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (startupScheduled_) return;
  startupScheduled_ = true;
  // After the first frame: the welcome screen shows at once, even for a user
  // who turns out to be signed in.
  QTimer::singleShot(0, this, [this] {
    app_.startup();
    startupRan_ = true;
  });
}

void MainWindow::bringToFront() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

}  // namespace lumora::ui
