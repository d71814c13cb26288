// The installation settings: an INI file that an installation writes and the
// program only reads ($KESTRO_SETTINGS, else $XDG_CONFIG_HOME/kestro/settings.ini).
#pragma once

#include <QString>

#include <optional>

// How a mail connection is secured: TLS from the first byte, a plain
// connection that must switch to TLS (STARTTLS) before the login, or none at
// all (allowed for loopback servers only).
enum class MailSecurity { Tls, StartTls, None };

// "tls", "starttls", "none".
QString MailSecurityName(MailSecurity security);
// The mode a name (any case, blanks around) stands for; nothing for another text.
std::optional<MailSecurity> ParseMailSecurity(const QString& name);
// The usual mode of a port: 465, 993, 995 TLS; 587, 143, 110 STARTTLS;
// another port TLS with ssl, else none.
MailSecurity DefaultMailSecurity(int port, bool ssl);

struct ProviderSettings {
  QString Pop3Server = "pop.gmail.com";
  int Pop3Port = 995;
  QString Imap4Server = "imap.gmail.com";
  int Imap4Port = 993;
  QString SmtpServer = "smtp.gmail.com";
  int SmtpPort = 465;
  QString Domain = "gmail.com";
  bool Ssl = true;
  // POP3_SECURITY, IMAP4_SECURITY, SMTP_SECURITY; without them the port's
  // usual mode (DefaultMailSecurity).
  MailSecurity Pop3Security = MailSecurity::Tls;
  MailSecurity Imap4Security = MailSecurity::Tls;
  MailSecurity SmtpSecurity = MailSecurity::Tls;
  QString CaFile;  // extra certificate authorities to trust, PEM
};

struct InstallSettings {
  // [Options]
  QString Home, Name, QuickStart, Log, LocalizerExt, TempInput, TempOutput, Conf;
  double Pace = 1.0;
  // [Provider]
  ProviderSettings Provider;
  // The file the values came from (may not exist).
  QString File;
  bool FileExists = false;

  // Reads the file now. Without a file, the defaults of a default installation.
  static InstallSettings Read();
  // The settings of this process, read once on first use.
  static const InstallSettings& Current();
  // Forgets what Current read, so that the next call reads again (tests).
  static void Reload();
};

// $XDG_CONFIG_HOME, or ~/.config.
QString XdgConfigHome();
