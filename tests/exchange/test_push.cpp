// Push in the online cycle, on the test mail stack, with a polling period of
// ten minutes: delivered mail is taken by a pass that the IDLE watcher starts,
// new mail during a pass starts one more pass after it, and a server without
// IDLE leaves the timer polling.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>

#include "Peers.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "platform/NamedSemaphore.h"
#include "transport/ImapIdle.h"

namespace {

class Push : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
    Alice = PeerDir::Make(FRoot.path(), "alice", true);
  }
  // Kestro of alice, online with a polling period of 600 s.
  std::unique_ptr<LocalPeer> Online(const std::function<void(TClassOptions&)>& adjust = {}) {
    auto peer = std::make_unique<LocalPeer>(Alice, false);
    peer->Main().Options().SetPop3AccelTime(600);
    if (adjust) adjust(peer->Main().Options());
    peer->Cycle().GoOnline();
    EXPECT_TRUE(peer->Cycle().Online());
    EXPECT_EQ(peer->Cycle().Timer().interval(), 600000);
    return peer;
  }
  static void Request(const QString& id) {
    MailStack::Get().Drop("alice", RawMail("bob@example.test", "?_list", "<" + id + "@test>"));
  }
  static bool Answered(int count) {
    int answers = 0;
    for (const QString& subject : Subjects("bob")) answers += subject.startsWith("!_") ? 1 : 0;
    return answers >= count;
  }

  QTemporaryDir FRoot;
  PeerDir Alice;
};

TEST_F(Push, DeliveredMailIsTakenAtOnceNotAtTheNextTick) {
  auto alice = Online();
  TOnlineCycle& cycle = alice->Cycle();
  ASSERT_TRUE(WaitUntil([&] { return cycle.PushActive(); }, 60000));
  const int started = cycle.PollersStarted();

  Request("push-list");
  ASSERT_TRUE(WaitUntil([&] { return Answered(1); }, 120000)) << Subjects("bob");
  EXPECT_GT(cycle.PollersStarted(), started);
  EXPECT_TRUE(WaitUntil([&] { return MailStack::Get().Mails("alice").isEmpty(); }));
  EXPECT_TRUE(cycle.Timer().isActive());  // the timer still polls as the fallback

  // Offline: no watcher, no push.
  cycle.GoOffline();
  EXPECT_FALSE(cycle.PushActive());
  EXPECT_EQ(cycle.PushWatcher(), nullptr);
}

TEST_F(Push, NewMailDuringAPassStartsOneMorePassWhenItEnds) {
  auto alice = Online();
  TOnlineCycle& cycle = alice->Cycle();
  ASSERT_TRUE(WaitUntil([&] { return cycle.PushActive(); }, 60000));
  std::atomic<int> reports{0};
  QObject::connect(cycle.PushWatcher(), &ImapIdleWatcher::NewMail, cycle.PushWatcher(), [&] { ++reports; },
                   Qt::DirectConnection);

  // Another pass holds the mailbox: the pass that the first mail starts waits.
  NamedSemaphore held(QString::fromLatin1(kImap4Semaphore), 1);
  ASSERT_TRUE(held.Acquire(0));
  const int started = cycle.PollersStarted();
  Request("first");
  ASSERT_TRUE(WaitUntil([&] { return cycle.PollersStarted() == started + 1; }, 60000));
  const int before = reports;
  Request("second");
  ASSERT_TRUE(WaitUntil([&] { return reports > before; }, 60000));
  EXPECT_EQ(cycle.PollersStarted(), started + 1);  // still one pass at a time
  held.Release();

  // The waiting pass runs, and one more after it.
  ASSERT_TRUE(WaitUntil([&] { return cycle.PollersStarted() >= started + 2; }, 120000));
  ASSERT_TRUE(WaitUntil([&] { return Answered(2); }, 120000)) << Subjects("bob");
  EXPECT_TRUE(WaitUntil([&] { return cycle.RunningPollers() == 0; }, 120000));
}

TEST_F(Push, AServerWithoutIdleLeavesTheTimerPolling) {
  const MailStack& s = MailStack::Get();
  auto alice = Online([&](TClassOptions& o) {
    o.SetServers({s.Value("MAILSTACK_NOIDLE_HOST"), s.Value("MAILSTACK_IMAP_NOIDLE_PORT").toInt(), MailSecurity::None},
                 o.OutgoingServer());
  });
  TOnlineCycle& cycle = alice->Cycle();
  ASSERT_NE(cycle.PushWatcher(), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return cycle.PushWatcher()->HasStopped(); }, 60000));
  EXPECT_FALSE(cycle.PushActive());
  EXPECT_TRUE(cycle.PushWatcher()->StopReason().contains("IDLE"));

  // The timer's tick takes the mail.
  Request("polled");
  ASSERT_TRUE(s.WaitForMails("alice", 1));
  const int started = cycle.PollersStarted();
  cycle.Tick();
  EXPECT_EQ(cycle.PollersStarted(), started + 1);
  ASSERT_TRUE(WaitUntil([&] { return Answered(1); }, 120000)) << Subjects("bob");
  EXPECT_FALSE(cycle.PushActive());
  EXPECT_TRUE(cycle.Timer().isActive());
}

TEST_F(Push, PushTurnedOffOrPop3RunsNoWatcher) {
  auto off = Online();
  off->Cycle().SetPushEnabled(false);
  EXPECT_EQ(off->Cycle().PushWatcher(), nullptr);
  off->Cycle().SetPushEnabled(true);
  EXPECT_NE(off->Cycle().PushWatcher(), nullptr);
  off->Main().Options().SetPop3Type(0);
  off->Cycle().Tick();  // the protocol changes at the tick
  EXPECT_EQ(off->Cycle().PushWatcher(), nullptr);
  EXPECT_FALSE(off->Cycle().PushActive());
}

}  // namespace
