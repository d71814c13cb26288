// The peer exchange on the main thread: serving the mails that the pollers
// hand over, issuing the user's requests, and applying what the worker
// threads report to the job rows, the serving record and the window.
//
// Worker threads get copies of everything they need and reach this object
// only by synchronous calls that do nothing once the program is closing.
// Destroying the exchange cancels every worker and waits for it, so no worker
// ever touches a freed object.
#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <set>

#include "core/Users.h"
#include "exchange/DownloadWatch.h"
#include "exchange/ExchangeHost.h"
#include "exchange/SenderGuard.h"
#include "exchange/Worker.h"
#include "transport/MailboxPoller.h"

class TClassMain;
class TClassServerSMTP;
class JobRowModel;
struct KeptRequest;

// One row of the file tree: a listing line taken apart at its TAB.
struct ListingRow {
  QString Name;
  QString Size;
  bool operator==(const ListingRow& o) const { return Name == o.Name && Size == o.Size; }
};

class TExchange : public QObject, public ExchangeHost {
  Q_OBJECT
public:
  TExchange(TClassMain& main, JobRowModel& rows, QObject* parent = nullptr);
  // Cancels every worker and waits for it to end, without limit.
  ~TExchange() override;

  // The exit in two steps that an owner can bound in time: CancelWorkers
  // ends every wait of the running workers (and cancels each worker started
  // later at once); WaitWorkers waits for them until the deadline and tells
  // whether every one has ended.
  void CancelWorkers();
  bool WaitWorkers(QDeadlineTimer deadline);

  TClassMain& Main() { return FMain; }

  // Publishes the friends and the anonymous share of the application object
  // to the serving threads (after the share dialog closed with OK).
  void PublishShares();
  const ShareDirectory& Shares() const { return FShares; }

  // Whether mails are served and requests issued (preset: always). The
  // window ties it to its online state.
  void SetOnlineCheck(std::function<bool()> online) { FOnline = std::move(online); }
  bool Online() const { return !FOnline || FOnline(); }

  // The mail sender of the serving and requesting threads started from now
  // on; empty (the preset) means the real SMTP sender.
  void SetMailSenderFactory(MailSenderFactory factory) { FNewSender = std::move(factory); }
  // How long a download waits for its volumes, when it must be shorter than
  // the options allow (0: the options' time-out in effect). The time counts
  // from the download's last sign of life: the request sent, or a volume
  // received.
  void SetVolumeTimeoutSeconds(int seconds) { FVolumeTimeoutSeconds = seconds; }

  // Puts back the user's requests that were running when the program last
  // ended (kept in the configuration): each comes back as an Active row whose
  // progress counts the volumes already collected, and its replies are taken
  // as before. A request without a sign of life for longer than the time-out
  // ends at once with "Time out error." and its collected volumes are
  // deleted. A download whose last volume was collected already waits for
  // the others again. From then on, the Active rows are kept in the
  // configuration (written at each change), and a row that ended, or was
  // stopped or removed, is no longer kept.
  void RestoreRequests();

  // The hand-over of the pollers: one serving thread per mail.
  void StartServing(const HandOverData& mail);
  // StartServing as a function to give the online cycle.
  HandOverFn HandOver() {
    return [this](const HandOverData& mail) { StartServing(mail); };
  }

  // A request of the user ("list" with the folder relative to the friend's
  // share, "/" or empty for its top, or "download" with the names, each
  // followed by CR LF). A "list" always goes out with its folder: "/" for the top. Adds its job row, remembers the
  // address and starts the requesting thread. Error holds the text to show in
  // a message box when nothing was issued.
  struct Issued {
    QString JobId;
    QString Error;
  };
  Issued IssueRequest(const QString& command, const QString& fileList, const QString& remoteAddress);

  // Main-thread operations that the worker threads call (ExchangeHost).
  void OpenServingJob(const QString& number, const QString& subject, const QString& address, const QString& action,
                      const QString& text) override;
  void UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                        double progress) override;
  void UpdateJobRow(const QString& ident, qint32 state, const QString& message, bool additive,
                    double progress) override;
  // Emits ListingFolder with the request's address and folder, then
  // ShowListing with the rows of the listing.
  void ListingArrived(const QString& jobId, const QString& listing) override;
  QString StopJobId() const override;
  // The progress of the job's row while it is Active; -1 when it has no such row.
  double ActiveRowProgress(const QString& jobId) const override;
  std::optional<OwnRequest> ActiveRequest(const QString& jobId) const override;
  bool VolumeArrived(const QString& jobId, const QString& volume) override;
  void VolumeWait(const QString& jobId, bool waiting) override;

  // The listing's lines (CR, LF or CR LF) taken apart at their first TAB; a
  // line without TAB gives an empty name and the whole line as size.
  static QList<ListingRow> FillFileTree(const QString& listing);
  // A folder of a "list" as the window shows it: "/" for the top, else "/"
  // and the path without a trailing "/" ("sub/deeper/" gives "/sub/deeper").
  static QString ListFolderText(const QString& folder);
  // "Size" order of the file tree: the shorter size text is the smaller;
  // texts of equal length compare without case. Negative, 0 or positive.
  static int CompareSizeText(const QString& a, const QString& b);

  // Workers still running (tests, exit).
  int RunningWorkers() const { return int(FWorkers.size()); }

signals:
  // A listing arrived: the window replaces the file tree with these rows and
  // selects the first.
  void ShowListing(const QList<ListingRow>& rows);
  // Sent just before ShowListing: whose listing it is, and of which folder
  // ("/" for the top of the friend's share, else "/" and the path).
  void ListingFolder(const QString& address, const QString& folder);
  // A job row changed (or was added): the state and the text for status panel 1.
  void JobStatus(int row, qint32 state, const QString& statusText);
  // A job failed (posted after the row changed). text: LastError without
  // "Error: "; smtpFailure: the send failed, so the window shows the error
  // dialog with smtpLog (smtp.log without its first line) and then the
  // account configuration; otherwise a message box with text.
  void ShowJobError(const QString& text, bool smtpFailure, const QString& smtpLog);
  // The address history gained an address (the window refills its box).
  void AddressRemembered(const QString& address);
  // A serving job was opened, or reported (progress: its record's, when it
  // still has the record).
  void ServingJobChanged(const QString& number, qint32 state, double progress, const QString& info);
  // A request of someone else was taken up, served or refused: its number,
  // sender, command and file list (empty for "list").
  void ServingJobOpened(const QString& number, const QString& address, const QString& action, const QString& text);

private:
  void Track(TClassWorker* worker);
  TClassServerSMTP* NewServer(const HandOverData& mail);
  // Writes the Active rows into the configuration when they changed.
  void KeepRequests();
  // Starts the wait of a restored download whose last volume lies in its folder.
  void ResumeLastVolume(const KeptRequest& request);
  void PostJobError();
  // Ends the downloads whose volumes stopped coming: "Time out error.", and
  // what was collected is deleted.
  void SweepDownloads();

  TClassMain& FMain;
  JobRowModel& FRows;
  ShareDirectory FShares;
  SenderGuard FGuard;
  std::function<bool()> FOnline;
  MailSenderFactory FNewSender;
  int FVolumeTimeoutSeconds = 0;
  DownloadWatch FDownloads;
  QTimer FDownloadSweep;
  std::set<TClassWorker*> FWorkers;
  bool FCancelled = false;
  // What a kept request holds besides its row, by JobId.
  struct RequestExtra {
    QString LocalAddress;
    QString Alive;
    QString Folder;
  };
  std::map<QString, RequestExtra> FExtra;
  bool FRestoring = false;
};

Q_DECLARE_METATYPE(ListingRow)
