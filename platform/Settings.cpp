#include "platform/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <mutex>
#include <optional>

QString XdgConfigHome() {
  const QString env = qEnvironmentVariable("XDG_CONFIG_HOME");
  return env.isEmpty() ? QDir::homePath() + "/.config" : env;
}

namespace {

QString XdgHome(const char* variable, const QString& fallback) {
  const QString env = qEnvironmentVariable(variable);
  return env.isEmpty() ? QDir::homePath() + fallback : env;
}

QString OwnPath() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationFilePath();
  return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

std::mutex gMutex;
std::optional<InstallSettings> gCurrent;

}  // namespace

InstallSettings InstallSettings::Read() {
  InstallSettings s;
  const QString env = qEnvironmentVariable("KESTRO_SETTINGS");
  s.File = env.isEmpty() ? XdgConfigHome() + "/kestro/settings.ini" : env;
  s.FileExists = QFileInfo(s.File).isFile();

  if (!s.FileExists) {
    // As after a default installation.
    const QString cache = XdgHome("XDG_CACHE_HOME", "/.cache") + "/kestro";
    s.Conf = XdgConfigHome() + "/kestro";
    s.Log = XdgHome("XDG_STATE_HOME", "/.local/state") + "/kestro";
    s.TempInput = cache + "/input";
    s.TempOutput = cache + "/output";
    s.Name = OwnPath();
    s.Home = QStringLiteral("https://kestro.invalid/");
    s.QuickStart = QStringLiteral("https://kestro.invalid/quickstart.html");
    return s;
  }

  QSettings ini(s.File, QSettings::IniFormat);
  auto text = [&](const char* key) { return ini.value(key).toString(); };
  s.Home = text("Options/HOME");
  s.Name = text("Options/NAME");
  s.QuickStart = text("Options/QSTART");
  s.Log = text("Options/LOG");
  s.LocalizerExt = text("Options/LocalizerExt");
  s.TempInput = text("Options/TEMP_INPUT");
  s.TempOutput = text("Options/TEMP_OUTPUT");
  s.Conf = text("Options/CONF");
  bool ok = false;
  const double pace = ini.value("Options/PACE").toDouble(&ok);
  if (ok && pace >= 0) s.Pace = pace;

  ProviderSettings& p = s.Provider;
  auto textOr = [&](const char* key, const QString& fallback) {
    const QString v = text(key);
    return v.isEmpty() ? fallback : v;
  };
  auto intOr = [&](const char* key, int fallback) {
    bool good = false;
    const int v = ini.value(key).toInt(&good);
    return good ? v : fallback;
  };
  p.Pop3Server = textOr("Provider/POP3_SERVER", p.Pop3Server);
  p.Pop3Port = intOr("Provider/POP3_PORT", p.Pop3Port);
  p.Imap4Server = textOr("Provider/IMAP4_SERVER", p.Imap4Server);
  p.Imap4Port = intOr("Provider/IMAP4_PORT", p.Imap4Port);
  p.SmtpServer = textOr("Provider/SMTP_SERVER", p.SmtpServer);
  p.SmtpPort = intOr("Provider/SMTP_PORT", p.SmtpPort);
  p.Domain = textOr("Provider/DOMAIN", p.Domain);
  if (ini.contains("Provider/SSL")) p.Ssl = ini.value("Provider/SSL").toBool();
  auto securityOr = [&](const char* key, int port) {
    const QString v = text(key);
    if (const auto mode = ParseMailSecurity(v)) return *mode;
    if (!v.isEmpty()) qWarning("%s: %s=%s is none of tls, starttls, none; the port's usual mode is used",
                               qUtf8Printable(s.File), key, qUtf8Printable(v));
    return DefaultMailSecurity(port, p.Ssl);
  };
  p.Pop3Security = securityOr("Provider/POP3_SECURITY", p.Pop3Port);
  p.Imap4Security = securityOr("Provider/IMAP4_SECURITY", p.Imap4Port);
  p.SmtpSecurity = securityOr("Provider/SMTP_SECURITY", p.SmtpPort);
  p.CaFile = text("Provider/CA_FILE");
  return s;
}

QString MailSecurityName(MailSecurity security) {
  switch (security) {
    case MailSecurity::Tls: return QStringLiteral("tls");
    case MailSecurity::StartTls: return QStringLiteral("starttls");
    case MailSecurity::None: return QStringLiteral("none");
  }
  return QString();
}

std::optional<MailSecurity> ParseMailSecurity(const QString& name) {
  const QString n = name.trimmed().toLower();
  for (MailSecurity m : {MailSecurity::Tls, MailSecurity::StartTls, MailSecurity::None})
    if (n == MailSecurityName(m)) return m;
  return std::nullopt;
}

MailSecurity DefaultMailSecurity(int port, bool ssl) {
  switch (port) {
    case 465: case 993: case 995: return MailSecurity::Tls;
    case 587: case 143: case 110: return MailSecurity::StartTls;
    default: return ssl ? MailSecurity::Tls : MailSecurity::None;
  }
}

const InstallSettings& InstallSettings::Current() {
  std::lock_guard lock(gMutex);
  if (!gCurrent) gCurrent = Read();
  return *gCurrent;
}

void InstallSettings::Reload() {
  std::lock_guard lock(gMutex);
  gCurrent.reset();
}
