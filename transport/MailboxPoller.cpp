#include "transport/MailboxPoller.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <future>

#include "core/FileUtils.h"
#include "core/TextUtils.h"
#include "message/Stamp.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "platform/NamedSemaphore.h"
#include "transport/Imap4Mailbox.h"
#include "transport/MailResult.h"
#include "transport/Pop3Mailbox.h"

namespace {
constexpr int kPauseAfterHandOverMs = 1000;
constexpr int kPauseAfterPassMs = 1000;
constexpr int kMailTimeOutSec = 60;

// Whether a result means that the session cannot go on.
bool ConnectionGone(int code) {
  return code == mrConnectionLost || code == mrTimedOut || code == mrNotConnected || code == mrCancelled;
}

// Whether a result means that a mail could not be kept on the local disk.
bool LocalFailure(int code) { return code == mrDiskFull || code == mrFileError; }
}  // namespace

bool SafeAttachmentName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.size() > 255) return false;
  for (const QChar c : name) {
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f) return false;
  }
  return !name.contains(QStringLiteral(".."));
}

TClassAccelerator::TClassAccelerator(const char* semaphoreName, QObject* parent)
    : QThread(parent), FSemaphoreName(semaphoreName) {
  connect(this, &QThread::finished, this, [this] {
    if (FFreeOnTerminate) deleteLater();
  });
}

TClassAccelerator::~TClassAccelerator() = default;

void StopAndJoinPoller::operator()(TClassAccelerator* poller) const {
  if (!poller) return;
  poller->Cancel();
  poller->wait();
  delete poller;
}

bool TClassAccelerator::Stopping() const { return IsClosing() || Cancelled(); }

void TClassAccelerator::SetHandOver(HandOverFn fn, QObject* context) {
  FHandOver = std::move(fn);
  FContext = context;
  FHasContext = context != nullptr;
}

void TClassAccelerator::Resume() { start(QThread::LowPriority); }

void TClassAccelerator::run() {
  FOutcome = Outcome();
  NamedSemaphore semaphore(QString::fromLatin1(FSemaphoreName), 1);
  // On time-out (another pass hangs) or exit this poller gives up its turn;
  // the next tick tries again.
  if (!semaphore.Acquire(FSemaphoreWait, &FCancel)) return;
  FOutcome.Ran = true;
  try {
    Pass();
  } catch (...) {
    LogDropped("mailbox pass");  // not reported to the user; the next tick tries again
  }
  Pause(kPauseAfterPassMs);
  semaphore.Release();
}

void TClassAccelerator::Configure(TMailReceiver& box) const {
  box.SetMailServer(FServerHost);
  box.SetMailPort(FServerPort);
  box.SetAccount(FAccountName);
  box.SetPassword(FAccountPassword);
  box.SetSecurity(FSecurity);
  box.SetTimeOut(kMailTimeOutSec);
  if (!FCaFile.isEmpty()) box.SetCaFile(FCaFile);
  box.SetLogFile(FLogFile);
  box.SetMemoryFile(FMemoryFile);
  if (!FTempInput.isEmpty()) box.SetWorkFolder(FTempInput);
}

bool TClassAccelerator::Classify(TMailReceiver& box, int i, bool& taken) {
  taken = false;
  const QString subject = box.Subject(i);
  // Most of a mailbox is ordinary mail: told apart by its first two characters.
  if (!peer::HasPeerPrefix(subject)) return false;
  FSubjectRest = subject;
  FPrefix = subject.left(2);
  const peer::ReceivedSubject parsed = peer::ParseSubject(subject);
  if (!parsed.Ours) return false;
  FSenderAddress = box.FromAddr(i);
  FMessageBody.clear();
  FAttachmentName.clear();
  FIdent = parsed.Ident;
  FIdentBase = parsed.IdentBase;
  FSubjectRest = parsed.SubjectRest;
  taken = peer::Accepts(parsed, FOnlineStamp, FStopJobId, FOpenRequests);
  return true;
}

bool TClassAccelerator::TakeCurrent(TMailReceiver& box) {
  FMessageBody = TrimText(box.BodyText());
  FAttachmentName.clear();
  FAttachmentSaved = false;
  if (box.AttachmentCount() == 1 && !FTempInput.isEmpty()) {
    const QString name = box.AttachmentFileName(1);
    // Only TempInput/<17-digit stamp>/<one name component>; anything else
    // counts as a mail without attachment.
    if (SafeAttachmentName(name) && IsStamp(FIdentBase)) {
      const QString folder = FTempInput + QLatin1Char('/') + FIdentBase;
      const bool existed = QFileInfo::exists(folder);
      QDir().mkpath(folder);
      const QString path = folder + QLatin1Char('/') + name;
      if (QFileInfo(path).isSymLink()) QFile::remove(path);
      if (QFileInfo(path).isFile()) {
        // Taken before (the same volume mailed twice), or a forged mail
        // that names a collected volume: what lies there stays untouched.
        FAttachmentName = name;
        FAttachmentSaved = false;
      } else if (PathInside(folder, FTempInput)) {
        const int code = box.SaveAttachment(1, path);
        if (code == 0) {
          FAttachmentName = name;
          FAttachmentSaved = true;
        } else if (LocalFailure(code)) {
          if (!existed) QDir().rmdir(folder);
          FailLocally(code, folder);
          return false;
        }
      }
    }
  }
  return true;
}

void TClassAccelerator::NoteOverLimits(const TMailReceiver& box) const {
  qCWarning(lcKestro, "Peer mail from %s deleted unread: %s", qUtf8Printable(FSenderAddress),
            qUtf8Printable(box.OverLimits()));
}

void TClassAccelerator::FailLocally(int code, const QString& folder) {
  FOutcome.Code = code;
  FOutcome.Error = QStringLiteral("%1 Folder: \"%2\". The mail stays on the server; the next pass tries again.")
                       .arg(MailResultText(code), QDir::toNativeSeparators(folder));
  qCWarning(lcKestro, "Mailbox pass ended: %s", qUtf8Printable(FOutcome.Error));
}

HandOverData TClassAccelerator::Current() const {
  return {FSenderAddress, FPrefix, FIdent, FIdentBase, FSubjectRest, FMessageBody, FAttachmentName, FAttachmentSaved};
}

void TClassAccelerator::Report(bool taken) const {
  if (FReport) FReport(Current(), taken);
}

void TClassAccelerator::HandOver() {
  if (Stopping() || !FHandOver) return;
  const HandOverData data = Current();
  if (!FHasContext) {
    FHandOver(data);
    return;
  }
  QObject* context = FContext.data();
  if (!context) return;
  if (context->thread() == QThread::currentThread()) {
    FHandOver(data);
    return;
  }
  // A synchronous call into the main thread that gives up when the program
  // closes or the poller is cancelled, so that an exiting main thread never
  // waits for this one.
  // A hand-over given up on is not run later either.
  struct Call {
    std::promise<void> Done;
    std::atomic<bool> GivenUp{false};
  };
  auto call = std::make_shared<Call>();
  std::future<void> finished = call->Done.get_future();
  HandOverFn fn = FHandOver;
  QMetaObject::invokeMethod(
      context,
      [fn, data, call] {
        if (!IsClosing() && !call->GivenUp.load()) fn(data);
        call->Done.set_value();
      },
      Qt::QueuedConnection);
  while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    if (Stopping()) {
      call->GivenUp.store(true);
      return;
    }
  }
}

// ---------------------------------------------------------------------------

TClassAcceleratorPOP3::TClassAcceleratorPOP3(QObject* parent) : TClassAccelerator(kPop3Semaphore, parent) {}
TClassAcceleratorPOP3::~TClassAcceleratorPOP3() = default;

void TClassAcceleratorPOP3::SetMailObject(std::unique_ptr<TMailPOP3> object) { FMailObject = std::move(object); }

void TClassAcceleratorPOP3::Pass() {
  std::unique_ptr<TMailPOP3> box = std::move(FMailObject);
  if (!box) box = std::make_unique<TMailPOP3>();
  Configure(*box);
  box->SetAuthMode(Authent() ? 272 : 0);
  FOutcome.Code = box->Connect();
  if (FOutcome.Code != 0) return;
  FOutcome.Code = box->DownloadHeaders();
  FOutcome.Listed = box->MessageCount();
  FOutcome.HeadersFetched = box->HeadersFetched();
  if (FOutcome.Code == 0) {
    const int n = box->MessageCount();
    for (int i = 1; i <= n && !Stopping(); ++i) {
      bool taken = false;
      if (!Classify(*box, i, taken)) continue;
      // Handed over by a pass whose deletions never became final.
      if (taken && box->WasTaken(i)) taken = false;
      // A failed download still hands over whatever the mail object holds,
      // unless the connection is gone or the mail is beyond the limits.
      if (taken && !TakeMail(*box, i, taken, true)) break;
      Report(taken);
      if (FDryRun) continue;
      const int code = box->DeleteSingleMessage(i);
      if (code == 0) ++FOutcome.Deleted;
      if (ConnectionGone(code)) {
        FOutcome.Code = code;
        break;
      }
    }
  }
  FOutcome.BytesReceived = box->BytesReceived();
  box->SaveMemory();
  const int code = box->Disconnect();
  if (FOutcome.Code == 0) FOutcome.Code = code;
}

bool TClassAccelerator::TakeMail(TMailReceiver& box, int i, bool& taken, bool handOverFailedDownload) {
  const int code = box.DownloadMessage(i);
  if (ConnectionGone(code)) {
    FOutcome.Code = code;
    return false;
  }
  // A mail that cannot be kept on the disk stays on the server.
  if (LocalFailure(code)) {
    FailLocally(code, TempInput());
    return false;
  }
  if (code == mrOverLimits || (code != 0 && !handOverFailedDownload)) {
    if (code == mrOverLimits) NoteOverLimits(box);
    taken = false;
    return true;
  }
  if (!TakeCurrent(box)) return false;
  HandOver();
  box.MarkTaken(i);
  Pause(kPauseAfterHandOverMs);
  return true;
}

// ---------------------------------------------------------------------------

TClassAcceleratorIMAP4::TClassAcceleratorIMAP4(QObject* parent) : TClassAccelerator(kImap4Semaphore, parent) {}
TClassAcceleratorIMAP4::~TClassAcceleratorIMAP4() = default;

void TClassAcceleratorIMAP4::Pass() {
  const std::shared_ptr<TMailIMAP4> kept = FMailObject;
  const std::shared_ptr<TMailIMAP4> object = kept ? kept : std::make_shared<TMailIMAP4>();
  TMailIMAP4& box = *object;
  Configure(box);
  const qint64 bytesBefore = box.BytesReceived();
  FOutcome.Code = box.OpenMailbox(AccountName(), AccountPassword(), FMailboxName);
  if (FOutcome.Code == 0) FOutcome.Code = box.DownloadEnvelopes();
  FOutcome.Listed = box.MessageCount();
  FOutcome.HeadersFetched = box.HeadersFetched();
  if (FOutcome.Code == 0) {
    const int n = box.MessageCount();
    // The small mails this pass takes come down together, in one command.
    std::vector<int> small;
    for (int i = 1; i <= n && !Stopping(); ++i) {
      bool taken = false;
      if (Classify(box, i, taken) && taken && !box.Deleted(i) && !box.WasTaken(i)) small.push_back(i);
    }
    box.Prefetch(small);
    for (int i = 1; i <= n && !Stopping(); ++i) {
      bool taken = false;
      if (!Classify(box, i, taken)) continue;
      // A mail flagged deleted is on its way out (ours from an earlier pass,
      // or another client's): it is neither taken nor touched.
      if (box.Deleted(i)) continue;
      if (taken && box.WasTaken(i)) taken = false;
      // A taken mail that cannot be downloaded is deleted without hand-over.
      if (taken && !TakeMail(box, i, taken, false)) break;
      Report(taken);
      if (FDryRun) continue;
      // A handed-over mail is flagged at once (the command goes out now, its
      // answer is read later), so that no later pass hands it over again;
      // the others go with the next command.
      const int code = taken ? box.FlagDeleted(i) : box.DeleteLater(i);
      if (code == 0) {
        ++FOutcome.Deleted;
        // Ours to remove, also after a pass that ends before its expunge.
        box.MarkTaken(i);
      }
      if (ConnectionGone(code)) {
        FOutcome.Code = code;
        break;
      }
    }
    // One removal for the whole pass: exactly the mails flagged above (also
    // when a local failure ended the pass early).
    if (!FDryRun && !ConnectionGone(FOutcome.Code)) {
      const int code = box.Expunge();
      if (FOutcome.Code == 0) FOutcome.Code = code;
    }
  }
  FOutcome.BytesReceived = box.BytesReceived() - bytesBefore;
  box.SaveMemory();
  // The connection stays open for the owner's next pass when this one went
  // through; after a failure the next pass starts afresh.
  if (kept && FOutcome.Code == 0 && !Stopping()) return;
  const int code = box.Disconnect();
  if (FOutcome.Code == 0) FOutcome.Code = code;
}
