// The mailbox pollers: each makes exactly one pass over the mailbox, takes the
// peer mails ("$_", "?_", "!_") that are still wanted, saves their single
// attachment under the temporary input folder, hands each to the main thread
// and deletes every peer mail. Every other mail stays untouched.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

#include "platform/Closing.h"
#include "platform/Settings.h"

class TMailPOP3;
class TMailIMAP4;
class TMailReceiver;

// What a pass hands over for one taken mail, in the order StartServing takes it.
struct HandOverData {
  QString SenderAddress;
  QString Prefix;
  QString Ident;
  QString IdentBase;
  QString SubjectRest;
  QString MessageBody;
  QString AttachmentName;  // saved as TempInput/IdentBase/AttachmentName; empty when none
  // False when a file of that name lay there already: it was left as it was
  // and this mail's attachment was not kept, so the file is not this mail's
  // to delete.
  bool AttachmentSaved = true;
};

// Runs on the main thread for each taken mail (StartServing).
using HandOverFn = std::function<void(const HandOverData&)>;
// Told of every peer mail of a pass, taken or not, on the poller's thread.
using PeerMailFn = std::function<void(const HandOverData&, bool taken)>;

// Whether name may be saved under a folder: one path component, no separators,
// no "..", no control characters.
bool SafeAttachmentName(const QString& name);

class TClassAccelerator : public QThread {
  Q_OBJECT
public:
  ~TClassAccelerator() override;

  // The hand-over: fn runs synchronously on the thread of context (the main
  // thread), and not at all once the program is closing. Without a context it
  // runs on the poller's own thread.
  void SetHandOver(HandOverFn fn, QObject* context);
  void SetPeerMailReport(PeerMailFn fn) { FReport = std::move(fn); }
  // Frees the object when its run ends (the default). An owner that keeps
  // the poller (OwnedPoller) turns it off.
  void SetFreeOnTerminate(bool on) { FFreeOnTerminate = on; }
  // Starts the thread one step below normal priority.
  void Resume();
  // Ends the pass early, as the exit flag does: the semaphore wait and the
  // pauses end, no further mail is taken and nothing more is handed over.
  void Cancel() { FCancel.store(true); }
  bool Cancelled() const { return FCancel.load(); }
  // Runs the thread body on the calling thread (kestroctl, tests).
  void RunHere() { run(); }
  // The semaphore wait in ms (preset 360000).
  void SetSemaphoreWait(int ms) { FSemaphoreWait = ms; }

  QString AttachmentName() const { return FAttachmentName; }
  QString SenderAddress() const { return FSenderAddress; }
  QString AccountName() const { return FAccountName; }
  void SetAccountName(const QString& v) { FAccountName = v; }
  QString AccountPassword() const { return FAccountPassword; }
  void SetAccountPassword(const QString& v) { FAccountPassword = v; }
  QString ServerHost() const { return FServerHost; }
  void SetServerHost(const QString& v) { FServerHost = v; }
  int ServerPort() const { return FServerPort; }
  void SetServerPort(int v) { FServerPort = v; }
  // How the connection is secured (tls, starttls, or none for loopback servers).
  MailSecurity Security() const { return FSecurity; }
  void SetSecurity(MailSecurity v) { FSecurity = v; }
  QString SubjectRest() const { return FSubjectRest; }
  QString Prefix() const { return FPrefix; }
  QString TempInput() const { return FTempInput; }
  void SetTempInput(const QString& v) { FTempInput = v; }
  QString MessageBody() const { return FMessageBody; }
  QString IdentBase() const { return FIdentBase; }
  QString Ident() const { return FIdent; }
  QString OnlineStamp() const { return FOnlineStamp; }
  void SetOnlineStamp(const QString& v) { FOnlineStamp = v; }
  QString StopJobId() const { return FStopJobId; }
  void SetStopJobId(const QString& v) { FStopJobId = v; }
  // Our requests issued before going online that still wait for replies:
  // their replies are taken although older than the online stamp.
  void SetOpenRequests(const QStringList& v) { FOpenRequests = v; }
  // Certificate authorities besides the system's (preset: CA_FILE of the installation).
  void SetCaFile(const QString& v) { FCaFile = v; }
  // A log of the pass's mail session (none when empty).
  void SetLogFile(const QString& v) { FLogFile = v; }
  // Where the mailbox list and the taken mails are kept between runs
  // (TMailReceiver::SetMemoryFile; none when empty).
  void SetMemoryFile(const QString& v) { FMemoryFile = v; }

  // What the last pass did (tests, kestroctl).
  struct Outcome {
    bool Ran = false;       // the semaphore was taken and the pass started
    int Code = 0;           // first failing result of the session; 0 when it went through
    QString Error;          // for a local failure: what and which folder
    int Listed = 0;         // mails in the mailbox
    int HeadersFetched = 0; // of them, headers read from the server
    int Deleted = 0;        // peer mails deleted
    qint64 BytesReceived = 0;
  };
  Outcome LastOutcome() const { return FOutcome; }

protected:
  TClassAccelerator(const char* semaphoreName, QObject* parent);
  void run() override;
  // One pass; sets FOutcome.
  virtual void Pass() = 0;
  // Steps 1 to 7 of the loop for mail i: false when it is no peer mail.
  bool Classify(TMailReceiver& box, int i, bool& taken);
  // Body and attachment of the current (downloaded) mail; false (and the
  // pass fails) when its attachment could not be kept on the disk.
  bool TakeCurrent(TMailReceiver& box);
  // Downloads peer mail i and hands it over (a failed download too when
  // handOverFailedDownload); taken becomes false when it was not handed over.
  // False: the pass ends here (connection gone, disk full, attachment lost).
  bool TakeMail(TMailReceiver& box, int i, bool& taken, bool handOverFailedDownload);
  // Logs that the current peer mail is deleted unparsed, beyond the limits.
  void NoteOverLimits(const TMailReceiver& box) const;
  // Ends the pass with a local failure (disk full) in folder.
  void FailLocally(int code, const QString& folder);
  void Configure(TMailReceiver& box) const;
  void HandOver();
  HandOverData Current() const;
  void Report(bool taken) const;

  // Whether the pass should stop: the program exits or the poller was cancelled.
  bool Stopping() const;
  // PacedWait that also ends when the poller is cancelled.
  bool Pause(int ms) { return PacedWait(ms, &FCancel); }

  Outcome FOutcome;
  bool FDryRun = false;  // hand over, delete nothing (kestroctl mailbox scan)

private:
  const char* FSemaphoreName;
  int FSemaphoreWait = 360000;
  bool FFreeOnTerminate = true;
  std::atomic<bool> FCancel{false};
  HandOverFn FHandOver;
  PeerMailFn FReport;
  QPointer<QObject> FContext;
  bool FHasContext = false;
  QString FCaFile, FLogFile, FMemoryFile;

  QString FAttachmentName;
  bool FAttachmentSaved = false;
  QString FSenderAddress;
  QString FAccountName;
  QString FAccountPassword;
  QString FServerHost;
  int FServerPort = 0;
  MailSecurity FSecurity = MailSecurity::Tls;
  QString FSubjectRest;
  QString FPrefix;
  QString FTempInput;
  QString FMessageBody;
  QString FIdentBase;
  QString FIdent;
  QString FOnlineStamp;
  QString FStopJobId;
  QStringList FOpenRequests;

  friend class MailboxScan;
};

// Owns a poller thread the way a unique_ptr owns an object: freeing it
// cancels the pass, waits for the thread to end and deletes the poller.
struct StopAndJoinPoller {
  void operator()(TClassAccelerator* poller) const;
};
using OwnedPoller = std::unique_ptr<TClassAccelerator, StopAndJoinPoller>;

class TClassAcceleratorPOP3 : public TClassAccelerator {
  Q_OBJECT
public:
  explicit TClassAcceleratorPOP3(QObject* parent = nullptr);
  ~TClassAcceleratorPOP3() override;
  // The mail object made by the starter (optional: the pass makes one when none is given).
  void SetMailObject(std::unique_ptr<TMailPOP3> object);
  bool Authent() const { return FAuthent; }
  void SetAuthent(bool v) { FAuthent = v; }
  // Lists, hands over and decides as a pass would, deleting nothing.
  void SetDryRun(bool on) { FDryRun = on; }

protected:
  void Pass() override;

private:
  std::unique_ptr<TMailPOP3> FMailObject;
  bool FAuthent = false;
};

class TClassAcceleratorIMAP4 : public TClassAccelerator {
  Q_OBJECT
public:
  explicit TClassAcceleratorIMAP4(QObject* parent = nullptr);
  ~TClassAcceleratorIMAP4() override;
  QString MailboxName() const { return FMailboxName; }
  void SetMailboxName(const QString& v) { FMailboxName = v; }
  void SetDryRun(bool on) { FDryRun = on; }
  // A mail object that the owner keeps from pass to pass: a pass that goes
  // through leaves its connection open for the next one (TMailIMAP4::
  // OpenMailbox), so that a later pass costs no connection and no login.
  // Without one, each pass connects and logs out.
  void SetMailObject(std::shared_ptr<TMailIMAP4> object) { FMailObject = std::move(object); }

protected:
  void Pass() override;

private:
  QString FMailboxName = QStringLiteral("Inbox");
  std::shared_ptr<TMailIMAP4> FMailObject;
};
