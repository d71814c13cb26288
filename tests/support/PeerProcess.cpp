#include "PeerProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>
#include <csignal>

#include "MailStack.h"
#include "TestFiles.h"
#include "WaitUntil.h"

namespace {
// How long a process of ours may take to start, go online or end on a loaded
// machine under a sanitizer before the test gives up on it.
constexpr int kProcessMs = 120000;
}  // namespace

QProcessEnvironment PeerDir::Env() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("KESTRO_SETTINGS", Settings());
  env.insert("KESTRO_RUNTIME_DIR", Runtime());
  return env;
}

PeerDir PeerDir::Make(const QString& root, const QString& user, bool imap) {
  PeerDir p{user, root + "/" + user};
  QDir().mkpath(p.Root);
  QDir().mkpath(p.Runtime());
  EXPECT_TRUE(QFile::exists(MailStack::Get().SettingsFile()));
  WriteFile(p.Settings(), MailStack::Get().SettingsWith({{"LOG", p.Log()},
                                                          {"TEMP_INPUT", p.In()},
                                                          {"TEMP_OUTPUT", p.Out()},
                                                          {"CONF", p.Conf()},
                                                          {"PACE", "0"}}));
  CtlOk(p, {"config", "init", p.Conf()});
  QStringList account = {"account", "set", p.Conf(), p.Address()};
  if (imap) account << "--imap";
  CtlOk(p, account, MailStack::Get().Password(user).toUtf8() + "\n");
  CtlOk(p, {"option", "set", p.Conf(), "OPTIONS_POP3_ACCEL_TIME", "1"});
  return p;
}

CtlResult Ctl(const PeerDir& peer, const QStringList& args, int timeoutMs, const QByteArray& input) {
  QProcess p;
  p.setProcessEnvironment(peer.Env());
  p.start(KESTROCTL, args);
  p.write(input);
  p.closeWriteChannel();
  CtlResult r;
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    r.Err = "timed out";
    return r;
  }
  r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.Out = QString::fromUtf8(p.readAllStandardOutput());
  r.Err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

void CtlOk(const PeerDir& peer, const QStringList& args, const QByteArray& input) {
  const CtlResult r = Ctl(peer, args, 300000, input);
  ASSERT_EQ(r.Code, 0) << args.join(' ') << ": " << r.Err;
}

RunningPeer::RunningPeer(const PeerDir& peer) {
  FProcess.setProcessEnvironment(peer.Env());
  FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  FProcess.start(KESTROCTL, {"run", peer.Conf()});
  QElapsedTimer clock;
  clock.start();
  while (!FOnline && clock.elapsed() < kProcessMs && FProcess.state() != QProcess::NotRunning) {
    FProcess.waitForReadyRead(100);
    FOut += FProcess.readAllStandardOutput();
    FOnline = FOut.contains("online\t");
  }
}

RunningPeer::~RunningPeer() {
  if (FProcess.state() != QProcess::NotRunning) Stop();
}

int RunningPeer::Stop() {
  ::kill(pid_t(FProcess.processId()), SIGTERM);
  if (!FProcess.waitForFinished(kProcessMs)) {
    FProcess.kill();
    FProcess.waitForFinished();
    return -1;
  }
  FOut += FProcess.readAllStandardOutput();
  return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

QStringList RunningPeer::Serving() {
  FOut += FProcess.readAllStandardOutput();
  QStringList lines;
  for (const QString& line : QString::fromUtf8(FOut).split('\n'))
    if (line.startsWith("serving\t")) lines << line.mid(8);
  return lines;
}

bool RunningPeer::WaitServing(const QString& state, int count, int timeoutMs) {
  return WaitUntil(
      [&] {
        FProcess.waitForReadyRead(20);
        int n = 0;
        for (const QString& line : Serving())
          if (line.section('\t', 1, 1) == state) ++n;
        return n >= count;
      },
      timeoutMs);
}
