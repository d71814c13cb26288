#include "archive/VolumeNames.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "core/FileUtils.h"

QString VolumeName(qint64 number) {
  return QStringLiteral("disk.") + (number < 100 && number >= 0 ? QStringLiteral("%1").arg(number, 3, 10, QChar('0'))
                                                                 : QString::number(number));
}

bool RenameVolumes(const QString& folder, QStringList& list) {
  ListFolder(folder, list);
  std::sort(list.begin(), list.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  for (int i = 0; i < list.size(); ++i) {
    const QFileInfo info(list[i]);
    QString extension;
    if (i + 1 < list.size()) {
      QString number = info.suffix();
      if (number.startsWith('0')) number.remove(0, 1);
      extension = QStringLiteral("z") + number;
    } else {
      extension = QStringLiteral("zip_");
    }
    const QString renamed = info.path() + '/' + info.completeBaseName() + '.' + extension;
    if (QFile::rename(list[i], renamed)) list[i] = renamed;
  }
  return true;
}
