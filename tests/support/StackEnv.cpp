#include "StackEnv.h"

#include <QFile>

StackEnv StackEnv::Read(const QString& folder) {
  StackEnv env;
  env.FFolder = folder;
  QFile file(folder + "/stack.env");
  if (!file.open(QIODevice::ReadOnly)) return env;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const qsizetype eq = line.indexOf('=');
    if (eq > 0) env.FValues.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
  }
  env.FOk = true;
  return env;
}
