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
    FPop3Security = FProvider.Imap4Security;
  } else {
    FPop3Port = FProvider.Pop3Port;
    FPop3Server = FProvider.Pop3Server;
    FPop3Security = FProvider.Pop3Security;
  }
  FPop3Type = value;
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
