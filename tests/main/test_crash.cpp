// Crash safety: a process that saves in a loop is killed with SIGKILL at
// random moments after its first save; after every kill both files load, both
// with the content of the last completed save or both of the one under way.
#include "main/ClassMain.h"
#include "MainTestEnv.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

namespace {

// The generation of the main file, after checking that all of it belongs to that generation.
int MainGeneration(TClassData& data) {
  TMemTable& t = data.DataMain();
  const int k = t.AsInteger("OPTIONS_POP3_ACCEL_TIME");
  EXPECT_EQ(t.AsString("OPTIONS_DOWNLOAD_FOLDER"), QString("/downloads/%1").arg(k));
  EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST"), QString("peer%1-0@example.org").arg(k));
  TMemTable& addresses = t.Nested("ADDRESSES");
  EXPECT_EQ(addresses.RecordCount(), k % 5 + 1);
  for (int i = 0; !addresses.Eof(); addresses.Next(), ++i)
    EXPECT_EQ(addresses.AsString("ADDRESS_ADDRESS"), QString("peer%1-%2@example.org").arg(k).arg(i));
  TMemTable& users = t.Nested("USERS");
  EXPECT_EQ(users.RecordCount(), 3);
  for (int i = 0; !users.Eof(); users.Next(), ++i) {
    EXPECT_EQ(users.AsString("USER_ADDRESS"), QString("friend%1-%2@example.org").arg(k).arg(i));
    EXPECT_EQ(users.AsString("USER_FOLDER"), QString("/share/%1/%2").arg(k).arg(i));
  }
  return k;
}

int AnonymousGeneration(TClassData& data) {
  const QString folder = data.DataMain103().AsString("ANONYMOUS_FOLDER");
  EXPECT_TRUE(folder.startsWith("/anonymous/")) << folder.toStdString();
  return folder.mid(11).toInt();
}

}  // namespace

TEST(CrashSafety, KilledWhileSavingEveryFileIsOldOrNew) {
  QTemporaryDir dir;
  MainTestEnv env(dir.path());
  QRandomGenerator rng(QRandomGenerator::global()->generate());
  int mainK = 0, anonK = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    QProcess child;
    child.start(SAVE_LOOP_EXE, {dir.path()});
    ASSERT_TRUE(child.waitForStarted());
    // The random moment counts from the child's first reported save, whatever
    // its start-up takes (a sanitized child on a loaded machine starts slowly).
    QByteArray out;
    while (!out.contains('\n')) {
      ASSERT_TRUE(child.waitForReadyRead(300000)) << "the save loop ended or hung before its first save";
      out += child.readAllStandardOutput();
    }
    QThread::msleep(rng.bounded(0, 100));
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished());
    out += child.readAllStandardOutput();
    const QStringList lines = QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());

    TClassData data(nullptr, env.Conf());
    data.SetSaveOnDestroy(false);
    ASSERT_GT(data.DataMain().RecordCount(), 0) << "a saved configuration was lost";
    // The last save reported done, or the one after it that was under way.
    const int done = lines.last().toInt();
    const int k = MainGeneration(data);
    EXPECT_TRUE(k == done || k == done + 1) << "main file at " << k << ", last save " << done;
    const int a = AnonymousGeneration(data);
    EXPECT_TRUE(a == done || a == done + 1) << "anonymous file at " << a << ", last save " << done;
    EXPECT_EQ(k, a) << "the two files come from different saves";
    EXPECT_GE(k, mainK);
    EXPECT_GE(a, anonK);
    mainK = k;
    anonK = a;
  }
  // A killed writer leaves at most its own temporary file, which the next save removes.
  EXPECT_LE(QDir(env.Conf()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}
