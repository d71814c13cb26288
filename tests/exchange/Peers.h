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

class TClassMain;
class TExchange;
class TOnlineCycle;

// Kestro in this process, as the window would hold it: application object,
// job rows, exchange and online cycle.
class LocalPeer {
public:
  explicit LocalPeer(const PeerDir& peer, bool goOnline = true);
  ~LocalPeer();
  TClassMain& Main() { return *FMain; }
  JobRowModel& Rows() { return FRows; }
  TExchange& Exchange() { return *FExchange; }
  TOnlineCycle& Cycle() { return *FCycle; }
  // The row of a job, or nullptr.
  const JobRow* Row(const QString& jobId) const;

private:
  std::unique_ptr<TClassMain> FMain;
  JobRowModel FRows;
  std::unique_ptr<TExchange> FExchange;
  std::unique_ptr<TOnlineCycle> FCycle;
};
