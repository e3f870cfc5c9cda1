#pragma once
// The four feature switches. Their state is never stored: `refresh` detects
// it from the service manager's job list and marker files under the home;
// `toggle` runs the feature's commands in the background, waits, and detects
// again. Touched only on the GUI thread.

#include <QList>
#include <QObject>
#include <QString>

#include <string>
#include <vector>

#include "host/core/controlplane/Pillar.h"
#include "host/core/system/HostEnvironment.h"

namespace lumora::host {

class ControlPlaneModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(QList<lumora::host::Pillar> pillars READ pillars NOTIFY pillarsChanged)

 public:
  explicit ControlPlaneModel(QObject* parent = nullptr);
  explicit ControlPlaneModel(HostEnvironment environment, QObject* parent = nullptr);

  const QList<Pillar>& pillars() const { return pillars_; }

  // Detects all four features (runs the job list synchronously) and replaces
  // `pillars` in one assignment.
  Q_INVOKABLE void refresh();
  // Flips the feature `id`: marks it busy, then in the background runs its
  // commands, waits 1.2 s (4 s for "compute" and "gpu") and refreshes.
  Q_INVOKABLE void toggle(const QString& id);

  // The shell texts that switch the "disk" agents, in the order they run.
  std::vector<std::string> diskCommands(bool on) const;

 signals:
  void pillarsChanged();

 private:
  void finishToggle(qsizetype position);

  HostEnvironment environment_;  // fixed at construction
  QList<Pillar> pillars_;        // GUI thread only
};

}  // namespace lumora::host
