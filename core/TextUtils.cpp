#include "core/TextUtils.h"

#include <QLocale>
#include <algorithm>

QString TrimText(const QString& text) {
  const auto blank = [](QChar c) { return c.unicode() <= 32; };
  qsizetype begin = 0, end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

void SplitAtTab(QString& line, QString& second) {
  const int at = line.indexOf('\t');
  if (at < 0) {
    second = line;
    line.clear();
  } else {
    second = line.mid(at + 1);
    line.truncate(at);
  }
}

QString FormatSizeKB(qint64 bytes) {
  const qint64 kb = std::max<qint64>(0, bytes / 1024);
  QLocale locale = QLocale::system();
  locale.setNumberOptions(QLocale::DefaultNumberOptions);  // group thousands
  return locale.toString(kb) + QStringLiteral("KB");
}
