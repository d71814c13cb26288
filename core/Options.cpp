#include "core/Options.h"

#include "core/TextUtils.h"

#include <climits>

TClassOptions::TClassOptions(QObject* owner, const ProviderSettings& provider)
    : TClassCustom(owner), FProvider(provider) {
  FPop3Server = FProvider.Pop3Server;
  FPop3Port = FProvider.Pop3Port;
  FPop3Ssl = FProvider.Ssl;
  FSmtpServer = FProvider.SmtpServer;
  FSmtpPort = FProvider.SmtpPort;
  FSmtpSsl = FProvider.Ssl;
  FPop3Security = FProvider.Pop3Security;
  FSmtpSecurity = FProvider.SmtpSecurity;
}

void TClassOptions::SetPop3Account(const QString& account) {
  FPop3Account = account;
  DeriveAddress();
}

void TClassOptions::DeriveAddress() {
  QString name = FPop3Account;
  const int at = name.indexOf('@');
  if (at >= 0) name.truncate(at);
  name.remove(QStringLiteral("recent:"), Qt::CaseInsensitive);
  QString domain = FProvider.Domain;
  if (FServersChosen && at >= 0) {
    const QString own = TrimText(FPop3Account.mid(at + 1));
    if (!own.isEmpty() && own.compare(TrimText(FProvider.Domain), Qt::CaseInsensitive) != 0) domain = own;
  }
  FSmtpAddress = TrimText(name) + '@' + domain;
}

void TClassOptions::SetPop3Type(qint32 value) {
  if (value != 0) {
    FPop3Port = FProvider.Imap4Port;
    FPop3Server = FProvider.Imap4Server;
    FPop3Security = FProvider.Imap4Security;
  } else {
    FPop3Port = FProvider.Pop3Port;
    FPop3Server = FProvider.Pop3Server;
    FPop3Security = FProvider.Pop3Security;
  }
  FPop3Type = value;
  FSmtpServer = FProvider.SmtpServer;
  FSmtpPort = FProvider.SmtpPort;
  FSmtpSecurity = FProvider.SmtpSecurity;
  FPop3Ssl = FProvider.Ssl;
  FSmtpSsl = FProvider.Ssl;
  if (FServersChosen) {
    FServersChosen = false;
    DeriveAddress();
  }
}

void TClassOptions::SetServers(const MailServer& incoming, const MailServer& outgoing) {
  FPop3Server = incoming.Host;
  FPop3Port = incoming.Port;
  FPop3Security = incoming.Security;
  FPop3Ssl = incoming.Security != MailSecurity::None;
  FSmtpServer = outgoing.Host;
  FSmtpPort = outgoing.Port;
  FSmtpSecurity = outgoing.Security;
  FSmtpSsl = outgoing.Security != MailSecurity::None;
  FServersChosen = true;
  DeriveAddress();
}

void TClassOptions::ClearServers() { SetPop3Type(FPop3Type); }

void TClassOptions::ChooseServers(const MailServer& incoming, const MailServer& outgoing) {
  const MailServers installation = InstallationServers(FProvider);
  const QString domain = AddressDomain(FPop3Account);
  const bool ownDomain = !domain.isEmpty() && domain != TrimText(FProvider.Domain).toLower();
  const bool differ = !(incoming == installation.Incoming(FPop3Type != 0)) || !(outgoing == installation.Smtp);
  if (!incoming.Host.isEmpty() && !outgoing.Host.isEmpty() && (ownDomain || differ))
    SetServers(incoming, outgoing);
  else
    ClearServers();
}

namespace {
qint32 Within(qint32 value, qint32 least, qint32 most, qint32 preset) {
  return value >= least && value <= most ? value : preset;
}
}  // namespace

qint32 TClassOptions::EffectivePollSeconds() const {
  return Within(FPop3AccelTime, kMinAccelTime, kMaxAccelTime, kPresetAccelTime);
}

int TClassOptions::EffectivePollMilliseconds() const {
  return static_cast<int>(std::min<qint64>(qint64{EffectivePollSeconds()} * 1000, INT_MAX));
}

qint32 TClassOptions::EffectivePackLevel() const { return Within(FAttachCompress, 0, 9, kPresetAttachCompress); }

qint32 TClassOptions::EffectiveVolumeSize() const {
  return Within(FAttachVolume, kMinAttachVolume, kMaxAttachVolume, kPresetAttachVolume);
}

qint32 TClassOptions::EffectiveTimeoutSeconds() const {
  return Within(FTimeoutClient, kMinTimeoutClient, kMaxTimeoutClient, kPresetTimeoutClient);
}
