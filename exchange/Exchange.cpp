#include "exchange/Exchange.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "archive/VolumeNames.h"
#include "core/FileUtils.h"
#include "platform/ErrorLog.h"

#include "core/JobRows.h"
#include "core/Jobs.h"
#include "core/TextUtils.h"
#include "message/Stamp.h"
#include "main/ClassMain.h"
#include "exchange/ClientThread.h"
#include "exchange/ServerThread.h"
#include "message/PeerMessage.h"
#include "transport/MailAddress.h"

using namespace peer;

namespace {
QString NowUtc() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }

const QString kMsgLocalEmpty = QStringLiteral("Local Address is empty.");
const QString kMsgRemoteEmpty = QStringLiteral("Remote Address is empty.");
const QString kMsgRemoteInvalid = QStringLiteral("Remote Address is not a valid mail address.");
const QString kMsgLocalInvalid = QStringLiteral("Local Address is not a valid mail address.");
}  // namespace

TExchange::TExchange(TClassMain& main, JobRowModel& rows, QObject* parent)
    : QObject(parent), FMain(main), FRows(rows) {
  qRegisterMetaType<ListingRow>();
  qRegisterMetaType<QList<ListingRow>>();
  PublishShares();
  // Every change of the rows may change what a restart must go on with.
  connect(&FRows, &QAbstractItemModel::rowsInserted, this, &TExchange::KeepRequests);
  connect(&FRows, &QAbstractItemModel::rowsRemoved, this, &TExchange::KeepRequests);
  connect(&FRows, &QAbstractItemModel::dataChanged, this, &TExchange::KeepRequests);
  connect(&FRows, &QAbstractItemModel::modelReset, this, &TExchange::KeepRequests);
  connect(&FDownloadSweep, &QTimer::timeout, this, &TExchange::SweepDownloads);
  FDownloadSweep.start(500);
}

TExchange::~TExchange() {
  CancelWorkers();
  const std::set<TClassWorker*> workers = std::move(FWorkers);
  FWorkers.clear();
  for (TClassWorker* w : workers) {
    w->disconnect(this);
    w->wait();
    delete w;
  }
}

void TExchange::CancelWorkers() {
  FCancelled = true;
  for (TClassWorker* w : FWorkers) w->Cancel();
}

bool TExchange::WaitWorkers(QDeadlineTimer deadline) {
  bool ended = true;
  for (TClassWorker* w : FWorkers) ended = w->wait(deadline) && ended;
  return ended;
}

void TExchange::PublishShares() { FShares.Publish(ShareSnapshot::From(FMain.Users(), FMain.Anonymous())); }

void TExchange::Track(TClassWorker* worker) {
  FWorkers.insert(worker);
  connect(worker, &QThread::finished, this, [this, worker] {
    FWorkers.erase(worker);
    worker->deleteLater();
  });
  if (FCancelled) worker->Cancel();  // after the exit began it only winds up
  worker->Resume();
}

void TExchange::StartServing(const HandOverData& mail) {
  if (!Online()) return;  // the poller deleted it already: lost
  // A request is answered to its sender, which must be one clean address.
  if (mail.Prefix != kReplyPrefix && CheckedAddress(mail.SenderAddress).isEmpty()) return;
  Track(NewServer(mail));
}

TClassServerSMTP* TExchange::NewServer(const HandOverData& mail) {
  const TClassOptions& o = FMain.Options();
  auto* server = new TClassServerSMTP(this, this);
  server->SetSmtp(SmtpSettings::From(o, FMain.LogFolder()));
  server->SetMailSenderFactory(FNewSender);
  server->SetArchive(o.EffectivePackLevel(), o.EffectiveVolumeSize());
  server->SetMail(mail);
  server->SetShares(&FShares);
  server->SetSenderGuard(&FGuard);
  server->SetLocalAddress(FMain.LocalAddress());
  server->SetKeySuffix(FMain.KeySuffix().isEmpty() ? kKeySuffix : FMain.KeySuffix());
  server->SetTempInput(FMain.TempInput());
  server->SetTempOutput(FMain.TempOutput());
  server->SetStopJobId(FMain.StopJobId());
  server->SetTimeoutSeconds(FVolumeTimeoutSeconds > 0 ? FVolumeTimeoutSeconds : o.EffectiveTimeoutSeconds());
  server->SetDownloadFolder(o.DownloadFolder());
  return server;
}

void TExchange::RestoreRequests() {
  const QList<KeptRequest> kept = FMain.Requests();
  const qint64 timeoutMs =
      qint64(FVolumeTimeoutSeconds > 0 ? FVolumeTimeoutSeconds : FMain.Options().EffectiveTimeoutSeconds()) * 1000;
  const QDateTime now = QDateTime::currentDateTimeUtc();
  FRestoring = true;
  QList<KeptRequest> waiting;
  for (const KeptRequest& k : kept) {
    if (ActiveRowProgress(k.Number) >= 0) continue;  // twice in the file: once is enough
    JobRow r;
    r.Number = k.Number;
    r.Subject = kPlainPrefix + k.Action;
    r.Address = k.Address;
    r.Started = k.Started;
    r.Progress = k.Progress;
    r.State = jsActive;
    r.Action = k.Action;
    r.Text = k.Text;
    r.Split = k.Split;
    r.Size = k.Size;
    const QString folder = FMain.TempInput().isEmpty() ? QString() : FMain.TempInput() + u'/' + k.Number;
    if (k.Split > 0 && !folder.isEmpty()) {
      // The volumes on disk are the truth: 50 once sent, 50 / count for each
      // one collected before the last.
      int collected = 0;
      for (qint32 i = 1; i < k.Split; ++i) collected += QFileInfo::exists(folder + u'/' + VolumeName(i)) ? 1 : 0;
      r.Progress = 50.0 + 50.0 * collected / k.Split;
    }
    FExtra[k.Number] = {k.LocalAddress, k.Alive, folder};
    FRows.RestoreJobRow(r);
    const QDateTime alive = QDateTime::fromString(k.Alive, Qt::ISODateWithMs);
    if (!alive.isValid() || alive.msecsTo(now) > timeoutMs) {
      // Its time ran out while the program was closed.
      if (!folder.isEmpty()) DeletePath(folder);
      UpdateJobRow(k.Number, jsError, kErrorPrefix + kMsgTimeout, true, 0);
      continue;
    }
    // Its replies are opened with the own address it went out under.
    if (FMain.LocalAddress().isEmpty()) FMain.SetLocalAddress(k.LocalAddress);
    if (FMain.KeySuffix().isEmpty()) FMain.SetKeySuffix(kKeySuffix);
    if (k.Split > 0 && QFileInfo::exists(folder + u'/' + VolumeName(k.Split))) waiting << k;
  }
  FRestoring = false;
  KeepRequests();
  for (const KeptRequest& k : waiting) ResumeLastVolume(k);
}

void TExchange::ResumeLastVolume(const KeptRequest& request) {
  // The mail of the last volume, as the poller handed it over before.
  MessageCipher cipher;
  SetPeerKey(cipher, request.LocalAddress);
  HandOverData mail;
  mail.SenderAddress = request.Address;
  mail.Prefix = kReplyPrefix;
  mail.IdentBase = request.Number;
  mail.Ident = request.Number + u'.' + QString::number(request.Size) + u'.' + QString::number(request.Split);
  mail.SubjectRest = cipher.EncryptText(request.Action) + u'_' + kStatusDone;
  mail.AttachmentName = VolumeName(request.Split);
  Track(NewServer(mail));
}

void TExchange::KeepRequests() {
  if (FRestoring) return;
  QList<KeptRequest> kept;
  std::map<QString, RequestExtra> extra;
  for (int i = 0; i < FRows.Count(); ++i) {
    const JobRow& r = FRows.Row(i);
    if (r.State != jsActive) continue;
    const RequestExtra& e = extra[r.Number] = FExtra[r.Number];
    kept.append({r.Number, r.Address, e.LocalAddress, r.Action, r.Text, r.Progress, qint32(r.Split), r.Size, r.Started,
                 e.Alive, e.Folder});
  }
  FExtra = std::move(extra);
  if (kept == FMain.Requests()) return;
  FMain.SetRequests(kept);
  try {
    FMain.Save();  // a crash or a kill loses none of them
  } catch (const std::exception& e) {
    qWarning("%s", e.what());
  }
}

TExchange::Issued TExchange::IssueRequest(const QString& command, const QString& requested,
                                          const QString& remoteAddress) {
  Issued issued;
  if (!Online()) return issued;
  const TClassOptions& o = FMain.Options();
  const QString remote = TrimText(remoteAddress);
  const QString local = TrimText(o.SmtpAddress());
  FMain.SetRemoteHost(remote);
  FMain.SetLocalAddress(local);
  FMain.SetKeySuffix(kKeySuffix);
  if (local.isEmpty()) issued.Error = kMsgLocalEmpty;
  else if (remote.isEmpty()) issued.Error = kMsgRemoteEmpty;
  else if (CheckedAddress(local).isEmpty()) issued.Error = kMsgLocalInvalid;
  else if (CheckedAddress(remote).isEmpty()) issued.Error = kMsgRemoteInvalid;
  if (!issued.Error.isEmpty()) return issued;

  issued.JobId = NewStamp();
  const QString subjectHead = kRequestPrefix + command;
  // Our "list" always names its folder, so the answer shows the subfolders.
  const QString fileList = command == kCmdList ? ListFolderText(requested) : requested;
  QFile::remove(FMain.LogFolder() + QStringLiteral("/smtp.log"));  // each request starts a fresh log
  auto* client = new TClassClientSMTP(this, this);
  client->SetSmtp(SmtpSettings::From(o, FMain.LogFolder()));
  client->SetMailSenderFactory(FNewSender);
  client->SetJobId(issued.JobId);
  client->SetCommand(command);
  client->SetRemoteAddress(remote);
  client->SetLocalAddress(local);
  client->SetKeySuffix(kKeySuffix);
  client->SetSubjectHead(subjectHead);
  client->SetFileList(fileList);
  FExtra[issued.JobId] = {local, NowUtc(),
                          FMain.TempInput().isEmpty() ? QString() : FMain.TempInput() + u'/' + issued.JobId};
  // In the history before the row is added: the row's save keeps the
  // address box's text only when the history has it.
  FMain.Addresses().Remember(remote);
  const int row = FRows.AddJobRow(issued.JobId, subjectHead, fileList, command, remote);
  emit JobStatus(row, jsActive, JobRowModel::ProgressText(FRows.Row(row).Progress));
  emit AddressRemembered(remote);
  Track(client);
  return issued;
}

void TExchange::OpenServingJob(const QString& number, const QString& subject, const QString& address,
                               const QString& action, const QString& text) {
  const TClassThread* r = FMain.Jobs().OpenServingJob(number, subject, address, action, text);
  // What was asked, as far as it can be read: a refused request's command
  // may still be sealed; a plain one reads in its subject.
  QString asked = action == kCmdList || action == kCmdDownload ? action : QString();
  if (asked.isEmpty() && subject.startsWith(kPlainPrefix)) asked = subject.mid(kPlainPrefix.size()).trimmed();
  emit ServingJobOpened(number, address, asked, action == kCmdDownload ? text : QString());
  emit ServingJobChanged(r->Number(), r->State(), r->Progress(), r->Info());
}

void TExchange::UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                                 double progress) {
  TClassThreadList& jobs = FMain.Jobs();
  jobs.UpdateServingJob(tag, state, info, additive, progress);
  // Every report is told, also one whose record a later request replaced.
  const QString number = tag.section(QLatin1Char('.'), 0, 0);
  for (int i = 0; i < jobs.Count(); ++i)
    if (jobs.Items(i)->Number() == number) progress = jobs.Items(i)->Progress();
  emit ServingJobChanged(number, state, progress, info);
}

void TExchange::UpdateJobRow(const QString& ident, qint32 state, const QString& message, bool additive,
                             double progress) {
  // A late report of an earlier volume must not reopen a row that has ended
  // (done, failed or stopped): it would stay Active for ever.
  const QString jobId = ident.section(QLatin1Char('.'), 0, 0);
  bool skip = false;
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).Number == jobId) {
      skip = state == jsActive && FRows.Row(i).State != jsActive;
      break;
    }
  // A report of a running request is its last sign of life.
  if (!skip && !FRestoring) {
    if (auto e = FExtra.find(jobId); e != FExtra.end()) e->second.Alive = NowUtc();
  }
  if (!skip) {
    if (state == jsActive) FDownloads.SignOfLife(jobId);  // sent, or a volume in
    const JobRowModel::Update u = FRows.UpdateJobRow(ident, state, message, additive, progress);
    if (u.Row >= 0) emit JobStatus(u.Row, state, u.StatusText);
  }
  if (state == jsError) {
    FMain.SetLastError(message);
    PostJobError();
  }
}

void TExchange::PostJobError() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        static const QRegularExpression errorPrefix(QStringLiteral("Error: "),
                                                    QRegularExpression::CaseInsensitiveOption);
        QString text = FMain.LastError();
        text.remove(errorPrefix);
        const bool smtpFailure = text == kMsgSendFailed;
        QString log;
        if (smtpFailure) {
          QFile file(FMain.LogFolder() + QStringLiteral("/smtp.log"));
          if (file.open(QIODevice::ReadOnly)) {
            file.readLine();  // the first line is left out
            log = QString::fromUtf8(file.readAll());
          }
        }
        emit ShowJobError(text, smtpFailure, log);
      },
      Qt::QueuedConnection);
}

void TExchange::ListingArrived(const QString& jobId, const QString& listing) {
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).Number == jobId) {
      emit ListingFolder(FRows.Row(i).Address, ListFolderText(FRows.Row(i).Text));
      break;
    }
  emit ShowListing(FillFileTree(listing));
}

QString TExchange::ListFolderText(const QString& folder) {
  QString text = TrimText(folder);
  while (text.size() > 1 && text.endsWith(u'/')) text.chop(1);
  if (!text.startsWith(u'/')) text.prepend(u'/');
  return text;
}

QString TExchange::StopJobId() const { return FMain.StopJobId(); }

double TExchange::ActiveRowProgress(const QString& jobId) const {
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).Number == jobId) return FRows.Row(i).State == jsActive ? FRows.Row(i).Progress : -1;
  return -1;
}

std::optional<OwnRequest> TExchange::ActiveRequest(const QString& jobId) const {
  for (int i = 0; i < FRows.Count(); ++i) {
    const JobRow& row = FRows.Row(i);
    if (row.Number == jobId) {
      if (row.State != jsActive) return std::nullopt;
      return OwnRequest{row.Address, row.Action};
    }
  }
  return std::nullopt;
}

bool TExchange::VolumeArrived(const QString& jobId, const QString& volume) {
  return FDownloads.TakeVolume(jobId, volume);
}

void TExchange::VolumeWait(const QString& jobId, bool waiting) { FDownloads.Waiting(jobId, waiting); }

void TExchange::SweepDownloads() {
  QStringList downloads;
  for (int i = 0; i < FRows.Count(); ++i)
    if (FRows.Row(i).State == jsActive && FRows.Row(i).Action == kCmdDownload) downloads << FRows.Row(i).Number;
  const int seconds = FVolumeTimeoutSeconds > 0 ? FVolumeTimeoutSeconds : FMain.Options().EffectiveTimeoutSeconds();
  for (const QString& jobId : FDownloads.Overdue(downloads, qint64(seconds) * 1000)) {
    if (IsStamp(jobId) && !FMain.TempInput().isEmpty()) DeletePath(FMain.TempInput() + QLatin1Char('/') + jobId);
    UpdateJobRow(jobId, jsError, kErrorPrefix + kMsgTimeout, true, 0);
  }
}

QList<ListingRow> TExchange::FillFileTree(const QString& listing) {
  static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
  QList<ListingRow> rows;
  QStringList lines = listing.split(lineBreak);
  // The line end after the last line makes no row of its own.
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  for (QString line : lines) {
    QString size;
    SplitAtTab(line, size);
    rows.append({line, size});
  }
  return rows;
}

int TExchange::CompareSizeText(const QString& a, const QString& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b, Qt::CaseInsensitive);
}
