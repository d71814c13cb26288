// Polling on a configuration that stores no options yet: the period in effect
// is the preset, and a tick while a pass is running starts no second poller.
// No mail servers: the account check passes by a stand-in, the poller's pass
// is held at its semaphore and then fails at once against a closed port.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "Peers.h"
#include "exchange/Engine.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "platform/NamedSemaphore.h"
#include "platform/Settings.h"

namespace {

TEST(Polling, AFreshConfigurationPollsAtThePresetAndOnePassAtATime) {
  const std::unique_ptr<QCoreApplication> app = EnsureCoreApplication();
  QTemporaryDir dir;
  const QString root = dir.path();
  ASSERT_TRUE(UseOwnInstallation(root, "0", "[Provider]\nPOP3_SERVER=127.0.0.1\nPOP3_PORT=1\nSSL=false\n"));

  Engine engine(root + "/conf", false);
  TOnlineCycle& cycle = engine.Cycle();
  ASSERT_EQ(engine.Main().Options().Pop3AccelTime(), 0);  // nothing stored yet
  engine.Main().Options().SetPop3Account("alice");
  cycle.SetAccountTest([](const IncomingAccount&, bool, const QString&) { return 0; });
  ASSERT_EQ(cycle.GoOnline().Code, 0);
  ASSERT_TRUE(cycle.Online());
  EXPECT_EQ(cycle.Timer().interval(), 10000);
  EXPECT_TRUE(cycle.Timer().isActive());
  EXPECT_EQ(cycle.PollInterval(), 10000);

  // Another pass holds the mailbox: the first poller waits for it, and the
  // ticks meanwhile start nothing.
  NamedSemaphore held(QString::fromLatin1(kPop3Semaphore), 1);
  ASSERT_TRUE(held.Acquire(0));
  cycle.Tick();
  EXPECT_EQ(cycle.PollersStarted(), 1);
  for (int i = 0; i < 3; ++i) cycle.Tick();
  EXPECT_EQ(cycle.PollersStarted(), 1);
  EXPECT_EQ(cycle.RunningPollers(), 1);

  // Once its pass has ended, the next tick starts the next poller.
  held.Release();
  ASSERT_TRUE(WaitUntil([&] { return cycle.RunningPollers() == 0; }));
  const int before = cycle.PollersStarted();
  cycle.Tick();
  EXPECT_EQ(cycle.PollersStarted(), before + 1);
  EXPECT_LE(cycle.RunningPollers(), 1);
  cycle.GoOffline();
}

}  // namespace
