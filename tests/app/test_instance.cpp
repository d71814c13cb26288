// A second start of the program on a configuration that runs already: the
// running window (here, one of this process, listening as the program does)
// comes to the front, from hiding or from the task bar, and the second process
// ends with 0. A socket left by a killed program does not stand in the way.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

#include "WaitUntil.h"
#include "exchange/Engine.h"
#include "main/ClassMain.h"
#include "platform/InstanceChannel.h"
#include "platform/InstanceLock.h"
#include "platform/Settings.h"
#include "ui/FormKestro.h"

namespace {

// How long a Kestro process may take on a loaded machine under a sanitizer.
constexpr int kProcessMs = 120000;

int gArgc = 1;
char gName[] = "test_app_instance";
char* gArgv[] = {gName, nullptr};

QTemporaryDir& Home() {
  static QTemporaryDir dir;
  return dir;
}

// The installation of this process and of the programs it starts: folders of
// the test's own; CONF is the configuration that the started programs use.
QString WriteSettings(const QString& conf) {
  const QString path = Home().path() + "/settings.ini";
  QFile ini(path);
  EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.write(QStringLiteral("[Options]\nCONF=%1\nLOG=%2/log\nTEMP_INPUT=%2/in\nTEMP_OUTPUT=%2/out\nPACE=0\n")
                .arg(conf, Home().path())
                .toUtf8());
  return path;
}

class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    qputenv("KESTRO_SETTINGS", WriteSettings(Home().path() + "/conf").toUtf8());
    qputenv("XDG_CONFIG_HOME", (Home().path() + "/xdg").toUtf8());
    qputenv("KESTRO_RUNTIME_DIR", (Home().path() + "/run").toUtf8());
    InstallSettings::Reload();
    FApp = new QApplication(gArgc, gArgv);
  }
  void TearDown() override { delete FApp; }
  QApplication* FApp = nullptr;
};
const auto* gEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct ProcessRun {
  bool Ended = false;
  int Code = -1;
  QString Errors;
};

// Starts the program on conf as a second start and waits for its end.
ProcessRun SecondStart(const QString& conf) {
  WriteSettings(conf);
  QProcess p;
  p.start(KESTRO, {});
  ProcessRun run;
  // Events go on meanwhile: the running window answers on this thread.
  run.Ended = WaitUntil([&] { return p.state() == QProcess::NotRunning; }, kProcessMs);
  if (!run.Ended) {
    p.kill();
    p.waitForFinished();
  }
  run.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  run.Errors = QString::fromUtf8(p.readAllStandardError());
  return run;
}

// A running Kestro in this process: the configuration's lock, its window, and
// the socket that a second start finds, wired as the program wires them.
class Running : public ::testing::Test {
protected:
  void Start() {
    ASSERT_TRUE(conf.isValid());
    ASSERT_TRUE(lock.TryAcquire(conf.path()));
    form = std::make_unique<TFormKestro>(std::make_unique<Engine>(conf.path()));
    form->Main().SetSecondStart(true);
    QObject::connect(&channel, &InstanceChannel::ShowRequested, form.get(), &TFormKestro::BringToFront);
    ASSERT_TRUE(channel.Listen(conf.path()));
  }
  void TearDown() override { form.reset(); }

  bool InFront() const { return form->isVisible() && !form->isMinimized() && form->aEnterListener->isEnabled(); }

  QTemporaryDir conf;
  InstanceLock lock;
  InstanceChannel channel;
  std::unique_ptr<TFormKestro> form;
};

}  // namespace

TEST_F(Running, SecondStartBringsTheWindowToTheFrontAndEnds) {
  Start();
  const std::vector<std::pair<const char*, std::function<void()>>> outOfSight = {
      {"hidden in the tray", [&] { form->hide(); form->FormHide(); }},
      {"minimised", [&] { form->showMinimized(); }},
  };
  for (const auto& [how, putAway] : outOfSight) {
    form->show();
    putAway();
    WaitUntil([&] { return !InFront(); });
    ASSERT_FALSE(InFront()) << how;
    const ProcessRun second = SecondStart(conf.path());
    EXPECT_TRUE(second.Ended) << how;
    EXPECT_EQ(second.Code, 0) << how;
    EXPECT_FALSE(second.Errors.contains("did not answer")) << how;  // the running window answered
    EXPECT_TRUE(WaitUntil([&] { return InFront(); })) << how;
  }
}

TEST_F(Running, ASocketLeftByAKilledProgramIsReplaced) {
  // A program that was killed leaves its socket behind.
  WriteSettings(conf.path());
  QProcess killed;
  killed.start(KESTRO, {});
  ASSERT_TRUE(killed.waitForStarted());
  const QString socket = InstanceChannel::SocketPath(conf.path());
  ASSERT_TRUE(WaitUntil([&] { return QFile::exists(socket) || killed.state() == QProcess::NotRunning; }, kProcessMs))
      << killed.readAllStandardError().toStdString();
  ::kill(killed.processId(), SIGKILL);
  ASSERT_TRUE(killed.waitForFinished(kProcessMs));
  ASSERT_TRUE(QFile::exists(socket));

  // The next program on the configuration listens there, and is found.
  Start();
  form->hide();
  form->FormHide();
  const ProcessRun second = SecondStart(conf.path());
  EXPECT_EQ(second.Code, 0);
  EXPECT_FALSE(second.Errors.contains("did not answer"));
  EXPECT_TRUE(WaitUntil([&] { return InFront(); }));
}
