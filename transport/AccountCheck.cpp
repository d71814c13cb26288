#include "transport/AccountCheck.h"

#include "core/Options.h"
#include "transport/Imap4Mailbox.h"
#include "transport/Pop3Mailbox.h"

IncomingAccount IncomingAccountOf(const TClassOptions& options) {
  IncomingAccount a;
  a.Server = options.Pop3Server();
  a.Port = options.Pop3Port();
  a.Security = options.Pop3Security();
  a.Account = options.Pop3Account();
  a.Password = options.Pop3Password();
  a.Authent = options.Pop3Authent();
  a.Folder = options.Pop3Folder();
  return a;
}

namespace {
void Configure(TMailReceiver& box, const IncomingAccount& a, const QString& logPath) {
  box.SetLogFile(logPath);
  box.SetSecurity(a.Security);
  if (!a.CaFile.isEmpty()) box.SetCaFile(a.CaFile);
  box.SetTimeOut(60);
  box.SetMailPort(a.Port);
}
}  // namespace

int TestPop3Connection(const IncomingAccount& a, const QString& logPath) {
  TMailPOP3 pop3;
  Configure(pop3, a, logPath);
  pop3.SetMailServer(a.Server);
  pop3.SetAccount(a.Account);
  pop3.SetPassword(a.Password);
  const int code = pop3.Connect();
  pop3.Disconnect();
  return code;
}

int TestImap4Connection(const IncomingAccount& a, const QString& logPath) {
  TMailIMAP4 imap;
  Configure(imap, a, logPath);
  int code = imap.Connect(a.Server);
  if (code == mrOk) code = imap.Login(a.Account, a.Password);
  if (code == mrOk) code = imap.SelectMailbox(a.Folder);
  imap.Disconnect();
  return code;
}

int TestPop3Connection(const TClassOptions& options, const QString& logPath) {
  return TestPop3Connection(IncomingAccountOf(options), logPath);
}

int TestImap4Connection(const TClassOptions& options, const QString& logPath) {
  return TestImap4Connection(IncomingAccountOf(options), logPath);
}
