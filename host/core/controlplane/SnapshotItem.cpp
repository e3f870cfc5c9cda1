#include "host/core/controlplane/SnapshotItem.h"

#include <QStringList>

namespace lumora::host {

namespace {

bool isBlank(const QString& line) {
  for (QChar c : line) {
    if (c != QLatin1Char(' ') && c != QLatin1Char('\t')) return false;
  }
  return true;
}

}  // namespace

QList<SnapshotItem> parseSnapshotListing(const QString& output) {
  QList<SnapshotItem> items;
  const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (const QString& line : lines) {
    if (line.startsWith(QLatin1String("ID ")) || line.contains(QLatin1String("no snapshots yet")) ||
        isBlank(line)) {
      continue;
    }
    // Only spaces separate words; a tab stays inside its word.
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() < 3) continue;
    SnapshotItem item;
    item.id = words[0];
    item.created = words[1];
    item.size = words[2];
    item.name =
        words.size() == 3 ? QStringLiteral("snapshot") : words.mid(3).join(QLatin1Char(' '));
    items.append(item);
  }
  return items;
}

}  // namespace lumora::host
