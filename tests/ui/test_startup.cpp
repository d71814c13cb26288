// The program as a process: one instance per configuration, and the exit saves.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

#include "WaitUntil.h"
#include "platform/InstanceLock.h"

namespace {

// How long a Kestro process may take to start or end on a loaded machine under
// a sanitizer before the test gives up on it.
constexpr int kProcessMs = 120000;

// True once the process has its own handler for signal (the exit signals are
// caught only when the program is up), from the SigCgt mask of /proc/PID/status.
bool Catches(qint64 pid, int signal) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("SigCgt:")) return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

struct Installation {
  QTemporaryDir root;
  QString Conf() const { return root.path() + "/conf"; }
  QString Settings() const { return root.path() + "/settings.ini"; }

  Installation() {
    QFile ini(Settings());
    EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[Options]\nCONF=%1\nLOG=%2/log\nTEMP_INPUT=%2/in\nTEMP_OUTPUT=%2/out\nPACE=0\n")
                  .arg(Conf(), root.path()).toUtf8());
  }
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRO_SETTINGS", Settings());
    env.insert("XDG_CONFIG_HOME", root.path() + "/xdg");
    env.insert("KESTRO_RUNTIME_DIR", root.path() + "/run");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
  }
  int Ctl(const QStringList& args) const {
    QProcess p;
    p.setProcessEnvironment(Environment());
    p.start(KESTROCTL, args);
    p.waitForFinished(kProcessMs);
    return p.exitCode();
  }
};

}  // namespace

TEST(Startup, SecondStartWithTheSameConfigurationExitsAtOnceAndExitSaves) {
  Installation inst;
  ASSERT_EQ(inst.Ctl({"config", "init", inst.Conf()}), 0);
  const QString mainFile = inst.Conf() + "/server.cfg";
  QFile::remove(mainFile);  // the exit writes it again

  QProcess first;
  first.setProcessEnvironment(inst.Environment());
  first.start(KESTRO, {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(WaitUntil([&] { return InstanceLock::InUse(inst.Conf()); }, kProcessMs));

  QProcess second;
  second.setProcessEnvironment(inst.Environment());
  second.start(KESTRO, {});
  ASSERT_TRUE(second.waitForFinished(kProcessMs));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  // The first answered (its window is in front) and runs on.
  EXPECT_FALSE(second.readAllStandardError().contains("did not answer"));
  EXPECT_EQ(first.state(), QProcess::Running);

  // Another configuration runs beside it.
  Installation other;
  ASSERT_EQ(other.Ctl({"config", "init", other.Conf()}), 0);
  QProcess third;
  third.setProcessEnvironment(other.Environment());
  third.start(KESTRO, {});
  ASSERT_TRUE(third.waitForStarted());
  EXPECT_TRUE(WaitUntil([&] { return InstanceLock::InUse(other.Conf()) || third.state() == QProcess::NotRunning; },
                        kProcessMs));
  EXPECT_EQ(third.state(), QProcess::Running);
  EXPECT_TRUE(InstanceLock::InUse(other.Conf()));
  EXPECT_TRUE(WaitUntil([&] { return Catches(third.processId(), SIGTERM); }, kProcessMs));
  ::kill(third.processId(), SIGTERM);
  EXPECT_TRUE(third.waitForFinished(kProcessMs)) << third.readAllStandardError().toStdString();

  ASSERT_TRUE(WaitUntil([&] { return Catches(first.processId(), SIGTERM); }, kProcessMs));
  ::kill(first.processId(), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(kProcessMs));
  EXPECT_EQ(first.exitCode(), 0);
  EXPECT_TRUE(QFile::exists(mainFile));
  EXPECT_TRUE(QFile::exists(inst.Conf() + "/server103.cfg"));
  EXPECT_FALSE(InstanceLock::InUse(inst.Conf()));
}

TEST(Startup, DamagedConfigurationStopsTheProgramAndKeepsTheFile) {
  Installation inst;
  QDir().mkpath(inst.Conf());
  QFile bad(inst.Conf() + "/server.cfg");
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write("this is no configuration");
  bad.close();
  QProcess p;
  QProcessEnvironment env = inst.Environment();
  p.setProcessEnvironment(env);
  // The error box is modal; close it from outside by ending the process if it waits.
  p.start(KESTRO, {});
  ASSERT_TRUE(p.waitForStarted());
  if (!p.waitForFinished(3000)) {
    ::kill(p.processId(), SIGTERM);
    p.waitForFinished(5000);
    if (p.state() != QProcess::NotRunning) p.kill();
  }
  QFile again(inst.Conf() + "/server.cfg");
  ASSERT_TRUE(again.open(QIODevice::ReadOnly));
  EXPECT_EQ(again.readAll(), "this is no configuration");
}
