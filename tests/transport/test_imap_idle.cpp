// The push watcher on the test mail stack: it waits in IDLE on every kind of
// connection and reports delivered mail without touching it, renews IDLE,
// comes back after the server was down, stops for good (saying why) on a
// server without IDLE or a refused login, and ends at once when cancelled.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <future>

#include "MailStack.h"
#include "WaitUntil.h"
#include "platform/Closing.h"
#include "transport/ImapIdle.h"

namespace {

using namespace std::chrono_literals;

// A watcher on an account, with its reports counted as they are emitted.
struct Watch {
  explicit Watch(const IncomingAccount& account) : Watcher(account) {
    QObject::connect(&Watcher, &ImapIdleWatcher::NewMail, &Watcher, [this] { ++NewMail; }, Qt::DirectConnection);
    QObject::connect(&Watcher, &ImapIdleWatcher::Stopped, &Watcher, [this] { ++Stopped; }, Qt::DirectConnection);
  }
  ImapIdleWatcher Watcher;
  std::atomic<int> NewMail{0};
  std::atomic<int> Stopped{0};
};

// Whether a cancelled watcher's thread ends, without waiting for ever.
bool EndsAfterCancel(ImapIdleWatcher& w) {
  w.Cancel();
  auto done = std::async(std::launch::async, [&] { w.Wait(); });
  // A stuck read or back-off would hold it for minutes.
  return done.wait_for(20s) == std::future_status::ready;
}

class ImapIdle : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    SetClosing(false);
    MailStack::Get().Clear("carol");
  }
  void Drop(const QString& id) const {
    MailStack::Get().Drop("carol", RawMail("bob@example.test", "Note " + id, "<" + id + "@test>"));
  }
};

TEST_F(ImapIdle, DeliveredMailIsReportedOverEveryKindOfConnectionAndStaysInTheMailbox) {
  const MailStack& s = MailStack::Get();
  for (MailSecurity security : {MailSecurity::Tls, MailSecurity::StartTls, MailSecurity::None}) {
    SCOPED_TRACE(MailSecurityName(security).toStdString());
    s.Clear("carol");
    Drop("before");  // mail already there is no news
    ASSERT_TRUE(s.WaitForMails("carol", 1));
    QTemporaryDir logs;
    Watch w(s.Account("carol", true, security));
    w.Watcher.SetLogFile(logs.filePath("imap4-push.log"));
    w.Watcher.Start();
    ASSERT_TRUE(WaitUntil([&] { return w.Watcher.Active(); }, 60000)) << w.Watcher.StopReason();
    Drop("new-" + MailSecurityName(security));
    ASSERT_TRUE(WaitUntil([&] { return w.NewMail > 0; }, 60000));
    EXPECT_TRUE(w.Watcher.Active());
    EXPECT_EQ(s.Mails("carol").size(), 2);  // nothing read, flagged or removed
    ASSERT_TRUE(EndsAfterCancel(w.Watcher));
    EXPECT_FALSE(w.Watcher.Active());
    EXPECT_EQ(w.Stopped, 0);

    // The session log shows the login without the password.
    QFile log(logs.filePath("imap4-push.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains(" LOGIN ****")) << text;
    EXPECT_TRUE(text.contains(" IDLE")) << text;
    EXPECT_FALSE(text.contains(s.Password("carol").toUtf8())) << text;
  }
}

TEST_F(ImapIdle, IdleIsRenewedAndStillReports) {
  Watch w(MailStack::Get().Account("carol", true));
  w.Watcher.SetRenewPeriod(300ms);
  w.Watcher.Start();
  ASSERT_TRUE(WaitUntil([&] { return w.Watcher.IdleCommands() >= 3; }, 60000)) << w.Watcher.StopReason();
  EXPECT_EQ(w.Watcher.Sessions(), 1);  // the same connection throughout
  Drop("after-renewals");
  ASSERT_TRUE(WaitUntil([&] { return w.NewMail > 0; }, 60000));
  EXPECT_TRUE(w.Watcher.Active());
  EXPECT_TRUE(EndsAfterCancel(w.Watcher));
}

TEST_F(ImapIdle, ComesBackAfterTheServerWasDownAndReportsWhatCameMeanwhile) {
  const MailStack& s = MailStack::Get();
  DovecotOutage outage{s};
  Watch w(s.Account("carol", true));
  w.Watcher.SetBackOff(100ms, 400ms);
  w.Watcher.Start();
  ASSERT_TRUE(WaitUntil([&] { return w.Watcher.Active(); }, 60000)) << w.Watcher.StopReason();

  outage.Down = s.StopDovecot();
  ASSERT_TRUE(outage.Down);
  ASSERT_TRUE(WaitUntil([&] { return !w.Watcher.Active(); }, 60000));
  Drop("while-down");  // delivered straight into the maildir, unseen by anyone
  ASSERT_TRUE(s.StartDovecot());
  outage.Down = false;

  ASSERT_TRUE(WaitUntil([&] { return w.Watcher.Active() && w.Watcher.Sessions() >= 2; }, 60000));
  ASSERT_TRUE(WaitUntil([&] { return w.NewMail > 0; }, 60000));
  EXPECT_EQ(w.Stopped, 0);
  EXPECT_TRUE(EndsAfterCancel(w.Watcher));
}

TEST_F(ImapIdle, ServerWithoutIdleOrRefusedLoginStopsTheWatcherOnceAndSaysWhy) {
  const MailStack& s = MailStack::Get();
  IncomingAccount noIdle = s.Account("carol", true, MailSecurity::None);
  noIdle.Server = s.Value("MAILSTACK_NOIDLE_HOST");
  noIdle.Port = s.Value("MAILSTACK_IMAP_NOIDLE_PORT").toInt();
  ASSERT_FALSE(noIdle.Server.isEmpty());
  IncomingAccount wrongPassword = s.Account("carol", true);
  wrongPassword.Password = "not \"the\" password\\";  // quoted with escapes, refused all the same
  IncomingAccount noFolder = s.Account("carol", true);
  noFolder.Folder = QString::fromUtf8("Ordner \xc3\xa4 & Co");

  const struct {
    const char* Name;
    IncomingAccount Account;
    const char* Why;
  } cases[] = {
      {"no IDLE", noIdle, "IDLE"},
      {"wrong password", wrongPassword, "login"},
      {"missing folder", noFolder, "folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Watch w(c.Account);
    w.Watcher.SetBackOff(50ms, 50ms);
    w.Watcher.Start();
    ASSERT_TRUE(WaitUntil([&] { return w.Watcher.HasStopped(); }, 60000));
    w.Watcher.Wait();  // the thread ends by itself
    EXPECT_EQ(w.Stopped, 1);
    EXPECT_TRUE(w.Watcher.StopReason().contains(c.Why)) << w.Watcher.StopReason();
    EXPECT_FALSE(w.Watcher.Active());
    EXPECT_EQ(w.Watcher.Sessions(), 0);
    EXPECT_EQ(w.NewMail, 0);
  }
}

TEST_F(ImapIdle, CancelEndsTheWatcherInIdleAndInItsBackOff) {
  // In IDLE, with renewal far away.
  Watch idle(MailStack::Get().Account("carol", true));
  idle.Watcher.Start();
  ASSERT_TRUE(WaitUntil([&] { return idle.Watcher.Active(); }, 60000)) << idle.Watcher.StopReason();
  EXPECT_TRUE(EndsAfterCancel(idle.Watcher));

  // Waiting five minutes before the next attempt on a closed port.
  IncomingAccount closed = MailStack::Get().Account("carol", true, MailSecurity::None);
  closed.Port = 1;
  Watch waiting(closed);
  waiting.Watcher.SetBackOff(5min, 5min);
  waiting.Watcher.Start();
  EXPECT_TRUE(EndsAfterCancel(waiting.Watcher));
  EXPECT_FALSE(waiting.Watcher.HasStopped());  // a refused connection is tried again, not given up

  // The program's exit ends it too.
  Watch closing(MailStack::Get().Account("carol", true));
  closing.Watcher.Start();
  ASSERT_TRUE(WaitUntil([&] { return closing.Watcher.Active(); }, 60000));
  SetClosing(true);
  auto done = std::async(std::launch::async, [&] { closing.Watcher.Wait(); });
  EXPECT_EQ(done.wait_for(20s), std::future_status::ready);
  SetClosing(false);
}

TEST(ImapIdleTexts, QuotedStringsAndMailboxNames) {
  EXPECT_EQ(ImapIdleWatcher::Quoted("alice@example.test"), "\"alice@example.test\"");
  EXPECT_EQ(ImapIdleWatcher::Quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(ImapIdleWatcher::Quoted(""), "\"\"");
  EXPECT_EQ(ImapIdleWatcher::Quoted("line\r\nA2 DELETE INBOX"), std::nullopt);  // no command injection
  EXPECT_EQ(ImapIdleWatcher::Quoted("p\xc3\xa4ss"), std::nullopt);               // 8-bit: a literal
  EXPECT_EQ(ImapIdleWatcher::Quoted(std::string(2000, 'x')), std::nullopt);

  EXPECT_EQ(ImapIdleWatcher::MailboxUtf7("Inbox"), "Inbox");
  EXPECT_EQ(ImapIdleWatcher::MailboxUtf7("A&B"), "A&-B");
  EXPECT_EQ(ImapIdleWatcher::MailboxUtf7(QString::fromUtf8("Entw\xc3\xbcrfe")), "Entw&APw-rfe");
  EXPECT_EQ(ImapIdleWatcher::MailboxUtf7(QString::fromUtf8("\xe5\x8f\xb0\xe5\x8c\x97")), "&U,BTFw-");
}

}  // namespace
