#include "transport/MailAddress.h"

QString CheckedAddress(const QString& address) {
  const QString a = address.trimmed();
  if (a.isEmpty() || a.size() > 320) return QString();
  for (const QChar c : a) {
    const char16_t u = c.unicode();
    if (u < 0x21 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029) return QString();
    if (QStringLiteral(",;<>()[]\"\\:").contains(c)) return QString();
  }
  const qsizetype at = a.indexOf(QLatin1Char('@'));
  if (at <= 0 || at != a.lastIndexOf(QLatin1Char('@')) || at == a.size() - 1) return QString();
  const QString domain = a.mid(at + 1);
  if (domain.startsWith(QLatin1Char('.')) || domain.endsWith(QLatin1Char('.')) || domain.contains(QStringLiteral("..")))
    return QString();
  return a;
}
