#pragma once
// The checkpoint listing parser: every item comes from its own data line in
// order, holds space-free fields and a tidy name, and the parse of a whole
// output is the parse of its lines one by one; a header line and blank lines
// change nothing.

#include <QStringList>

#include "fuzz/checks/Property.h"
#include "host/core/controlplane/SnapshotItem.h"

namespace lumora::fuzz {

inline bool isWord(const QString& s) {
  return !s.isEmpty() && !s.contains(QLatin1Char(' ')) && !s.contains(QLatin1Char('\n'));
}

inline std::string checkSnapshotListing(std::string_view bytes) {
  using host::SnapshotItem;
  const QString output = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  const QList<SnapshotItem> items = host::parseSnapshotListing(output);

  QList<SnapshotItem> lineByLine;
  const QStringList lines = output.split(QLatin1Char('\n'));
  qsizetype line = 0;
  for (const SnapshotItem& item : items) {
    LUMORA_PROPERTY(isWord(item.id) && isWord(item.created) && isWord(item.size),
                    "an id, stamp or size is not one word");
    LUMORA_PROPERTY(!item.name.isEmpty() && !item.name.contains(QLatin1Char('\n')) &&
                        !item.name.startsWith(QLatin1Char(' ')) &&
                        !item.name.endsWith(QLatin1Char(' ')) &&
                        !item.name.contains(QLatin1String("  ")),
                    "an untidy name: " + item.name.toStdString());
    // The item's words, in order, on a later line than the item before.
    QString words = item.id + ' ' + item.created + ' ' + item.size;
    bool found = false;
    for (; line < lines.size() && !found; ++line) {
      if (lines[line].startsWith(QLatin1String("ID ")) ||
          lines[line].contains(QLatin1String("no snapshots yet"))) {
        continue;  // never a data line
      }
      QString normal = lines[line].split(QLatin1Char(' '), Qt::SkipEmptyParts).join(' ');
      found = normal == words + ' ' + item.name ||
              (item.name == QLatin1String("snapshot") && normal == words);
    }
    LUMORA_PROPERTY(found, "an item that no later data line holds: " + words.toStdString());
  }
  for (const QString& each : lines) lineByLine += host::parseSnapshotListing(each);
  LUMORA_PROPERTY(lineByLine == items, "the whole output parses unlike its lines");
  const QString framed =
      QStringLiteral("ID CREATED SIZE NAME\n\n") + output + QStringLiteral("\n\n");
  LUMORA_PROPERTY(host::parseSnapshotListing(framed) == items,
                  "a header or blank lines changed the items");
  return {};
}

}  // namespace lumora::fuzz
