// Kestro in this process: what comes back to a requester (volumes out of
// order, lost, hostile), stopping a request, and the ten serving slots.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "Peers.h"
#include "core/Jobs.h"
#include "message/Stamp.h"
#include "main/ClassMain.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "archive/Archiver.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"

namespace {

class ReplyHandling : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_MAILSTACK();
    for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
    Root = Dir.path();
    Alice = PeerDir::Make(Root, "alice", false);
    Downloads = Root + "/downloads";
  }
  void TearDown() override { SetPaceFactor(0); }

  // alice asks bob (who does not answer) for a download: the row of the request.
  QString IssueDownload(LocalPeer& alice) {
    alice.Main().Options().SetDownloadFolder(Downloads);
    const TExchange::Issued issued = alice.Exchange().IssueRequest("download", "a.bin\r\n", "bob@example.test");
    EXPECT_TRUE(issued.Error.isEmpty()) << issued.Error;
    EXPECT_TRUE(WaitUntil([&] { return alice.Row(issued.JobId)->Progress == 50; }));
    return issued.JobId;
  }

  // The volumes that bob would send for these files: disk.001 encrypted for alice.
  QStringList BuildVolumes(const QStringList& files, qint64 volumeSize, const QString& folder = QString()) {
    if (folder.isEmpty()) return BuildVolumes(files, volumeSize, Root + "/volumes");
    const Result<QStringList> built = Archiver(3, volumeSize).BuildVolumes(files, folder);
    EXPECT_TRUE(built) << qPrintable(built.error());
    const QStringList volumes = built.value_or(QStringList());
    EncryptFirst(volumes.value(0));
    return volumes;
  }
  void EncryptFirst(const QString& path) {
    MessageCipher cipher;
    cipher.SetKey(peer::VolumeKeyText(cipher, "alice@example.test"));
    EXPECT_TRUE(cipher.EncryptFileInPlace(path));
  }
  // A volume mail from bob for the job.
  QByteArray VolumeMail(const QString& jobId, const QStringList& volumes, int index,
                        const QString& name = QString()) {
    qint64 total = 0;
    for (const QString& v : volumes) total += QFileInfo(v).size();
    MessageCipher cipher;
    peer::SetPeerKey(cipher, "alice@example.test");
    const QString subject = peer::VolumeSubject(jobId, total, volumes.size(), cipher.EncryptText("download"));
    return RawAttachmentMail("bob@example.test", subject, "", name.isEmpty() ? QFileInfo(volumes[index]).fileName() : name,
                             ReadFile(volumes[index]));
  }
  // Drops a mail for alice and waits until her poller has taken it.
  void Deliver(const QByteArray& raw) {
    MailStack::Get().Drop("alice", raw);
    ASSERT_TRUE(WaitUntil([] { return MailStack::Get().Mails("alice").isEmpty(); }));
  }

  QTemporaryDir Dir;
  QString Root, Downloads;
  PeerDir Alice;
};

TEST_F(ReplyHandling, LastVolumeFirstWaitsForTheOthers) {
  LocalPeer alice(Alice);
  const QString jobId = IssueDownload(alice);
  const QByteArray a = RandomBytes(100000, 7), b = RandomBytes(60000, 8);
  WriteFile(Root + "/src/a.bin", a);
  WriteFile(Root + "/src/b.bin", b);
  const QStringList volumes = BuildVolumes({Root + "/src/a.bin", Root + "/src/b.bin"}, 70000);
  ASSERT_EQ(volumes.size(), 3);

  Deliver(VolumeMail(jobId, volumes, 2));
  // The thread of the last volume waits; the row has not moved.
  ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() > 0; }));
  WaitUntil([] { return false; }, 1500);
  EXPECT_EQ(alice.Row(jobId)->State, jsActive);
  EXPECT_EQ(alice.Row(jobId)->Progress, 50);
  Deliver(VolumeMail(jobId, volumes, 0));
  Deliver(VolumeMail(jobId, volumes, 1));
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->State != jsActive; }));
  EXPECT_EQ(alice.Row(jobId)->State, jsDone);
  EXPECT_EQ(alice.Row(jobId)->Progress, 100);
  EXPECT_EQ(ReadFile(Downloads + "/a.bin"), a);
  EXPECT_EQ(ReadFile(Downloads + "/b.bin"), b);
  EXPECT_FALSE(QFileInfo::exists(alice.Main().TempInput() + "/" + jobId));
}

TEST_F(ReplyHandling, LostVolumeTimesOutAndDropsTheCollection) {
  LocalPeer alice(Alice);
  // Time enough for the first volume to come through the mail stack.
  alice.Exchange().SetVolumeTimeoutSeconds(3600);
  QString shown;
  QObject::connect(&alice.Exchange(), &TExchange::ShowJobError,
                   [&](const QString& text, bool smtp, const QString&) { shown = smtp ? "smtp" : text; });
  const QString jobId = IssueDownload(alice);
  WriteFile(Root + "/src/a.bin", RandomBytes(160000, 9));
  const QStringList volumes = BuildVolumes({Root + "/src/a.bin"}, 70000);
  ASSERT_EQ(volumes.size(), 3);
  // The first volume is in before the last one starts the wait.
  Deliver(VolumeMail(jobId, volumes, 0));
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->Progress > 50; }));
  alice.Exchange().SetVolumeTimeoutSeconds(2);
  Deliver(VolumeMail(jobId, volumes, 2));
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->State != jsActive; }));
  EXPECT_EQ(alice.Row(jobId)->State, jsError);
  EXPECT_EQ(alice.Row(jobId)->Info, "Error: Time out error.");
  EXPECT_TRUE(WaitUntil([&] { return shown == "Time out error."; })) << shown;
  // Should the time run out before the last volume came in, that volume is
  // refused, its attachment deleted.
  EXPECT_TRUE(WaitUntil([&] { return !QFileInfo::exists(alice.Main().TempInput() + "/" + jobId); }));
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
  // The lost volume turning up late does not reopen the row.
  Deliver(VolumeMail(jobId, volumes, 1));
  ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() == 0; }));
  EXPECT_EQ(alice.Row(jobId)->State, jsError);
}

// No thread waits when the last volume is the one lost: the time counts from
// the download's last sign of life, the request sent or a volume received.
TEST_F(ReplyHandling, DownloadWhoseLastVolumeNeverComesTimesOut) {
  LocalPeer alice(Alice);
  WriteFile(Root + "/src/a.bin", RandomBytes(160000, 9));
  const QStringList volumes = BuildVolumes({Root + "/src/a.bin"}, 70000);
  ASSERT_EQ(volumes.size(), 3);
  for (const bool volumeIn : {false, true}) {
    SCOPED_TRACE(volumeIn ? "an earlier volume came in" : "nothing came back");
    // Time enough for a volume to come through the mail stack.
    alice.Exchange().SetVolumeTimeoutSeconds(volumeIn ? 3600 : 2);
    const QString jobId = IssueDownload(alice);
    if (volumeIn) {
      Deliver(VolumeMail(jobId, volumes, 0));
      ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->Progress > 50; }));
      ASSERT_TRUE(QFileInfo::exists(alice.Main().TempInput() + "/" + jobId));
      alice.Exchange().SetVolumeTimeoutSeconds(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->State != jsActive; }));
    EXPECT_EQ(alice.Row(jobId)->State, jsError);
    EXPECT_EQ(alice.Row(jobId)->Info, "Error: Time out error.");
    EXPECT_FALSE(QFileInfo::exists(alice.Main().TempInput() + "/" + jobId));
  }
}

TEST_F(ReplyHandling, VolumeTakenTwiceCountsOnce) {
  LocalPeer alice(Alice);
  const QString jobId = IssueDownload(alice);
  const QByteArray a = RandomBytes(160000, 11);
  WriteFile(Root + "/src/a.bin", a);
  const QStringList volumes = BuildVolumes({Root + "/src/a.bin"}, 70000);
  ASSERT_EQ(volumes.size(), 3);
  // The first volume comes twice (as after a reconnect), and so does the last.
  for (int i : {0, 0, 1}) {
    Deliver(VolumeMail(jobId, volumes, i));
    ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() == 0; }));
  }
  EXPECT_EQ(alice.Row(jobId)->State, jsActive);
  EXPECT_NEAR(alice.Row(jobId)->Progress, 50 + 2 * 50.0 / 3, 0.001);
  Deliver(VolumeMail(jobId, volumes, 2));
  Deliver(VolumeMail(jobId, volumes, 2));
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(jobId)->State != jsActive; }));
  EXPECT_EQ(alice.Row(jobId)->State, jsDone);
  EXPECT_EQ(alice.Row(jobId)->Progress, 100);
  EXPECT_EQ(ReadFile(Downloads + "/a.bin"), a);
  ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() == 0; }));
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a (2).bin"));
}

TEST_F(ReplyHandling, HostileRepliesWriteNothingOutsideTheirFolders) {
  LocalPeer alice(Alice);
  // An attachment name that climbs out of the collection folder is not saved.
  const QString first = IssueDownload(alice);
  WriteFile(Root + "/src/a.bin", RandomBytes(1000, 10));
  QStringList one = BuildVolumes({Root + "/src/a.bin"}, 70000);
  ASSERT_EQ(one.size(), 1);
  Deliver(VolumeMail(first, one, 0, "../../../evil.bin"));
  WaitUntil([] { return false; }, 1000);
  EXPECT_FALSE(QFileInfo::exists(Root + "/evil.bin"));
  EXPECT_FALSE(QFileInfo::exists(Alice.Root + "/evil.bin"));
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
  alice.Main().SetStopJobId(first);
  alice.Rows().Stop(0);

  // An archive whose entries climb out of the download folder is refused.
  const QString second = IssueDownload(alice);
  const QString zip = Root + "/hostile/disk.001";
  QDir().mkpath(Root + "/hostile");
  ASSERT_EQ(QProcess::execute("python3", {"-c",
                                          "import zipfile,sys\n"
                                          "z=zipfile.ZipFile(sys.argv[1],'w')\n"
                                          "z.writestr('ok.txt','fine')\n"
                                          "z.writestr('../escape.txt','out')\n"
                                          "z.close()",
                                          zip}),
            0);
  EncryptFirst(zip);
  Deliver(VolumeMail(second, {zip}, 0));
  ASSERT_TRUE(WaitUntil([&] { return alice.Row(second)->State != jsActive; }));
  EXPECT_EQ(alice.Row(second)->State, jsError);
  // The row says why: the archive's own reason.
  EXPECT_TRUE(alice.Row(second)->Info.startsWith("Error: The archive holds the unsafe name \"../escape.txt\""))
      << alice.Row(second)->Info.toStdString();
  EXPECT_FALSE(QFileInfo::exists(Root + "/escape.txt"));
  EXPECT_FALSE(QFileInfo::exists(alice.Main().TempInput() + "/" + second));
}

TEST_F(ReplyHandling, ForgedRepliesAreDeletedUnread) {
  LocalPeer alice(Alice);
  WriteFile(Downloads + "/notes.txt", "mine");
  // carol, no friend, mails alice an archive sealed for her, first with a
  // stamp of her own, then with the stamp of alice's open request to bob.
  const QString open = IssueDownload(alice);
  WriteFile(Root + "/evil/notes.txt", "replaced");
  WriteFile(Root + "/evil/run.sh", "#!/bin/sh\n");
  const QStringList volumes = BuildVolumes({Root + "/evil/notes.txt", Root + "/evil/run.sh"}, 1000000);
  ASSERT_EQ(volumes.size(), 1);
  MessageCipher cipher;
  peer::SetPeerKey(cipher, "alice@example.test");
  for (const QString& stamp : {QString("29991231235959013"), open}) {
    SCOPED_TRACE(stamp.toStdString());
    const QByteArray volume = ReadFile(volumes[0]);
    Deliver(RawAttachmentMail("carol@example.test",
                              peer::VolumeSubject(stamp, volume.size(), 1, cipher.EncryptText("download")), "",
                              "disk.001", volume));
    ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() == 0; }));
    EXPECT_EQ(QDir(Downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"notes.txt"});
    EXPECT_EQ(ReadFile(Downloads + "/notes.txt"), "mine");
    EXPECT_FALSE(QFileInfo::exists(alice.Main().TempInput() + "/" + stamp));
    EXPECT_EQ(alice.Row(open)->State, jsActive);
    EXPECT_EQ(alice.Row(open)->Progress, 50);
  }
}

TEST_F(ReplyHandling, ElevenDownloadsAtOnceAllEndDone) {
  LocalPeer alice(Alice);
  struct Download {
    QString JobId;
    QString Name;
    QByteArray Content;
    QStringList Volumes;
  };
  std::vector<Download> downloads;
  for (int i = 0; i < 11; ++i) {
    Download d;
    d.JobId = IssueDownload(alice);
    d.Name = QString("file%1.bin").arg(i);
    d.Content = RandomBytes(2500000, 100 + i);  // three volumes of the smallest size the options allow
    WriteFile(Root + "/src/" + d.Name, d.Content);
    d.Volumes = BuildVolumes({Root + "/src/" + d.Name}, 1000000, Root + "/volumes" + QString::number(i));
    ASSERT_EQ(d.Volumes.size(), 3);
    downloads.push_back(d);
  }
  // Every last volume first, so that eleven of them wait for the others.
  for (const Download& d : downloads) MailStack::Get().Drop("alice", VolumeMail(d.JobId, d.Volumes, 2));
  for (int v : {0, 1})
    for (const Download& d : downloads) MailStack::Get().Drop("alice", VolumeMail(d.JobId, d.Volumes, v));
  for (const Download& d : downloads) {
    ASSERT_TRUE(WaitUntil([&] { return alice.Row(d.JobId)->State != jsActive; }, 600000)) << d.Name.toStdString();
    EXPECT_EQ(alice.Row(d.JobId)->State, jsDone) << alice.Row(d.JobId)->Info.toStdString();
    EXPECT_EQ(ReadFile(Downloads + "/" + d.Name), d.Content) << d.Name.toStdString();
  }
}

TEST_F(ReplyHandling, RequestsAreCheckedAndAFailedSendShowsTheMailLog) {
  LocalPeer alice(Alice);
  struct Case {
    QString Remote, Error;
  };
  for (const Case& c : {Case{"  ", "Remote Address is empty."},
                        Case{"bob@example.test\r\nRCPT TO:<carol@example.test>", "Remote Address is not a valid mail address."},
                        Case{"bob@example.test, carol@example.test", "Remote Address is not a valid mail address."}}) {
    EXPECT_EQ(alice.Exchange().IssueRequest("list", "", c.Remote).Error, c.Error) << c.Remote;
  }
  EXPECT_EQ(alice.Rows().Count(), 0);

  QString shown, log;
  bool smtp = false;
  QObject::connect(&alice.Exchange(), &TExchange::ShowJobError, [&](const QString& text, bool s, const QString& l) {
    shown = text;
    smtp = s;
    log = l;
  });
  alice.Main().Options().SetPop3Password("not the password");
  const TExchange::Issued issued = alice.Exchange().IssueRequest("list", "", "bob@example.test");
  ASSERT_TRUE(issued.Error.isEmpty());
  ASSERT_TRUE(WaitUntil([&] { return !shown.isEmpty(); }));
  EXPECT_EQ(alice.Row(issued.JobId)->State, jsError);
  EXPECT_EQ(alice.Row(issued.JobId)->Progress, 25);
  EXPECT_EQ(shown, "Unable to send message.\r\nCheck your SMTP server configuration.");
  EXPECT_TRUE(smtp);
  EXPECT_FALSE(log.isEmpty());
  EXPECT_FALSE(log.contains("not the password"));
}

TEST_F(ReplyHandling, StoppedRequestStaysStoppedAndItsReplyIsDiscarded) {
  const QString share = Root + "/share";
  WriteFile(share + "/a.bin", "a");
  PeerDir bob = PeerDir::Make(Root, "bob", false);
  CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", share});
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());

  LocalPeer alice(Alice);
  int listings = 0;
  QObject::connect(&alice.Exchange(), &TExchange::ShowListing, [&] { ++listings; });
  const TExchange::Issued issued = alice.Exchange().IssueRequest("list", "", "bob@example.test");
  ASSERT_TRUE(issued.Error.isEmpty());
  // The user stops the row before the requesting thread has looked.
  alice.Main().SetStopJobId(alice.Rows().Stop(0));
  ASSERT_TRUE(WaitUntil([&] { return alice.Exchange().RunningWorkers() == 0; }));
  EXPECT_EQ(alice.Row(issued.JobId)->State, jsStopped);

  // bob answers all the same; alice's poller deletes the answer unread.
  ASSERT_TRUE(server.WaitServing("Done"));
  const int pollers = alice.Cycle().PollersStarted();
  ASSERT_TRUE(WaitUntil([&] { return alice.Cycle().PollersStarted() >= pollers + 3; }));
  EXPECT_TRUE(MailStack::Get().Mails("alice").isEmpty());
  EXPECT_EQ(listings, 0);
  EXPECT_EQ(alice.Row(issued.JobId)->State, jsStopped);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ReplyHandling, TenRequestsAreServedAtOnceTheEleventhWaitsForASlot) {
  const QString share = Root + "/share";
  WriteFile(share + "/a.bin", "a");
  PeerDir bob = PeerDir::Make(Root, "bob", false);
  CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", share});
  LocalPeer server(bob, false);
  server.Exchange().SetOnlineCheck({});
  // Paced, so that a served request holds its slot for a while (1 s after
  // the reply, 3 s at the end).
  SetPaceFactor(1);
  int opened = 0, done = 0, openedBeforeFirstDone = -1, doneBeforeEleventh = -1;
  QObject::connect(&server.Exchange(), &TExchange::ServingJobChanged,
                   [&](const QString&, qint32 state, double progress, const QString& info) {
                     if (state == jsActive && progress == 50 && info.isEmpty()) {
                       if (++opened == 11) doneBeforeEleventh = done;
                     } else if (state == jsDone) {
                       if (done++ == 0) openedBeforeFirstDone = opened;
                     }
                   });
  for (int i = 0; i < 11; ++i) {
    const QString stamp = NewStamp();
    server.Exchange().StartServing({"alice@example.test", "?_", stamp, stamp, "list", "", ""});
  }
  ASSERT_TRUE(WaitUntil([&] { return done == 11; }, 300000)) << done;
  EXPECT_EQ(openedBeforeFirstDone, 10);
  EXPECT_GE(doneBeforeEleventh, 1);
  EXPECT_TRUE(MailStack::Get().WaitForMails("alice", 11));
}

}  // namespace
