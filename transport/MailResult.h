// Results of the mail objects' operations: 0 is success, every other value an
// error code with a text of its own.
#pragma once

#include <QString>

// No failure uses 6, 16 or 27: a requester counts those results of Send as sent.
enum MailResult : int {
  mrOk = 0,
  mrConnectFailed = 101,     // connection refused, host unknown or unreachable
  mrTlsHandshake = 102,      // the TLS handshake failed (not a TLS server, no common cipher)
  mrCertificate = 103,       // certificate not trusted, expired or not for this host
  mrAuthFailed = 104,        // the server refused the account name or password
  mrMailboxNotFound = 105,   // the IMAP4 mailbox does not exist
  mrTimedOut = 106,          // the server did not answer within the time-out
  mrMessageRefused = 107,    // the server refused the message (too large, recipient unknown)
  mrProtocol = 108,          // unexpected answer from the server
  mrBadAddress = 109,        // a recipient or sender that is not exactly one clean address
  mrNotConnected = 110,      // the operation needs a connection that is not there
  mrNoSuchMessage = 111,     // a message index outside the list
  mrFileError = 112,         // a local file could not be read or written
  mrCancelled = 113,         // the program is closing
  mrInternal = 114,          // any other failure of the mail library
  mrConnectionLost = 115,    // the server closed or dropped the connection in the session
  mrDiskFull = 116,          // a local file could not be written: no space left on its disk
  mrOverLimits = 117,        // a received mail nests or splits its parts beyond the limits; not parsed
  mrNoStartTls = 118,        // STARTTLS was asked for and the server does not offer it; no login was sent
  mrPlainRefused = 119,      // a connection without TLS to a server that is not on a loopback address
  mrTooLarge = 120,          // the server refused the message as larger than it takes (552, 5.3.4)
};

// "Connection refused or host unreachable." and so on; a generic text for unknown codes.
QString MailResultText(int code);

// The text of mrTooLarge, naming the server's size limit in bytes when it is
// known (0: the server announces none).
QString TooLargeText(qint64 sizeLimit);

// A byte count for a message: "1,500,000 bytes", the same in every locale.
QString ByteCountText(qint64 bytes);
