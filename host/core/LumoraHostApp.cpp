#include "host/core/LumoraHostApp.h"

namespace lumora::host {

LumoraHostApp::LumoraHostApp(fileprovider::DomainManager* domains, QObject* parent)
    : LumoraHostApp(HostEnvironment{}, ConnectSettings::standard(domains), parent) {}

LumoraHostApp::LumoraHostApp(HostEnvironment environment, ConnectSettings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), onboarding_(std::move(environment), this) {}

void LumoraHostApp::connect() {
  runConnect(
      this, settings_, [this](const QString& status) { setStatus(status); },
      [this] { emit connectFinished(); });
}

void LumoraHostApp::startup() {
  if (!onboarding_.hasToken()) return;
  setSignedIn();
  connect();
}

void LumoraHostApp::onReady() {
  setSignedIn();
  QMetaObject::invokeMethod(
      this, [this] { connect(); }, Qt::QueuedConnection);
}

void LumoraHostApp::setStatus(const QString& status) {
  if (status_ == status) return;
  status_ = status;
  emit statusChanged(status_);
}

void LumoraHostApp::setSignedIn() {
  if (signedIn_) return;
  signedIn_ = true;
  emit signedInChanged(true);
}

}  // namespace lumora::host
