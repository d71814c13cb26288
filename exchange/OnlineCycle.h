// The online state: going online tests the incoming account once and arms
// the poll timer; each tick starts one mailbox poller (POP3 or IMAP4 by the
// options), whose taken mails are handed to the given function on this thread.
// The IMAP4 pollers share one mail object, whose connection stays open from
// pass to pass while online.
// Headless: the window shows what it does, kestroctl runs it without one.
//
// The cycle owns the pollers it starts: a finished one is freed on this
// thread, CancelPollers and WaitPollers end the rest within a deadline, and
// the destructor cancels every poller and waits for it without limit. The
// polling period is the options' period in effect (its preset while none is
// stored).
//
// Push: while online with IMAP4 (and push on, the preset), a watcher waits in
// IDLE on the polled folder (ImapIdleWatcher); the new mail it reports starts
// a pass at once through the tick's own path, one pass at a time: new mail
// reported while a pass runs starts one more pass when that one ends. The
// timer goes on polling at its period as the fallback, and a server without
// IDLE leaves the timer alone. The watcher follows the online state and the
// account: it ends when going offline, at exit and when the options no
// longer ask for it, and starts anew when the account changes.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>
#include <vector>

#include <functional>
#include <memory>

#include "transport/AccountCheck.h"
#include "transport/MailboxPoller.h"

class TClassMain;
class JobRowModel;
class ImapIdleWatcher;

class TOnlineCycle : public QObject {
  Q_OBJECT
public:
  TOnlineCycle(TClassMain& main, const JobRowModel& rows, QObject* parent = nullptr);
  ~TOnlineCycle() override;

  bool Online() const { return FOnline; }
  bool GoingOnline() const { return FGoingOnline; }
  QTimer& Timer() { return FTimer; }

  // The hand-over of the pollers (StartServing).
  void SetHandOver(HandOverFn fn) { FHandOver = std::move(fn); }

  // What a failed connection test tells the user.
  struct Failure {
    int Code = 0;
    QString Message;  // "Unable to connect ... Error code: " + code
    QString LogFile;  // the session log of the test
  };
  // Takes a new OnlineStamp and tests the account on a thread of its own while
  // this thread's events go on (user input excepted). Online when the test
  // passes; otherwise the failure is returned and the state stays offline.
  Failure GoOnline();
  void GoOffline();

  // The polling period now, stretched while a large transfer is running.
  int PollInterval() const;
  // Sets the timer to PollInterval when it differs (idle-time check).
  void AdjustPollTimer();
  // Re-arms the timer after the options changed (it runs even while offline).
  void RestartTimer();

  // The connection test of GoOnline (tests: an account check without servers);
  // empty: the real one.
  using AccountTestFn = std::function<int(const IncomingAccount&, bool imap, const QString& logPath)>;
  void SetAccountTest(AccountTestFn fn) { FAccountTest = std::move(fn); }

  // One tick: starts a poller while online and no earlier poller is running,
  // so that there is never more than one pass at a time.
  void Tick();
  // The pollers started so far (tests).
  int PollersStarted() const { return FPollersStarted; }
  // Pollers whose thread has not ended yet.
  int RunningPollers() const;

  // Exit: ends the pass of every poller and the push watcher (and starts
  // none from now on), then waits for the pollers until the deadline;
  // whether every poller has ended.
  void CancelPollers();
  bool WaitPollers(QDeadlineTimer deadline);

  // Whether the push watcher waits in IDLE now.
  bool PushActive() const { return FPushActive; }
  // Push on (the preset) or off: off, the timer alone polls.
  void SetPushEnabled(bool on);
  bool PushEnabled() const { return FPushEnabled; }
  // The watcher's IDLE renewal period and reconnection back-off (preset 25
  // minutes, 2 s to 5 min); for watchers started from now on.
  void SetPushTiming(std::chrono::milliseconds renew, std::chrono::milliseconds firstBackOff,
                     std::chrono::milliseconds longestBackOff);
  // The running watcher, or null (tests).
  const ImapIdleWatcher* PushWatcher() const { return FWatcher.get(); }

signals:
  void OnlineChanged(bool online);
  // The push watcher started or stopped waiting in IDLE.
  void PushChanged(bool active);

private:
  void StartPop3Poller();
  void StartImap4Poller();
  void Configure(TClassAccelerator& poller);
  void Start(OwnedPoller poller);
  // Starts a pass while online and no earlier pass runs (the tick's path).
  void StartPass();
  // Frees the pollers whose thread has ended.
  void Reap();
  // A poller ended: the pass that new mail asked for meanwhile starts now.
  void PollerFinished();
  // New mail reported by the watcher.
  void NewMail();
  // Starts, keeps, restarts or stops the watcher as the state and the options ask.
  void UpdateWatcher();
  void StopWatcher();
  void SetPushActive(bool active);
  void Finish(bool online);

  TClassMain& FMain;
  const JobRowModel& FRows;
  QTimer FTimer;
  HandOverFn FHandOver;
  AccountTestFn FAccountTest;
  bool FOnline = false;
  bool FGoingOnline = false;
  int FPollersStarted = 0;
  bool FCancelled = false;
  std::vector<OwnedPoller> FPollers;
  // The IMAP4 connection kept from pass to pass while online.
  std::shared_ptr<TMailIMAP4> FImapBox;
  std::unique_ptr<ImapIdleWatcher> FWatcher;
  IncomingAccount FWatcherAccount;  // what the watcher was started with
  unsigned FWatcherGeneration = 0;  // reports of earlier watchers are ignored
  bool FPushEnabled = true;
  bool FPushActive = false;
  bool FPassWanted = false;  // new mail came while a pass was running
  std::chrono::milliseconds FRenew{25 * 60 * 1000}, FFirstBackOff{2000}, FLongestBackOff{5 * 60 * 1000};
};
