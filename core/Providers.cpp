#include "core/Providers.h"

#include "core/TextUtils.h"

namespace {

using S = MailSecurity;

// Hints; %1 is the provider's name.
constexpr const char* kAppPassword =
    "%1 asks mail programs for an app password: create one in the security settings of your %1 account and "
    "type it here instead of your usual password.";
constexpr const char* kOAuthOnly =
    "%1 accepts only OAuth2 logins from mail programs, and Kestro does not offer OAuth2 logins yet: this account "
    "cannot be used with Kestro for now.";
constexpr const char* kTurnOnAccess = "Turn on POP3 and IMAP access in the settings of your %1 account first.";
constexpr const char* kNoPop3 =
    "%1 offers IMAP only, and asks mail programs for an app password: create one in the settings of your Apple "
    "account and type it here instead of your usual password.";

struct Row {
  const char* Name;
  const char* Domains;  // separated by blanks
  const char* Imap4;
  int Imap4Port;
  S Imap4Security;
  const char* Pop3;  // empty: no POP3
  int Pop3Port;
  S Pop3Security;
  const char* Smtp;
  int SmtpPort;
  S SmtpSecurity;
  const char* Hint;
};

// The providers' published settings for mail programs.
constexpr Row kRows[] = {
    {"GMail", "gmail.com googlemail.com", "imap.gmail.com", 993, S::Tls, "pop.gmail.com", 995, S::Tls,
     "smtp.gmail.com", 465, S::Tls, kAppPassword},
    {"Outlook.com",
     "outlook.com hotmail.com live.com msn.com passport.com outlook.de outlook.fr outlook.it outlook.es "
     "hotmail.co.uk hotmail.de hotmail.fr hotmail.it hotmail.es live.co.uk live.de live.fr live.it live.nl",
     "outlook.office365.com", 993, S::Tls, "outlook.office365.com", 995, S::Tls, "smtp-mail.outlook.com", 587,
     S::StartTls, kOAuthOnly},
    {"Microsoft 365", "", "outlook.office365.com", 993, S::Tls, "outlook.office365.com", 995, S::Tls,
     "smtp.office365.com", 587, S::StartTls, kOAuthOnly},
    {"Yahoo",
     "yahoo.com ymail.com rocketmail.com yahoo.co.uk yahoo.de yahoo.fr yahoo.it yahoo.es yahoo.ca yahoo.com.au "
     "yahoo.co.in",
     "imap.mail.yahoo.com", 993, S::Tls, "pop.mail.yahoo.com", 995, S::Tls, "smtp.mail.yahoo.com", 465, S::Tls,
     kAppPassword},
    {"iCloud", "icloud.com me.com mac.com", "imap.mail.me.com", 993, S::Tls, "", 995, S::Tls, "smtp.mail.me.com",
     587, S::StartTls, kNoPop3},
    {"AOL", "aol.com aim.com", "imap.aol.com", 993, S::Tls, "pop.aol.com", 995, S::Tls, "smtp.aol.com", 465, S::Tls,
     kAppPassword},
    {"GMX", "gmx.de gmx.net gmx.at gmx.ch", "imap.gmx.net", 993, S::Tls, "pop.gmx.net", 995, S::Tls, "mail.gmx.net",
     587, S::StartTls, kTurnOnAccess},
    {"GMX", "gmx.com gmx.us gmx.co.uk gmx.fr gmx.es", "imap.gmx.com", 993, S::Tls, "pop.gmx.com", 995, S::Tls,
     "mail.gmx.com", 587, S::StartTls, kTurnOnAccess},
    {"WEB.DE", "web.de", "imap.web.de", 993, S::Tls, "pop3.web.de", 995, S::Tls, "smtp.web.de", 587, S::StartTls,
     kTurnOnAccess},
    {"mailbox.org", "mailbox.org", "imap.mailbox.org", 993, S::Tls, "pop3.mailbox.org", 995, S::Tls,
     "smtp.mailbox.org", 465, S::Tls, ""},
    {"Posteo", "posteo.de posteo.net posteo.org posteo.eu posteo.at posteo.ch posteo.be posteo.uk posteo.us",
     "posteo.de", 993, S::Tls, "posteo.de", 995, S::Tls, "posteo.de", 465, S::Tls, ""},
    {"Fastmail", "fastmail.com fastmail.fm", "imap.fastmail.com", 993, S::Tls, "pop.fastmail.com", 995, S::Tls,
     "smtp.fastmail.com", 465, S::Tls, kAppPassword},
    {"Zoho", "zoho.com zohomail.com", "imap.zoho.com", 993, S::Tls, "pop.zoho.com", 995, S::Tls, "smtp.zoho.com", 465,
     S::Tls, kAppPassword},
    {"Yandex", "yandex.com yandex.ru ya.ru yandex.ua yandex.by yandex.kz", "imap.yandex.com", 993, S::Tls,
     "pop.yandex.com", 995, S::Tls, "smtp.yandex.com", 465, S::Tls, kAppPassword},
};

QList<MailProvider> BuildTable() {
  QList<MailProvider> table;
  for (const Row& r : kRows) {
    MailProvider p;
    p.Name = QString::fromUtf8(r.Name);
    p.Domains = QString::fromUtf8(r.Domains).split(u' ', Qt::SkipEmptyParts);
    p.Servers.Imap4 = {QString::fromUtf8(r.Imap4), r.Imap4Port, r.Imap4Security};
    p.Servers.Pop3 = {QString::fromUtf8(r.Pop3), r.Pop3Port, r.Pop3Security};
    p.Servers.Smtp = {QString::fromUtf8(r.Smtp), r.SmtpPort, r.SmtpSecurity};
    if (*r.Hint) p.Hint = QString::fromUtf8(r.Hint).arg(p.Name);
    table.append(p);
  }
  return table;
}

bool SameHost(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

}  // namespace

const QList<MailProvider>& MailProviders() {
  static const QList<MailProvider> table = BuildTable();
  return table;
}

const MailProvider* FindMailProvider(const QString& domain) {
  const QString d = TrimText(domain).toLower();
  if (d.isEmpty()) return nullptr;
  for (const MailProvider& p : MailProviders())
    if (p.Domains.contains(d)) return &p;
  return nullptr;
}

const MailProvider* ProviderOfServers(bool imap, const QString& incomingHost, const QString& outgoingHost) {
  for (const MailProvider& p : MailProviders())
    if (!p.Servers.Incoming(imap).Host.isEmpty() && SameHost(p.Servers.Incoming(imap).Host, incomingHost) &&
        SameHost(p.Servers.Smtp.Host, outgoingHost))
      return &p;
  return nullptr;
}

QString AddressDomain(const QString& account) {
  const int at = account.indexOf(u'@');
  return at < 0 ? QString() : TrimText(account.mid(at + 1)).toLower();
}

MailServers InstallationServers(const ProviderSettings& installation) {
  MailServers s;
  s.Pop3 = {installation.Pop3Server, installation.Pop3Port, installation.Pop3Security};
  s.Imap4 = {installation.Imap4Server, installation.Imap4Port, installation.Imap4Security};
  s.Smtp = {installation.SmtpServer, installation.SmtpPort, installation.SmtpSecurity};
  return s;
}

MailServers GuessedServers(const QString& domain) {
  MailServers s;
  s.Imap4 = {QStringLiteral("imap.") + domain, 993, MailSecurity::Tls};
  s.Pop3 = {QStringLiteral("pop.") + domain, 995, MailSecurity::Tls};
  s.Smtp = {QStringLiteral("smtp.") + domain, 587, MailSecurity::StartTls};
  return s;
}

QString ConfigurationCaption(const MailProvider* provider) {
  return provider ? provider->Name + QStringLiteral(" Configuration") : QStringLiteral("Mail Account Configuration");
}

AccountSetup SetupForProvider(const MailProvider& provider) {
  AccountSetup setup;
  setup.Source = AccountSetup::From::Table;
  setup.Provider = &provider;
  setup.Servers = provider.Servers;
  setup.Caption = ConfigurationCaption(&provider);
  setup.Hint = provider.Hint;
  return setup;
}

AccountSetup SetupForAccount(const QString& account, const ProviderSettings& installation) {
  const QString domain = AddressDomain(account);
  if (const MailProvider* p = FindMailProvider(domain)) return SetupForProvider(*p);
  AccountSetup setup;
  if (domain.isEmpty() || domain == TrimText(installation.Domain).toLower()) {
    setup.Source = AccountSetup::From::Installation;
    setup.Servers = InstallationServers(installation);
    setup.Provider = FindMailProvider(installation.Domain);
    // The installation's own servers; the table names the provider and its hint.
    if (setup.Provider) setup.Hint = setup.Provider->Hint;
  } else {
    setup.Source = AccountSetup::From::Guess;
    setup.Servers = GuessedServers(domain);
  }
  setup.Caption = ConfigurationCaption(setup.Provider);
  return setup;
}
