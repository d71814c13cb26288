#include "archive/VolumeIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/VolumeNames.h"

namespace {

QString SystemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// pwrite/pread until done; false on an error (errno set) or, for reads, at the end of the file.
bool WriteFully(int fd, const char* data, std::size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    at += n;
  }
  return true;
}

bool ReadFully(int fd, char* data, std::size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    at += n;
  }
  return true;
}

int OpenPath(const QString& path, int flags) {
  return ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0644);
}

}  // namespace

// ---------------------------------------------------------------- writer

VolumeWriter::VolumeWriter(const QString& folder, std::uint64_t volumeSize)
    : FFolder(folder), FVolumeSize(std::max<std::uint64_t>(volumeSize, 1)) {}

VolumeWriter::~VolumeWriter() { CloseCurrent(); }

QString VolumeWriter::PathOf(std::uint64_t index) const {
  return FFolder + '/' + VolumeName(static_cast<qint64>(index) + 1);
}

QStringList VolumeWriter::Volumes() const {
  QStringList list;
  for (std::uint64_t i = 0; i < FCount; ++i) list << PathOf(i);
  return list;
}

bool VolumeWriter::Fail(const QString& what, std::uint64_t index) {
  FError = QStringLiteral("Cannot %1 volume %2: %3").arg(what, VolumeName(static_cast<qint64>(index) + 1), SystemError());
  return false;
}

void VolumeWriter::CloseCurrent() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

int VolumeWriter::Open(std::uint64_t index, bool fresh) {
  if (FFd >= 0 && FFdIndex == index) return FFd;
  CloseCurrent();
  FFd = OpenPath(PathOf(index), O_RDWR | O_CREAT | (fresh ? O_TRUNC : 0));
  FFdIndex = index;
  return FFd;
}

bool VolumeWriter::Write(const void* data, std::size_t size) {
  if (!WriteAt(FPos, data, size)) return false;
  FPos += size;
  return true;
}

bool VolumeWriter::WriteAt(std::uint64_t pos, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const std::uint64_t index = pos / FVolumeSize, offset = pos % FVolumeSize;
    const bool fresh = index >= FCount;
    if (Open(index, fresh) < 0) return Fail(fresh ? QStringLiteral("create") : QStringLiteral("open"), index);
    if (fresh) FCount = index + 1;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, FVolumeSize - offset));
    if (!WriteFully(FFd, p, piece, static_cast<off_t>(offset))) return Fail(QStringLiteral("write"), index);
    p += piece;
    size -= piece;
    pos += piece;
  }
  return true;
}

bool VolumeWriter::Truncate(std::uint64_t pos) {
  CloseCurrent();
  const std::uint64_t keep = pos == 0 ? 0 : (pos - 1) / FVolumeSize + 1;
  for (std::uint64_t i = keep; i < FCount; ++i) ::unlink(QFile::encodeName(PathOf(i)).constData());
  FCount = std::min(FCount, keep);
  if (keep > 0 &&
      ::truncate(QFile::encodeName(PathOf(keep - 1)).constData(), static_cast<off_t>(pos - (keep - 1) * FVolumeSize)) != 0)
    return Fail(QStringLiteral("truncate"), keep - 1);
  FPos = pos;
  return true;
}

bool VolumeWriter::DropLeading(std::size_t n) {
  if (FCount != 1 || FPos < n) return false;
  if (Open(0, false) < 0) return Fail(QStringLiteral("open"), 0);
  std::vector<char> buffer(1 << 20);
  for (std::uint64_t from = n; from < FPos;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), FPos - from));
    if (!ReadFully(FFd, buffer.data(), piece, static_cast<off_t>(from)) ||
        !WriteFully(FFd, buffer.data(), piece, static_cast<off_t>(from - n)))
      return Fail(QStringLiteral("rewrite"), 0);
    from += piece;
  }
  FPos -= n;
  if (::ftruncate(FFd, static_cast<off_t>(FPos)) != 0) return Fail(QStringLiteral("truncate"), 0);
  return true;
}

bool VolumeWriter::Finish() {
  if (FFd >= 0 && ::close(FFd) != 0) {
    FFd = -1;
    return Fail(QStringLiteral("close"), FFdIndex);
  }
  FFd = -1;
  for (std::uint64_t i = FCount;; ++i) {
    const QByteArray stale = QFile::encodeName(PathOf(i));
    struct stat st;
    if (::lstat(stale.constData(), &st) != 0 || !S_ISREG(st.st_mode)) break;
    ::unlink(stale.constData());
  }
  return true;
}

void VolumeWriter::RemoveAll() { Truncate(0); }

// ---------------------------------------------------------------- reader

VolumeReader::~VolumeReader() {
  if (FFd >= 0) ::close(FFd);
}

QString VolumeReader::EarlierVolumeName(const QString& lastVolume, std::uint32_t index) {
  const QFileInfo info(lastVolume);
  const QString name = info.fileName();
  const QString folder = info.path() + '/';
  static const QRegularExpression numbered(QStringLiteral("^(.*)\\.([0-9]+)$"));
  const QRegularExpressionMatch match = numbered.match(name);
  // disk.001, disk.002, ... as VolumeName writes them.
  if (match.hasMatch()) return folder + match.captured(1) + '.' + QStringLiteral("%1").arg(index, 3, 10, QChar('0'));
  // The spanned convention: name.z01 ... name.z99, name.z100, ... beside name.zip.
  const int dot = name.lastIndexOf('.');
  const QString base = folder + (dot > 0 ? name.left(dot) : name);
  const bool upper = dot > 0 && name.mid(dot + 1).startsWith('Z');
  const QString number = QStringLiteral("%1").arg(index, 2, 10, QChar('0'));
  const QString lower = base + QStringLiteral(".z") + number, capital = base + QStringLiteral(".Z") + number;
  return upper && !QFileInfo::exists(lower) ? capital : lower;
}

Result<> VolumeReader::OpenLast(const QString& lastVolume) {
  struct stat st;
  if (::stat(QFile::encodeName(lastVolume).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Failure(QStringLiteral("Archive volume \"%1\" not found.").arg(QFileInfo(lastVolume).fileName()));
  }
  FVolumes.assign(1, Volume{lastVolume, static_cast<std::uint64_t>(st.st_size), 0});
  return {};
}

Result<> VolumeReader::SetDiskCount(std::uint32_t count) {
  if (count <= 1) return {};
  const Volume last = FVolumes.back();
  std::vector<Volume> volumes;
  std::uint64_t start = 0;
  // One volume at a time: a forged count stops at the first volume that is
  // not there, so the work is bounded by the volumes present.
  for (std::uint32_t index = 1; index < count; ++index) {
    const QString path = EarlierVolumeName(last.Path, index);
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return Failure(QStringLiteral("Archive volume \"%1\" is missing (the archive has %2 volumes).")
                         .arg(QFileInfo(path).fileName())
                         .arg(count));
    }
    volumes.push_back(Volume{path, static_cast<std::uint64_t>(st.st_size), start});
    start += static_cast<std::uint64_t>(st.st_size);
  }
  volumes.push_back(Volume{last.Path, last.Size, start});
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  FVolumes = std::move(volumes);
  return {};
}

bool VolumeReader::Position(std::uint32_t disk, std::uint64_t offset, std::uint64_t* pos) const {
  if (disk >= FVolumes.size() || offset > FVolumes[disk].Size) return false;
  *pos = FVolumes[disk].Start + offset;
  return true;
}

std::size_t VolumeReader::IndexOf(std::uint64_t pos) const {
  const auto it = std::upper_bound(FVolumes.begin(), FVolumes.end(), pos,
                                   [](std::uint64_t p, const Volume& v) { return p < v.Start; });
  return static_cast<std::size_t>(it - FVolumes.begin()) - 1;
}

QString VolumeReader::VolumeLabel(std::uint64_t pos) const {
  if (FVolumes.empty()) return {};
  return QFileInfo(FVolumes[std::min(IndexOf(pos), FVolumes.size() - 1)].Path).fileName();
}

Result<> VolumeReader::ReadAt(std::uint64_t pos, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  if (pos > Size() || size > Size() - pos) {
    return Failure(QStringLiteral("Unexpected end of the archive in volume \"%1\": the volume is damaged or incomplete.")
                       .arg(VolumeLabel(std::min(pos, Size() - (Size() ? 1 : 0)))));
  }
  while (size > 0) {
    const std::size_t index = IndexOf(pos);
    const Volume& v = FVolumes[index];
    if (FFd < 0 || FFdIndex != index) {
      if (FFd >= 0) ::close(FFd);
      FFd = OpenPath(v.Path, O_RDONLY);
      FFdIndex = index;
      if (FFd < 0) {
        return Failure(QStringLiteral("Cannot open archive volume \"%1\": %2").arg(QFileInfo(v.Path).fileName(), SystemError()));
      }
    }
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, v.Start + v.Size - pos));
    if (!ReadFully(FFd, p, piece, static_cast<off_t>(pos - v.Start))) {
      return Failure(QStringLiteral("Cannot read archive volume \"%1\": %2")
                         .arg(QFileInfo(v.Path).fileName(), errno ? SystemError() : QStringLiteral("it is shorter than before")));
    }
    p += piece;
    size -= piece;
    pos += piece;
  }
  return {};
}
