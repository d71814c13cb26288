// Push for an IMAP4 account: a watcher keeps one connection of its own to
// the polled folder and waits in IDLE (RFC 2177), so that new mail is known
// the moment it arrives. It only tells: NewMail is emitted when the folder
// grows (an untagged EXISTS above the known count, or a RECENT count that
// rose), and the owner starts the mailbox pass; the watcher never reads,
// changes or deletes a mail (the folder is opened read-only with EXAMINE).
//
// The connection is secured like every other one of the account (implicit
// TLS, STARTTLS before the login, or none to a loopback server only) and the
// server's certificate goes through the same check. The watcher runs on a
// thread of its own:
// - IDLE is ended (DONE) and started again every renew period (preset 25
//   minutes), within the servers' 30-minute limit;
// - a connection that drops or cannot be made is tried again after a wait
//   that doubles from the first back-off to the longest (preset 2 s to
//   5 min); after such a gap NewMail is emitted once the watcher is back,
//   since mail may have arrived unseen;
// - a server without IDLE, a refused login or folder, a refused
//   certificate or a missing STARTTLS ends the watcher for good: it says why
//   once (Stopped, and a warning in the program's log) and the owner's
//   polling simply goes on;
// - Cancel, the program's exit flag and the destructor end the thread within
//   one poll step of the connection (50 ms): no read waits longer.
// The password is sent only inside LOGIN and never written to a log.
// Signals are emitted on the watcher's thread (queued to a receiver on
// another thread).
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "transport/AccountCheck.h"

class ImapIdleWatcher : public QObject {
  Q_OBJECT
public:
  explicit ImapIdleWatcher(IncomingAccount account, QObject* parent = nullptr);
  // Cancels and waits for the thread.
  ~ImapIdleWatcher() override;

  // Before Start. A session log appended to (none when empty).
  void SetLogFile(const QString& path) { FLogFile = path; }
  void SetRenewPeriod(std::chrono::milliseconds period) { FRenew = period; }
  void SetBackOff(std::chrono::milliseconds first, std::chrono::milliseconds longest) {
    FFirstBackOff = first;
    FLongestBackOff = longest;
  }

  void Start();
  // Asks the thread to end; returns at once.
  void Cancel();
  // Waits for the thread to end (after Cancel, or after it stopped for good).
  void Wait();

  // Whether the connection waits in IDLE now.
  bool Active() const { return FActive.load(); }
  // Whether the watcher ended by itself for good, and why.
  bool HasStopped() const { return FStopped.load(); }
  QString StopReason() const;
  // Connections that reached IDLE, and IDLE commands sent (renewals included).
  int Sessions() const { return FSessions.load(); }
  int IdleCommands() const { return FIdleCommands.load(); }

  // The IMAP4 forms of texts (exposed for tests): an astring as a quoted
  // string, or nothing when it needs a literal (8-bit, CR, LF, NUL, long);
  // a mailbox name in modified UTF-7.
  static std::optional<std::string> Quoted(const std::string& text);
  static std::string MailboxUtf7(const QString& name);

signals:
  void NewMail();
  void ActiveChanged(bool active);
  void Stopped(const QString& why);

private:
  class Session;
  void Run();
  void SetActive(bool active);

  const IncomingAccount FAccount;
  QString FLogFile;
  std::chrono::milliseconds FRenew{25 * 60 * 1000};
  std::chrono::milliseconds FFirstBackOff{2000};
  std::chrono::milliseconds FLongestBackOff{5 * 60 * 1000};
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FActive{false};
  std::atomic<bool> FStopped{false};
  std::atomic<int> FSessions{0};
  std::atomic<int> FIdleCommands{0};
  mutable QMutex FLock;
  QString FStopReason;
  std::thread FThread;
};
