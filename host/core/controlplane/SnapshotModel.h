#pragma once
// The checkpoint card: the tool's list of checkpoints, a busy flag and a
// one-line message. Tool calls run on the shared executor and publish back
// on the GUI thread, where alone the model is touched.

#include <QList>
#include <QObject>
#include <QString>

#include "host/core/controlplane/SnapshotItem.h"
#include "host/core/system/HostEnvironment.h"

namespace lumora::host {

class SnapshotModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(QList<lumora::host::SnapshotItem> items READ items NOTIFY itemsChanged)
  Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
  Q_PROPERTY(QString message READ message NOTIFY messageChanged)

 public:
  explicit SnapshotModel(QObject* parent = nullptr);
  explicit SnapshotModel(HostEnvironment environment, QObject* parent = nullptr);

  const QList<SnapshotItem>& items() const { return items_; }
  bool busy() const { return busy_; }
  const QString& message() const { return message_; }

  // Starts a background listing; `items` is replaced when it completes.
  Q_INVOKABLE void refresh();
  // Saves a checkpoint, reports the outcome, then lists again.
  Q_INVOKABLE void save();
  // Restores `item` beside the current files and reports the outcome.
  Q_INVOKABLE void restore(const lumora::host::SnapshotItem& item);

 signals:
  void itemsChanged();
  void busyChanged();
  void messageChanged();
  // A listing has completed (also when it changed nothing).
  void listingFinished();

 private:
  void setBusy(bool busy);
  void setMessage(const QString& message);

  HostEnvironment environment_;  // fixed at construction
  QList<SnapshotItem> items_;    // GUI thread only
  bool busy_ = false;            // GUI thread only
  QString message_;              // GUI thread only
};

}  // namespace lumora::host
