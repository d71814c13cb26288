// The running test mail stack (tests/mailstack, ctest fixture "mailstack"),
// direct access to the users' maildirs, independent of the mail objects, and
// the raw mails the tests put there or read back.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include "StackEnv.h"
#include "transport/AccountCheck.h"

class MailStack {
public:
  // $KESTRO_MAILSTACK, else the fixture's folder in the build tree.
  static const MailStack& Get();
  bool Ok() const { return FEnv.Ok() && Pop3Port() > 0; }
  QString Folder() const { return FEnv.Folder(); }
  QString Value(const QString& name) const { return FEnv.Value(name); }
  // The listeners of a security mode: tls the implicit TLS ports on
  // 127.0.0.1; starttls plain ports that offer STARTTLS and take no login
  // before it (on 127.0.0.4, and on 127.0.0.2 for which the certificate is
  // not); none plain ports on 127.0.0.3 that offer no STARTTLS.
  QString Host(MailSecurity security = MailSecurity::Tls) const {
    return security == MailSecurity::Tls        ? QStringLiteral("127.0.0.1")
           : security == MailSecurity::StartTls ? Value("MAILSTACK_STARTTLS_HOST")
                                                : Value("MAILSTACK_PLAIN_HOST");
  }
  int Pop3Port(MailSecurity security = MailSecurity::Tls) const {
    return Port(security, "MAILSTACK_POP3S_PORT", "MAILSTACK_POP3_STARTTLS_PORT", "MAILSTACK_POP3_PLAIN_PORT");
  }
  int Imap4Port(MailSecurity security = MailSecurity::Tls) const {
    return Port(security, "MAILSTACK_IMAPS_PORT", "MAILSTACK_IMAP_STARTTLS_PORT", "MAILSTACK_IMAP_PLAIN_PORT");
  }
  int SmtpPort(MailSecurity security = MailSecurity::Tls) const {
    return Port(security, "MAILSTACK_SMTPS_PORT", "MAILSTACK_SUBMISSION_PORT", "MAILSTACK_SMTP_PLAIN_PORT");
  }
  QString CaFile() const { return Value("MAILSTACK_CA_FILE"); }
  QString OtherCaFile() const { return Value("MAILSTACK_OTHER_CA_FILE"); }
  static QString Address(const QString& user) { return user + "@example.test"; }
  QString Password(const QString& user) const { return Value("MAILSTACK_" + user.toUpper() + "_PASSWORD"); }
  QString Maildir(const QString& user) const { return Value("MAILSTACK_" + user.toUpper() + "_MAILDIR"); }
  QString SettingsFile() const { return Folder() + "/settings.ini"; }
  // The text of SettingsFile with the values of the keys given replaced.
  QByteArray SettingsWith(const QMap<QString, QString>& values) const;

  // The account of user for POP3 (imap: IMAP4) on the stack, on the listener
  // of the security mode.
  IncomingAccount Account(const QString& user, bool imap = false, MailSecurity security = MailSecurity::Tls) const;

  // Empties the INBOX of user.
  void Clear(const QString& user) const;
  // Puts a raw mail (CR LF or LF lines) into the INBOX of user, as delivery would.
  void Drop(const QString& user, const QByteArray& raw) const;
  // The raw mails of the INBOX, by Message-ID.
  QMap<QString, QByteArray> Mails(const QString& user) const;
  // Waits until the INBOX of user holds at least count mails (deliveries are asynchronous).
  bool WaitForMails(const QString& user, int count, int timeoutMs = 120000) const;

  // A server outage: stops Dovecot (every POP3 and IMAP4 session ends at
  // once) and starts it again on the same ports; true when it worked. Only
  // for tests that hold the lock on the stack's mailboxes.
  bool StopDovecot() const;
  bool StartDovecot() const;

private:
  explicit MailStack(StackEnv env) : FEnv(std::move(env)) {}
  int Port(MailSecurity security, const char* tls, const char* startTls, const char* none) const {
    return Value(security == MailSecurity::Tls ? tls : security == MailSecurity::StartTls ? startTls : none).toInt();
  }
  StackEnv FEnv;
};

// Dovecot stopped for a while (Down = StopDovecot()): started again when the
// object goes, whatever the test found.
struct DovecotOutage {
  const MailStack& Stack;
  bool Down = false;
  ~DovecotOutage() {
    if (Down) Stack.StartDovecot();
  }
};

// Skips the test when no stack runs.
#define REQUIRE_MAILSTACK()                                                  \
  do {                                                                       \
    if (!MailStack::Get().Ok()) GTEST_SKIP() << "the test mail stack is not running"; \
  } while (0)

// A raw mail with the given subject and sender; extra goes after the headers
// (a MIME head and body, or a plain body).
QByteArray RawMail(const QString& from, const QString& subject, const QString& messageId,
                   const QByteArray& mimeAndBody = "Content-Type: text/plain\r\n\r\nhello\r\n");

// A raw mail with one attachment (base64) and a plain body, as a peer sends it.
QByteArray RawAttachmentMail(const QString& from, const QString& subject, const QString& body,
                             const QString& fileName, const QByteArray& content);

// Saves the attachments of the user's mails into folder (decoded by Python's
// mail parser) and returns "subject TAB attachment name" lines.
QStringList SaveAttachments(const QString& user, const QString& folder);
// The subjects of the user's mails.
QStringList Subjects(const QString& user);
