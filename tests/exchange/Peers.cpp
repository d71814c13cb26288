#include "Peers.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "main/ClassMain.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "platform/Closing.h"
#include "platform/Settings.h"

LocalPeer::LocalPeer(const PeerDir& peer, bool goOnline) {
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "exchange_test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
  }
  qputenv("KESTRO_SETTINGS", peer.Settings().toUtf8());
  qputenv("KESTRO_RUNTIME_DIR", peer.Runtime().toUtf8());
  InstallSettings::Reload();
  SetPaceFactor(InstallSettings::Current().Pace);
  SetClosing(false);
  FMain = std::make_unique<TClassMain>(nullptr, peer.Conf(), false);
  FMain->SetSaveOnDestroy(false);
  FMain->CleanTempFolders();
  FExchange = std::make_unique<TExchange>(FMain.operator*(), FRows);
  FCycle = std::make_unique<TOnlineCycle>(*FMain, FRows);
  FCycle->SetHandOver(FExchange->HandOver());
  FExchange->SetOnlineCheck([this] { return FCycle->Online(); });
  if (goOnline) {
    FCycle->GoOnline();
    EXPECT_TRUE(FCycle->Online());
  }
}

LocalPeer::~LocalPeer() {
  FCycle->GoOffline();
  FExchange.reset();
  // Let the last poller finish its pass before the next test clears mailboxes.
  PlainWait(1500);
  QCoreApplication::processEvents();
}

const JobRow* LocalPeer::Row(const QString& jobId) const {
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).Number == jobId) return &FRows.Row(i);
  return nullptr;
}
