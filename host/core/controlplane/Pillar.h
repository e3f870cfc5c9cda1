#pragma once
// One feature switch of the control plane, as detected from the machine.

#include <QList>
#include <QMetaType>
#include <QString>

namespace lumora::host {

struct Pillar {
  QString id;  // "disk", "memory", "compute" or "gpu"
  QString title;
  QString detail;
  bool on = false;
  QString status;  // the word in the row's pill
  bool toggleable = true;
  bool busy = false;  // a switch of this pillar is under way

  friend bool operator==(const Pillar&, const Pillar&) = default;
};

}  // namespace lumora::host

Q_DECLARE_METATYPE(lumora::host::Pillar)
