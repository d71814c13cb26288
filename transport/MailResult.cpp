#include "transport/MailResult.h"

#include <QLocale>

QString MailResultText(int code) {
  switch (code) {
    case mrOk: return QStringLiteral("Success.");
    case mrConnectFailed: return QStringLiteral("Connection refused or host unreachable.");
    case mrTlsHandshake: return QStringLiteral("TLS handshake failed.");
    case mrCertificate: return QStringLiteral("Server certificate not trusted or not issued for this host.");
    case mrAuthFailed: return QStringLiteral("The server refused the account name or password.");
    case mrMailboxNotFound: return QStringLiteral("Mailbox not found.");
    case mrTimedOut: return QStringLiteral("The server did not answer in time.");
    case mrMessageRefused: return QStringLiteral("Message refused by the server (too large or recipient unknown).");
    case mrProtocol: return QStringLiteral("Protocol error: unexpected answer from the server.");
    case mrBadAddress: return QStringLiteral("Invalid mail address: exactly one address without line breaks is required.");
    case mrNotConnected: return QStringLiteral("Not connected.");
    case mrNoSuchMessage: return QStringLiteral("No such message.");
    case mrFileError: return QStringLiteral("A local file could not be read or written.");
    case mrCancelled: return QStringLiteral("Cancelled: the program is closing.");
    case mrConnectionLost: return QStringLiteral("The connection to the server was lost.");
    case mrDiskFull: return QStringLiteral("Not enough free disk space.");
    case mrOverLimits: return QStringLiteral("The mail nests or splits its parts beyond the limits; it was not read.");
    case mrNoStartTls:
      return QStringLiteral("The server does not offer STARTTLS, so the login was not sent. "
                            "Choose tls if the server takes TLS from the start.");
    case mrPlainRefused:
      return QStringLiteral("A login without TLS is allowed only to a server on this computer (loopback): "
                            "choose tls or starttls.");
    case mrTooLarge: return QStringLiteral("The server refused the message as too large.");
    case mrInternal: return QStringLiteral("Internal error of the mail library.");
    default: return QStringLiteral("Unknown mail error %1.").arg(code);
  }
}

QString ByteCountText(qint64 bytes) {
  QLocale english(QLocale::English, QLocale::UnitedStates);
  english.setNumberOptions(QLocale::DefaultNumberOptions);
  return english.toString(bytes) + QStringLiteral(" bytes");
}

QString TooLargeText(qint64 sizeLimit) {
  if (sizeLimit <= 0) return MailResultText(mrTooLarge);
  return QStringLiteral("The server refused the message as too large: it takes mails of at most %1.")
      .arg(ByteCountText(sizeLimit));
}
