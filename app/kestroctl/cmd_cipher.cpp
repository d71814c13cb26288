// Cipher and message-format commands.
#include <QRegularExpression>
#include <optional>

#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "kestroctl/Command.h"

namespace {

std::optional<MessageCipher::Block> ParseIv(const QString& text) {
  if (text == "-") return std::nullopt;
  const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
  static const QRegularExpression hex16(QStringLiteral("^[0-9A-Fa-f]{16}$"));
  if (!hex16.match(text).hasMatch() || bytes.size() != 8)
    throw CtlUsageError(QStringLiteral("IV must be 16 hexadecimal digits or '-', not '%1'").arg(text).toStdString());
  MessageCipher::Block iv;
  std::copy(bytes.begin(), bytes.end(), iv.begin());
  return iv;
}

int TextCommand(const QStringList& args, bool encrypt) {
  CtlExpectArgs(args, 3, 3);
  MessageCipher cipher;
  cipher.SetKey(args[0], ParseIv(args[1]));
  CtlPrint((encrypt ? cipher.EncryptText(args[2]) : cipher.DecryptText(peer::RemoveLineBreaks(args[2]))) + '\n');
  return 0;
}

int FileCommand(const QStringList& args, bool encrypt) {
  CtlExpectArgs(args, 3, 3);
  MessageCipher cipher;
  cipher.SetKey(args[0], ParseIv(args[1]));
  QString error;
  if (!(encrypt ? cipher.EncryptFileInPlace(args[2], &error) : cipher.DecryptFileInPlace(args[2], &error)))
    throw CtlError(error.toStdString());
  return 0;
}

int PeerKey(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  CtlPrint(peer::PeerKeyText(args[0]) + '\n');
  return 0;
}

int ParseSubjectCommand(const QStringList& args) {
  CtlExpectArgs(args, 3, 3);
  const peer::ReceivedSubject s = peer::ParseSubject(args[0]);
  const bool taken = s.Ours && peer::Accepts(s, args[1], args[2]);
  CtlPrint(QStringLiteral("prefix=%1\nident=%2\nidentbase=%3\nrest=%4\ntaken=%5\n")
               .arg(s.Prefix, s.Ident, s.IdentBase, s.SubjectRest, taken ? "yes" : "no"));
  return 0;
}

}  // namespace

KESTROCTL_COMMAND("encrypt-text", "KEYTEXT IV TEXT", "Encrypts a text and prints it in Base64 (IV: 16 hex digits or -).",
                  [](const QStringList& a) { return TextCommand(a, true); });
KESTROCTL_COMMAND("decrypt-text", "KEYTEXT IV TEXT", "Decodes and decrypts a Base64 text.",
                  [](const QStringList& a) { return TextCommand(a, false); });
KESTROCTL_COMMAND("encrypt-file", "KEYTEXT IV PATH", "Encrypts a file in place.",
                  [](const QStringList& a) { return FileCommand(a, true); });
KESTROCTL_COMMAND("decrypt-file", "KEYTEXT IV PATH", "Decrypts a file in place.",
                  [](const QStringList& a) { return FileCommand(a, false); });
KESTROCTL_COMMAND("peer-key", "ADDRESS", "Prints the key text of a peer address.", PeerKey);
KESTROCTL_COMMAND("parse-subject", "SUBJECT ONLINESTAMP STOPJOBID",
                  "Takes a received subject apart and tells whether a pass would take the mail.", ParseSubjectCommand);
