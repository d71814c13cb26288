// Download replies through mail servers that take only small mails: bob
// ("kestroctl run") sends through one of the stack's small listeners, alice
// ("kestroctl request") collects the volumes as always.
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "Peers.h"

namespace {

class SizeLimitExchange : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
    Root = Dir.path();
    Share = Root + "/share";
  }
  void Share_(const QString& name, const QByteArray& bytes) {
    Files.emplace_back(name, bytes);
    WriteFile(Share + "/" + name, bytes);
  }
  // bob serves Share to alice with this volume size option, sending through
  // the listener on port.
  PeerDir MakeBob(int smtpPort, qint64 volumeOption) {
    PeerDir bob = PeerDir::Make(Root, "bob", false);
    CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", Share});
    CtlOk(bob, {"option", "set", bob.Conf(), "OPTIONS_ATTACH_VOLUME", QString::number(volumeOption)});
    QStringList lines = QString::fromUtf8(ReadFile(bob.Settings())).split('\n');
    for (QString& line : lines)
      if (line.startsWith("SMTP_PORT=")) line = "SMTP_PORT=" + QString::number(smtpPort);
    EXPECT_TRUE(WriteFile(bob.Settings(), lines.join('\n').toUtf8()));
    return bob;
  }
  CtlResult Download(const PeerDir& alice, const QString& into) {
    QStringList args = {"request", alice.Conf(), "bob@example.test", "download"};
    for (const auto& f : Files) args << f.first;
    return Ctl(alice, args + QStringList({"--into", into, "--trace"}));
  }
  void ExpectDownloaded(const QString& folder) {
    for (const auto& [name, bytes] : Files) EXPECT_EQ(ReadFile(folder + "/" + name), bytes) << name.toStdString();
  }
  // bob serves Share through the listener on smtpPort with this volume size
  // option; alice downloads every file, the request's row steps through three
  // volumes, and bob's job ends done. Returns bob.
  PeerDir DownloadInThreeVolumes(int smtpPort, qint64 volumeOption) {
    const PeerDir bob = MakeBob(smtpPort, volumeOption);
    const PeerDir alice = PeerDir::Make(Root, "alice", false);
    RunningPeer server(bob);
    EXPECT_TRUE(server.Online());
    if (!server.Online()) return bob;
    const QString into = Root + "/downloads";
    const CtlResult r = Download(alice, into);
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    ExpectDownloaded(into);
    EXPECT_EQ(RowSteps(r.Err),
              QStringList({"25.00\tActive", "50.00\tActive", "66.67\tActive", "83.33\tActive", "100.00\tDone"}));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_FALSE(server.Serving().isEmpty());
    if (!server.Serving().isEmpty()) EXPECT_EQ(server.Serving().last().section('\t', 1, 3), "Done\t100.00\tDone");
    return bob;
  }
  // The steps of the request's row, "progress state", from the --trace lines.
  static QStringList RowSteps(const QString& err) {
    QStringList steps;
    for (const QString& line : err.split('\n'))
      if (line.startsWith("row\t")) steps << line.section('\t', 1, 2);
    return steps;
  }

  QTemporaryDir Dir;
  QString Root, Share;
  std::vector<std::pair<QString, QByteArray>> Files;
};

int Port(const char* name) { return MailStack::Get().Value(name).toInt(); }

// The option asks for 10 MB volumes; the server announces 2,000,000 bytes.
TEST_F(SizeLimitExchange, VolumesFitTheAnnouncedLimit) {
  Share_("a.bin", RandomBytes(3000000, 11));
  Share_("c.txt", "plain text\r\n");
  // 3 MB do not fit one mail of 2,000,000 bytes: three volumes of about 1.45 MB.
  DownloadInThreeVolumes(Port("MAILSTACK_SMTPS_SMALL_PORT"), 10000000);
}

// The server hides its limit of 1,500,000 bytes: the 2 MB volume mail is
// refused, and the reply goes out again in volumes of 1 MB.
TEST_F(SizeLimitExchange, RefusedReplyIsMadeAgainWithHalfTheVolumeSize) {
  Share_("a.bin", RandomBytes(2500000, 12));
  const PeerDir bob = DownloadInThreeVolumes(Port("MAILSTACK_SMTPS_HIDDEN_PORT"), 2000000);
  EXPECT_TRUE(EntriesUnder(bob.Out()).size() <= 1) << EntriesUnder(bob.Out()).join(", ").toStdString();
}

// Half of 3 MB is still too large for the hidden limit: the job ends, and
// the requester hears why instead of waiting for volumes.
TEST_F(SizeLimitExchange, TooLargeEvenHalvedEndsTheJobWithTheReason) {
  Share_("a.bin", RandomBytes(3500000, 13));
  const PeerDir bob = MakeBob(Port("MAILSTACK_SMTPS_HIDDEN_PORT"), 3000000);
  const PeerDir alice = PeerDir::Make(Root, "alice", false);
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());
  const CtlResult r = Download(alice, Root + "/downloads");
  EXPECT_EQ(r.Code, 1) << r.Err.toStdString();
  EXPECT_TRUE(r.Err.contains("refused the reply's volume mails as too large (a mail of about 2,0"))
      << r.Err.toStdString();
  const QStringList steps = RowSteps(r.Err);
  ASSERT_FALSE(steps.isEmpty());
  EXPECT_EQ(steps.last(), "50.00\tError");
  EXPECT_EQ(server.Stop(), 0);
  const QStringList serving = server.Serving();
  ASSERT_FALSE(serving.isEmpty());
  EXPECT_EQ(serving.last().section('\t', 1, 1), "Error");
  EXPECT_TRUE(serving.last().contains("too large")) << serving.last().toStdString();
}

}  // namespace
