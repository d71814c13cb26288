#include "exchange/PlainAnswers.h"

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

QString PlainRequestHelp() {
  return QStringLiteral(
      "To ask for files, send a mail to this address with the subject \"?_download\" and one file name per "
      "line in its body, written as in the list above. The files come back zipped, in one or more mails. To see the "
      "subfolders, or what one of them holds, send \"?_list\" with \"/\" or the folder's name (for example "
      "photos/2024) as the first line of its body.");
}

QString PlainListingAnswer(const QString& listing) {
  QString body = listing;
  if (!body.isEmpty() && !body.endsWith(kCrLf)) body += kCrLf;
  return body + kCrLf + PlainRequestHelp() + kCrLf;
}

QString PlainNotFoundAnswer(const QStringList& missing, const QString& listing) {
  QString body = QStringLiteral("These files were not found:") + kCrLf;
  for (const QString& name : missing) body += QStringLiteral("  ") + name + kCrLf;
  body += kCrLf;
  if (listing.isEmpty()) return body + QStringLiteral("The shared folder holds no files.") + kCrLf;
  return body + QStringLiteral("The shared folder holds:") + kCrLf + PlainListingAnswer(listing);
}
