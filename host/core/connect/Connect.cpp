#include "host/core/connect/Connect.h"

#include <QPointer>

#include "host/core/connect/CliToken.h"
#include "host/core/connect/SidebarBookmark.h"
#include "host/core/system/GuiThread.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SharedDefaults.h"
#include "platform/foundation/TextFile.h"
#include "shared/Identifiers.h"

namespace lumora::host {

namespace fp = fileprovider;

bool isConnectedStatus(const QString& status) {
  return status.startsWith(QLatin1String("Connected"));
}

ConnectSettings ConnectSettings::standard(fp::DomainManager* domains) {
  ConnectSettings settings;
  settings.home = paths::homeDirectory();
  settings.defaultsFile = paths::sharedDefaultsFile(shared::kAppGroup);
  settings.container = [] { return paths::appGroupContainer(shared::kAppGroup); };
  settings.loginItem = std::make_shared<servicemanagement::XdgAutostartLoginItem>(
      servicemanagement::XdgAutostartLoginItem::mainApp());
  settings.domains = domains;
  settings.bookmarksFile = gtkBookmarksFile();
  return settings;
}

namespace {

// One run of the sequence past the hand-off. It lives on the GUI thread
// until its last step and deletes itself then; the domain manager's
// completions, from any thread, reach it only through queued calls.
class ConnectRun : public QObject {
 public:
  ConnectRun(QObject* context, ConnectSettings settings,
             std::function<void(const QString&)> setStatus, std::function<void()> finished)
      : context_(context),
        settings_(std::move(settings)),
        setStatus_(std::move(setStatus)),
        finished_(std::move(finished)) {
    moveToThread(context->thread());
  }

  void start() {
    if (settings_.domains == nullptr) {
      report(kStatusRegistrationFailed +
             QStringLiteral("No File Provider domain manager is available."));
      return;
    }
    settings_.domains->removeDomain(domain_, resumeWith([this](std::optional<Error>) {
                                      // A failed removal is no reason not to add.
                                      add();
                                    }));
  }

 private:
  // A completion that hands its error to `step` on the GUI thread; once the
  // context is gone the run ends there instead.
  template <class Step>
  fp::ErrorCompletion resumeWith(Step step) {
    return onGuiThread(this, [step](ConnectRun* run, std::optional<Error> error) {
      if (!run->context_) {
        run->deleteLater();
        return;
      }
      step(error);
    });
  }

  void add() {
    settings_.domains->addDomain(
        domain_, resumeWith([this](std::optional<Error> error) {
          if (error) {
            report(error->domain == kFileProviderErrorDomain
                       ? kStatusConnected
                       : kStatusRegistrationFailed + QString::fromStdString(error->description));
            return;
          }
          bookmark();
          signal();
        }));
  }

  void bookmark() {
    if (!settings_.bookmarksFile) return;
    // A failure costs only the sidebar entry; the folder is there all the same.
    (void)addSidebarBookmark(*settings_.bookmarksFile, settings_.home / domain_.displayName,
                             domain_.displayName);
  }

  // Asking for the domain's manager may wait for the daemon: a background
  // task asks, and the run resumes on the GUI thread with the answer.
  void signal() {
    inBackground(
        this,
        [domains = settings_.domains, domain = domain_] {
          return std::shared_ptr<fp::DomainHandle>(domains->managerForDomain(domain));
        },
        [](ConnectRun* run, std::shared_ptr<fp::DomainHandle> handle) {
          if (!run->context_) {
            run->deleteLater();
            return;
          }
          run->handle_ = std::move(handle);
          if (!run->handle_) {
            run->report(kStatusConnected);
            return;
          }
          run->handle_->signalEnumerator(
              fp::kWorkingSetContainerItemIdentifier,
              run->resumeWith([run](std::optional<Error>) { run->report(kStatusConnected); }));
        });
  }

  void report(const QString& status) {
    if (context_) {
      setStatus_(status);
      (void)writeFileAtomically(settings_.statusFile, status.toStdString(), 0644);
      finished_();
    }
    deleteLater();
  }

  QPointer<QObject> context_;  // GUI thread only
  ConnectSettings settings_;
  std::function<void(const QString&)> setStatus_;
  std::function<void()> finished_;
  fp::Domain domain_{shared::kDomainIdentifier, shared::kDomainDisplayName};
  std::shared_ptr<fp::DomainHandle> handle_;  // GUI thread only
};

// Both copies of the token, before the domain is touched. Every failure
// here is ignored: the extension simply finds no token.
void handOff(const ConnectSettings& settings, const std::string& token) {
  if (settings.defaultsFile) {
    (void)SharedDefaults(*settings.defaultsFile).setString(shared::kAccessTokenDefaultsKey, token);
  }
  if (auto container = settings.container ? settings.container() : std::nullopt) {
    std::error_code ec;
    std::filesystem::create_directories(*container, ec);
    (void)writeFileAtomically(*container / shared::kTokenFileName, token, 0600);
  }
  if (settings.loginItem &&
      settings.loginItem->status() != servicemanagement::LoginItemStatus::enabled) {
    (void)settings.loginItem->registerItem();
  }
}

}  // namespace

void runConnect(QObject* context, ConnectSettings settings,
                std::function<void(const QString&)> setStatus, std::function<void()> finished) {
  const std::string token = readCliToken(settings.home);
  if (token.empty()) {
    setStatus(kStatusNoToken);
    finished();
    return;
  }
  handOff(settings, token);
  auto* run =
      new ConnectRun(context, std::move(settings), std::move(setStatus), std::move(finished));
  run->start();
}

}  // namespace lumora::host
