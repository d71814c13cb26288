#include "transport/ReceivedMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <vmime/vmime.hpp>

#include "transport/HeaderText.h"
#include "transport/MailResult.h"
#include "transport/MailStrings.h"

namespace mail {

namespace {
// Free bytes below which a failed write is put down to a full disk.
constexpr quint64 kNearlyFull = 1024 * 1024;

QString ParamText(const std::shared_ptr<const vmime::headerField>& field, const char* name) {
  auto pf = std::dynamic_pointer_cast<vmime::parameterizedHeaderField>(std::const_pointer_cast<vmime::headerField>(field));
  if (!pf) return QString();
  try {
    if (!pf->hasParameter(name)) return QString();
    return WordText(pf->getParameter(name)->getValue());
  } catch (const std::exception&) {
    return QString();
  }
}

QString PartFileName(const vmime::bodyPart& part) {
  auto h = part.getHeader();
  QString name = ParamText(h->findField(vmime::fields::CONTENT_DISPOSITION), "filename");
  if (name.isEmpty()) name = ParamText(h->findField(vmime::fields::CONTENT_TYPE), "name");
  return name;
}

QString Disposition(const vmime::bodyPart& part) {
  auto f = part.getHeader()->findField(vmime::fields::CONTENT_DISPOSITION);
  if (!f) return QString();
  if (auto d = f->getValue<vmime::contentDisposition>()) return FromStd(d->getName()).toLower();
  return QString();
}
}  // namespace

ReceivedMessage::ReceivedMessage(const QString& file) {
  auto fsf = vmime::platform::getHandler()->getFileSystemFactory();
  auto f = fsf->create(fsf->stringToPath(ToStd(file)));
  FStream = f->getFileReader()->getInputStream();
  FMessage = std::make_shared<vmime::message>();
  FMessage->parse(FStream, size_t(f->getLength()));
  Walk(FMessage);
}

void ReceivedMessage::Walk(const std::shared_ptr<const vmime::bodyPart>& part) {
  auto body = part->getBody();
  if (body->getPartCount() > 0) {
    for (size_t i = 0; i < body->getPartCount(); ++i) Walk(body->getPartAt(i));
    return;
  }
  const vmime::mediaType type = body->getContentType();
  const QString disposition = Disposition(*part);
  const bool isText = type.getType() == vmime::mediaTypes::TEXT;
  const bool attachment = disposition == QLatin1String("attachment") || !PartFileName(*part).isEmpty() ||
                          (!isText && type.getType() != vmime::mediaTypes::MULTIPART);
  if (attachment) {
    // The top part of a mail with no text is an attachment only when it says so.
    if (part != FMessage || !disposition.isEmpty() || !PartFileName(*part).isEmpty())
      FAttachments.push_back(part);
    return;
  }
  if (type.getSubType() == vmime::mediaTypes::TEXT_HTML) {
    if (!FHtml) FHtml = part;
  } else if (!FPlain) {
    FPlain = part;
  }
}

QString ReceivedMessage::Subject() const { return HeaderText(FMessage->getHeader(), vmime::fields::SUBJECT); }
QString ReceivedMessage::FromAddr() const { return HeaderFrom(FMessage->getHeader()); }
QString ReceivedMessage::MessageId() const { return HeaderText(FMessage->getHeader(), vmime::fields::MESSAGE_ID); }

QString ReceivedMessage::BodyText() const {
  auto part = FPlain ? FPlain : FHtml;
  if (!part) return QString();
  try {
    std::string raw;
    vmime::utility::outputStreamStringAdapter out(raw);
    part->getBody()->getContents()->extract(out);
    out.flush();
    return CharsetText(raw, part->getBody()->getCharset());
  } catch (const std::exception&) {
    return QString();
  }
}

QString ReceivedMessage::AttachmentFileName(int index) const {
  if (index < 0 || index >= AttachmentCount()) return QString();
  return PartFileName(*FAttachments[size_t(index)]);
}

int ReceivedMessage::SaveAttachment(int index, const QString& path) const {
  if (index < 0 || index >= AttachmentCount()) return mrNoSuchMessage;
  // Written beside the target under a temporary name, flushed to the disk and
  // renamed: path exists only complete.
  const QString folder = QFileInfo(path).absolutePath();
  QTemporaryFile temp(folder + QStringLiteral("/.kestro-part-XXXXXX"));
  if (!temp.open()) return LocalWriteFailure(errno, folder);
  temp.close();
  const std::string tempName = ToStd(temp.fileName());
  int failure = mrOk;
  {
    std::ofstream file(tempName, std::ios::binary | std::ios::trunc);
    if (!file) return LocalWriteFailure(errno, folder);
    try {
      errno = 0;
      vmime::utility::outputStreamAdapter out(file);
      FAttachments[size_t(index)]->getBody()->getContents()->extract(out);
      out.flush();
      file.flush();
      if (!file) failure = LocalWriteFailure(errno, folder);
    } catch (const std::exception&) {
      failure = LocalWriteFailure(errno, folder);
    }
  }
  if (failure == mrOk) {
    const int fd = ::open(tempName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) failure = LocalWriteFailure(errno, folder);
    if (fd >= 0) ::close(fd);
  }
  if (failure == mrOk && ::rename(tempName.c_str(), ToStd(path).c_str()) != 0) failure = LocalWriteFailure(errno, folder);
  // The temporary file goes with temp when it was not renamed; no truncated file is left behind.
  if (failure == mrOk) temp.setAutoRemove(false);
  return failure;
}

namespace {
// The boundary parameter of a Content-Type value of a multipart, else "".
QByteArray MultipartBoundary(const QByteArray& value) {
  const QByteArray lower = value.toLower();
  if (!lower.trimmed().startsWith("multipart/")) return {};
  const qsizetype at = lower.indexOf("boundary=");
  if (at < 0) return {};
  QByteArray b = value.mid(at + 9).trimmed();
  if (b.startsWith('"')) {
    const qsizetype end = b.indexOf('"', 1);
    return end < 0 ? b.mid(1) : b.mid(1, end - 1);
  }
  const qsizetype end = b.indexOf(';');
  return (end < 0 ? b : b.left(end)).trimmed();
}
}  // namespace

QString OverLimits(const QString& file, int maxDepth, int maxParts) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return {};
  std::vector<QByteArray> open;  // boundaries of the enclosing multiparts
  bool inHeader = true;
  QByteArray field;  // the header field being read (with its continuation lines)
  int parts = 0;
  auto endField = [&]() -> QString {
    if (field.toLower().startsWith("content-type:")) {
      const QByteArray b = MultipartBoundary(field.mid(13));
      if (!b.isEmpty()) {
        open.push_back("--" + b);
        if (int(open.size()) > maxDepth) return QStringLiteral("MIME parts nested deeper than %1").arg(maxDepth);
      }
    }
    field.clear();
    return {};
  };
  while (!f.atEnd()) {
    QByteArray line = f.readLine(1 << 20);
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    if (inHeader) {
      if (!line.isEmpty() && (line[0] == ' ' || line[0] == '\t')) {
        field += ' ' + line.trimmed();
        continue;
      }
      if (const QString why = endField(); !why.isEmpty()) return why;
      if (line.isEmpty()) inHeader = false;
      else field = line;
      continue;
    }
    if (!line.startsWith("--")) continue;
    // A delimiter of any open multipart closes the ones inside it.
    for (size_t k = open.size(); k-- > 0;) {
      if (!line.startsWith(open[k])) continue;
      const QByteArray rest = line.mid(open[k].size()).trimmed();
      if (rest == "--") {
        open.resize(k);
      } else if (rest.isEmpty()) {
        open.resize(k + 1);
        if (++parts > maxParts) return QStringLiteral("more than %1 MIME parts").arg(maxParts);
        inHeader = true;
      } else {
        continue;
      }
      break;
    }
  }
  return {};
}

int LocalWriteFailure(int error, const QString& folder) {
  if (error == ENOSPC || error == EDQUOT) return mrDiskFull;
  // errno may have been overwritten since the write failed (streams report
  // late): a disk with almost nothing left counts as full.
  struct statvfs fs {};
  if (::statvfs(ToStd(folder).c_str(), &fs) == 0 && quint64(fs.f_bavail) * fs.f_frsize < kNearlyFull) return mrDiskFull;
  return mrFileError;
}

}  // namespace mail
