// Included into every test: lets GoogleTest print Qt texts in its messages.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

inline std::ostream& operator<<(std::ostream& os, const QString& s) { return os << '"' << s.toStdString() << '"'; }
inline std::ostream& operator<<(std::ostream& os, const QByteArray& b) { return os << '"' << b.toStdString() << '"'; }
inline std::ostream& operator<<(std::ostream& os, const QStringList& l) {
  os << '{';
  for (const QString& s : l) os << s << ", ";
  return os << '}';
}
inline void PrintTo(const QString& s, std::ostream* os) { *os << s; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << b; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << l; }
