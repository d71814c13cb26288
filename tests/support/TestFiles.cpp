#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <random>

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  const bool ok = f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
  if (!ok) ADD_FAILURE() << "cannot write " << path.toStdString() << ": " << f.errorString().toStdString();
  return ok;
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
  std::mt19937 random(seed);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

QStringList EntriesUnder(const QString& folder) {
  QStringList entries;
  QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) entries << QDir(folder).relativeFilePath(it.next());
  entries.sort();
  return entries;
}
