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
  FEngine = std::make_unique<Engine>(peer.Conf(), false);
  if (goOnline) {
    Cycle().GoOnline();
    EXPECT_TRUE(Cycle().Online());
  }
}

LocalPeer::~LocalPeer() {
  // The last poller's pass ends before the next test clears the mailboxes.
  EXPECT_TRUE(FEngine->Shutdown(std::chrono::seconds(60)));
  FEngine.reset();
  QCoreApplication::processEvents();
}

const JobRow* LocalPeer::Row(const QString& jobId) const {
  const JobRowModel& rows = FEngine->Rows();
  for (int i = 0; i < rows.Count(); ++i)
    if (rows.Row(i).Number == jobId) return &rows.Row(i);
  return nullptr;
}
