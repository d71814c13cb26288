// All settings of the program. Part of them is stored; the rest keeps its
// preset, taken from the provider section of the installation settings.
#pragma once

#include <QString>

#include "core/ClassCustom.h"
#include "core/Providers.h"
#include "platform/Settings.h"

// Pack levels offered by the options dialog.
struct PackLevel {
  const char* Name;
  int Level;
};
inline constexpr PackLevel kPackLevels[] = {{"Store", 0}, {"Fastest", 1}, {"Fast", 3},
                                            {"Normal", 6}, {"Good", 8},   {"Best", 9}};

// Presets of the stored numbers: a configuration that holds 0 for one (no
// options stored yet) or a value outside the dialog's limits gets its preset.
inline constexpr int kPresetAttachVolume = 10000000, kPresetTimeoutClient = 3600;
inline constexpr int kPresetAccelTime = 10, kPresetAttachCompress = 3;

// Limits kept by the options dialog.
inline constexpr int kMinAccelTime = 10, kMaxAccelTime = 2419200;
inline constexpr int kMinTimeoutClient = 360, kMaxTimeoutClient = 2419200;
inline constexpr int kMinAttachVolume = 1000000, kMaxAttachVolume = 25000000;

class TClassOptions : public TClassCustom {
  Q_OBJECT
public:
  explicit TClassOptions(QObject* owner = nullptr, const ProviderSettings& provider = InstallSettings::Current().Provider);

  qint32 AttachCompress() const { return FAttachCompress; }
  qint32 AttachVolume() const { return FAttachVolume; }
  bool StartupAbout() const { return FStartupAbout; }
  QString DownloadFolder() const { return FDownloadFolder; }
  qint32 Pop3AccelTime() const { return FPop3AccelTime; }
  QString Pop3Account() const { return FPop3Account; }
  bool Pop3Authent() const { return FPop3Authent; }
  QString Pop3Password() const { return FPop3Password; }
  QString Pop3Server() const { return FPop3Server; }
  qint32 Pop3Port() const { return FPop3Port; }
  bool Pop3Ssl() const { return FPop3Ssl; }
  // How the incoming and outgoing connections are secured.
  MailSecurity Pop3Security() const { return FPop3Security; }
  MailSecurity SmtpSecurity() const { return FSmtpSecurity; }
  qint32 Pop3Type() const { return FPop3Type; }
  QString Pop3Folder() const { return FPop3Folder; }
  qint32 ServerType() const { return FServerType; }
  QString SmtpAccount() const { return FSmtpAccount; }
  bool SmtpAuthentOn() const { return FSmtpAuthentOn; }
  bool SmtpAuthent() const { return FSmtpAuthent; }
  QString SmtpAddress() const { return FSmtpAddress; }
  QString SmtpPassword() const { return FSmtpPassword; }
  bool SmtpPop3Authent() const { return FSmtpPop3Authent; }
  QString SmtpServer() const { return FSmtpServer; }
  qint32 SmtpPort() const { return FSmtpPort; }
  bool SmtpSsl() const { return FSmtpSsl; }
  bool StartupRun() const { return FStartupRun; }
  bool StartupSystem() const { return FStartupSystem; }
  bool StartupTray() const { return FStartupTray; }
  qint32 TimeoutClient() const { return FTimeoutClient; }

  void SetAttachCompress(qint32 v) { FAttachCompress = v; }
  void SetAttachVolume(qint32 v) { FAttachVolume = v; }
  void SetStartupAbout(bool v) { FStartupAbout = v; }
  void SetDownloadFolder(const QString& v) { FDownloadFolder = v; }
  void SetPop3AccelTime(qint32 v) { FPop3AccelTime = v; }
  void SetPop3Password(const QString& v) { FPop3Password = v; }
  void SetStartupRun(bool v) { FStartupRun = v; }
  void SetStartupSystem(bool v) { FStartupSystem = v; }
  void SetStartupTray(bool v) { FStartupTray = v; }
  void SetTimeoutClient(qint32 v) { FTimeoutClient = v; }

  // Stores the account and derives SmtpAddress: the part before "@", without
  // "recent:" in any case, trimmed, + "@" + the provider's mail domain. With
  // servers chosen for an account written as an address of another domain
  // than the provider's, that domain instead.
  void SetPop3Account(const QString& account);
  // 0 selects POP3, any other value IMAP4; sets the incoming server and port
  // of the installation's provider, and forgets servers chosen before.
  void SetPop3Type(qint32 value);

  // Servers chosen for this account (the account dialog, the configuration):
  // they win over the installation's provider until SetPop3Type or
  // ClearServers. The incoming one serves the protocol of Pop3Type.
  void SetServers(const MailServer& incoming, const MailServer& outgoing);
  void ClearServers();
  bool ServersChosen() const { return FServersChosen; }
  // What the account dialog and "kestroctl account set" keep after
  // SetPop3Account and SetPop3Type: the servers, when they differ from the
  // installation's for the protocol or the account's domain is not the
  // installation's; otherwise nothing is chosen and the account behaves as
  // one without servers. An empty host chooses nothing.
  void ChooseServers(const MailServer& incoming, const MailServer& outgoing);
  MailServer IncomingServer() const { return {FPop3Server, FPop3Port, FPop3Security}; }
  MailServer OutgoingServer() const { return {FSmtpServer, FSmtpPort, FSmtpSecurity}; }

  // The SMTP login: account and password in use, and whether to log in at all.
  QString SmtpLoginAccount() const { return FSmtpPop3Authent ? FPop3Account : FSmtpAccount; }
  QString SmtpLoginPassword() const { return FSmtpPop3Authent ? FPop3Password : FSmtpPassword; }

  // The values in effect: the stored number when it lies within the options
  // dialog's limits (a deflate level 0 to 9 for the pack level), otherwise its
  // preset. What is stored stays as it is; every user reads these.
  qint32 EffectivePollSeconds() const;
  // EffectivePollSeconds x 1000, at most INT_MAX.
  int EffectivePollMilliseconds() const;
  qint32 EffectivePackLevel() const;
  qint32 EffectiveVolumeSize() const;
  qint32 EffectiveTimeoutSeconds() const;

  const ProviderSettings& Provider() const { return FProvider; }

private:
  void DeriveAddress();

  ProviderSettings FProvider;
  bool FServersChosen = false;
  qint32 FAttachCompress = kPresetAttachCompress;
  qint32 FAttachVolume = kPresetAttachVolume;
  bool FStartupAbout = false;
  QString FDownloadFolder;
  qint32 FPop3AccelTime = kPresetAccelTime;
  QString FPop3Account;
  bool FPop3Authent = false;
  QString FPop3Password;
  QString FPop3Server;
  qint32 FPop3Port = 995;
  bool FPop3Ssl = true;
  MailSecurity FPop3Security = MailSecurity::Tls;
  MailSecurity FSmtpSecurity = MailSecurity::Tls;
  qint32 FPop3Type = 0;
  QString FPop3Folder = QStringLiteral("Inbox");
  qint32 FServerType = 0;
  QString FSmtpAccount;
  bool FSmtpAuthentOn = true;
  bool FSmtpAuthent = false;
  QString FSmtpAddress;
  QString FSmtpPassword;
  bool FSmtpPop3Authent = true;
  QString FSmtpServer;
  qint32 FSmtpPort = 465;
  bool FSmtpSsl = true;
  bool FStartupRun = false;
  bool FStartupSystem = false;
  bool FStartupTray = false;
  qint32 FTimeoutClient = kPresetTimeoutClient;
};
