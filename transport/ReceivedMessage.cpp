#include "transport/ReceivedMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <vmime/vmime.hpp>
#include <vmime/utility/seekableInputStreamRegionAdapter.hpp>

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

ReceivedMessage::ReceivedMessage(const QString& file) : ReceivedMessage(file, ScanMime(file, kMaxMarkedBody)) {}

ReceivedMessage::ReceivedMessage(const QString& file, const MimeSkeleton& skeleton) {
  // The mail library keeps every body it parses in memory, so it parses a
  // skeleton of the mail: large bodies stand there as a marker, and get their
  // place in the file as their contents (read when they are saved).
  auto fsf = vmime::platform::getHandler()->getFileSystemFactory();
  auto f = fsf->create(fsf->stringToPath(ToStd(file)));
  FStream = f->getFileReader()->getInputStream();
  auto seekable = std::dynamic_pointer_cast<vmime::utility::seekableInputStream>(FStream);
  FMessage = std::make_shared<vmime::message>();
  FMessage->parse(skeleton.Text.toStdString());
  Walk(FMessage, skeleton, seekable);
}

void ReceivedMessage::Walk(const std::shared_ptr<vmime::bodyPart>& part, const MimeSkeleton& skeleton,
                           const std::shared_ptr<vmime::utility::seekableInputStream>& file) {
  auto body = part->getBody();
  if (body->getPartCount() > 0) {
    for (size_t i = 0; i < body->getPartCount(); ++i) Walk(body->getPartAt(i), skeleton, file);
    return;
  }
  // A marked body takes its contents from its place in the file.
  if (file && body->getContents()->getLength() <= size_t(skeleton.Marker.size()) + 12) {
    std::string raw;
    vmime::utility::outputStreamStringAdapter out(raw);
    body->getContents()->extractRaw(out);
    out.flush();
    const QByteArray text = QByteArray::fromStdString(raw).trimmed();
    if (text.startsWith(skeleton.Marker)) {
      bool ok = false;
      const int k = text.mid(skeleton.Marker.size()).toInt(&ok);
      if (ok && k >= 0 && k < int(skeleton.Bodies.size())) {
        const MimeSkeleton::Region& r = skeleton.Bodies[size_t(k)];
        auto region = std::make_shared<vmime::utility::seekableInputStreamRegionAdapter>(file, size_t(r.Begin),
                                                                                         size_t(r.Length));
        body->setContents(std::make_shared<vmime::streamContentHandler>(region, size_t(r.Length),
                                                                        body->getContents()->getEncoding()));
      }
    }
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

MimeSkeleton ScanMime(const QString& file, qint64 maxBody, int maxDepth, int maxParts) {
  MimeSkeleton out;
  out.Marker = "kestro-body-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + '-';
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return out;
  enum class State { Header, Body, Skip } state = State::Header;
  std::vector<QByteArray> open;  // delimiters of the enclosing multiparts
  QByteArray field;              // the header field being read (with its continuation lines)
  QByteArray boundary;           // of the part whose header is being read
  qint64 bodyBegin = 0;
  QByteArray body;               // the body being read while it is small
  bool bodyMarked = false;
  int parts = 0;
  auto fail = [&](const QString& why) {
    if (out.OverLimits.isEmpty()) out.OverLimits = why;
  };
  auto endField = [&] {
    if (field.toLower().startsWith("content-type:")) boundary = MultipartBoundary(field.mid(13));
    field.clear();
  };
  // The body ends before the line break in front of the delimiter at end.
  auto endBody = [&](qint64 end) {
    if (state != State::Body) return;
    if (bodyMarked) {
      out.Text += out.Marker + QByteArray::number(qint64(out.Bodies.size()));
      out.Bodies.push_back({bodyBegin, std::max<qint64>(0, end - bodyBegin)});
    } else {
      out.Text += body.left(std::max<qint64>(0, end - bodyBegin));
    }
    body.clear();
  };
  qint64 lastBreak = 0;  // the length of the line break that ended the line before
  std::vector<char> buffer(1 << 16);  // a longer line comes in pieces
  while (!f.atEnd()) {
    const qint64 at = f.pos();
    const qint64 got = f.readLine(buffer.data(), qint64(buffer.size()));
    if (got <= 0) break;
    const QByteArray raw = QByteArray::fromRawData(buffer.data(), got);
    QByteArray line = raw;
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    const qint64 lineBreak = raw.size() - line.size();
    if (state == State::Header) {
      out.Text += raw;
      if (!line.isEmpty() && (line[0] == ' ' || line[0] == '\t')) {
        field += ' ' + line.trimmed();
        continue;
      }
      endField();
      if (!line.isEmpty()) {
        field = line;
        continue;
      }
      // The header ends: a multipart's body runs to its first delimiter.
      if (!boundary.isEmpty()) {
        open.push_back("--" + boundary);
        if (int(open.size()) > maxDepth) fail(QStringLiteral("MIME parts nested deeper than %1").arg(maxDepth));
        state = State::Skip;
      } else {
        state = State::Body;
        bodyBegin = f.pos();
        bodyMarked = false;
      }
      boundary.clear();
      lastBreak = lineBreak;
      continue;
    }
    bool delimiter = false;
    if (line.startsWith("--")) {
      // A delimiter of any open multipart closes the ones inside it.
      for (size_t k = open.size(); k-- > 0;) {
        if (!line.startsWith(open[k])) continue;
        const QByteArray rest = line.mid(open[k].size()).trimmed();
        if (rest != "--" && !rest.isEmpty()) continue;
        delimiter = true;
        endBody(at - lastBreak);
        out.Text += "\r\n" + raw;
        if (rest == "--") {
          open.resize(k);
          state = State::Skip;
        } else {
          open.resize(k + 1);
          if (++parts > maxParts) fail(QStringLiteral("more than %1 MIME parts").arg(maxParts));
          state = State::Header;
        }
        break;
      }
    }
    if (!delimiter && state == State::Body && !bodyMarked) {
      body += raw;
      if (body.size() > maxBody) {
        bodyMarked = true;
        body.clear();
      }
    }
    lastBreak = lineBreak;
  }
  endField();
  endBody(f.pos());
  return out;
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
