// The test mail stack as its start script describes it: tests/mailstack/mailstack.sh
// writes NAME=value lines (ports, passwords, maildirs, the certificate
// authority) into stack.env in the stack's folder. Without GoogleTest, so that
// the benchmarks read the same file the same way.
#pragma once

#include <QMap>
#include <QString>

class StackEnv {
public:
  // The values of folder/stack.env; Ok() is false when the file cannot be read.
  static StackEnv Read(const QString& folder);

  bool Ok() const { return FOk; }
  QString Folder() const { return FFolder; }
  // The value of NAME, or "" when the file has none.
  QString Value(const QString& name) const { return FValues.value(name); }

private:
  bool FOk = false;
  QString FFolder;
  QMap<QString, QString> FValues;
};
