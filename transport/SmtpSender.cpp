#include "transport/SmtpSender.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>

#include <vmime/vmime.hpp>

#include "platform/ErrorLog.h"
#include "transport/Certificates.h"
#include "transport/MailAddress.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"

using mail::ToStd;

TMailSMTP::TMailSMTP() : FCaFile(mail::InstalledCaFile()) {
  mail::InitMailLibrary();
  FState = std::make_shared<mail::SessionState>();
}
TMailSMTP::~TMailSMTP() = default;

void TMailSMTP::Clear() {
  FRecipients.clear();
  FAttachments.clear();
  FSubject.clear();
  FBody.clear();
}

int TMailSMTP::AddRecipient(const QString& address) {
  const QString a = CheckedAddress(address);
  if (a.isEmpty()) {
    FLastError = MailResultText(mrBadAddress) + QStringLiteral(" (recipient)");
    return mrBadAddress;
  }
  FRecipients << a;
  return mrOk;
}

int TMailSMTP::AddAttachment(const QString& path) {
  const QFileInfo info(path);
  QFile probe(info.absoluteFilePath());
  if (!info.isFile() || !probe.open(QIODevice::ReadOnly)) {
    FLastError = MailResultText(mrFileError) + QStringLiteral(" (") + path + QStringLiteral(")");
    return mrFileError;
  }
  FAttachments << info.absoluteFilePath();
  return mrOk;
}

qint64 TMailSMTP::BytesSent() const { return FState->BytesOut.load(); }

qint64 EncodedAttachmentSize(qint64 bytes) {
  if (bytes <= 0) return 0;
  const qint64 chars = (bytes + 2) / 3 * 4;
  const qint64 lines = (chars + 75) / 76;
  return chars + 2 * lines;
}

qint64 LargestAttachmentFor(qint64 mailLimit, qint64 otherBytes) {
  const qint64 room = mailLimit - otherBytes;
  if (room <= 0) return 0;
  // Whole lines first (57 bytes make one line of 78), then byte by byte.
  qint64 bytes = room / 78 * 57;
  while (EncodedAttachmentSize(bytes + 1) <= room) ++bytes;
  return bytes;
}

namespace {
// The size limits of the servers, by LimitKey, while the program runs.
struct LimitMemory {
  std::mutex Lock;
  std::map<QString, qint64> Limits;
};
LimitMemory& Limits() {
  static LimitMemory memory;
  return memory;
}
void RememberLimit(const QString& key, qint64 limit) {
  LimitMemory& m = Limits();
  const std::lock_guard<std::mutex> hold(m.Lock);
  m.Limits[key] = limit;
}
}  // namespace

QString TMailSMTP::LimitKey() const {
  return FServer.toLower() + QLatin1Char('\n') + QString::number(FPort) + QLatin1Char('\n') +
         (FAuthMode != 0 ? FAccount : QString());
}

qint64 TMailSMTP::SizeLimit() {
  const QString key = LimitKey();
  {
    LimitMemory& m = Limits();
    const std::lock_guard<std::mutex> hold(m.Lock);
    if (const auto known = m.Limits.find(key); known != m.Limits.end()) return known->second;
  }
  // Connect, read the EHLO answer, QUIT: no login and no mail.
  auto state = std::make_shared<mail::SessionState>();
  state->TimeOutSec = FTimeOut > 0 ? FTimeOut : 120;
  if (!FLogFile.isEmpty()) state->Log = std::make_shared<mail::SessionLog>(FLogFile, QStringLiteral("SMTP"), false);
  if (state->Log) state->Log->Note(QStringLiteral("Asking the server for the largest mail it takes."));
  const int code = mail::Guard(*state, [&] {
    auto session = vmime::net::session::create();
    const vmime::utility::url url("smtp", ToStd(FServer), vmime::port_t(FPort));
    auto tr = session->getTransport(url);
    mail::SetUpService(tr, state, FCaFile, FSecurity);
    tr->setProperty("options.need-authentication", false);
    tr->connect();
    tr->disconnect();
  });
  if (code != mrOk || state->SmtpSizeLimit < 0) return 0;  // asked again next time
  RememberLimit(key, state->SmtpSizeLimit);
  return state->SmtpSizeLimit;
}

namespace {
bool IsAscii(const QString& s) {
  for (const QChar c : s)
    if (c.unicode() > 0x7e || (c.unicode() < 0x20 && c != QLatin1Char('\r') && c != QLatin1Char('\n') && c != QLatin1Char('\t')))
      return false;
  return true;
}

// Every line of text within what 7-bit transport carries unchanged.
bool ShortLines(const QString& s) {
  qsizetype run = 0;
  for (const QChar c : s) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) run = 0;
    else if (++run > 900) return false;
  }
  return true;
}

// CR LF endings, so that the body is sent as it was given.
std::string CrLf(const QString& text) {
  QString t = text;
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  t.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return ToStd(t);
}
}  // namespace

int TMailSMTP::Send() {
  FState = std::make_shared<mail::SessionState>();
  FState->TimeOutSec = FTimeOut > 0 ? FTimeOut : 120;
  if (!FLogFile.isEmpty()) FState->Log = std::make_shared<mail::SessionLog>(FLogFile, QStringLiteral("SMTP"), false);
  const QString from = CheckedAddress(FFrom);
  if (from.isEmpty() || FRecipients.size() != 1) {
    FLastError = MailResultText(mrBadAddress);
    if (FState->Log) FState->Log->Note(QStringLiteral("Error %1: %2").arg(mrBadAddress).arg(FLastError));
    return mrBadAddress;
  }
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  QDir().mkpath(folder);
  QTemporaryFile work(folder + QStringLiteral("/kestro-send-XXXXXX.eml"));
  if (!work.open()) {
    FLastError = MailResultText(mrFileError);
    return mrFileError;
  }
  work.close();
  const int code = mail::Guard(*FState, [&] {
    // Compose: plain 7-bit MIME whenever the texts allow it; other texts as
    // encoded words and quoted-printable, never raw 8-bit headers.
    vmime::messageBuilder mb;
    mb.setExpeditor(vmime::mailbox(ToStd(from)));
    mb.getRecipients().appendAddress(std::make_shared<vmime::mailbox>(ToStd(FRecipients.first())));
    QString subject = FSubject;
    subject.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const bool asciiSubject = IsAscii(subject);
    mb.setSubject(vmime::text(ToStd(subject), asciiSubject ? vmime::charset(vmime::charsets::US_ASCII)
                                                           : vmime::charset(vmime::charsets::UTF_8)));
    const bool plainBody = IsAscii(FBody) && ShortLines(FBody);
    const vmime::charset bodyCharset = IsAscii(FBody) ? vmime::charset(vmime::charsets::US_ASCII)
                                                      : vmime::charset(vmime::charsets::UTF_8);
    auto text = std::dynamic_pointer_cast<vmime::plainTextPart>(mb.getTextPart());
    mb.getTextPart()->setCharset(bodyCharset);
    mb.getTextPart()->setText(std::make_shared<vmime::stringContentHandler>(CrLf(FBody)));
    (void)text;
    for (const QString& path : FAttachments) {
      // Streamed from the file while sending; the name as UTF-8 (RFC 2231 when not ASCII).
      auto fsf = vmime::platform::getHandler()->getFileSystemFactory();
      auto file = fsf->create(fsf->stringToPath(ToStd(path)));
      auto content = std::make_shared<vmime::streamContentHandler>(file->getFileReader()->getInputStream(),
                                                                   size_t(file->getLength()));
      const QString name = QFileInfo(path).fileName();
      auto att = std::make_shared<vmime::fileAttachment>(
          content, vmime::word(ToStd(name), IsAscii(name) ? vmime::charset(vmime::charsets::US_ASCII)
                                                          : vmime::charset(vmime::charsets::UTF_8)),
          vmime::mediaType("application/octet-stream"));
      mb.appendAttachment(att);
    }
    auto msg = mb.construct();
    auto hdr = msg->getHeader();
    hdr->MessageId()->setValue(vmime::messageId::generateId());
    // The text part: 7bit when every line is short ASCII, quoted-printable otherwise.
    std::function<void(const std::shared_ptr<vmime::bodyPart>&)> fixText = [&](const std::shared_ptr<vmime::bodyPart>& p) {
      auto body = p->getBody();
      if (body->getPartCount() > 0) {
        for (size_t i = 0; i < body->getPartCount(); ++i) fixText(body->getPartAt(i));
        return;
      }
      if (body->getContentType().getType() == vmime::mediaTypes::TEXT) {
        const vmime::encoding enc(plainBody ? vmime::encodingTypes::SEVEN_BIT : vmime::encodingTypes::QUOTED_PRINTABLE);
        p->getHeader()->ContentTransferEncoding()->setValue(enc);
        body->setEncoding(enc);
      }
    };
    fixText(msg);
    {
      vmime::generationContext ctx;
      ctx.setInternationalizedEmailSupport(false);
      std::ofstream out(ToStd(work.fileName()), std::ios::binary | std::ios::trunc);
      vmime::utility::outputStreamAdapter os(out);
      msg->generate(ctx, os);
      os.flush();
      out.flush();
      if (!out) throw vmime::exceptions::filesystem_exception("Cannot write the outgoing mail", vmime::utility::path());
    }
    // Send the generated bytes as they are.
    auto session = vmime::net::session::create();
    // TLS, implicit or after STARTTLS, comes from the socket (which also
    // keeps SMTPUTF8 out of the dialogue).
    const vmime::utility::url url("smtp", ToStd(FServer), vmime::port_t(FPort));
    auto tr = session->getTransport(url);
    mail::SetUpService(tr, FState, FCaFile, FSecurity);
    tr->setProperty("options.chunking", false);
    tr->setProperty("options.sasl.fallback", false);
    if (FAuthMode != 0) {
      tr->setProperty("options.need-authentication", true);
      tr->setProperty("options.sasl", true);
      tr->setAuthenticator(mail::NewPlainOnlyAuthenticator());
      mail::SetLogin(tr, FAccount, FPassword);
    }
    tr->connect();
    std::ifstream in(ToStd(work.fileName()), std::ios::binary);
    const size_t size = size_t(QFileInfo(work.fileName()).size());
    vmime::utility::inputStreamAdapter is(in);
    vmime::mailboxList to;
    to.appendMailbox(std::make_shared<vmime::mailbox>(ToStd(FRecipients.first())));
    try {
      tr->send(vmime::mailbox(ToStd(from)), to, is, size);
    } catch (...) {
      try {
        tr->disconnect();
      } catch (...) {
        LogDropped("SMTP disconnect after a failed send");  // the send's own error is reported
      }
      throw;
    }
    tr->disconnect();
  });
  if (FState->SmtpSizeLimit >= 0) RememberLimit(LimitKey(), FState->SmtpSizeLimit);
  FLastError = code == mrTooLarge ? TooLargeText(std::max<qint64>(FState->SmtpSizeLimit, 0))
                                  : mail::FailureText(code, *FState);
  return code;
}
