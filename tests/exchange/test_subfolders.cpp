// Subfolders of a share over the test mail stack: bob serves ("kestroctl
// run"), alice asks from this process (Kestro's own requests name their
// folder); a peer that sends no folder and a plain client from swaks get what
// they always got, or the folder that a plain body names.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "Peers.h"
#include "core/Jobs.h"
#include "core/TextUtils.h"
#include "exchange/Exchange.h"
#include "exchange/PlainAnswers.h"
#include "exchange/ShareListing.h"
#include "main/ClassMain.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "message/Stamp.h"

namespace {

class Subfolders : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
    Root = Dir.path();
    Share = Root + "/share";
    WriteFile(Share + "/top.txt", "at the top\n");
    WriteFile(Share + "/photos/q.txt", "beside the year\n");
    WriteFile(Share + "/photos/2024/p.bin", Photo);
    QDir().mkpath(Share + "/photos/empty");
    WriteFile(Root + "/outside/secret.txt", "outside the share\n");
    ASSERT_TRUE(QFile::link(Root + "/outside", Share + "/escape"));
    Bob = PeerDir::Make(Root, "bob", false);
    CtlOk(Bob, {"friend", "add", Bob.Conf(), "alice@example.test", Share});
    Alice = PeerDir::Make(Root, "alice", false);
  }

  // What alice's list of folder brings: the row's end, the folder the
  // listing was for, and its rows as "name TAB size", sorted.
  struct Listed {
    qint32 State = -1;
    QString Info, Folder;
    QStringList Rows;
  };
  Listed List(LocalPeer& alice, const QString& folder) {
    Listed listed;
    QObject context;
    QObject::connect(&alice.Exchange(), &TExchange::ListingFolder, &context,
                     [&](const QString&, const QString& f) { listed.Folder = f; });
    QObject::connect(&alice.Exchange(), &TExchange::ShowListing, &context, [&](const QList<ListingRow>& rows) {
      for (const ListingRow& r : rows) listed.Rows << r.Name + "\t" + r.Size;
    });
    const TExchange::Issued issued = alice.Exchange().IssueRequest("list", folder, "bob@example.test");
    EXPECT_TRUE(issued.Error.isEmpty()) << issued.Error.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return alice.Row(issued.JobId)->State != jsActive; }, 120000));
    listed.State = alice.Row(issued.JobId)->State;
    listed.Info = alice.Row(issued.JobId)->Info;
    listed.Rows.sort();
    return listed;
  }

  QTemporaryDir Dir;
  QString Root, Share;
  QByteArray Photo = RandomBytes(150000, 4);
  PeerDir Bob, Alice;
};

// The body of a raw mail, its transfer encoding undone (Python's email module).
QString BodyOf(const QByteArray& raw) {
  QProcess python;
  python.start("python3", {"-c", "import email,sys\n"
                                 "m=email.message_from_binary_file(sys.stdin.buffer)\n"
                                 "p=m.get_payload(decode=True)\n"
                                 "sys.stdout.buffer.write(p or b'')"});
  python.write(raw);
  python.closeWriteChannel();
  python.waitForFinished(60000);
  return QString::fromUtf8(python.readAllStandardOutput());
}

// swaks sends a mail from alice's account to bob.
int Swaks(const QString& subject, const QString& body) {
  const MailStack& s = MailStack::Get();
  return QProcess::execute("swaks", {"--silent", "2", "--to", "bob@example.test", "--from", "alice@example.test",
                                     "--server", "127.0.0.1", "--port", QString::number(s.SmtpPort()),
                                     "--tls-on-connect", "--auth", "PLAIN", "--auth-user", "alice@example.test",
                                     "--auth-password", s.Password("alice"), "--header", "Subject: " + subject,
                                     "--body", body});
}

// The one mail in alice's mailbox once bob has answered.
QByteArray AnswerToAlice() {
  EXPECT_TRUE(MailStack::Get().WaitForMails("alice", 1));
  const QMap<QString, QByteArray> mails = MailStack::Get().Mails("alice");
  MailStack::Get().Clear("alice");
  return mails.isEmpty() ? QByteArray() : mails.first();
}

TEST_F(Subfolders, FoldersAreListedOpenedAndDownloadedWithTheirTree) {
  RunningPeer server(Bob);
  ASSERT_TRUE(server.Online());
  LocalPeer alice(Alice);

  // "Go" at the top: the folders first in the listing, the link that leads out left out.
  Listed top = List(alice, "");
  EXPECT_EQ(top.State, jsDone) << top.Info.toStdString();
  EXPECT_EQ(top.Folder, "/");
  EXPECT_EQ(top.Rows, QStringList({"photos/\tDIR", "top.txt\t0KB"}));

  const Listed photos = List(alice, "/photos");
  EXPECT_EQ(photos.State, jsDone) << photos.Info.toStdString();
  EXPECT_EQ(photos.Folder, "/photos");
  EXPECT_EQ(photos.Rows, QStringList({"2024/\tDIR", "empty/\tDIR", "q.txt\t0KB"}));

  // Nothing outside the share, however it is named.
  for (const QString& hostile : {QString("/.."), QString("/photos/../.."), Root + "/outside", QString("/escape")}) {
    const Listed refused = List(alice, hostile);
    EXPECT_EQ(refused.State, jsError) << hostile.toStdString();
    EXPECT_EQ(refused.Info, "Error: Disk or directory not exists or is inaccessible.") << hostile.toStdString();
    EXPECT_TRUE(refused.Rows.isEmpty());
  }

  // A folder row downloads the folder with what it holds, into a folder of its name.
  const QString into = Root + "/downloads";
  alice.Main().Options().SetDownloadFolder(into);
  const TExchange::Issued download = alice.Exchange().IssueRequest("download", "photos\r\n", "bob@example.test");
  ASSERT_TRUE(download.Error.isEmpty());
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(download.JobId)->State != jsActive; }, 180000));
  EXPECT_EQ(alice.Row(download.JobId)->State, jsDone) << alice.Row(download.JobId)->Info.toStdString();
  EXPECT_EQ(ReadFile(into + "/photos/2024/p.bin"), Photo);
  EXPECT_EQ(ReadFile(into + "/photos/q.txt"), "beside the year\n");
  EXPECT_TRUE(QFileInfo(into + "/photos/empty").isDir());
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Subfolders, AFriendWithoutTheRightListsOnlyTheTop) {
  {
    // The right as the share dialog stores it.
    LocalPeer bob(Bob, false);
    ASSERT_EQ(bob.Main().Users().Count(), 1);
    bob.Main().Users()[0]->SetChangeDir(false);
    bob.Main().Save();
  }
  RunningPeer server(Bob);
  ASSERT_TRUE(server.Online());
  LocalPeer alice(Alice);
  const Listed refused = List(alice, "/photos");
  EXPECT_EQ(refused.State, jsError);
  EXPECT_EQ(refused.Info, "Error: Command not allowed.");
  const Listed top = List(alice, "/");
  EXPECT_EQ(top.State, jsDone) << top.Info.toStdString();
  EXPECT_EQ(top.Rows, QStringList({"top.txt\t0KB"}));  // no folder to open
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Subfolders, PeersWithoutFoldersAndPlainClientsGetWhatTheyAsk) {
  RunningPeer server(Bob);
  ASSERT_TRUE(server.Online());

  // A peer that sends no folder: exactly the listing of old, files only.
  MessageCipher cipher;
  peer::SetPeerKey(cipher, "alice@example.test");
  const QString stamp = NewStamp();
  ASSERT_EQ(Swaks("$_" + stamp + "_" + cipher.EncryptText("list"), " "), 0);  // blank: swaks asks for no body
  const QByteArray answer = AnswerToAlice();
  EXPECT_TRUE(QString::fromUtf8(answer).contains("Subject: !_" + stamp + "_")) << answer.left(2000).toStdString();
  peer::SetPeerKey(cipher, "alice@example.test");
  EXPECT_EQ(cipher.DecryptText(peer::RemoveLineBreaks(BodyOf(answer))), FolderListing(Share).value());
  EXPECT_EQ(FolderListing(Share).value(), "top.txt\t0KB\r\n");

  // A plain "?_list" whose body names a folder lists it; the answer says how.
  ASSERT_EQ(Swaks("?_list", "photos/2024"), 0);
  const QString plain = BodyOf(AnswerToAlice());
  EXPECT_TRUE(plain.startsWith("p.bin\t" + FormatSizeKB(150000) + "\n") ||
              plain.startsWith("p.bin\t" + FormatSizeKB(150000) + "\r\n"))
      << plain.toStdString();
  EXPECT_TRUE(plain.contains(PlainRequestHelp())) << plain.toStdString();
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
