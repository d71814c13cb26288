// The provider table, the guessed servers, and the servers an account keeps.
#include <gtest/gtest.h>

#include <QSet>

#include "core/Options.h"
#include "core/Providers.h"

namespace {

using S = MailSecurity;

ProviderSettings Installation() {
  ProviderSettings p;
  p.Pop3Server = "pop.example.test";
  p.Pop3Port = 1995;
  p.Imap4Server = "imap.example.test";
  p.Imap4Port = 1993;
  p.SmtpServer = "smtp.example.test";
  p.SmtpPort = 1465;
  p.Domain = "Example.Test";
  return p;
}

}  // namespace

TEST(Providers, AnAddressGivesTheTableTheInstallationOrTheGuess) {
  struct Case {
    const char* account;
    AccountSetup::From source;
    MailServer imap, pop, smtp;
    const char* caption;
    const char* hintPart;  // empty: no hint
  } cases[] = {
      {"someone@gmail.com", AccountSetup::From::Table, {"imap.gmail.com", 993, S::Tls}, {"pop.gmail.com", 995, S::Tls},
       {"smtp.gmail.com", 465, S::Tls}, "GMail Configuration", "app password"},
      {" Someone@GMX.De ", AccountSetup::From::Table, {"imap.gmx.net", 993, S::Tls}, {"pop.gmx.net", 995, S::Tls},
       {"mail.gmx.net", 587, S::StartTls}, "GMX Configuration", "POP3 and IMAP access"},
      {"a@gmx.com", AccountSetup::From::Table, {"imap.gmx.com", 993, S::Tls}, {"pop.gmx.com", 995, S::Tls},
       {"mail.gmx.com", 587, S::StartTls}, "GMX Configuration", "POP3 and IMAP access"},
      {"recent:a@hotmail.com", AccountSetup::From::Table, {"outlook.office365.com", 993, S::Tls},
       {"outlook.office365.com", 995, S::Tls}, {"smtp-mail.outlook.com", 587, S::StartTls},
       "Outlook.com Configuration", "only OAuth2"},
      {"a@msn.com", AccountSetup::From::Table, {"outlook.office365.com", 993, S::Tls},
       {"outlook.office365.com", 995, S::Tls}, {"smtp-mail.outlook.com", 587, S::StartTls},
       "Outlook.com Configuration", "only OAuth2"},
      {"a@me.com", AccountSetup::From::Table, {"imap.mail.me.com", 993, S::Tls}, {"", 995, S::Tls},
       {"smtp.mail.me.com", 587, S::StartTls}, "iCloud Configuration", "IMAP only"},
      {"a@web.de", AccountSetup::From::Table, {"imap.web.de", 993, S::Tls}, {"pop3.web.de", 995, S::Tls},
       {"smtp.web.de", 587, S::StartTls}, "WEB.DE Configuration", "POP3 and IMAP access"},
      {"a@posteo.net", AccountSetup::From::Table, {"posteo.de", 993, S::Tls}, {"posteo.de", 995, S::Tls},
       {"posteo.de", 465, S::Tls}, "Posteo Configuration", ""},
      {"a@ya.ru", AccountSetup::From::Table, {"imap.yandex.com", 993, S::Tls}, {"pop.yandex.com", 995, S::Tls},
       {"smtp.yandex.com", 465, S::Tls}, "Yandex Configuration", "app password"},
      // The installation's provider: by its domain, or for an account without one.
      {"alice@example.test", AccountSetup::From::Installation, {"imap.example.test", 1993, S::Tls},
       {"pop.example.test", 1995, S::Tls}, {"smtp.example.test", 1465, S::Tls}, "Mail Account Configuration", ""},
      {"alice", AccountSetup::From::Installation, {"imap.example.test", 1993, S::Tls},
       {"pop.example.test", 1995, S::Tls}, {"smtp.example.test", 1465, S::Tls}, "Mail Account Configuration", ""},
      // Anything else: guessed.
      {"bob@Mail.Example.org", AccountSetup::From::Guess, {"imap.mail.example.org", 993, S::Tls},
       {"pop.mail.example.org", 995, S::Tls}, {"smtp.mail.example.org", 587, S::StartTls},
       "Mail Account Configuration", ""},
      {"bob@gmail.com.evil.org", AccountSetup::From::Guess, {"imap.gmail.com.evil.org", 993, S::Tls},
       {"pop.gmail.com.evil.org", 995, S::Tls}, {"smtp.gmail.com.evil.org", 587, S::StartTls},
       "Mail Account Configuration", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account);
    const AccountSetup setup = SetupForAccount(c.account, Installation());
    EXPECT_EQ(setup.Source, c.source);
    EXPECT_EQ(setup.Servers.Imap4, c.imap);
    EXPECT_EQ(setup.Servers.Pop3, c.pop);
    EXPECT_EQ(setup.Servers.Smtp, c.smtp);
    EXPECT_EQ(setup.Caption, c.caption);
    if (*c.hintPart)
      EXPECT_TRUE(setup.Hint.contains(c.hintPart)) << setup.Hint.toStdString();
    else
      EXPECT_TRUE(setup.Hint.isEmpty()) << setup.Hint.toStdString();
  }

  // The default installation is the Gmail one: an account without a domain is Gmail's.
  const AccountSetup plain = SetupForAccount("someone", ProviderSettings());
  EXPECT_EQ(plain.Source, AccountSetup::From::Installation);
  EXPECT_EQ(plain.Caption, "GMail Configuration");
  EXPECT_TRUE(plain.Hint.contains("app password"));
}

TEST(Providers, TheTableCoversTheLargeProvidersOnce) {
  QSet<QString> names, domains;
  for (const MailProvider& p : MailProviders()) {
    names.insert(p.Name);
    EXPECT_FALSE(p.Servers.Imap4.Host.isEmpty() || p.Servers.Smtp.Host.isEmpty()) << p.Name.toStdString();
    for (const QString& d : p.Domains) {
      EXPECT_FALSE(domains.contains(d)) << d.toStdString();  // one provider per domain
      EXPECT_EQ(d, d.toLower());
      domains.insert(d);
    }
  }
  for (const char* name : {"GMail", "Outlook.com", "Microsoft 365", "Yahoo", "iCloud", "AOL", "GMX", "WEB.DE",
                           "mailbox.org", "Posteo", "Fastmail", "Zoho", "Yandex"})
    EXPECT_TRUE(names.contains(name)) << name;
  for (const char* domain : {"googlemail.com", "outlook.com", "hotmail.com", "live.com", "msn.com", "yahoo.com",
                             "icloud.com", "me.com", "mac.com", "aol.com", "gmx.de", "gmx.net", "gmx.com", "web.de",
                             "mailbox.org", "posteo.de", "fastmail.com", "zoho.com", "yandex.ru"})
    EXPECT_TRUE(domains.contains(domain)) << domain;
  // Microsoft 365 has no domain of its own: it is found by its servers.
  const MailProvider* m365 = ProviderOfServers(true, "OUTLOOK.office365.com", "smtp.office365.com");
  ASSERT_NE(m365, nullptr);
  EXPECT_EQ(m365->Name, "Microsoft 365");
  EXPECT_TRUE(m365->Domains.isEmpty());
  EXPECT_TRUE(m365->Hint.contains("OAuth2"));
  EXPECT_EQ(ProviderOfServers(false, "imap.mail.me.com", "smtp.mail.me.com"), nullptr);  // iCloud has no POP3
}

// Chosen servers win over the installation's and make the account's own
// address; without them (and after SetPop3Type) everything is as before.
TEST(Providers, ChosenServersAndTheOwnAddress) {
  TClassOptions o(nullptr, Installation());
  const MailServer gmx{"imap.gmx.net", 993, S::Tls}, gmxOut{"mail.gmx.net", 587, S::StartTls};

  o.SetPop3Account("recent:Someone@gmx.de");
  o.SetPop3Type(1);
  EXPECT_EQ(o.SmtpAddress(), "Someone@Example.Test");  // nothing chosen: as before
  o.ChooseServers(gmx, gmxOut);
  ASSERT_TRUE(o.ServersChosen());
  EXPECT_EQ(o.Pop3Server(), "imap.gmx.net");
  EXPECT_EQ(o.Pop3Port(), 993);
  EXPECT_EQ(o.Pop3Security(), S::Tls);
  EXPECT_EQ(o.SmtpServer(), "mail.gmx.net");
  EXPECT_EQ(o.SmtpPort(), 587);
  EXPECT_EQ(o.SmtpSecurity(), S::StartTls);
  EXPECT_TRUE(o.SmtpSsl());
  EXPECT_EQ(o.SmtpAddress(), "Someone@gmx.de");

  // The same servers for an account without a domain, or of the
  // installation's domain: the own address as before.
  for (const char* account : {"someone", "someone@EXAMPLE.test"}) {
    o.SetPop3Account(account);
    EXPECT_EQ(o.SmtpAddress(), "someone@Example.Test") << account;
  }

  // The installation's own servers for such an account choose nothing.
  o.SetPop3Type(0);
  o.ChooseServers({"pop.example.test", 1995, S::Tls}, {"smtp.example.test", 1465, S::Tls});
  EXPECT_FALSE(o.ServersChosen());
  // ... but they do for an address of another domain, which is then the own address.
  o.SetPop3Account("me@custom.org");
  o.ChooseServers({"pop.example.test", 1995, S::Tls}, {"smtp.example.test", 1465, S::Tls});
  EXPECT_TRUE(o.ServersChosen());
  EXPECT_EQ(o.SmtpAddress(), "me@custom.org");
  EXPECT_TRUE(o.Pop3Ssl());

  // A plain connection; then SetPop3Type goes back to the installation's servers.
  o.ChooseServers({"127.0.0.1", 110, S::None}, {"127.0.0.1", 25, S::None});
  EXPECT_FALSE(o.Pop3Ssl());
  EXPECT_FALSE(o.SmtpSsl());
  o.SetPop3Type(1);
  EXPECT_FALSE(o.ServersChosen());
  EXPECT_EQ(o.Pop3Server(), "imap.example.test");
  EXPECT_EQ(o.SmtpServer(), "smtp.example.test");
  EXPECT_EQ(o.SmtpPort(), 1465);
  EXPECT_TRUE(o.Pop3Ssl() && o.SmtpSsl());
  EXPECT_EQ(o.SmtpAddress(), "me@Example.Test");

  // An empty host chooses nothing.
  o.ChooseServers({"", 993, S::Tls}, gmxOut);
  EXPECT_FALSE(o.ServersChosen());
}
