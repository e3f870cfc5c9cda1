#include "host/ui/app/SingleInstance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include "platform/foundation/Paths.h"

namespace lumora::ui {

namespace {
const QByteArray kActivate = "activate\n";
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)), lock_(socketPath_ + ".lock") {
  // A lock left by a crashed instance is taken over at once (QLockFile checks
  // that its owner process is gone); a live owner's lock never goes stale.
  lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
}

QString SingleInstance::defaultSocketPath() {
  QString folder;
  if (auto runtime = paths::runtimeDir()) {
    folder = QString::fromStdString((*runtime / "lumora").string());
  } else {
    folder = QDir::tempPath() + QStringLiteral("/lumora-%1").arg(::getuid());
  }
  QDir().mkpath(folder);
  QFile::setPermissions(folder,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  return folder + QStringLiteral("/desktop.sock");
}

SingleInstance::Role SingleInstance::start(int connectTimeoutMs) {
  if (lock_.tryLock(0)) {
    // We hold the lock, so any socket file left there is stale.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, this,
                     &SingleInstance::onNewConnection);
    if (!server_->listen(socketPath_)) {
      server_.reset();
      return Role::Failed;
    }
    return Role::Primary;
  }
  if (lock_.error() != QLockFile::LockFailedError) return Role::Failed;
  return notifyRunning(connectTimeoutMs) ? Role::Secondary : Role::Failed;
}

bool SingleInstance::notifyRunning(int timeoutMs) {
  // The running instance may hold the lock a moment before it listens.
  const QDeadlineTimer deadline(timeoutMs);
  while (true) {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)))) {
      socket.write(kActivate);
      const bool written = socket.waitForBytesWritten(1000);
      socket.disconnectFromServer();
      return written;
    }
    if (deadline.hasExpired()) return false;
    QThread::msleep(20);
  }
}

void SingleInstance::onNewConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (socket->readAll().contains(kActivate.trimmed())) emit activationRequested();
    });
  }
}

}  // namespace lumora::ui
