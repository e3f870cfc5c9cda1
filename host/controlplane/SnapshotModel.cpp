#include "host/controlplane/SnapshotModel.h"

#include <QCoreApplication>
#include <QPointer>

#include "platform/foundation/Executor.h"

namespace lumora::host {

namespace {

// Runs `work` on the shared executor and hands its result to `publish` on
// the GUI thread, unless the model has gone by then.
template <class Work, class Publish>
void inBackground(SnapshotModel* model, Work work, Publish publish) {
  runDetached([work = std::move(work), publish = std::move(publish),
               guard = QPointer<SnapshotModel>(model)]() mutable {
    auto result = work();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard = std::move(guard), publish = std::move(publish), result = std::move(result)] {
          if (guard) publish(guard.data(), result);
        },
        Qt::QueuedConnection);
  });
}

}  // namespace

SnapshotModel::SnapshotModel(QObject* parent) : SnapshotModel(HostEnvironment{}, parent) {}

SnapshotModel::SnapshotModel(HostEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

void SnapshotModel::refresh() {
  inBackground(
      this,
      [runner = environment_.runner] {
        // The exit status is not consulted: whatever was printed is parsed.
        return parseSnapshotListing(
            QString::fromStdString(runner.runCLI({"snapshot", "list"}).output));
      },
      [](SnapshotModel* model, const QList<SnapshotItem>& items) {
        model->items_ = items;
        emit model->itemsChanged();
        emit model->listingFinished();
      });
}

void SnapshotModel::save() {
  setBusy(true);
  setMessage(QStringLiteral("Saving a checkpoint of your machine…"));
  inBackground(
      this,
      [runner = environment_.runner] {
        return runner.runCLI({"snapshot", "create", "--name", "manual"}).ok;
      },
      [](SnapshotModel* model, bool ok) {
        model->setBusy(false);
        model->setMessage(ok ? QStringLiteral("Checkpoint saved.")
                             : QStringLiteral("Save started in the background."));
        model->refresh();
      });
}

void SnapshotModel::restore(const SnapshotItem& item) {
  setBusy(true);
  setMessage(QStringLiteral("Bringing back “") + item.name +
             QStringLiteral("” — restored files land side-by-side, nothing is overwritten."));
  inBackground(
      this,
      [runner = environment_.runner, id = item.id.toStdString()] {
        return runner.runCLI({"snapshot", "restore", id}).ok;
      },
      [](SnapshotModel* model, bool ok) {
        model->setBusy(false);
        model->setMessage(ok ? QStringLiteral("Restored — look for a .restored copy in your files.")
                             : QStringLiteral("Restore failed — check Lumora is signed in."));
      });
}

void SnapshotModel::setBusy(bool busy) {
  if (busy_ == busy) return;
  busy_ = busy;
  emit busyChanged();
}

void SnapshotModel::setMessage(const QString& message) {
  if (message_ == message) return;
  message_ = message;
  emit messageChanged();
}

}  // namespace lumora::host
