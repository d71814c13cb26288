#include "exchange/ServerThread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "core/FileUtils.h"
#include "core/Jobs.h"
#include "core/TextUtils.h"
#include "exchange/PlainAnswers.h"
#include "exchange/ShareListing.h"
#include "archive/VolumeNames.h"
#include "message/Stamp.h"
#include "archive/Archiver.h"
#include "core/Result.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "platform/NamedSemaphore.h"
#include "transport/MailSender.h"
#include "transport/SmtpSender.h"

using namespace peer;

namespace {
constexpr int kServerSlots = 10;
constexpr int kPauseAfterMailMs = 1000;
constexpr int kPauseBetweenVolumesMs = 10000;
constexpr int kPauseAtEndMs = 3000;
constexpr int kVolumeCheckMs = 500;
// Even unpaced, the wait for missing volumes looks at the folder at most
// this often instead of spinning.
constexpr int kVolumeCheckFloorMs = 20;

// The record's text while a download waits for the sender's previous one.
const QString kStatusWaiting = QStringLiteral("waiting");

QString ErrorText(const QString& message) { return kErrorPrefix + message; }

// The status part of a received reply names a failure when it carries the
// "Error: " of the wire format; this is the one place that reads it.
bool ReportsFailure(const QString& status) { return status.contains(kErrorPrefix); }

// A received text for a log line: control characters (a line break
// included) become "?", and it is cut to a sane length.
QString OneLine(const QString& text) {
  QString line = text.left(200);
  for (QChar& c : line)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
  return line;
}

// Room in a volume mail for all but the attachment: the headers with the
// subject (as encoded words at worst), the text part (quoted-printable at
// worst), the MIME frame and what the servers add on the way (Received lines).
qint64 VolumeMailOverhead(const QString& sealedPayload, const QString& notFoundPart) {
  constexpr qint64 kFrameBytes = 8192;
  const QString subject = VolumeSubject(QStringLiteral("00000000000000000"), Q_INT64_C(999999999999999), 99999,
                                        sealedPayload);
  const QString body = VolumeInstructions(2) + notFoundPart;
  return 2 * qint64(subject.toUtf8().size()) + 3 * qint64(body.toUtf8().size()) + kFrameBytes;
}

QStringList Lines(const QString& text) {
  static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
  return text.split(lineBreak);
}
}  // namespace

QString VolumeInstructions(int volumeCount) {
  const QString crlf = QStringLiteral("\r\n");
  if (volumeCount <= 1) return crlf + QString::fromUtf8(kInstructionsOne);
  return crlf + QString::fromUtf8(kInstructionsMany) + crlf + QString::fromUtf8(kInstructionsReader);
}

// ---------------------------------------------------------------------------

TClassServer::TClassServer(ExchangeHost* host, QObject* context) : TClassWorker(host, context) {}
TClassServer::~TClassServer() = default;

void TClassServer::SetFailure(const QString& reason) {
  FFailed = true;
  FStatusText = ErrorText(reason);
}

void TClassServer::SetDone() {
  FFailed = false;
  FStatusText = kStatusDone;
}

void TClassServer::SetMail(const HandOverData& mail) {
  FSenderAddress = mail.SenderAddress;
  FPrefix = mail.Prefix;
  FIdent = mail.Ident;
  FIdentBase = mail.IdentBase;
  FSubjectRest = mail.SubjectRest;
  FMessageBody = mail.MessageBody;
  FAttachmentName = mail.AttachmentName;
  FAttachmentSaved = mail.AttachmentSaved;
}

QString TClassServer::OpenText(const QString& text) {
  if (FPrefix == kPlainPrefix) return text;
  FCipher.SetKey(FKeyText, kMessageIv);
  return FCipher.DecryptText(RemoveLineBreaks(text));
}

QString TClassServer::SealText(const QString& text) {
  if (FPrefix == kPlainPrefix) return text;
  FCipher.SetKey(FKeyText, kMessageIv);
  return FCipher.EncryptText(text);
}

QString TClassServer::VolumeKey() {
  FCipher.SetKey(FKeyText, kMessageIv);
  return FCipher.EncryptText(kVolumeKeySeed);
}

bool TClassServer::Authenticate() {
  FShareFolder.clear();
  FKeyText.clear();
  bool served = false;
  const ShareLookup who = FShares ? FShares->Lookup(FSenderAddress) : ShareLookup();
  if (who.Granted) {
    FKeyText = PeerKeyText(who.KeyAddress, FKeySuffix);
    FSubjectRest = OpenText(FSubjectRest);
    FCommand = CommandOf(FSubjectRest);
    if (FCommand == kCmdList || FCommand == kCmdDownload) {
      FShareFolder = who.Folder;
      FChangeDir = who.ChangeDir;
      FMessageBody = OpenText(FMessageBody);
      served = true;
    } else {
      SetFailure(kMsgAuthFailed);
    }
  } else {
    SetFailure(kMsgForbidden);
  }
  if (!served) OpenServingJob();
  return served;
}

void TClassServer::RunCommand() {
  FFailed = false;
  FStatusText = QStringLiteral("Error");
  FProgress = 100;
  FState = jsDone;
  FAdditiveProgress = false;
  if (FCommand == kCmdDownload) {
    SetDone();
    // Names inside subfolders, and folders (archived with what they hold),
    // need the right to open subfolders.
    if (!FChangeDir)
      for (const QString& line : Lines(FMessageBody))
        if (ReachesBelowTop(TrimText(line), FShareFolder)) SetFailure(kMsgNotAllowed);
  } else if (FCommand == kCmdList) {
    const Result<QString> listing = ListRequestedFolder();
    if (!listing && listing.error() == kMsgNotAllowed) {
      SetFailure(kMsgNotAllowed);  // the request's text goes back as with any refusal
    } else if (listing) {
      FMessageBody = FPrefix == kPlainPrefix ? PlainListingAnswer(*listing) : *listing;
      SetDone();
    } else {
      FMessageBody.clear();
      SetFailure(listing.error());
    }
  }
}

Result<QString> TClassServer::ListRequestedFolder() const {
  // An empty body asks for the top as a peer always has: exactly the files.
  // A body names the folder, and its listing holds the subfolders too. A
  // person's plain mail may carry any text (a signature): its first line
  // counts only when it names a folder of the share.
  QString asked = TrimText(FMessageBody);
  if (FPrefix == kPlainPrefix) {
    asked = TrimText(Lines(asked).value(0));
    if (!NamesShareTop(asked) && ResolveShareFolder(asked, FShareFolder).isEmpty()) asked.clear();
  }
  if (asked.isEmpty()) return FolderListing(FShareFolder);
  // Without the right to open them, the subfolders are not shown either.
  if (NamesShareTop(asked)) return FChangeDir ? FolderListingWithFolders(FShareFolder) : FolderListing(FShareFolder);
  if (!FChangeDir) return Failure(kMsgNotAllowed);
  const QString folder = ResolveShareFolder(asked, FShareFolder);
  if (folder.isEmpty()) return Failure(kMsgNoDirectory);
  return FolderListingWithFolders(folder);
}

bool TClassServer::BuildVolumes(const QString& outFolder, QStringList& resolvedFiles, qint64 volumeSize) {
  QDir().mkpath(outFolder);
  QStringList paths;
  for (const QString& f : resolvedFiles)
    if (!f.isEmpty()) paths << f;
  Archiver zip(FAttachCompress, volumeSize > 0 ? volumeSize : FAttachVolume);
  zip.SetCancel(&FCancel);
  if (paths.isEmpty()) return false;
  const Result<QStringList> volumes = zip.BuildVolumes(paths, outFolder);
  if (!volumes) return false;
  if (FPrefix != kPlainPrefix) {
    FCipher.SetKey(VolumeKey());
    if (!FCipher.EncryptFileInPlace(volumes->value(0))) return false;
    resolvedFiles = *volumes;
  } else {
    RenameVolumes(outFolder, resolvedFiles);
  }
  return true;
}

void TClassServer::OpenServingJob() {
  const QString number = FIdentBase, subject = FPrefix + FSubjectRest, address = FSenderAddress,
                action = FCommand, text = FMessageBody;
  OnMain([=](ExchangeHost& host) { host.OpenServingJob(number, subject, address, action, text); });
}

void TClassServer::ReportServing(const QString& tag, qint32 state, const QString& info, bool additive,
                                 double progress) {
  OnMain([=](ExchangeHost& host) { host.UpdateServingJob(tag, state, info, additive, progress); });
}

QString TClassServer::FetchStopJobId() {
  auto stop = std::make_shared<QString>();
  return OnMain([stop](ExchangeHost& host) { *stop = host.StopJobId(); }) ? *stop : FStopJobIdCopy;
}

qint64 TClassServer::CollectedSize(const QString& collection, qint64 volumeCount) {
  // Only the volumes count: a file being written beside them (a copy still
  // arriving, or one left half-written by a program that was killed) never
  // makes the download look bigger than it is.
  qint64 total = 0;
  for (qint64 i = 1; i <= volumeCount; ++i) {
    const QFileInfo info(collection + QLatin1Char('/') + VolumeName(i));
    if (info.isFile()) total += info.size();
  }
  return total;
}

bool TClassServer::EarlierVolumesReported(const QString& jobId, qint64 volumeCount) {
  auto progress = std::make_shared<double>(-1);
  if (!OnMain([progress, jobId](ExchangeHost& host) { *progress = host.ActiveRowProgress(jobId); })) return true;
  // 50 % once sent, then 50 / count for each volume before the last.
  const double expected = volumeCount > 0 ? 50.0 + 50.0 * double(volumeCount - 1) / double(volumeCount) : 50.0;
  return *progress < 0 || *progress >= expected - 0.001;
}

void TClassServer::HandleReply() {
  FProgress = 100;
  FState = jsDone;
  FAdditiveProgress = false;
  if (FFailed) {
    FProgress = 0;
    FState = jsError;
    FAdditiveProgress = true;
    FCommand = QStringLiteral("none");
    return;
  }
  if (FCommand != kCmdDownload) return;

  // A volume mail. Should anything below fail, the job ends with this reason.
  SetFailure(kMsgEmpty);
  FCommand = QStringLiteral("none");
  FState = jsActive;
  FAdditiveProgress = true;
  const JobTag tag = SplitJobTag(FIdent);
  const QString collection = FTempInput + QLatin1Char('/') + tag.Id;
  if (tag.Second != 0) FProgress = 50.0 / double(tag.Second);
  if (FAttachmentName.isEmpty() || FAttachmentName != VolumeName(tag.Second)) {
    // An earlier volume: it only adds progress, and the row says what is still to come.
    SetDone();
    const qint64 number = QFileInfo(FAttachmentName).suffix().toLongLong();
    FStatusText = number > 0 ? QStringLiteral("Volume %1 of %2 received; waiting for the others.").arg(number).arg(tag.Second)
                             : QStringLiteral("Waiting for the other volumes.");
    return;
  }
  // The last volume: wait until every volume of the job lies in the folder.
  // The time-out runs on the clock, so an unpaced run waits as long, and
  // counts from the download's last sign of life: this volume, or a later
  // report of an earlier one. While this thread waits, it keeps the time for
  // the download; should the row end meanwhile (timed out just before, or
  // stopped or removed by the user), there is nothing left to wait for.
  const bool ownFolder = IsStamp(tag.Id) && !FTempInput.isEmpty();
  const QString jobId = tag.Id;
  OnMain([jobId](ExchangeHost& host) { host.VolumeWait(jobId, true); });
  const std::shared_ptr<void> waitEnds(nullptr, [this, jobId](void*) {
    OnMain([jobId](ExchangeHost& host) { host.VolumeWait(jobId, false); });
  });
  QElapsedTimer clock;
  clock.start();
  FElapsedMs = 0;
  double lastProgress = -2;
  for (;;) {
    if (CollectedSize(collection, tag.Second) == tag.First && EarlierVolumesReported(tag.Id, tag.Second)) {
      const Result<ExtractSummary> extracted = ExtractDownload(FDownloadFolder, collection + QLatin1Char('/') + FAttachmentName);
      if (ownFolder) DeletePath(collection);
      if (!extracted) {
        // A download that could not be unpacked has failed, and says why (a
        // full disk, a damaged or hostile archive); the row must not stay
        // Active for ever.
        if (!extracted.error().isEmpty()) SetFailure(extracted.error());
        FState = jsError;
        FProgress = 0;
        return;
      }
      FCommand = kCmdDownload;
      FProgress = 100;
      FState = jsDone;
      FAdditiveProgress = false;
      SetDone();
      // Files already in the download folder are never replaced; say how
      // many of the new ones went in under another name.
      if (extracted->Renamed == 1)
        FStatusText = QStringLiteral("Done; 1 file was saved as \"name (2)\" beside a file of the same name.");
      else if (extracted->Renamed > 1)
        FStatusText = QStringLiteral("Done; %1 files were saved as \"name (2)\" beside files of the same name.")
                          .arg(extracted->Renamed);
      return;
    }
    auto progress = std::make_shared<double>(-1);
    if (OnMain([progress, jobId](ExchangeHost& host) { *progress = host.ActiveRowProgress(jobId); })) {
      if (*progress < 0) {
        if (ownFolder) DeletePath(collection);
        FRowEnded = true;
        return;
      }
      if (*progress != lastProgress) clock.restart();  // another volume came in
      lastProgress = *progress;
    }
    FElapsedMs = clock.elapsed();
    const int wait = std::max(int(kVolumeCheckMs * PaceFactor()), kVolumeCheckFloorMs);
    if (FElapsedMs > qint64(FTimeoutSeconds) * 1000) {  // out of time
      if (ownFolder) DeletePath(collection);
      SetFailure(kMsgTimeout);
      FState = jsError;
      FCommand = QStringLiteral("none");
      FProgress = 0;
      FAdditiveProgress = true;
      return;
    }
    // The program is leaving: the volumes stay, and the next start goes on
    // with the request.
    if (!PlainWait(wait, &FCancel)) return;
  }
}

void TClassServer::DropAttachment() {
  if (FAttachmentName.isEmpty() || !FAttachmentSaved || !IsStamp(FIdentBase) || FTempInput.isEmpty()) return;
  if (FAttachmentName.contains(QLatin1Char('/')) || FAttachmentName.contains(QLatin1Char('\\')) ||
      FAttachmentName == QLatin1String("..") || FAttachmentName == QLatin1String("."))
    return;
  const QString folder = FTempInput + QLatin1Char('/') + FIdentBase;
  QFile::remove(folder + QLatin1Char('/') + FAttachmentName);
  QDir().rmdir(folder);  // only when nothing else lies in it
}

Result<ExtractSummary> TClassServer::ExtractDownload(const QString& destination, const QString& lastVolume) {
  if (TrimText(destination).isEmpty()) return Failure(QString());
  const QString first = QFileInfo(lastVolume).path() + QLatin1Char('/') + VolumeName(1);
  FCipher.SetKey(VolumeKey());
  if (!FCipher.DecryptFileInPlace(first)) return Failure(QString());
  Archiver zip(FAttachCompress, FAttachVolume);
  zip.SetCancel(&FCancel);
  return zip.Extract(lastVolume, destination);
}

// ---------------------------------------------------------------------------

TClassServerSMTP::TClassServerSMTP(ExchangeHost* host, QObject* context) : TClassServer(host, context) {}
TClassServerSMTP::~TClassServerSMTP() = default;

void TClassServerSMTP::run() {
  if (FPrefix == kReplyPrefix) {
    // A reply takes no serving slot: the last volume of a download may wait
    // long for the others, whose own threads must still get through, and a
    // stranger's reply must not keep a friend's request waiting.
    try {
      ReceiveReply();
    } catch (...) {
      LogDropped("handling a reply");  // ReceiveReply reports for itself
    }
    return;
  }
  if (FGuard && FGuard->Ignored(FSenderAddress)) {
    DropAttachment();  // refused too often: no answer, no record
    return;
  }
  NamedSemaphore slot(QString::fromLatin1(kServerSemaphore), kServerSlots);
  if (!slot.Acquire(-1, &FCancel)) {
    // The slots cannot be used: the record says why, and no answer goes
    // out. Otherwise this is the exit: the mail goes unserved.
    if (const QString why = slot.Refusal(); !why.isEmpty()) {
      OpenServingJob();
      ReportServing(FIdent, jsError, ErrorText(why), true, 0);
    }
    DropAttachment();
    return;
  }
  try {
    FMail = NewMailSender();
    ServeRequest(slot);
  } catch (...) {
    LogDropped("serving thread");  // every path above reports for itself
  }
  FMail.reset();
  DropAttachment();  // a request has no use for one
  Pause(kPauseAtEndMs);
  slot.Release();
}

void TClassServerSMTP::ServeRequest(NamedSemaphore& slot) {
  SenderGuard::Turn turn;  // held until the last volume is sent
  try {
    if (Authenticate()) {
      OpenServingJob();
      RunCommand();
      if (FCommand == kCmdDownload && !FFailed && !AwaitDownloadTurn(slot, turn)) return;
    } else if (FGuard && FGuard->Refused(FSenderAddress)) {
      qCWarning(lcKestro).noquote() << QStringLiteral("Requests from %1 were refused more than %2 times within an hour: "
                                                      "their mails are ignored for the next hour")
                                           .arg(OneLine(FSenderAddress))
                                           .arg(SenderGuard::kRefusalLimit);
    }
  } catch (...) {
    LogDropped("serving a request");  // the reply still goes out
  }
  SendReply();
}

bool TClassServerSMTP::AwaitDownloadTurn(NamedSemaphore& slot, SenderGuard::Turn& turn) {
  if (!FGuard) return true;
  turn = FGuard->TryTurn(FSenderAddress);
  if (turn) return true;
  slot.Release();
  ReportServing(FIdent, jsActive, kStatusWaiting, true, 0);
  turn = FGuard->WaitTurn(FSenderAddress, &FCancel);
  if (!turn) return false;
  if (!slot.Acquire(-1, &FCancel)) {
    if (const QString why = slot.Refusal(); !why.isEmpty()) ReportServing(FIdent, jsError, ErrorText(why), true, 0);
    return false;
  }
  ReportServing(FIdent, jsActive, QString(), true, 0);
  return true;
}

void TClassServerSMTP::SendReply() {
  QString outFolder;
  QString tag = FIdent;
  if (FCommand != QLatin1String("none")) {
    try {
      if (FFailed) Fail();
      QStringList sources, missing;
      QString notFound;  // plain answers: the names that were not found, and what there is
      if (FCommand == kCmdDownload) {
        for (const QString& line : Lines(FMessageBody)) {
          const QString name = TrimText(line);
          if (name.isEmpty()) continue;
          sources << ResolveSharePath(name, FShareFolder);
          if (sources.last().isEmpty() || !QFileInfo::exists(sources.last())) missing << name;
        }
        if (FPrefix == kPlainPrefix && !missing.isEmpty())
          notFound = PlainNotFoundAnswer(missing, FolderListing(FShareFolder).value_or(QString()));
      }
      const QString sealedPayload = SealText(FSubjectRest);
      const QString notFoundPart = notFound.isEmpty() ? QString() : QStringLiteral("\r\n\r\n") + notFound;
      // Volumes as large as the option allows and the server takes.
      qint64 volumeSize = FAttachVolume;
      qint64 sizeLimit = 0;
      const qint64 otherBytes = VolumeMailOverhead(sealedPayload, notFoundPart);
      if (FCommand == kCmdDownload) {
        sizeLimit = FMail->SizeLimit();
        if (sizeLimit > 0) volumeSize = std::min(volumeSize, LargestAttachmentFor(sizeLimit, otherBytes));
      }
      bool halved = false;
      bool tooLarge = false;  // the job failed because the mails were too large
      qint64 refusedMail = 0;  // about the size of the last mail refused as too large
      // One pass per set of volumes; a set whose first mail is refused as too
      // large is made again with volumes half as large, once. Nothing of that
      // set has reached the requester, so it collects the new set as any
      // other. Once a volume went out, the set can no longer change: the
      // requester counts the volumes and bytes its mails announce.
      for (bool again = true; again;) {
        again = false;
        int volumeCount = 1;
        qint64 totalBytes = 0;
        QStringList resolvedFiles = sources;
        if (FCommand == kCmdDownload) {
          if (volumeSize < Archiver::kMinVolumeSize) {
            const qint64 smallest = EncodedAttachmentSize(Archiver::kMinVolumeSize) + otherBytes;
            FailTooLarge(sizeLimit, refusedMail > 0 ? refusedMail : smallest, notFound);
            tooLarge = true;
          } else {
            outFolder = NewOutputFolder();
            if (!outFolder.isEmpty() && BuildVolumes(outFolder, resolvedFiles, volumeSize)) {
              totalBytes = FolderSize(outFolder);
              volumeCount = int(resolvedFiles.size());
              tag = FIdentBase + QLatin1Char('.') + QString::number(totalBytes) + QLatin1Char('.') +
                    QString::number(volumeCount);
            } else {
              Fail(kMsgEmpty);
              FMessageBody.clear();
              if (!notFound.isEmpty()) FMessageBody = notFound;  // the error answer's body
            }
          }
        }
        const bool volumes = FCommand == kCmdDownload;
        const QString body = !volumes                   ? SealText(FMessageBody)
                             : FPrefix == kPlainPrefix ? VolumeInstructions(volumeCount) + notFoundPart
                                                       : QString();
        const QString subject = volumes ? VolumeSubject(FIdentBase, totalBytes, volumeCount, sealedPayload)
                                        : ReplySubject(FIdentBase, sealedPayload, FStatusText);
        for (int i = 0; i < volumeCount; ++i) {
          FMail->Clear();
          int result = FMail->AddRecipient(FSenderAddress);
          FMail->SetSubject(subject);
          FMail->SetBodyText(body);
          if (result == 0 && volumes) result = FMail->AddAttachment(resolvedFiles.value(i));
          if (result == 0) result = FMail->Send();
          if (result == mrTooLarge && volumes) {
            const qint64 refused = QFileInfo(resolvedFiles.value(i)).size();
            refusedMail = EncodedAttachmentSize(refused) + otherBytes;
            DeletePath(outFolder);
            outFolder.clear();
            tag = FIdent;
            if (i == 0 && !halved) {
              halved = true;
              volumeSize = std::min(volumeSize, refused) / 2;
            } else {
              // The requester learns why instead of waiting for the volumes.
              FailTooLarge(sizeLimit, refusedMail, notFound);
              tooLarge = true;
            }
            again = true;
            break;
          }
          if (result != 0) {
            // A reply that did not go out is no success; a refusal as too
            // large keeps its reason.
            if (!tooLarge) Fail(kMsgSendFailed);
            break;
          }
          // The record follows the volumes, so that the poll period stretches
          // while a large reply is on its way.
          if (volumes && i + 1 < volumeCount) ReportServing(tag, jsActive, kStatusDone, true, 50.0 / volumeCount);
          if (!Pause(volumeCount > 1 ? kPauseBetweenVolumesMs : kPauseAfterMailMs)) break;
        }
      }
    } catch (...) {
      LogDropped("sending a reply");  // the record still gets its report
    }
  }
  if (!outFolder.isEmpty()) DeletePath(outFolder);
  ReportServing(tag, FState, FStatusText, FAdditiveProgress, FProgress);
}

void TClassServerSMTP::FailTooLarge(qint64 sizeLimit, qint64 mailBytes, const QString& notFound) {
  Fail(sizeLimit > 0 ? QStringLiteral("The reply's volume mails do not fit the mail server's size limit of %1 "
                                      "(a volume mail takes about %2).")
                           .arg(ByteCountText(sizeLimit), ByteCountText(mailBytes))
                     : QStringLiteral("The mail server refused the reply's volume mails as too large (a mail of "
                                      "about %1; the server announces no size limit).")
                           .arg(ByteCountText(mailBytes)));
  FMessageBody = notFound;  // the error answer's body
}

QString TClassServerSMTP::NewOutputFolder() const {
  // TempOutput/IdentBase; should another requester's job carry the same
  // stamp, its volumes get a folder of their own.
  if (!IsStamp(FIdentBase) || FTempOutput.isEmpty()) return QString();
  QDir().mkpath(FTempOutput);
  const QString base = FTempOutput + QLatin1Char('/') + FIdentBase;
  for (int n = 0; n < 100; ++n) {
    const QString folder = n == 0 ? base : base + QLatin1Char('.') + QString::number(n);
    if (QDir().mkdir(folder)) return folder;
  }
  return QString();
}

void TClassServerSMTP::Fail(const QString& reason) {
  SetFailure(reason);
  Fail();
}

void TClassServerSMTP::Fail() {
  FProgress = 0;
  FState = jsError;
  FAdditiveProgress = true;
  FCommand = QStringLiteral("none");
}

void TClassServerSMTP::ReceiveReply() {
  // Only the answer to one of our requests that is still open, from the
  // address it went to, is handled; anything else is a stranger's mail.
  auto request = std::make_shared<std::optional<OwnRequest>>();
  const QString jobId = FIdentBase;
  if (!OnMain([request, jobId](ExchangeHost& host) { *request = host.ActiveRequest(jobId); })) return;
  const bool volumeMail = FIdent != FIdentBase;
  if (!*request) return RefuseReply(QStringLiteral("no open request of ours has this stamp"));
  if (NormalizeAddress(FSenderAddress) != NormalizeAddress((*request)->RemoteAddress))
    return RefuseReply(QStringLiteral("the request went to another address"));
  const QString expected = (*request)->Command.toLower();
  if (volumeMail && expected != kCmdDownload) return RefuseReply(QStringLiteral("a volume for a list request"));

  const ReplyRest rest = SplitReplyRest(FSubjectRest);
  FStatusText = rest.Status;
  FFailed = ReportsFailure(rest.Status);
  FKeyText = PeerKeyText(FLocalAddress, FKeySuffix);
  FState = jsDone;
  FProgress = 100;
  try {
    FSubjectRest = OpenText(rest.EncPayload);
    FCommand = CommandOf(FSubjectRest);
    // An error report carries the request's text back, not a command.
    if (!FFailed && FCommand != expected)
      return RefuseReply(QStringLiteral("no answer to a %1 request").arg(expected));
    FMessageBody = OpenText(FMessageBody);
    if (volumeMail && !FAttachmentName.isEmpty()) {
      // A volume taken before (mailed again, or taken again after a
      // reconnect) counts once: this copy is ignored, and the file stays
      // in the download's folder.
      auto first = std::make_shared<bool>(true);
      const QString volume = FAttachmentName;
      OnMain([first, jobId, volume](ExchangeHost& host) { *first = host.VolumeArrived(jobId, volume); });
      if (!*first) {
        qCWarning(lcKestro).noquote()
            << QStringLiteral("Reply %1 from %2 ignored: volume %3 was taken before")
                   .arg(OneLine(FIdent), OneLine(FSenderAddress), OneLine(volume));
        return;
      }
    }
    HandleReply();
  } catch (...) {
    // A reply that cannot be taken apart (a hostile volume tag) fails its job.
    LogDropped("handling a reply");
    FState = jsError;
    FProgress = 0;
    FAdditiveProgress = true;
    if (!FFailed) SetFailure(kMsgEmpty);
    FCommand = QStringLiteral("none");
  }
  // A volume stays in its download's folder while the others are awaited;
  // any other reply's attachment has served its purpose.
  if (!volumeMail || FState != jsActive) DropAttachment();
  if (FCommand == kCmdList) {
    const QString listing = FMessageBody;
    OnMain([jobId, listing](ExchangeHost& host) { host.ListingArrived(jobId, listing); });
  }
  if (FCommand == QLatin1String("none") && FIdentBase <= FetchStopJobId()) {
    if (FState == jsActive) FStatusText = QStringLiteral("Stopped by the user.");  // it waits for nothing now
    FState = jsStopped;
  }
  if (FRowEnded) return;  // the row ended while this volume waited: nothing to tell
  const QString ident = FIdent, status = FStatusText;
  const qint32 state = FState;
  const bool additive = FAdditiveProgress;
  const double progress = FProgress;
  OnMain([=](ExchangeHost& host) { host.UpdateJobRow(ident, state, status, additive, progress); });
}

void TClassServerSMTP::RefuseReply(const QString& reason) {
  qCWarning(lcKestro).noquote() << QStringLiteral("Reply %1 from %2 deleted unread: %3")
                                       .arg(OneLine(FIdent), OneLine(FSenderAddress), reason);
  DropAttachment();
}
