// lumora-desktop: the host application's one window.

#include <QApplication>

#include "host/core/LumoraHostApp.h"
#include "host/ui/app/DomainManagerFactory.h"
#include "host/ui/app/MainWindow.h"
#include "host/ui/app/SingleInstance.h"
#include "host/ui/widgets/Icons.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("lumora-desktop"));
  QApplication::setApplicationDisplayName(QStringLiteral("Lumora"));
  QApplication::setOrganizationDomain(QStringLiteral("lumora.com"));
  QApplication::setDesktopFileName(QStringLiteral("com.lumora.desktop"));
  QApplication::setWindowIcon(lumora::ui::appIcon());

  // One instance per user, so that connecting never runs twice by accident.
  lumora::ui::SingleInstance instance(lumora::ui::SingleInstance::defaultSocketPath());
  if (instance.start() == lumora::ui::SingleInstance::Role::Secondary) return 0;

  // Shut-down order: the window, then the app state, then the domain manager.
  std::unique_ptr<lumora::fileprovider::DomainManager> domains = lumora::ui::makeDomainManager();
  lumora::host::LumoraHostApp app(domains.get());
  lumora::ui::MainWindow window(app);
  QObject::connect(&instance, &lumora::ui::SingleInstance::activationRequested, &window,
                   &lumora::ui::MainWindow::bringToFront);
  window.show();
  return QApplication::exec();
}
