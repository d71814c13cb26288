// The SMTP sender (TMailSMTP), the real MailSender. Every operation that can
// fail returns 0 or a MailResult code (MailResultText gives its text); no
// exception leaves an operation. An object belongs to one thread at a time.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "platform/Settings.h"
#include "transport/MailResult.h"
#include "transport/MailSender.h"

namespace mail {
struct SessionState;
}

// The bytes an attachment of the given size takes in a mail: Base64 in lines
// of 76 characters, each ended by CR LF.
qint64 EncodedAttachmentSize(qint64 bytes);
// The largest attachment whose encoded form and otherBytes (headers, text
// part) together stay within mailLimit bytes; 0 when none does.
qint64 LargestAttachmentFor(qint64 mailLimit, qint64 otherBytes);

// The SMTP sender. Per mail: Clear, AddRecipient, SetSubject, SetBodyText,
// AddAttachment, Send.
//
// The server's size limit (SizeLimit) is remembered per server, port and
// account while the program runs: every Send updates it from the server's
// EHLO answer, and SizeLimit asks the server (connection and EHLO, no login,
// no mail) only while nothing is remembered.
class TMailSMTP : public MailSender {
public:
  TMailSMTP();
  ~TMailSMTP() override;

  void SetMailServer(const QString& host) { FServer = host; }
  void SetMailPort(int port) { FPort = port; }
  void SetTimeOut(int seconds) { FTimeOut = seconds; }
  // Implicit TLS, STARTTLS, or none (loopback servers only).
  void SetSecurity(MailSecurity security) { FSecurity = security; }
  void SetCaFile(const QString& path) { FCaFile = path; }
  // Appended to; one log per object.
  void SetLogFile(const QString& path) { FLogFile = path; }
  void SetWorkFolder(const QString& folder) { FWorkFolder = folder; }
  void SetFromAddr(const QString& address) { FFrom = address; }
  // 0: no login. 1 or 2: log in with the account and password.
  void SetAuthMode(int mode) { FAuthMode = mode; }
  void SetAccount(const QString& account) { FAccount = account; }
  void SetPassword(const QString& password) { FPassword = password; }

  void Clear() override;
  int AddRecipient(const QString& address) override;
  void SetSubject(const QString& subject) override { FSubject = subject; }
  void SetBodyText(const QString& body) override { FBody = body; }
  int AddAttachment(const QString& path) override;
  int Send() override;
  qint64 SizeLimit() override;

  qint64 BytesSent() const;
  QString LastError() const { return FLastError; }

private:
  // Where the size limit of this server and account is remembered.
  QString LimitKey() const;
  QString FServer, FCaFile, FLogFile, FWorkFolder, FFrom, FAccount, FPassword, FSubject, FBody, FLastError;
  int FPort = 465;
  int FTimeOut = 120;
  MailSecurity FSecurity = MailSecurity::Tls;
  int FAuthMode = 1;
  QStringList FRecipients;
  QStringList FAttachments;
  std::shared_ptr<mail::SessionState> FState;
};
