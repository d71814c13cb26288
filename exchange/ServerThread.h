// The serving thread: one per peer mail that a poller hands over. A request
// ("$_" encrypted, "?_" plain) is authenticated, run on the granted folder and
// answered by a reply mail or a series of volume mails; a reply ("!_") that
// comes back to us is handled as the answer to one of our own requests.
// Requests are served in one of ten slots that every Kestro of the user
// shares; replies take none.
#pragma once

#include "core/Options.h"

#include <QString>
#include <QStringList>
#include <memory>

#include "archive/Archiver.h"
#include "core/Result.h"
#include "core/Users.h"
#include "exchange/SenderGuard.h"
#include "exchange/Worker.h"
#include "message/MessageCipher.h"
#include "transport/MailboxPoller.h"

class MailSender;
class NamedSemaphore;

inline const char* const kInstructionsOne =
    "Rename \"disk.zip_\" file to \"disk.zip\" and start extraction process using any unzip utility like PKZip, "
    "WinZip, 7-Zip etc.";
inline const char* const kInstructionsMany =
    "Spanned zip volumes are compatible with PKZip format. Place all volumes to the same folder, rename "
    "\"disk.zip_\" volume to \"disk.zip\" and start extraction process using any PKZip compatible utility.";
inline const char* const kInstructionsReader =
    "If you have no such utility, the free 7-Zip reads spanned volumes.\r\n"
    "It can be obtained from https://www.7-zip.org/";

// The body of the volume mails of a plain download.
QString VolumeInstructions(int volumeCount);

// Serving and reply handling, without the thread body and the mail sending.
class TClassServer : public TClassWorker {
  Q_OBJECT
public:
  TClassServer(ExchangeHost* host, QObject* context);
  ~TClassServer() override;

  // Filled by StartServing before the thread starts.
  void SetMail(const HandOverData& mail);
  void SetShares(const ShareDirectory* shares) { FShares = shares; }
  // What the serving threads know of the senders (none: no limits).
  void SetSenderGuard(SenderGuard* guard) { FGuard = guard; }
  void SetLocalAddress(const QString& v) { FLocalAddress = v; }
  void SetKeySuffix(const QString& v) { FKeySuffix = v; }
  void SetTempInput(const QString& v) { FTempInput = v; }
  void SetTempOutput(const QString& v) { FTempOutput = v; }
  void SetStopJobId(const QString& v) { FStopJobIdCopy = v; }
  void SetTimeoutSeconds(int v) { FTimeoutSeconds = v; }
  void SetDownloadFolder(const QString& v) { FDownloadFolder = v; }
  void SetArchive(int level, qint64 volumeSize) {
    FAttachCompress = level;
    FAttachVolume = volumeSize;
  }

  // For "?_" the text itself; otherwise decrypted under KeyText.
  QString OpenText(const QString& text);
  // For "?_" the text itself; otherwise encrypted under KeyText.
  QString SealText(const QString& text);

  // Looks the sender up; true when the request may be served. A refusal
  // leaves the job failed with its reason.
  bool Authenticate();
  // Sets StatusText, MessageBody, Progress, State, AdditiveProgress; a
  // listing that cannot be made leaves the job failed.
  void RunCommand();
  // The listing that a "list" asks for (its body names the folder); fails
  // with the reason, "Command not allowed." when the sender may not open it.
  Result<QString> ListRequestedFolder() const;
  // Archives resolvedFiles into outFolder in volumes of volumeSize bytes (0:
  // the option's); on success resolvedFiles holds the volumes to send, in order.
  bool BuildVolumes(const QString& outFolder, QStringList& resolvedFiles, qint64 volumeSize = 0);

  // The reply branch: what an answer or a volume mail does on our side. A
  // reply that reports a failure (Failed) ends the job in Error.
  void HandleReply();
  // Decrypts the first volume beside lastVolume and extracts the archive into
  // destination. A failure carries the archive's reason (empty: no download
  // folder, or a first volume that cannot be opened).
  Result<ExtractSummary> ExtractDownload(const QString& destination, const QString& lastVolume);
  // Deletes the mail's saved attachment (TempInput/IdentBase/name), and its
  // folder when that is left empty.
  void DropAttachment();

protected:
  // The job has failed for this reason.
  void SetFailure(const QString& reason);
  // The job (or this step of it) has succeeded.
  void SetDone();

  void OpenServingJob();
  void ReportServing(const QString& tag, qint32 state, const QString& info, bool additive, double progress);
  // The key text of the first volume: the seed encrypted under KeyText.
  QString VolumeKey();
  QString FetchStopJobId();
  // The bytes of the download's volumes 1..volumeCount in collection.
  static qint64 CollectedSize(const QString& collection, qint64 volumeCount);
  // Whether the reports of the job's earlier volumes have reached its row (or
  // the row is gone or no longer Active), so that the row steps through every volume.
  bool EarlierVolumesReported(const QString& jobId, qint64 volumeCount);

  // The fields of a served request or a received reply.
  QString FCommand;
  bool FAdditiveProgress = false;
  QString FAttachmentName;
  bool FAttachmentSaved = true;  // the file is this mail's own (HandOverData::AttachmentSaved)
  QString FStopJobIdCopy;
  QString FIdent;
  int FTimeoutSeconds = kPresetTimeoutClient;
  QString FDownloadFolder;
  QString FShareFolder;
  bool FChangeDir = true;  // the sender may reach below the share's top
  QString FSenderAddress;
  QString FStatusText;  // as it goes on the wire and into the job's message
  bool FFailed = false;  // the job has failed; StatusText is "Error: " and the reason
  QString FKeyText;
  QString FPrefix;
  QString FIdentBase;
  QString FKeySuffix;
  double FProgress = 0;
  qint32 FState = 0;
  QString FSubjectRest;
  QString FTempInput;
  QString FTempOutput;
  QString FMessageBody;
  qint64 FElapsedMs = 0;
  bool FRowEnded = false;  // the row ended while the last volume waited for the others
  QString FLocalAddress;
  const ShareDirectory* FShares = nullptr;
  SenderGuard* FGuard = nullptr;
  int FAttachCompress = 3;
  qint64 FAttachVolume = kPresetAttachVolume;
  MessageCipher FCipher;  // this thread's own
};

// The thread body and the reply mails.
class TClassServerSMTP : public TClassServer {
  Q_OBJECT
public:
  TClassServerSMTP(ExchangeHost* host, QObject* context);
  ~TClassServerSMTP() override;

  // Builds and sends the reply or the volume mails of a request.
  void SendReply();

protected:
  void run() override;

private:
  void ServeRequest(NamedSemaphore& slot);
  // Takes the sender's download turn into turn; while another download of
  // theirs is being served, waits for it outside the serving slot (the
  // record says "waiting"). False when the program leaves meanwhile.
  bool AwaitDownloadTurn(NamedSemaphore& slot, SenderGuard::Turn& turn);
  void ReceiveReply();
  // The reply is no answer of ours: logged in one line, its attachment
  // deleted, nothing else done.
  void RefuseReply(const QString& reason);
  // The reply reports the job's failure and nothing more is due.
  void Fail();
  void Fail(const QString& reason);
  // The reply's mails are too large for the server (its limit, 0 unknown;
  // the size of the mail that does not fit): the job fails, saying so, and
  // the error answer goes out instead.
  void FailTooLarge(qint64 sizeLimit, qint64 mailBytes, const QString& notFound);
  // A fresh folder for the volumes of this job; empty when none can be made.
  QString NewOutputFolder() const;
  std::unique_ptr<MailSender> FMail;
};
