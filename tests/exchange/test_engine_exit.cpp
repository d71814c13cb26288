// The exit of the engine: every thread it owns ends within the limit that
// Shutdown is given, and the configuration is saved. Without the mail stack a
// requesting thread waits for its slot; on the mail stack a reply handler
// waits for missing volumes while a poller is inside its pass.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "Peers.h"
#include "archive/Archiver.h"
#include "core/Jobs.h"
#include "exchange/Engine.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"
#include "platform/NamedSemaphore.h"
#include "platform/Settings.h"

namespace {

using namespace std::chrono_literals;

// The stored state of a configuration, read back after the engine is gone.
struct Stored {
  QStringList Addresses;
  QString DownloadFolder;
  QString RemoteHost;
};
Stored ReadBack(const QString& conf) {
  TClassMain main(nullptr, conf, false);
  main.SetSaveOnDestroy(false);
  return {main.Addresses().Addresses(), main.Options().DownloadFolder(), main.RemoteHost()};
}

TEST(EngineExit, ARequestWaitingForItsSlotEndsAndTheConfigurationIsSaved) {
  const std::unique_ptr<QCoreApplication> app = EnsureCoreApplication();
  QTemporaryDir dir;
  const QString root = dir.path();
  ASSERT_TRUE(UseOwnInstallation(root, "1"));

  // Another request holds the one sending slot: ours waits for it.
  NamedSemaphore held(QString::fromLatin1(kClientSemaphore), 1);
  ASSERT_TRUE(held.Acquire(0));
  auto engine = std::make_unique<Engine>(root + "/conf", false);
  EXPECT_FALSE(IsClosing());
  engine->Main().Options().SetPop3Account("alice@example.test");
  engine->Main().Options().SetDownloadFolder(root + "/downloads");
  engine->Exchange().SetOnlineCheck({});  // requests go out while offline
  const TExchange::Issued issued = engine->Exchange().IssueRequest("list", "", "bob@example.test");
  ASSERT_TRUE(issued.Error.isEmpty()) << issued.Error;
  ASSERT_EQ(engine->Exchange().RunningWorkers(), 1);

  EXPECT_TRUE(engine->Shutdown(30s));
  EXPECT_TRUE(IsClosing());
  EXPECT_TRUE(engine->Shutdown(0ms));  // once; a second call tells the first result
  engine.reset();
  const Stored stored = ReadBack(root + "/conf");
  EXPECT_EQ(stored.Addresses, QStringList{"bob@example.test"});
  EXPECT_EQ(stored.DownloadFolder, root + "/downloads");
  EXPECT_EQ(stored.RemoteHost, "bob@example.test");
  SetClosing(false);
}

TEST(EngineExitOnMailStack, AReplyHandlerWaitingForVolumesAndAPollerInItsPassEndWithinTheLimit) {
  REQUIRE_MAILSTACK();
  for (const char* user : {"alice", "bob"}) MailStack::Get().Clear(user);
  QTemporaryDir dir;
  const QString root = dir.path();
  const PeerDir alice = PeerDir::Make(root, "alice", false);
  auto peer = std::make_unique<LocalPeer>(alice);
  Engine& engine = peer->Kestro();

  // alice asks bob, who does not answer, for a download.
  const QString downloads = root + "/downloads";
  engine.Main().Options().SetDownloadFolder(downloads);
  const TExchange::Issued issued = engine.Exchange().IssueRequest("download", "a.bin\r\n", "bob@example.test");
  ASSERT_TRUE(issued.Error.isEmpty()) << issued.Error;
  ASSERT_TRUE(WaitUntil([&] { return peer->Row(issued.JobId)->Progress == 50; }));
  ASSERT_TRUE(WaitUntil([&] { return engine.Exchange().RunningWorkers() == 0; }));

  // The volumes bob would send: the first encrypted for alice.
  WriteFile(root + "/src/a.bin", RandomBytes(160000, 10));
  const Result<QStringList> built = Archiver(3, 70000).BuildVolumes({root + "/src/a.bin"}, root + "/volumes");
  ASSERT_TRUE(built) << built.error();
  const QStringList volumes = *built;
  ASSERT_EQ(volumes.size(), 3);
  {
    MessageCipher cipher;
    cipher.SetKey(peer::VolumeKeyText(cipher, alice.Address()));
    ASSERT_TRUE(cipher.EncryptFileInPlace(volumes[0]));
  }
  auto volumeMail = [&](int index) {
    qint64 total = 0;
    for (const QString& v : volumes) total += QFileInfo(v).size();
    MessageCipher cipher;
    peer::SetPeerKey(cipher, alice.Address());
    const QString subject = peer::VolumeSubject(issued.JobId, total, volumes.size(), cipher.EncryptText("download"));
    return RawAttachmentMail("bob@example.test", subject, "", QFileInfo(volumes[index]).fileName(),
                             ReadFile(volumes[index]));
  };

  // The waits of the exchange as a user has them: the handler of the last
  // volume, which comes first, waits up to an hour for the others.
  SetPaceFactor(1);
  MailStack::Get().Drop("alice", volumeMail(2));
  ASSERT_TRUE(WaitUntil([&] { return engine.Exchange().RunningWorkers() > 0; }));

  // The exit comes while a poller hands over the next volume: the poller is
  // inside its pass, waiting for this thread.
  const HandOverFn serve = engine.Exchange().HandOver();
  bool exited = false, ended = false;
  int pollersAtExit = 0, workersAtExit = 0;
  engine.Cycle().SetHandOver([&](const HandOverData& mail) {
    if (exited || mail.AttachmentName != QFileInfo(volumes[0]).fileName()) return serve(mail);
    exited = true;
    pollersAtExit = engine.Cycle().RunningPollers();
    workersAtExit = engine.Exchange().RunningWorkers();
    ended = engine.Shutdown(30s);
  });
  MailStack::Get().Drop("alice", volumeMail(0));
  ASSERT_TRUE(WaitUntil([&] { return exited; }));
  EXPECT_GE(pollersAtExit, 1);
  EXPECT_GE(workersAtExit, 1);
  EXPECT_TRUE(ended);
  EXPECT_EQ(engine.Cycle().RunningPollers(), 0);
  EXPECT_EQ(peer->Row(issued.JobId)->State, jsActive);  // nothing was finished on the way out
  peer.reset();
  SetPaceFactor(0);

  const Stored stored = ReadBack(alice.Conf());
  EXPECT_EQ(stored.Addresses, QStringList{"bob@example.test"});
  EXPECT_EQ(stored.DownloadFolder, downloads);
  EXPECT_FALSE(QFileInfo::exists(downloads + "/a.bin"));
  SetClosing(false);
}

}  // namespace
