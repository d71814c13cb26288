// The mail stack a mail benchmark runs against: the one $KESTRO_MAILSTACK names,
// or a private one started here and stopped when the object goes. Ok() says
// whether its stack.env could be read (when not, it has said so).
#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>

#include "StackEnv.h"

class BenchMailStack {
public:
  BenchMailStack() : FDir(qEnvironmentVariable("KESTRO_MAILSTACK")) {
    if (FDir.isEmpty()) Start();
    FEnv = StackEnv::Read(FDir);
    if (!FEnv.Ok()) std::fprintf(stderr, "no mail stack in %s\n", qPrintable(FDir));
  }
  ~BenchMailStack() {
    if (FStarted) QProcess::execute(Script(), {"stop", FDir});
  }
  BenchMailStack(const BenchMailStack&) = delete;
  BenchMailStack& operator=(const BenchMailStack&) = delete;

  QString Dir() const { return FDir; }
  bool Ok() const { return FEnv.Ok(); }
  const StackEnv& Env() const { return FEnv; }
  // Empties the INBOX of user (alice, bob, carol).
  void Clear(const QString& user) const {
    QProcess::execute("doveadm", {"-c", FEnv.Value("MAILSTACK_DOVECOT_CONF"), "expunge", "-u", user + "@example.test",
                                  "mailbox", "INBOX", "all"});
  }

private:
  static QString Script() { return QStringLiteral(KESTRO_SOURCE_DIR "/tests/mailstack/mailstack.sh"); }
  void Start() {
    // The servers' own users must be able to pass through the folder.
    QFile::setPermissions(FOwn.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    FDir = FOwn.path() + "/stack";
    FStarted = QProcess::execute(Script(), {"start", FDir}) == 0;
    if (!FStarted) std::fprintf(stderr, "cannot start the mail stack\n");
  }

  QTemporaryDir FOwn;
  QString FDir;
  bool FStarted = false;
  StackEnv FEnv;
};
