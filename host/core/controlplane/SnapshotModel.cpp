#include "host/core/controlplane/SnapshotModel.h"

#include "host/core/system/GuiThread.h"

namespace lumora::host {

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
