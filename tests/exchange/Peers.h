// A Kestro peer running in this process, on the test mail stack. The peer
// folders, kestroctl runs and peers as processes of their own are in
// tests/support (included here for the tests of the exchange).
#pragma once

#include <memory>

#include "MailStack.h"
#include "PeerProcess.h"
#include "TestFiles.h"
#include "WaitUntil.h"
#include "core/JobRows.h"
#include "exchange/Engine.h"

class TClassMain;
class TExchange;
class TOnlineCycle;

class QCoreApplication;

// The application object a test without one needs; null when one exists.
std::unique_ptr<QCoreApplication> EnsureCoreApplication();

// Points this process at a private installation under root: settings.ini with
// CONF, LOG, TEMP_INPUT and TEMP_OUTPUT under root, PACE=pace and then the
// extra lines; the conf folder exists. False when the file cannot be written.
bool UseOwnInstallation(const QString& root, const QString& pace, const QString& extra = {});

// Kestro in this process, as the window holds it: an engine on the peer's
// configuration. Freeing it shuts the engine down and waits for every thread.
class LocalPeer {
public:
  explicit LocalPeer(const PeerDir& peer, bool goOnline = true);
  ~LocalPeer();
  Engine& Kestro() { return *FEngine; }
  TClassMain& Main() { return FEngine->Main(); }
  JobRowModel& Rows() { return FEngine->Rows(); }
  TExchange& Exchange() { return FEngine->Exchange(); }
  TOnlineCycle& Cycle() { return FEngine->Cycle(); }
  // The row of a job, or nullptr.
  const JobRow* Row(const QString& jobId) const;

private:
  std::unique_ptr<Engine> FEngine;
};
