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
