#include "exchange/OnlineCycle.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <thread>

#include "core/JobRows.h"
#include "message/Stamp.h"
#include "main/ClassMain.h"
#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "transport/AccountCheck.h"
#include "transport/Imap4Mailbox.h"
#include "transport/ImapIdle.h"
#include "transport/MailResult.h"

TOnlineCycle::TOnlineCycle(TClassMain& main, const JobRowModel& rows, QObject* parent)
    : QObject(parent), FMain(main), FRows(rows) {
  FTimer.setInterval(FMain.Options().EffectivePollMilliseconds());
  connect(&FTimer, &QTimer::timeout, this, &TOnlineCycle::Tick);
}

TOnlineCycle::~TOnlineCycle() {
  CancelPollers();
  FPollers.clear();  // each waits for its thread
}

int TOnlineCycle::RunningPollers() const {
  int n = 0;
  for (const OwnedPoller& p : FPollers) n += p->isFinished() ? 0 : 1;
  return n;
}

void TOnlineCycle::CancelPollers() {
  FCancelled = true;
  FTimer.stop();
  StopWatcher();
  for (const OwnedPoller& p : FPollers) p->Cancel();
}

bool TOnlineCycle::WaitPollers(QDeadlineTimer deadline) {
  bool ended = true;
  for (const OwnedPoller& p : FPollers) ended = p->wait(deadline) && ended;
  return ended;
}

void TOnlineCycle::Reap() {
  std::erase_if(FPollers, [](const OwnedPoller& p) { return p->isFinished(); });
}

void TOnlineCycle::PollerFinished() {
  Reap();
  if (FPassWanted && FPollers.empty()) StartPass();
}

void TOnlineCycle::Start(OwnedPoller poller) {
  poller->SetFreeOnTerminate(false);
  connect(poller.get(), &QThread::finished, this, &TOnlineCycle::PollerFinished, Qt::QueuedConnection);
  Reap();
  FPollers.push_back(std::move(poller));
  FPollers.back()->Resume();
}

TOnlineCycle::Failure TOnlineCycle::GoOnline() {
  Failure failure;
  if (FOnline || FGoingOnline) return failure;
  FMain.SetOnlineStamp(NewStamp());
  FGoingOnline = true;
  const TClassOptions& o = FMain.Options();
  const bool imap = o.Pop3Type() != 0;
  failure.Message =
      imap ? QStringLiteral("Unable to connect IMAP Server.\r\nCheck your IMAP server configuration.\r\nError code: ")
           : QStringLiteral("Unable to connect POP3 Server.\r\nCheck your POP3 server configuration.\r\nError code: ");
  failure.LogFile = FMain.LogFolder() + (imap ? QStringLiteral("/imap4.log") : QStringLiteral("/pop3.log"));
  QDir().mkpath(FMain.LogFolder());

  // The test talks to the server: it runs on a thread of its own.
  const IncomingAccount account = IncomingAccountOf(o);
  const QString logFile = failure.LogFile;
  int code = -1;
  QEventLoop loop;
  std::thread worker([&] {
    if (FAccountTest)
      code = FAccountTest(account, imap, logFile);
    else
      code = imap ? TestImap4Connection(account, logFile) : TestPop3Connection(account, logFile);
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();

  failure.Code = code;
  // The code, and on the line under it what the mail layer says it means.
  failure.Message += QString::number(code) + QStringLiteral("\r\n") + MailResultText(code);
  Finish(code == 0);
  return failure;
}

void TOnlineCycle::GoOffline() { Finish(false); }

void TOnlineCycle::Finish(bool online) {
  FGoingOnline = false;
  if (FMain.Options().ServerType() == 0) {
    FTimer.setInterval(FMain.Options().EffectivePollMilliseconds());
    online ? FTimer.start() : FTimer.stop();
  }
  const bool changed = FOnline != online;
  FOnline = online;
  if (!online) {
    FImapBox.reset();  // the kept connection goes (at once, or when its pass ends)
    FPassWanted = false;
  }
  UpdateWatcher();
  if (changed) emit OnlineChanged(online);
}

void TOnlineCycle::SetPushEnabled(bool on) {
  FPushEnabled = on;
  UpdateWatcher();
}

void TOnlineCycle::SetPushTiming(std::chrono::milliseconds renew, std::chrono::milliseconds firstBackOff,
                                 std::chrono::milliseconds longestBackOff) {
  FRenew = renew;
  FFirstBackOff = firstBackOff;
  FLongestBackOff = longestBackOff;
}

void TOnlineCycle::SetPushActive(bool active) {
  if (FPushActive == active) return;
  FPushActive = active;
  emit PushChanged(active);
}

void TOnlineCycle::UpdateWatcher() {
  try {
    const TClassOptions& o = FMain.Options();
    if (!FOnline || FCancelled || IsClosing() || !FPushEnabled || o.ServerType() != 0 || o.Pop3Type() == 0) {
      StopWatcher();
      return;
    }
    const IncomingAccount account = IncomingAccountOf(o);
    const IncomingAccount& w = FWatcherAccount;
    if (FWatcher && w.Server == account.Server && w.Port == account.Port && w.Security == account.Security &&
        w.Account == account.Account && w.Password == account.Password && w.Folder == account.Folder &&
        w.CaFile == account.CaFile)
      return;  // the same account: a watcher that ended by itself stays ended
    StopWatcher();
    FWatcherAccount = account;
    FWatcher = std::make_unique<ImapIdleWatcher>(account);
    FWatcher->SetLogFile(FMain.LogFolder() + QStringLiteral("/imap4-push.log"));
    FWatcher->SetRenewPeriod(FRenew);
    FWatcher->SetBackOff(FFirstBackOff, FLongestBackOff);
    const unsigned generation = ++FWatcherGeneration;
    connect(FWatcher.get(), &ImapIdleWatcher::NewMail, this, [this, generation] {
      if (generation == FWatcherGeneration) NewMail();
    });
    connect(FWatcher.get(), &ImapIdleWatcher::ActiveChanged, this, [this, generation](bool active) {
      if (generation == FWatcherGeneration) SetPushActive(active);
    });
    FWatcher->Start();
  } catch (...) {
    LogDropped("starting push over IMAP4 IDLE");  // the timer polls on
  }
}

void TOnlineCycle::StopWatcher() {
  ++FWatcherGeneration;
  if (FWatcher) {
    FWatcher->Cancel();
    FWatcher->Wait();  // within one poll step of its connection
    FWatcher.reset();
  }
  SetPushActive(false);
}

void TOnlineCycle::NewMail() {
  if (!FOnline || FCancelled || IsClosing()) return;
  Reap();
  if (!FPollers.empty()) {
    FPassWanted = true;  // started when the running pass ends
    return;
  }
  StartPass();
}

int TOnlineCycle::PollInterval() const { return ::PollInterval(FMain.Options().EffectivePollSeconds(), FRows, FMain.Jobs()); }

void TOnlineCycle::AdjustPollTimer() {
  if (FMain.Options().ServerType() != 0 || !FOnline) return;
  const int iv = PollInterval();
  if (iv != FTimer.interval()) {
    FTimer.stop();
    FTimer.setInterval(iv);
    FTimer.start();
  }
}

void TOnlineCycle::RestartTimer() {
  UpdateWatcher();
  if (FMain.Options().ServerType() != 0) return;
  FTimer.setInterval(FMain.Options().EffectivePollMilliseconds());
  FTimer.start();
}

void TOnlineCycle::Tick() {
  FTimer.stop();
  UpdateWatcher();  // a change of the protocol takes effect at the tick
  StartPass();
  FTimer.start();
}

void TOnlineCycle::StartPass() {
  try {
    // One pass at a time: while the last poller runs, nothing starts.
    Reap();
    if (!FPollers.empty()) return;
    FPassWanted = false;
    if (FMain.Options().ServerType() == 0 && FOnline && !FCancelled && !IsClosing())
      FMain.Options().Pop3Type() == 0 ? StartPop3Poller() : StartImap4Poller();
  } catch (...) {
    LogDropped("starting a mailbox poller");  // the next tick tries again
  }
}

void TOnlineCycle::Configure(TClassAccelerator& poller) {
  const TClassOptions& o = FMain.Options();
  poller.SetServerPort(o.Pop3Port());
  poller.SetServerHost(o.Pop3Server());
  poller.SetSecurity(o.Pop3Security());
  poller.SetAccountName(o.Pop3Account());
  poller.SetAccountPassword(o.Pop3Password());
  poller.SetOnlineStamp(FMain.OnlineStamp());
  poller.SetStopJobId(FMain.StopJobId());
  QStringList open;  // requests that outlived a restart wait for their replies
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).State == jsActive && FRows.Row(i).Number <= FMain.OnlineStamp()) open << FRows.Row(i).Number;
  poller.SetOpenRequests(open);
  poller.SetTempInput(FMain.TempInput());
  poller.SetMemoryFile(QFileInfo(FMain.Data().MainFile()).absolutePath() + QStringLiteral("/mailbox-memory.json"));
  // The hand-over runs on this thread; a mail handed over after going offline
  // is deleted without being served.
  poller.SetHandOver(
      [this](const HandOverData& data) {
        if (FOnline && FHandOver) FHandOver(data);
      },
      this);
  ++FPollersStarted;
}

void TOnlineCycle::StartPop3Poller() {
  auto* poller = new TClassAcceleratorPOP3();
  OwnedPoller owned(poller);
  Configure(*poller);
  poller->SetAuthent(FMain.Options().Pop3Authent());
  FImapBox.reset();
  Start(std::move(owned));
}

void TOnlineCycle::StartImap4Poller() {
  auto* poller = new TClassAcceleratorIMAP4();
  OwnedPoller owned(poller);
  Configure(*poller);
  poller->SetMailboxName(FMain.Options().Pop3Folder());
  if (!FImapBox) FImapBox = std::make_shared<TMailIMAP4>();
  poller->SetMailObject(FImapBox);
  Start(std::move(owned));
}
