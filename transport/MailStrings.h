// Text conversions shared by the mail session files (inside transport only):
// the mail library speaks std::string in UTF-8, the program QString.
#pragma once

#include <QString>
#include <cctype>
#include <string>

namespace mail {

inline QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
inline std::string ToStd(const QString& s) { return s.toUtf8().toStdString(); }

// ASCII upper case, for comparing protocol words and charset names.
inline std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = char(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

}  // namespace mail
