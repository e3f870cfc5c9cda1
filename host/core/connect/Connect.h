#pragma once
// The connection sequence: hand the tool's token to the extension (shared
// defaults and a file in the app-group container), keep the app a login
// item, remove and add the File Provider domain, signal its working set, and
// report the outcome as a status text and in the status file. Once the domain
// is added, its folder gets an entry in the file manager's sidebar.

#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/fileprovider/DomainManager.h"
#include "platform/servicemanagement/LoginItem.h"

namespace lumora::host {

inline const QString kStatusStarting = QStringLiteral("starting…");
inline const QString kStatusNoToken =
    QStringLiteral("No CLI token — run `lumora login` first, then relaunch.");
inline const QString kStatusConnected =
    QStringLiteral("Connected — Lumora is available in Finder.");
inline const QString kStatusRegistrationFailed = QStringLiteral("Domain registration failed: ");

// Green dot: the status begins with "Connected".
bool isConnectedStatus(const QString& status);

struct ConnectSettings {
  std::filesystem::path home;
  // The shared defaults file; none when the suite cannot be opened.
  std::optional<std::filesystem::path> defaultsFile;
  // The app-group container; none when the platform has none.
  std::function<std::optional<std::filesystem::path>()> container;
  std::shared_ptr<servicemanagement::LoginItem> loginItem;  // none: skipped
  fileprovider::DomainManager* domains = nullptr;           // none: adding fails, as below
  std::filesystem::path statusFile = "/tmp/lumora-host-status.txt";
  // The GTK bookmarks file that gets a sidebar entry for the mounted domain
  // (home + display name) once it is added; none: no entry.
  std::optional<std::filesystem::path> bookmarksFile;

  // This machine's locations: the current home, the app group's suite and
  // container, the XDG autostart entry, and the given domain manager.
  static ConnectSettings standard(fileprovider::DomainManager* domains);
};

// Runs the sequence on `context`'s thread (the GUI thread). Every call into
// the domain manager that may wait runs off that thread; the steps resume
// there through queued calls. `setStatus` is
// called once with the outcome, before the status file is written;
// `finished` at the end. Neither is called once `context` is gone.
void runConnect(QObject* context, ConnectSettings settings,
                std::function<void(const QString&)> setStatus, std::function<void()> finished);

}  // namespace lumora::host
