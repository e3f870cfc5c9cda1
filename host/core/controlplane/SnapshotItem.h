#pragma once
// One checkpoint as the command-line tool lists it, and the listing's parser.

#include <QList>
#include <QMetaType>
#include <QString>

namespace lumora::host {

struct SnapshotItem {
  QString id;       // the tool's identifier, passed back to restore it
  QString created;  // as printed
  QString size;     // as printed
  QString name;     // "snapshot" when the tool printed none

  friend bool operator==(const SnapshotItem&, const SnapshotItem&) = default;
};

// Parses the output of "snapshot list": skips the "ID " header, lines with
// "no snapshots yet", blank lines and lines of fewer than three words.
QList<SnapshotItem> parseSnapshotListing(const QString& output);

}  // namespace lumora::host

Q_DECLARE_METATYPE(lumora::host::SnapshotItem)
