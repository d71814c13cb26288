#include "message/Stamp.h"

#include <QDateTime>
#include <mutex>

QString NewStamp() {
  static std::mutex mutex;
  static qint64 last = 0;
  qint64 now = QDateTime::currentMSecsSinceEpoch();
  {
    std::lock_guard lock(mutex);
    if (now <= last) now = last + 1;
    last = now;
  }
  return QDateTime::fromMSecsSinceEpoch(now).toString(QStringLiteral("yyyyMMddhhmmsszzz"));
}

bool IsStamp(const QString& text) {
  if (text.size() != 17) return false;
  for (const QChar c : text)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  return true;
}
