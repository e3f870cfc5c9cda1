#pragma once
// One running window per user. The first launch holds a lock file and listens
// on a local socket; a later launch finds the lock taken, asks the first one
// over the socket to come to the front, and exits.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace lumora::ui {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `socketPath`: where the first instance listens; the lock file lies beside
  // it (socketPath + ".lock").
  explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
  ~SingleInstance() override;

  // The per-user socket path: $XDG_RUNTIME_DIR/lumora/desktop.sock, or a
  // folder of our own under the temporary folder without a runtime dir.
  static QString defaultSocketPath();

  enum class Role { Primary, Secondary, Failed };
  // Takes the lock and listens (Primary), or hands an activation request to the
  // running instance (Secondary). Failed when neither could be done; the
  // caller then runs on its own rather than not at all.
  Role start(int connectTimeoutMs = 2000);

  bool isListening() const { return server_ && server_->isListening(); }

 signals:
  // Another launch asked this instance to bring its window to the front.
  void activationRequested();

 private:
  bool notifyRunning(int timeoutMs);
  void onNewConnection();

  QString socketPath_;
  QLockFile lock_;
  std::unique_ptr<QLocalServer> server_;  // GUI thread only
};

}  // namespace lumora::ui
