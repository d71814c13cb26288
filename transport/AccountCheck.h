// The connection tests of going online: can the incoming account be used?
// Each test blocks the calling thread while it connects, logs in (and for
// IMAP4 selects the mailbox) and disconnects, giving up after 60 seconds
// without an answer; it returns 0 or the first failing MailResult code and
// throws nothing. Nothing in the mailbox changes.
#pragma once

#include <QString>

#include "platform/Settings.h"

class TClassOptions;

// The incoming-mail settings that the tests and the pollers need.
struct IncomingAccount {
  QString Server;
  int Port = 995;
  MailSecurity Security = MailSecurity::Tls;
  QString Account;
  QString Password;
  bool Authent = false;          // POP3: log in with USER and PASS instead of SASL PLAIN
  QString Folder = QStringLiteral("Inbox");  // IMAP4 mailbox
  QString CaFile;                // empty: CA_FILE of the installation settings
};

// Pop3Server, Pop3Port, Pop3Security, Pop3Account, Pop3Password, Pop3Authent, Pop3Folder.
IncomingAccount IncomingAccountOf(const TClassOptions& options);

// Connects and logs in (POP3), or connects, logs in and selects the mailbox
// (IMAP4), then disconnects. 0 when the account works, else the first failing
// MailResult code. The log file at logPath is started afresh.
int TestPop3Connection(const IncomingAccount& account, const QString& logPath);
int TestImap4Connection(const IncomingAccount& account, const QString& logPath);
int TestPop3Connection(const TClassOptions& options, const QString& logPath);
int TestImap4Connection(const TClassOptions& options, const QString& logPath);
