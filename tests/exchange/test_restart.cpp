// A restart keeps the user's running requests: they come back as rows, their
// collected volumes survive the start-up clean-up, and their replies are
// taken after the restart as before it. Without the mail stack, the start of
// an engine on kept requests; on the mail stack, a requester killed in the
// middle of a download and started again.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <csignal>

#include "MailStack.h"
#include "Peers.h"
#include "core/Jobs.h"
#include "exchange/Engine.h"
#include "exchange/Exchange.h"
#include "main/ClassMain.h"
#include "archive/Archiver.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"
#include "platform/Settings.h"

namespace {

using namespace std::chrono_literals;

QString AgoUtc(qint64 seconds) {
  return QDateTime::currentDateTimeUtc().addSecs(-seconds).toString(Qt::ISODateWithMs);
}

const JobRow* RowOf(Engine& engine, const QString& jobId) {
  for (int i = 0; i < engine.Rows().Count(); ++i)
    if (engine.Rows().Row(i).Number == jobId) return &engine.Rows().Row(i);
  return nullptr;
}

// Kept requests as the configuration holds them after an end without exit:
// one heard from a minute ago, one silent for longer than the time-out (an
// hour); beside their folders, a stray folder and file of the last run.
TEST(Restart, KeptRequestsComeBackAndOneWhoseTimeRanOutEndsAtStart) {
  const std::unique_ptr<QCoreApplication> app = EnsureCoreApplication();
  QTemporaryDir dir;
  const QString root = dir.path(), conf = root + "/conf";
  ASSERT_TRUE(UseOwnInstallation(root, "0"));
  const QString fresh = "20261211010000000", stale = "20261211000000000";
  QString in;
  {
    TClassMain main(nullptr, conf, false);
    in = main.TempInput();
    main.SetRequests({{fresh, "bob@example.test", "alice@example.test", "download", "a.bin\r\n", 50, 4, 3500000,
                       "01:00:00", AgoUtc(60), in + "/" + fresh},
                      {stale, "bob@example.test", "alice@example.test", "download", "b.bin\r\n", 75, 2, 1500000,
                       "00:00:00", AgoUtc(3700), in + "/" + stale}});
  }
  for (const QString& file : {fresh + "/disk.001", fresh + "/disk.002", stale + "/disk.001",
                              QString("20261210000000000/disk.001"), QString("stray.txt")})
    ASSERT_TRUE(WriteFile(in + "/" + file, "volume"));

  Engine engine(conf, false);
  ASSERT_EQ(engine.Rows().Count(), 2);
  EXPECT_EQ(engine.Rows().Row(0).Number, fresh);  // newest first
  const JobRow* going = RowOf(engine, fresh);
  ASSERT_TRUE(going);
  EXPECT_EQ(going->State, jsActive);
  EXPECT_DOUBLE_EQ(going->Progress, 75);  // sent, and two of four volumes collected
  EXPECT_EQ(going->Split, 4);
  EXPECT_EQ(going->Size, 3500000);
  EXPECT_EQ(going->Subject, "?_download");
  EXPECT_EQ(going->Text, "a.bin\r\n");
  const JobRow* ended = RowOf(engine, stale);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->State, jsError);
  EXPECT_EQ(ended->Info, "Error: Time out error.");

  EXPECT_TRUE(QFileInfo::exists(in + "/" + fresh + "/disk.001"));
  EXPECT_TRUE(QFileInfo::exists(in + "/" + fresh + "/disk.002"));
  EXPECT_EQ(QDir(in).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({fresh}));
  // Its replies are opened with the own address it went out under.
  EXPECT_EQ(engine.Main().LocalAddress(), "alice@example.test");
  ASSERT_EQ(engine.Main().Requests().size(), 1);
  EXPECT_EQ(engine.Main().Requests()[0].Number, fresh);

  // Stopped by the user, it is no longer kept.
  EXPECT_EQ(engine.Rows().Stop(0), fresh);
  EXPECT_TRUE(engine.Main().Requests().isEmpty());
  EXPECT_TRUE(engine.Shutdown(30s));
  TClassMain back(nullptr, conf, false);
  back.SetSaveOnDestroy(false);
  EXPECT_TRUE(back.Requests().isEmpty());
}

// A download whose last volume was collected first waits for the others
// again after a start; an exit while it waits keeps its volumes and the
// request for the start after.
TEST(Restart, ALastVolumeCollectedBeforeTheEndWaitsAgainAfterTheStart) {
  const std::unique_ptr<QCoreApplication> app = EnsureCoreApplication();
  QTemporaryDir dir;
  const QString root = dir.path(), conf = root + "/conf", downloads = root + "/downloads";
  ASSERT_TRUE(UseOwnInstallation(root, "0"));
  const QString alice = "alice@example.test", jobId = "20261211020000000";

  // The volumes bob sent: the first encrypted for alice.
  const QByteArray bytes = RandomBytes(160000, 11);
  ASSERT_TRUE(WriteFile(root + "/src/a.bin", bytes));
  const Result<QStringList> built = Archiver(3, 70000).BuildVolumes({root + "/src/a.bin"}, root + "/volumes");
  ASSERT_TRUE(built) << built.error();
  const QStringList volumes = *built;
  ASSERT_EQ(volumes.size(), 3);
  {
    MessageCipher cipher;
    cipher.SetKey(peer::VolumeKeyText(cipher, alice));
    ASSERT_TRUE(cipher.EncryptFileInPlace(volumes[0]));
  }
  qint64 total = 0;
  for (const QString& v : volumes) total += QFileInfo(v).size();

  QString folder;
  {
    TClassMain main(nullptr, conf, false);
    main.Options().SetDownloadFolder(downloads);
    folder = main.TempInput() + "/" + jobId;
    main.SetRequests({{jobId, "bob@example.test", alice, "download", "a.bin\r\n", 50 + 50.0 / 3, 3, total,
                       "02:00:00", AgoUtc(10), folder}});
  }
  QDir().mkpath(folder);
  for (int i : {0, 2}) ASSERT_TRUE(QFile::copy(volumes[i], folder + "/" + QFileInfo(volumes[i]).fileName()));

  {
    Engine first(conf, false);
    EXPECT_EQ(first.Exchange().RunningWorkers(), 1);  // the wait for the second volume
    // The handler asks the main thread for its request before it waits; the
    // exit comes once it has had the time to get there (the checks below
    // hold wherever it is).
    WaitUntil([] { return false; }, 1500);
    EXPECT_EQ(first.Exchange().RunningWorkers(), 1);
    EXPECT_TRUE(first.Shutdown(30s));
  }
  SetClosing(false);
  EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);

  Engine engine(conf, false);
  ASSERT_EQ(engine.Rows().Count(), 1);
  EXPECT_EQ(engine.Rows().Row(0).State, jsActive);
  EXPECT_EQ(engine.Exchange().RunningWorkers(), 1);
  // The second volume arrives as a poller hands it over.
  engine.Exchange().SetOnlineCheck({});
  const QString name = QFileInfo(volumes[1]).fileName();
  ASSERT_TRUE(QFile::copy(volumes[1], folder + "/" + name));
  MessageCipher cipher;
  peer::SetPeerKey(cipher, alice);
  engine.Exchange().StartServing({"bob@example.test", peer::kReplyPrefix,
                                  jobId + "." + QString::number(total) + ".3", jobId,
                                  cipher.EncryptText("download") + "_Done", "", name});
  ASSERT_TRUE(WaitUntil([&] { return engine.Rows().Row(0).State != jsActive; }));
  EXPECT_EQ(engine.Rows().Row(0).State, jsDone) << engine.Rows().Row(0).Info.toStdString();
  EXPECT_TRUE(ReadFile(downloads + "/a.bin") == bytes);
  EXPECT_FALSE(QFileInfo::exists(folder));
  EXPECT_TRUE(engine.Main().Requests().isEmpty());
}

// alice asks bob for a file of four volumes, sent two seconds apart, and is
// killed once the first has been taken; started again, she takes the rest.
class RestartMailStack : public ::testing::TestWithParam<bool> {};

TEST_P(RestartMailStack, AKilledRequesterStartedAgainCompletesTheDownload) {
  REQUIRE_MAILSTACK();
  for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
  QTemporaryDir dir;
  const QString root = dir.path(), share = root + "/share", into = root + "/downloads";
  const QByteArray bytes = RandomBytes(3500000, 7);
  ASSERT_TRUE(WriteFile(share + "/big.bin", bytes));

  const PeerDir bob = PeerDir::Make(root, "bob", false);
  CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", share});
  CtlOk(bob, {"option", "set", bob.Conf(), "OPTIONS_ATTACH_VOLUME", "1000000"});
  // Paced: ten seconds between volumes, scaled down to two.
  QByteArray settings = ReadFile(bob.Settings());
  settings.replace("PACE=0", "PACE=0.2");
  ASSERT_TRUE(WriteFile(bob.Settings(), settings));
  const PeerDir alice = PeerDir::Make(root, "alice", GetParam());
  RunningPeer server(bob);
  ASSERT_TRUE(server.Online());

  QProcess request;
  request.setProcessEnvironment(alice.Env());
  request.start(KESTROCTL, {"request", alice.Conf(), "bob@example.test", "download", "big.bin", "--into", into,
                            "--trace"});
  // "row TAB progress TAB state": a volume was taken once the row passes 50 %.
  QByteArray trace;
  const bool partway = WaitUntil([&] {
    request.waitForReadyRead(50);
    trace += request.readAllStandardError();
    for (const QByteArray& line : trace.split('\n')) {
      const QList<QByteArray> parts = line.split('\t');
      if (parts.size() >= 3 && parts[0] == "row" && parts[2] == "Active" && parts[1].toDouble() > 50) return true;
    }
    return request.state() == QProcess::NotRunning;
  });
  ASSERT_TRUE(partway) << trace.constData();
  ASSERT_EQ(request.state(), QProcess::Running) << trace.constData();
  ::kill(pid_t(request.processId()), SIGKILL);
  request.waitForFinished();
  ASSERT_FALSE(QFileInfo::exists(into + "/big.bin")) << "the download ended before the kill";

  {
    RunningPeer again(alice);
    ASSERT_TRUE(again.Online());
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(into + "/big.bin").size() == bytes.size(); }, 300000));
    EXPECT_TRUE(ReadFile(into + "/big.bin") == bytes);
    EXPECT_EQ(again.Stop(), 0);
  }
  // Done: nothing is kept for the next start, and nothing is left collected.
  qputenv("KESTRO_SETTINGS", alice.Settings().toUtf8());
  InstallSettings::Reload();
  TClassMain back(nullptr, alice.Conf(), false);
  back.SetSaveOnDestroy(false);
  EXPECT_TRUE(back.Requests().isEmpty());
  EXPECT_TRUE(QDir(back.TempInput()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Pop3AndImap4, RestartMailStack, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Imap4" : "Pop3"; });

}  // namespace
