// One mailbox with ordinary mails and peer mails of every kind, polled over
// POP3 and over IMAP4: the hand-overs are exactly the expected ones, every
// peer mail is gone, every ordinary mail is still there byte for byte.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include "MailStack.h"
#include "message/Stamp.h"
#include "platform/Closing.h"
#include "platform/NamedSemaphore.h"
#include "transport/Imap4Mailbox.h"
#include "transport/MailboxPoller.h"
#include "transport/MailReceiver.h"

namespace {

const QString kOnline = "20261210100000000";
const QString kStop = "20261210110000000";
const QString kNewer = "20261210120000000";  // after both

QByteArray Multipart(const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& attachments) {
  QByteArray m = "Content-Type: multipart/mixed; boundary=\"b0undary\"\r\n\r\n";
  m += "--b0undary\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n";
  for (const auto& [name, data] : attachments) {
    m += "--b0undary\r\nContent-Type: application/octet-stream\r\n";
    m += "Content-Disposition: attachment; filename=\"" + name + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    m += data.toBase64() + "\r\n";
  }
  m += "--b0undary--\r\n";
  return m;
}

QByteArray Plain(const QByteArray& body) { return "Content-Type: text/plain\r\n\r\n" + body + "\r\n"; }

struct Expected {
  QString Prefix, Ident, IdentBase, SubjectRest, Body, Attachment;  // Ident "*": a fresh stamp
  QByteArray AttachmentBytes;
};

class Poller : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    if (!MailStack::Get().Ok()) GTEST_SKIP() << "the test mail stack is not running";
    qputenv("KESTRO_RUNTIME_DIR", FRuntime.path().toUtf8());
    SetPaceFactor(0);
    MailStack::Get().Clear("carol");
    TMailReceiver::ForgetHeaders();
  }

  // Fills carol's mailbox; returns the expected hand-overs in mailbox order.
  QList<Expected> Fill() {
    const MailStack& s = MailStack::Get();
    auto drop = [&](const QString& subject, const QString& id, const QByteArray& mime) {
      s.Drop("carol", RawMail("alice@example.test", subject, "<" + id + "@test>", mime));
    };
    drop("Weekly report", "ordinary1", Plain("numbers"));
    drop("$_" + QString("20261210090000000") + "_QUJD", "old-request", Plain("x"));  // older than online
    drop("Re: $_ not a prefix here", "ordinary2", Plain("keep me"));
    drop("$_" + kNewer + "_bGlzdA==", "request", Plain("  body text  "));
    drop("!_" + QString("20261210105000000") + "_QUJD_Done", "stopped-reply", Plain("x"));  // not newer than stop
    drop("!_" + kNewer + ".8.1_QUJD_Done", "volume", Multipart("", {{"disk.001", "12345678"}}));
    drop("?_list", "plain-list", Plain(""));
    drop("?x_not ours", "ordinary3", Multipart("with file", {{"report.pdf", "%PDF-1.4"}}));
    drop("?_x_download", "two-attachments", Multipart("a.txt\r\nb.txt", {{"a.txt", "A"}, {"b.txt", "B"}}));
    drop("!_" + QString("20261210120000001") + "_QUJD_Done", "no-attachment", Plain("reply body"));
    drop("$_" + QString("20261210120000002") + "_ZG93bmxvYWQ=", "evil-name", Multipart("", {{"../../x", "evil"}}));
    drop("$_onlytext", "prefix-and-text", Plain("x"));
    drop("?_onlytext", "plain-prefix-and-text", Plain("hi"));
    return {
        {"$_", kNewer, kNewer, "bGlzdA==", "body text", "", {}},
        {"!_", kNewer + ".8.1", kNewer, "QUJD_Done", "", "disk.001", "12345678"},
        {"?_", "*", "*", "list", "", "", {}},
        {"?_", "*", "*", "download", "a.txt\r\nb.txt", "", {}},
        {"!_", "20261210120000001", "20261210120000001", "QUJD_Done", "reply body", "", {}},
        {"$_", "20261210120000002", "20261210120000002", "ZG93bmxvYWQ=", "", "", {}},
        {"?_", "*", "*", "onlytext", "hi", "", {}},
    };
  }

  TClassAccelerator* MakePoller(bool imap, QList<HandOverData>& got) {
    const MailStack& s = MailStack::Get();
    const IncomingAccount a = s.Account("carol", imap);
    TClassAccelerator* p;
    if (imap) {
      auto* q = new TClassAcceleratorIMAP4;
      q->SetMailboxName("Inbox");
      p = q;
    } else {
      p = new TClassAcceleratorPOP3;
    }
    p->SetFreeOnTerminate(false);
    p->SetServerHost(a.Server);
    p->SetServerPort(a.Port);
    p->SetAccountName(a.Account);
    p->SetAccountPassword(a.Password);
    p->SetSecurity(a.Security);
    p->SetCaFile(a.CaFile);
    p->SetOnlineStamp(kOnline);
    p->SetStopJobId(kStop);
    p->SetTempInput(FInput.path());
    p->SetHandOver([&got](const HandOverData& d) { got << d; }, nullptr);
    p->SetMemoryFile(MemoryFile());
    return p;
  }
  QString MemoryFile() const { return FConf.filePath("mailbox-memory.json"); }

  QTemporaryDir FRuntime, FInput, FConf;
};

}  // namespace

TEST_P(Poller, TakesPeerMailsDeletesThemAndLeavesTheRest) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  const QList<Expected> expected = Fill();
  ASSERT_TRUE(s.WaitForMails("carol", 13));
  const auto before = s.Mails("carol");
  const QStringList ordinary = {"<ordinary1@test>", "<ordinary2@test>", "<ordinary3@test>"};

  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> poller(MakePoller(imap, got));
  poller->RunHere();
  EXPECT_EQ(poller->LastOutcome().Code, 0);
  EXPECT_EQ(poller->LastOutcome().Listed, 13);
  EXPECT_EQ(poller->LastOutcome().Deleted, 10);

  ASSERT_EQ(got.size(), expected.size());
  QStringList fresh;
  for (int i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    const Expected& e = expected[i];
    const HandOverData& d = got[i];
    EXPECT_EQ(d.SenderAddress, "alice@example.test");
    EXPECT_EQ(d.Prefix, e.Prefix);
    if (e.Ident == "*") {
      EXPECT_TRUE(IsStamp(d.Ident)) << d.Ident;
      EXPECT_EQ(d.IdentBase, d.Ident);
      fresh << d.Ident;
    } else {
      EXPECT_EQ(d.Ident, e.Ident);
      EXPECT_EQ(d.IdentBase, e.IdentBase);
    }
    EXPECT_EQ(d.SubjectRest, e.SubjectRest);
    EXPECT_EQ(d.MessageBody, e.Body);
    EXPECT_EQ(d.AttachmentName, e.Attachment);
    if (!e.Attachment.isEmpty()) {
      QFile f(FInput.path() + "/" + d.IdentBase + "/" + e.Attachment);
      ASSERT_TRUE(f.open(QIODevice::ReadOnly));
      EXPECT_EQ(f.readAll(), e.AttachmentBytes);
    }
  }
  fresh.removeDuplicates();
  EXPECT_EQ(fresh.size(), 3);
  // Nothing was written outside the input folder, and nothing for the refused name.
  EXPECT_FALSE(QFile::exists(FInput.path() + "/../x"));
  EXPECT_FALSE(QFile::exists(QDir(FInput.path()).absoluteFilePath("../../x")));
  EXPECT_FALSE(QFile::exists(FInput.path() + "/20261210120000002"));

  // A second pass finds only the ordinary mails, and reads no header again.
  got.clear();
  std::unique_ptr<TClassAccelerator> again(MakePoller(imap, got));
  again->RunHere();
  EXPECT_TRUE(got.isEmpty());
  EXPECT_EQ(again->LastOutcome().Listed, 3);
  EXPECT_EQ(again->LastOutcome().HeadersFetched, 0);
  EXPECT_EQ(again->LastOutcome().Deleted, 0);

  const auto after = s.Mails("carol");
  EXPECT_EQ(after.keys(), ordinary);
  for (const QString& id : ordinary) EXPECT_EQ(after.value(id), before.value(id)) << id.toStdString();
}

TEST_P(Poller, HandOverRunsOnTheMainThreadAndNewMailCostsOneHeader) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  int argc = 0;
  QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, nullptr);
  QObject mainContext;
  s.Drop("carol", RawMail("bob@example.test", "Ordinary", "<o1@test>", Plain("x")));
  ASSERT_TRUE(s.WaitForMails("carol", 1));

  QList<HandOverData> got;
  QList<QThread*> threads;
  auto run = [&] {
    TClassAccelerator* p = MakePoller(imap, got);
    p->SetHandOver(
        [&got, &threads](const HandOverData& d) {
          got << d;
          threads << QThread::currentThread();
        },
        &mainContext);
    p->Resume();
    while (!p->wait(10)) QCoreApplication::processEvents();
    const auto outcome = p->LastOutcome();
    delete p;
    return outcome;
  };
  EXPECT_EQ(run().HeadersFetched, 1);
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p1@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 2));
  const auto second = run();
  EXPECT_EQ(second.HeadersFetched, 1);
  ASSERT_EQ(got.size(), 1);
  EXPECT_EQ(got[0].SubjectRest, "list");
  EXPECT_EQ(threads[0], QThread::currentThread());
  delete app;
}

TEST_P(Poller, FailedLoginEndsThePassAndDeletesNothing) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p2@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 1));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
  p->SetAccountPassword("Wrong-Secret-42");
  p->RunHere();
  EXPECT_EQ(p->LastOutcome().Code, mrAuthFailed);
  EXPECT_TRUE(got.isEmpty());
  if (imap) {
    auto* q = new TClassAcceleratorIMAP4;
    std::unique_ptr<TClassAccelerator> wrongBox(q);
    std::unique_ptr<TClassAccelerator> tmp(MakePoller(true, got));
    q->SetFreeOnTerminate(false);
    q->SetServerHost(tmp->ServerHost());
    q->SetServerPort(tmp->ServerPort());
    q->SetAccountName(tmp->AccountName());
    q->SetAccountPassword(tmp->AccountPassword());
    q->SetCaFile(s.CaFile());
    q->SetMailboxName("NoSuchBox");
    q->RunHere();
    EXPECT_EQ(q->LastOutcome().Code, mrMailboxNotFound);
  }
  EXPECT_EQ(s.Mails("carol").size(), 1);
}

TEST_P(Poller, MalformedMailIsHandedOverAndDeletedWithoutHarm) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  // No closing boundary, an attachment that is not Base64, a header without value.
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<broken@test>",
                          "Content-Type: multipart/mixed; boundary=\"zz\"\r\nX-Empty:\r\n\r\n--zz\r\n"
                          "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                          "filename=\"f.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n!!!not base64***\r\n"));
  s.Drop("carol", RawMail("", "", "<empty@test>", ""));
  ASSERT_TRUE(s.WaitForMails("carol", 2));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
  p->RunHere();
  EXPECT_EQ(p->LastOutcome().Code, 0);
  ASSERT_EQ(got.size(), 1);
  EXPECT_EQ(got[0].SubjectRest, "list");
  EXPECT_EQ(s.Mails("carol").keys(), QStringList{"<empty@test>"});
  // Whatever was saved lies in the stamp folder of the mail.
  for (const QString& entry : QDir(FInput.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
    EXPECT_EQ(entry, got[0].IdentBase);
}

TEST_P(Poller, MailboxChangedByAnotherClientBetweenPasses) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  s.Drop("carol", RawMail("bob@example.test", "Ordinary", "<o2@test>", Plain("x")));
  ASSERT_TRUE(s.WaitForMails("carol", 1));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator>(MakePoller(imap, got))->RunHere();
  // Another client expunges the mail, and as many new ones arrive: same count.
  s.Clear("carol");
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p3@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 1));
  std::unique_ptr<TClassAccelerator>(MakePoller(imap, got))->RunHere();
  ASSERT_EQ(got.size(), 1);
  EXPECT_EQ(got[0].SubjectRest, "list");
  EXPECT_TRUE(s.Mails("carol").isEmpty());
}

TEST_P(Poller, ServerDroppedMidPassEndsThePassAndNothingIsHandedOverTwice) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  for (const QString id : {"first", "second", "third"})
    s.Drop("carol", RawMail("bob@example.test", "?_list", "<" + id + "@test>", Plain(id.toUtf8())));
  ASSERT_TRUE(s.WaitForMails("carol", 3));

  // Dovecot goes down while the first mail is being handed over, and comes
  // back whatever the test finds.
  DovecotOutage outage{s};
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
  p->SetHandOver(
      [&](const HandOverData& d) {
        got << d;
        if (!outage.Down) outage.Down = s.StopDovecot();
      },
      nullptr);
  p->RunHere();
  ASSERT_TRUE(outage.Down);
  EXPECT_EQ(p->LastOutcome().Code, mrConnectionLost);
  EXPECT_EQ(got.size(), 1);
  ASSERT_TRUE(s.StartDovecot());
  outage.Down = false;

  // The next pass, after a restart of the program, reconnects, takes the
  // rest, and removes the one taken before.
  TMailReceiver::ForgetHeaders();
  std::unique_ptr<TClassAccelerator> next(MakePoller(imap, got));
  next->RunHere();
  EXPECT_EQ(next->LastOutcome().Code, 0);
  QStringList bodies;
  for (const HandOverData& d : got) bodies << d.MessageBody;
  bodies.sort();
  EXPECT_EQ(bodies, (QStringList{"first", "second", "third"}));
  EXPECT_TRUE(s.Mails("carol").isEmpty());
}

// What passes remember outlives the program: the first pass after a restart
// reads the headers of new mail only; the file keeps no ordinary mail's
// subject or sender; a damaged file costs one whole read, nothing else.
TEST_P(Poller, TheFirstPassAfterARestartReadsOnlyNewMail) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  for (int i = 0; i < 5; ++i)
    s.Drop("carol", RawMail("dave@example.test", QStringLiteral("Private matter %1").arg(i), QStringLiteral("<o%1@test>").arg(i),
                            Plain("x")));
  ASSERT_TRUE(s.WaitForMails("carol", 5));
  QList<HandOverData> got;
  auto pass = [&] {
    std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
    p->RunHere();
    EXPECT_EQ(p->LastOutcome().Code, 0);
    TMailReceiver::ForgetHeaders();  // the program ends
    return p->LastOutcome().HeadersFetched;
  };
  EXPECT_EQ(pass(), 5);
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p1@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 6));
  EXPECT_EQ(pass(), 1);
  EXPECT_EQ(got.size(), 1);

  QFile file(MemoryFile());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray kept = file.readAll();
  file.close();
  EXPECT_FALSE(kept.contains("Private")) << kept.constData();
  EXPECT_FALSE(kept.contains("dave@")) << kept.constData();
  EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);

  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(kept.left(kept.size() / 2));
  file.close();
  EXPECT_EQ(pass(), 5);
  EXPECT_EQ(got.size(), 1);
}

TEST_P(Poller, MailThatCannotBeKeptOnTheDiskStaysOnTheServer) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  if (::getuid() != 0) GTEST_SKIP() << "needs to mount a small tmpfs as the temporary input folder (root only)";
  QTemporaryDir mountPoint;
  const QString small = mountPoint.path();
  ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", small}), 0);
  struct Unmount {
    QString Path;
    ~Unmount() { QProcess::execute("umount", {Path}); }
  } unmount{small};

  // The raw mail fits but its attachment does not fit beside it; the raw mail itself does not fit.
  const struct {
    const char* Id;
    int Size;
  } cases[] = {{"attachment-too-big", 150 * 1024}, {"mail-too-big", 300 * 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Id);
    ASSERT_EQ(QProcess::execute("mount", {"-o", "remount,size=256k", small}), 0)
        << QDir(small).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(' ');
    s.Clear("carol");
    TMailReceiver::ForgetHeaders();
    QByteArray content(c.Size, '\0');
    for (int k = 0; k < content.size(); ++k) content[k] = char(k * 7919 % 251);
    s.Drop("carol", RawMail("bob@example.test", "!_" + kNewer + ".2.1_QUJD_Done", QString("<%1@test>").arg(c.Id),
                            Multipart("", {{"disk.001", content}})));
    ASSERT_TRUE(s.WaitForMails("carol", 1));

    QList<HandOverData> got;
    std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
    p->SetTempInput(small);
    p->RunHere();
    EXPECT_EQ(p->LastOutcome().Code, mrDiskFull);
    EXPECT_TRUE(p->LastOutcome().Error.contains("Not enough free disk space")) << p->LastOutcome().Error;
    EXPECT_TRUE(p->LastOutcome().Error.contains(small)) << p->LastOutcome().Error;
    EXPECT_TRUE(got.isEmpty());
    EXPECT_EQ(s.Mails("carol").size(), 1);
    // Nothing half-written is left.
    QDirIterator files(small, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    EXPECT_FALSE(files.hasNext()) << files.next();

    // With space again, the next pass takes it whole.
    ASSERT_EQ(QProcess::execute("mount", {"-o", "remount,size=4m", small}), 0);
    std::unique_ptr<TClassAccelerator> next(MakePoller(imap, got));
    next->SetTempInput(small);
    next->RunHere();
    EXPECT_EQ(next->LastOutcome().Code, 0);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].AttachmentName, "disk.001");
    QFile f(small + "/" + kNewer + "/disk.001");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll() == content);
    EXPECT_TRUE(s.Mails("carol").isEmpty());
    QDir(small + "/" + kNewer).removeRecursively();
  }
}

// Parts nested levels deep, the innermost a text saying body.
QByteArray Nested(int levels, const QByteArray& body) {
  QByteArray m;
  for (int k = 0; k < levels; ++k) {
    const QByteArray b = "b" + QByteArray::number(k);
    m += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
  }
  m += "Content-Type: text/plain\r\n\r\n" + body + "\r\n";
  for (int k = levels; k-- > 0;) m += "--b" + QByteArray::number(k) + "--\r\n";
  return m;
}

TEST_P(Poller, MailsBeyondTheLimitsAreDeletedUnread) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  QList<QPair<QByteArray, QByteArray>> many;
  for (int k = 0; k < 17; ++k) many.append({"f" + QByteArray::number(k), "x"});
  QByteArray large;  // beyond any volume a peer sends, in lines of 1,000 bytes
  while (large.size() <= TMailReceiver::kMaxMailBytes) large += QByteArray(998, 'a') + "\r\n";
  const struct {
    const char* Id;
    QByteArray Mime;
    bool Taken;
  } cases[] = {
      {"nested-5000", Nested(5000, "too deep"), false},
      {"nested-9", Nested(9, "too deep"), false},
      {"parts-18", Multipart("too many", many), false},
      {"too-large", Plain(large), false},
      {"nested-8", Nested(8, "deep enough"), true},
      {"plain", Plain("plain"), true},
  };
  for (const auto& c : cases)
    s.Drop("carol", RawMail("bob@example.test", "?_list", QString("<%1@test>").arg(c.Id), c.Mime));
  ASSERT_TRUE(s.WaitForMails("carol", int(std::size(cases))));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
  p->RunHere();
  EXPECT_EQ(p->LastOutcome().Code, 0);
  EXPECT_EQ(p->LastOutcome().Deleted, int(std::size(cases)));
  EXPECT_LT(p->LastOutcome().BytesReceived, 1'000'000);  // the large one was not downloaded
  QStringList bodies;
  for (const HandOverData& d : got) bodies << d.MessageBody;
  EXPECT_EQ(bodies, (QStringList{"deep enough", "plain"}));
  EXPECT_TRUE(s.Mails("carol").isEmpty());
}

TEST_P(Poller, WaitingPollerEndsPromptlyWhenTheProgramCloses) {
  const bool imap = GetParam();
  // Another pass holds the semaphore.
  NamedSemaphore other(imap ? kImap4Semaphore : kPop3Semaphore, 1);
  ASSERT_TRUE(other.Acquire(1000));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator> p(MakePoller(imap, got));
  p->Resume();
  EXPECT_FALSE(p->wait(300));
  SetClosing(true);
  const bool ended = p->wait(3000);
  SetClosing(false);
  EXPECT_TRUE(ended);
  EXPECT_FALSE(p->LastOutcome().Ran);
}

INSTANTIATE_TEST_SUITE_P(Protocols, Poller, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IMAP4" : "POP3"; });

// One IMAP4 pass over carol's mailbox, emptied first.
class Imap4Pass : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    qputenv("KESTRO_RUNTIME_DIR", FRuntime.path().toUtf8());
    SetPaceFactor(0);
    MailStack::Get().Clear("carol");
    TMailReceiver::ForgetHeaders();
    const IncomingAccount a = MailStack::Get().Account("carol", true);
    FPass.SetFreeOnTerminate(false);
    FPass.SetServerHost(a.Server);
    FPass.SetServerPort(a.Port);
    FPass.SetAccountName(a.Account);
    FPass.SetAccountPassword(a.Password);
    FPass.SetCaFile(a.CaFile);
    FPass.SetOnlineStamp(kOnline);
    FPass.SetTempInput(FInput.path());
  }

  QTemporaryDir FRuntime, FInput;
  TClassAcceleratorIMAP4 FPass;
};

// Another client only flagged a mail deleted (it may still undelete it): a
// pass that takes and removes peer mails leaves that mail where it is.
TEST_F(Imap4Pass, RemovesOnlyItsOwnMails) {
  const MailStack& s = MailStack::Get();
  s.Drop("carol", RawMail("bob@example.test", "Draft to throw away", "<flagged@test>", Plain("undelete me")));
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<peer1@test>", Plain("")));
  s.Drop("carol", RawMail("bob@example.test", "$_20261210090000000_QUJD", "<peer2@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 3));
  ASSERT_EQ(QProcess::execute("doveadm", {"-c", s.Value("MAILSTACK_DOVECOT_CONF"), "flags", "add", "-u",
                                          MailStack::Address("carol"), "\\Deleted", "mailbox", "INBOX", "header",
                                          "Message-ID", "<flagged@test>"}),
            0);

  int handedOver = 0;
  FPass.SetHandOver([&](const HandOverData&) { ++handedOver; }, nullptr);
  FPass.RunHere();
  EXPECT_EQ(FPass.LastOutcome().Code, 0);
  EXPECT_EQ(handedOver, 1);
  EXPECT_EQ(FPass.LastOutcome().Deleted, 2);
  EXPECT_EQ(s.Mails("carol").keys(), QStringList{"<flagged@test>"});
}

// The small mails a pass takes come down in one command, a large one on
// its own; every one arrives whole.
TEST_F(Imap4Pass, SmallMailsComeTogetherLargeOnesOnTheirOwn) {
  const MailStack& s = MailStack::Get();
  QByteArray large(400 * 1024, Qt::Uninitialized);
  for (qsizetype k = 0; k < large.size(); ++k) large[k] = char((k * 7919) >> 3);
  s.Drop("carol", RawMail("bob@example.test", "!_" + kNewer + ".1.2_QUJD_Done", "<v1@test>",
                          Multipart("", {{"disk.001", "small volume"}})));
  s.Drop("carol", RawMail("bob@example.test", "!_" + kNewer + ".2.2_QUJD_Done", "<v2@test>",
                          Multipart("", {{"disk.002", large}})));
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<l@test>", Plain("")));
  ASSERT_TRUE(s.WaitForMails("carol", 3));

  QStringList names;
  FPass.SetHandOver([&](const HandOverData& d) { names << (d.AttachmentName.isEmpty() ? d.SubjectRest : d.AttachmentName); },
                nullptr);
  const QString log = FRuntime.filePath("session.log");
  FPass.SetLogFile(log);
  FPass.RunHere();
  EXPECT_EQ(FPass.LastOutcome().Code, 0);
  EXPECT_EQ(names, (QStringList{"disk.001", "disk.002", "list"}));
  auto read = [](const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  EXPECT_EQ(read(FInput.filePath(kNewer + "/disk.001")), QByteArray("small volume"));
  EXPECT_TRUE(read(FInput.filePath(kNewer + "/disk.002")) == large);
  EXPECT_TRUE(s.Mails("carol").isEmpty());

  const QString text = QString::fromUtf8(read(log));
  EXPECT_EQ(text.count(QRegularExpression(QStringLiteral("C: \\S+ UID FETCH \\d+,\\d+ \\(UID BODY\\.PEEK\\[\\]\\)"))), 1)
      << text.toStdString();
  EXPECT_EQ(text.count(QRegularExpression(QStringLiteral("C: \\S+ UID FETCH \\d+ \\(BODY\\.PEEK\\[\\]\\)"))), 1);
}

// A peer mail whose attachment names a file already collected under its
// stamp (the same volume mailed twice, or a forged one) leaves that file as
// it was, and says so in the hand-over.
TEST_P(Poller, AttachmentNeverReplacesACollectedFile) {
  const bool imap = GetParam();
  const MailStack& s = MailStack::Get();
  const QString collected = FInput.filePath(kNewer + "/disk.001");
  ASSERT_TRUE(QDir().mkpath(QFileInfo(collected).path()));
  QFile f(collected);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("collected") == 9);
  f.close();
  s.Drop("carol", RawMail("mallory@example.test", "!_" + kNewer + ".8.1_QUJD_Done", "<forged@test>",
                          Multipart("", {{"disk.001", "forged!!"}})));
  ASSERT_TRUE(s.WaitForMails("carol", 1));
  QList<HandOverData> got;
  std::unique_ptr<TClassAccelerator>(MakePoller(imap, got))->RunHere();
  ASSERT_EQ(got.size(), 1);
  EXPECT_EQ(got[0].AttachmentName, "disk.001");
  EXPECT_FALSE(got[0].AttachmentSaved);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "collected");
}

// The connection kept from pass to pass: a later pass logs in no more and
// still sees what other clients changed in between; a server that went away
// meanwhile, or other login settings, make a new connection.
using KeptImap4Connection = Poller;
TEST_F(KeptImap4Connection, LaterPassesUseItUntilItGoesOrTheSettingsChange) {
  const MailStack& s = MailStack::Get();
  const auto expunge = [&](const QString& id) {
    return QProcess::execute("doveadm", {"-c", s.Value("MAILSTACK_DOVECOT_CONF"), "expunge", "-u",
                                         MailStack::Address("carol"), "mailbox", "INBOX", "header", "Message-ID", id});
  };
  auto box = std::make_shared<TMailIMAP4>();
  QList<HandOverData> got;
  const auto pass = [&](const QString& password = {}) {
    std::unique_ptr<TClassAccelerator> p(MakePoller(true, got));
    static_cast<TClassAcceleratorIMAP4&>(*p).SetMailObject(box);
    if (!password.isEmpty()) p->SetAccountPassword(password);
    p->RunHere();
    return p->LastOutcome();
  };
  s.Drop("carol", RawMail("bob@example.test", "Ordinary one", "<o1@test>", Plain("x")));
  s.Drop("carol", RawMail("bob@example.test", "Ordinary two", "<o2@test>", Plain("x")));
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p1@test>", Plain("one")));
  ASSERT_TRUE(s.WaitForMails("carol", 3));
  ASSERT_EQ(pass().Code, 0);
  EXPECT_FALSE(box->Reused());
  ASSERT_EQ(got.size(), 1);

  // Another client removes a mail: the kept connection learns of it.
  ASSERT_EQ(expunge("<o1@test>"), 0);
  TClassAccelerator::Outcome o = pass();
  EXPECT_EQ(o.Code, 0);
  EXPECT_TRUE(box->Reused());
  EXPECT_EQ(o.Listed, 1);
  EXPECT_EQ(o.HeadersFetched, 0);

  // New mail: one header read, on the same connection.
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p2@test>", Plain("two")));
  ASSERT_TRUE(s.WaitForMails("carol", 2));
  o = pass();
  EXPECT_EQ(o.Code, 0);
  EXPECT_TRUE(box->Reused());
  EXPECT_EQ(o.HeadersFetched, 1);
  ASSERT_EQ(got.size(), 2);
  EXPECT_EQ(got[1].MessageBody, "two");

  // The server went away and came back between passes: a new connection.
  ASSERT_TRUE(s.StopDovecot());
  ASSERT_TRUE(s.StartDovecot());
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p3@test>", Plain("three")));
  ASSERT_TRUE(s.WaitForMails("carol", 2));
  o = pass();
  EXPECT_EQ(o.Code, 0);
  EXPECT_FALSE(box->Reused());
  ASSERT_EQ(got.size(), 3);
  EXPECT_EQ(got[2].MessageBody, "three");

  // Another password is never served by the connection of the old one.
  s.Drop("carol", RawMail("bob@example.test", "?_list", "<p4@test>", Plain("four")));
  ASSERT_TRUE(s.WaitForMails("carol", 2));
  o = pass("not the password");
  EXPECT_EQ(o.Code, mrAuthFailed);
  EXPECT_EQ(got.size(), 3);
  EXPECT_EQ(s.Mails("carol").keys(), (QStringList{"<o2@test>", "<p4@test>"}));
}

TEST(AttachmentNames, OnlyOneComponentUnderAStampFolder) {
  struct Case {
    const char* Name;
    bool Safe;
  } cases[] = {{"disk.001", true}, {"Résumé 2.pdf", true}, {"..", false},      {".", false},
               {"../../x", false}, {"a/b", false},         {"a\\b", false},  {"", false},
               {"x\x01y", false},  {"..hidden", false},    {"/etc/passwd", false}};
  for (const Case& c : cases) EXPECT_EQ(SafeAttachmentName(QString::fromUtf8(c.Name)), c.Safe) << c.Name;
}
