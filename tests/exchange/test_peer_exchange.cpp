// Two Kestro processes with separate configurations exchange requests over
// the test mail stack: bob serves ("kestroctl run"), alice and carol request
// ("kestroctl request"); plain requests come from swaks.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include "MailStack.h"
#include "Peers.h"
#include "core/TextUtils.h"
#include "message/Stamp.h"

namespace {

class PeerExchange : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    for (const char* user : {"alice", "bob", "carol"}) MailStack::Get().Clear(user);
    Root = Dir.path();
    Share = Root + "/share";
    Files = {{"a.bin", RandomBytes(1200000, 1)}, {"b.bin", RandomBytes(1000000, 2)}, {"c.txt", "plain text\r\n"}};
    for (const auto& [name, bytes] : Files) WriteFile(Share + "/" + name, bytes);
  }
  // bob serves Share to alice; with a volume size that splits the three
  // files into three volumes, or with the archive options of a fresh configuration.
  PeerDir MakeBob(bool threeVolumes = true) {
    PeerDir bob = PeerDir::Make(Root, "bob", false);
    CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", Share});
    if (threeVolumes) CtlOk(bob, {"option", "set", bob.Conf(), "OPTIONS_ATTACH_VOLUME", "1000000"});
    return bob;
  }
  QStringList Names() const {
    QStringList names;
    for (const auto& f : Files) names << f.first;
    return names;
  }
  void ExpectDownloaded(const QString& folder) {
    for (const auto& [name, bytes] : Files) EXPECT_EQ(ReadFile(folder + "/" + name), bytes) << name;
  }

  QTemporaryDir Dir;
  QString Root, Share;
  std::vector<std::pair<QString, QByteArray>> Files;
};

// The row's steps as "progress state" from the --trace lines.
QStringList RowSteps(const QString& err) {
  QStringList steps;
  for (const QString& line : err.split('\n'))
    if (line.startsWith("row\t")) steps << line.section('\t', 1, 2);
  return steps;
}

class PeerExchangeBoth : public PeerExchange, public ::testing::WithParamInterface<bool> {};

TEST_P(PeerExchangeBoth, ListThenDownloadThreeVolumes) {
  const bool imap = GetParam();
  const PeerDir bob = MakeBob();
  const PeerDir alice = PeerDir::Make(Root, "alice", imap);
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());

  const CtlResult list = Ctl(alice, {"request", alice.Conf(), "bob@example.test", "list"});
  ASSERT_EQ(list.Code, 0) << list.Err;
  QStringList rows = list.Out.split('\n', Qt::SkipEmptyParts);
  rows.sort();
  EXPECT_EQ(rows, QStringList({"a.bin\t" + FormatSizeKB(1200000), "b.bin\t" + FormatSizeKB(1000000), "c.txt\t0KB"}));

  const QString into = Root + "/downloads";
  const CtlResult download =
      Ctl(alice, QStringList({"request", alice.Conf(), "bob@example.test", "download"}) + Names() +
                     QStringList({"--into", into, "--trace"}));
  ASSERT_EQ(download.Code, 0) << download.Err;
  ExpectDownloaded(into);
  EXPECT_EQ(RowSteps(download.Err),
            QStringList({"25.00\tActive", "50.00\tActive", "66.67\tActive", "83.33\tActive", "100.00\tDone"}));
  // Nothing is left in the collection folder or the volume folder: at most
  // each configuration's own part of them, empty.
  EXPECT_LE(EntriesUnder(alice.In()).size(), 1) << EntriesUnder(alice.In()).join(", ").toStdString();
  EXPECT_LE(EntriesUnder(bob.Out()).size(), 1) << EntriesUnder(bob.Out()).join(", ").toStdString();

  EXPECT_EQ(server.Stop(), 0);
  const QStringList serving = server.Serving();
  ASSERT_FALSE(serving.isEmpty());
  EXPECT_EQ(serving.last().section('\t', 1, 3), "Done\t100.00\tDone");
}

INSTANTIATE_TEST_SUITE_P(Pop3AndImap4, PeerExchangeBoth, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Imap4" : "Pop3"; });

// swaks sends a plain request from alice's account.
int Swaks(const QString& subject, const QString& body) {
  const MailStack& s = MailStack::Get();
  return QProcess::execute("swaks", {"--silent", "2", "--to", "bob@example.test", "--from", "alice@example.test",
                                     "--server", "127.0.0.1", "--port", QString::number(s.SmtpPort()),
                                     "--tls-on-connect", "--auth", "PLAIN", "--auth-user", "alice@example.test",
                                     "--auth-password", s.Password("alice"), "--header", "Subject: " + subject,
                                     "--body", body});
}

TEST_F(PeerExchange, PlainRequestsGetPlainAnswersThatSevenZipUnpacks) {
  const PeerDir bob = MakeBob();
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());

  ASSERT_EQ(Swaks("?_list", "list"), 0);
  ASSERT_TRUE(server.WaitServing("Done"));
  ASSERT_TRUE(MailStack::Get().WaitForMails("alice", 1));
  const QStringList listReply = SaveAttachments("alice", QString());
  ASSERT_EQ(listReply.size(), 1);
  EXPECT_TRUE(listReply[0].startsWith("!_")) << listReply[0];
  EXPECT_TRUE(listReply[0].section('\t', 0, 0).endsWith("_list_Done")) << listReply[0];
  const QByteArray raw = MailStack::Get().Mails("alice").first();
  EXPECT_TRUE(raw.contains("a.bin\t" + FormatSizeKB(1200000).toUtf8())) << raw;
  MailStack::Get().Clear("alice");

  ASSERT_EQ(Swaks("?_download", "a.bin\nb.bin\nc.txt"), 0);
  ASSERT_TRUE(server.WaitServing("Done", 2));
  ASSERT_TRUE(MailStack::Get().WaitForMails("alice", 3));
  const QString volumes = Root + "/volumes";
  QStringList mails = SaveAttachments("alice", volumes);
  ASSERT_EQ(mails.size(), 3);
  QStringList names;
  for (const QString& m : mails) names << m.section('\t', 1, 1);
  names.sort();
  EXPECT_EQ(names, QStringList({"disk.z01", "disk.z02", "disk.zip_"}));
  // Every volume mail carries the instructions.
  for (const QByteArray& rawMail : MailStack::Get().Mails("alice"))
    EXPECT_TRUE(rawMail.contains("rename \"disk.zip_\" volume to \"disk.zip\"")) << rawMail.left(2000);
  // As the instructions say: rename, then any zip tool.
  ASSERT_TRUE(QFile::rename(volumes + "/disk.zip_", volumes + "/disk.zip"));
  const QString out = Root + "/unpacked";
  QProcess sevenZip;
  sevenZip.start("7zz", {"x", "-y", "-o" + out, volumes + "/disk.zip"});
  ASSERT_TRUE(sevenZip.waitForFinished(60000));
  ASSERT_EQ(sevenZip.exitCode(), 0) << sevenZip.readAllStandardOutput();
  ExpectDownloaded(out);
}

// What a requester is told, without "Error: ".
QString Refusal(const CtlResult& r) {
  if (r.Code == 0) return "(exit 0)";
  EXPECT_EQ(r.Code, 3) << "a refusal by the friend exits 3";
  return r.Err.trimmed();
}

TEST_F(PeerExchange, RefusalsReachTheRequester) {
  PeerDir bob = MakeBob();
  const PeerDir alice = PeerDir::Make(Root, "alice", false);
  const PeerDir carol = PeerDir::Make(Root, "carol", true);
  {
    RunningPeer server(bob);
    ASSERT_TRUE(server.Online());
    // carol is no friend of bob, and bob has no anonymous share.
    EXPECT_EQ(Refusal(Ctl(carol, {"request", carol.Conf(), "bob@example.test", "list"})),
              "kestroctl: User forbidden.");
    EXPECT_EQ(Refusal(Ctl(alice, {"request", alice.Conf(), "bob@example.test", "download", "nosuch.txt"})),
              "kestroctl: Download content is empty.");
    // A request under a key that does not fit the friend's address.
    const QString stamp = NewStamp();
    QProcess enc;
    enc.start(KESTROCTL, {"encrypt-text", "mallory@example.testt7hm3kqp", "6B0ED439F2875AC1", "list"});
    enc.waitForFinished();
    const QString wrong = QString::fromUtf8(enc.readAllStandardOutput()).trimmed();
    ASSERT_FALSE(wrong.isEmpty());
    ASSERT_EQ(Swaks("$_" + stamp + "_" + wrong, "x"), 0);
    ASSERT_TRUE(WaitUntil([&] {
      for (const QString& s : Subjects("alice"))
        if (s.startsWith("!_" + stamp + "_")) return true;
      return false;
    }));
    bool refused = false;
    for (const QString& s : Subjects("alice"))
      if (s.startsWith("!_" + stamp + "_")) refused = s.endsWith("_Error: Authentication failed.");
    EXPECT_TRUE(refused) << Subjects("alice");
    EXPECT_EQ(server.Stop(), 0);
  }
  // A friend whose folder went away.
  const QString gone = Root + "/gone";
  QDir().mkpath(gone);
  CtlOk(bob, {"friend", "add", bob.Conf(), "carol@example.test", gone});
  QDir(gone).removeRecursively();
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());
  EXPECT_EQ(Refusal(Ctl(carol, {"request", carol.Conf(), "bob@example.test", "list"})),
            "kestroctl: Disk or directory not exists or is inaccessible.");
  EXPECT_EQ(server.Stop(), 0);
}

// What a script can tell apart by the exit code of a request besides a refusal.
TEST_F(PeerExchange, RequestExitCodesTellFailuresApart) {
  const PeerDir bob = MakeBob(false);
  const PeerDir alice = PeerDir::Make(Root, "alice", false);
  // Done.
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());
  EXPECT_EQ(Ctl(alice, {"request", alice.Conf(), "bob@example.test", "list"}).Code, 0);
  // A download folder without the space for the files (a small tmpfs; root only).
  const QString small = Root + "/small";
  QDir().mkpath(small);
  if (::getuid() == 0 && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", small}) == 0) {
    const CtlResult full =
        Ctl(alice, {"request", alice.Conf(), "bob@example.test", "download", "a.bin", "--into", small});
    QProcess::execute("umount", {small});
    EXPECT_EQ(full.Code, 5) << full.Err.toStdString();
    EXPECT_TRUE(full.Err.contains("free disk space in \"" + small)) << full.Err.toStdString();
  }
  EXPECT_EQ(server.Stop(), 0);
  // A server that refuses the account.
  CtlOk(alice, {"option", "set", alice.Conf(), "OPTIONS_POP3_PASSWORD", "-"}, "Wrong-Secret-1\n");
  const CtlResult refused = Ctl(alice, {"request", alice.Conf(), "bob@example.test", "list"});
  EXPECT_EQ(refused.Code, 6) << refused.Err.toStdString();
  EXPECT_TRUE(refused.Err.contains("The server refused the account name or password.")) << refused.Err.toStdString();
}

TEST_F(PeerExchange, NamesThatLeaveTheShareGetNothing) {
  const QString secret = Root + "/secret.txt";
  WriteFile(secret, "outside the share\n");
  WriteFile(Root + "/x", "outside too\n");
  ASSERT_TRUE(QFile::link(secret, Share + "/link"));
  Files.resize(1);  // a.bin only
  const PeerDir bob = MakeBob(false);
  const PeerDir alice = PeerDir::Make(Root, "alice", false);
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());
  const QStringList hostile = {"..\\..\\etc\\passwd", "../../x", "../secret.txt", "link", "/etc/passwd"};
  const QString into = Root + "/downloads";
  const CtlResult mixed = Ctl(alice, QStringList({"request", alice.Conf(), "bob@example.test", "download", "a.bin"}) +
                                         hostile + QStringList({"--into", into}));
  ASSERT_EQ(mixed.Code, 0) << mixed.Err;
  ExpectDownloaded(into);
  EXPECT_EQ(QDir(into).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"a.bin"}));
  EXPECT_EQ(Refusal(Ctl(alice, QStringList({"request", alice.Conf(), "bob@example.test", "download"}) + hostile)),
            "kestroctl: Download content is empty.");
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
