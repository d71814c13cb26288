// What the POP3, IMAP4 and SMTP objects share: the library set-up, the socket
// with its time-out and byte counts, the certificate check, the session log
// with masking, the mapping of failures to result codes, and a received
// message taken apart from a file.
#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

#include <vmime/vmime.hpp>

#include "transport/MailResult.h"

namespace mail {

// Sets up the mail library once per process (safe from any thread).
void InitMailLibrary();

// One session's log: a header line, then one line per command and response,
// with passwords and authentication data masked. Without a path it writes nothing.
class SessionLog {
public:
  // protocol: "POP3", "IMAP4", "SMTP". truncate: start a fresh file.
  SessionLog(const QString& path, const QString& protocol, bool truncate);
  void Sent(int connection, const std::string& line);
  void Received(int connection, const std::string& line);
  void Note(const QString& text);
  bool Active() const { return FFile.isOpen(); }

  // The masked form of a client line; secretFollows tells whether the next
  // client lines carry authentication data until the server answers otherwise.
  static std::string MaskClientLine(const std::string& line, bool& secretFollows);

private:
  void Write(int connection, const char* direction, const std::string& line);
  QMutex FLock;
  QFile FFile;
  bool FSecret = false;  // inside an authentication exchange
};

// Why the last connection attempt or read failed, as the socket saw it.
enum class SocketFailure { None, Refused, Unreachable, Unresolved, TimedOut, Cancelled, Closed };

// Shared by the sockets, time-out handlers and tracers of one mail object.
struct SessionState {
  int TimeOutSec = 60;
  std::atomic<SocketFailure> Failure{SocketFailure::None};
  std::atomic<qint64> BytesIn{0};
  std::atomic<qint64> BytesOut{0};
  std::shared_ptr<SessionLog> Log;
};

// Applies the socket factory, time-outs, tracer and certificate check to a
// service. smtpTls: an SMTP service on a plain "smtp" URL whose implicit TLS
// is done by the socket (see SmtpSocket).
void SetUpService(const std::shared_ptr<vmime::net::service>& service,
                  const std::shared_ptr<SessionState>& state, const QString& caFile, bool smtpTls = false);

// The result code for a failure, and a line for the log that says why.
int ResultOf(const std::exception& error, const SessionState& state, QString* detail = nullptr);

// Runs fn, turning its exceptions into a result code (logged when there is a log).
template <class Fn>
int Guard(const SessionState& state, Fn&& fn) {
  try {
    fn();
    return mrOk;
  } catch (const std::exception& e) {
    QString detail;
    const int code = ResultOf(e, state, &detail);
    if (state.Log) state.Log->Note(QStringLiteral("Error %1: %2 %3").arg(code).arg(MailResultText(code), detail));
    return code;
  }
}

// A received message stored whole in a file, taken apart without loading its
// attachments into memory.
class ReceivedMessage {
public:
  // Parses the file (which must stay until this object is gone).
  explicit ReceivedMessage(const QString& file);
  QString Subject() const;
  QString FromAddr() const;
  QString MessageId() const;
  // The first text part (plain preferred), converted to UTF-8.
  QString BodyText() const;
  int AttachmentCount() const { return int(FAttachments.size()); }
  // The file name the sender gave (empty when none).
  QString AttachmentFileName(int index) const;
  // Writes the decoded attachment to path (0, or mrFileError).
  int SaveAttachment(int index, const QString& path) const;

private:
  void Walk(const std::shared_ptr<const vmime::bodyPart>& part);
  std::shared_ptr<vmime::utility::inputStream> FStream;
  std::shared_ptr<vmime::message> FMessage;
  std::vector<std::shared_ptr<const vmime::bodyPart>> FAttachments;
  std::shared_ptr<const vmime::bodyPart> FPlain, FHtml;
};

// The text of a header field converted to UTF-8 (encoded words decoded).
QString HeaderText(const std::shared_ptr<const vmime::header>& header, const char* field);
QString WordText(const vmime::word& word);
// The bare address of the first mailbox in From.
QString HeaderFrom(const std::shared_ptr<const vmime::header>& header);

QString FromStd(const std::string& s);
std::string ToStd(const QString& s);

}  // namespace mail
