#pragma once
// The host application's state, shared by all its windows: the status line,
// the onboarding flow and whether the user is signed in. Touched only on the
// GUI thread.

#include <QObject>
#include <QString>

#include "host/core/connect/Connect.h"
#include "host/core/onboarding/OnboardingModel.h"
#include "host/core/system/HostEnvironment.h"

namespace lumora::host {

class LumoraHostApp : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString status READ status NOTIFY statusChanged)
  Q_PROPERTY(bool signedIn READ signedIn NOTIFY signedInChanged)
  Q_PROPERTY(lumora::host::OnboardingModel* onboarding READ onboarding CONSTANT)

 public:
  // This machine's services; `domains` may be null (no domain manager).
  explicit LumoraHostApp(fileprovider::DomainManager* domains, QObject* parent = nullptr);
  LumoraHostApp(HostEnvironment environment, ConnectSettings settings, QObject* parent = nullptr);

  const QString& status() const { return status_; }
  bool signedIn() const { return signedIn_; }
  OnboardingModel* onboarding() { return &onboarding_; }

  // True when the status dot is green.
  bool statusIsConnected() const { return isConnectedStatus(status_); }

  // The connection sequence; returns at once, `status` changes when it ends
  // and `connectFinished` follows. Hides QObject::connect on purpose.
  void connect();
  // The start-up task: when a token is present, signs in and connects.
  void startup();
  // The sign-in completion handler: signs in and starts a connection.
  void onReady();

 signals:
  void statusChanged(const QString& status);
  void signedInChanged(bool signedIn);
  void connectFinished();

 private:
  void setStatus(const QString& status);
  void setSignedIn();

  ConnectSettings settings_;          // fixed at construction
  QString status_ = kStatusStarting;  // GUI thread only
  OnboardingModel onboarding_;        // GUI thread only
  bool signedIn_ = false;             // GUI thread only
};

}  // namespace lumora::host
