#include "Peers.h"

#include <QCoreApplication>
#include <QDir>
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

std::unique_ptr<QCoreApplication> EnsureCoreApplication() {
  static int argc = 1;
  static char name[] = "kestro_test";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance()) return nullptr;
  return std::make_unique<QCoreApplication>(argc, argv);
}

bool UseOwnInstallation(const QString& root, const QString& pace, const QString& extra) {
  QDir().mkpath(root + "/conf");
  const QString settings = "[Options]\nCONF=" + root + "/conf\nLOG=" + root + "/log\nTEMP_INPUT=" + root +
                           "/in\nTEMP_OUTPUT=" + root + "/out\nPACE=" + pace + "\n" + extra;
  if (!WriteFile(root + "/settings.ini", settings.toUtf8())) return false;
  qputenv("KESTRO_SETTINGS", (root + "/settings.ini").toUtf8());
  qputenv("KESTRO_RUNTIME_DIR", (root + "/run").toUtf8());
  InstallSettings::Reload();
  return true;
}
