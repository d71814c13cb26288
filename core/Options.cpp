#include "core/Options.h"

#include "core/TextUtils.h"

TClassOptions::TClassOptions(QObject* owner, const ProviderSettings& provider)
    : TClassCustom(owner), FProvider(provider) {
  FPop3Server = FProvider.Pop3Server;
  FPop3Port = FProvider.Pop3Port;
  FPop3Ssl = FProvider.Ssl;
  FSmtpServer = FProvider.SmtpServer;
  FSmtpPort = FProvider.SmtpPort;
  FSmtpSsl = FProvider.Ssl;
}

void TClassOptions::SetPop3Account(const QString& account) {
  QString name = account;
  const int at = name.indexOf('@');
  if (at >= 0) name.truncate(at);
  name.remove(QStringLiteral("recent:"), Qt::CaseInsensitive);
  FSmtpAddress = TrimText(name) + '@' + FProvider.Domain;
  FPop3Account = account;
}

void TClassOptions::SetPop3Type(qint32 value) {
  if (value != 0) {
    FPop3Port = FProvider.Imap4Port;
    FPop3Server = FProvider.Imap4Server;
  } else {
    FPop3Port = FProvider.Pop3Port;
    FPop3Server = FProvider.Pop3Server;
  }
  FPop3Type = value;
}
