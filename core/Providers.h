// The mail providers Kestro knows by name, and the servers of an account:
// from this table by the domain of its address, else from the installation's
// provider when the domains match, else guessed from the domain
// (imap.DOMAIN, pop.DOMAIN, smtp.DOMAIN with the usual ports).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "platform/Settings.h"

// One mail server: host, port and how the connection is secured.
struct MailServer {
  QString Host;
  int Port = 0;
  MailSecurity Security = MailSecurity::Tls;
  bool operator==(const MailServer&) const = default;
};

// The servers of one account: incoming over POP3 or IMAP4, and SMTP.
struct MailServers {
  MailServer Pop3, Imap4, Smtp;
  const MailServer& Incoming(bool imap) const { return imap ? Imap4 : Pop3; }
};

struct MailProvider {
  QString Name;         // as the account dialog's caption shows it: "NAME Configuration"
  QStringList Domains;  // lower case; none: the provider is only chosen by name
  MailServers Servers;  // an empty Pop3.Host: the provider offers no POP3
  QString Hint;         // what the user must know to log in; may be empty
};

// The table, in the order the account dialog offers it.
const QList<MailProvider>& MailProviders();
// The provider of a mail domain (any case, blanks around); null for another.
const MailProvider* FindMailProvider(const QString& domain);
// The provider whose incoming (for the protocol) and outgoing hosts are these; null for none.
const MailProvider* ProviderOfServers(bool imap, const QString& incomingHost, const QString& outgoingHost);

// The domain of an account written as an address: the text after its first
// "@", trimmed and in lower case; empty when there is no "@".
QString AddressDomain(const QString& account);

// The servers of the installation's provider section.
MailServers InstallationServers(const ProviderSettings& installation);

// The servers guessed for a domain: imap.DOMAIN 993 TLS, pop.DOMAIN 995 TLS,
// smtp.DOMAIN 587 STARTTLS.
MailServers GuessedServers(const QString& domain);

// Where the servers of an account come from, and what the dialog shows for it.
struct AccountSetup {
  enum class From { Table, Installation, Guess } Source = From::Installation;
  const MailProvider* Provider = nullptr;  // the table's row, also for an installation whose domain it lists
  MailServers Servers;
  QString Caption;  // "NAME Configuration", or "Mail Account Configuration" for a provider not in the table
  QString Hint;
};

// The setup of an account: the table by its domain, else the installation's
// provider when its DOMAIN matches or the account has no domain, else the guess.
AccountSetup SetupForAccount(const QString& account, const ProviderSettings& installation);
// The setup of a provider chosen by name in the table.
AccountSetup SetupForProvider(const MailProvider& provider);

// The caption of the account dialog for a provider; the neutral one for null.
QString ConfigurationCaption(const MailProvider* provider);
