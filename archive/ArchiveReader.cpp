// Reading split archives: the end records of the last volume, the central
// directory, and the extraction of every entry into a destination folder.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include "archive/Archiver.h"
#include "archive/VolumeIo.h"
#include "archive/ZipFormat.h"

using namespace zipfmt;

namespace {

constexpr std::size_t kChunk = 256 * 1024;

struct ReadEntry {
  QString Name;
  std::uint16_t MadeBy = 0, Flags = 0, Method = 0;
  std::uint32_t DosTime = 0, Crc = 0, External = 0;
  std::uint64_t Compressed = 0, Size = 0, Offset = 0;
  std::uint32_t Disk = 0;
  bool Folder() const { return Name.endsWith('/'); }
};

QString SystemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

QString DecodeName(const QByteArray& raw, std::uint16_t flags, const QByteArray& unicodeExtra) {
  if (flags & kFlagUtf8) return QString::fromUtf8(raw);
  // Info-ZIP's Unicode path field, valid while it matches the stored name.
  Get u(unicodeExtra.constData(), static_cast<std::size_t>(unicodeExtra.size()));
  if (unicodeExtra.size() > 5 && u.Bytes(1) == QByteArray(1, 1) &&
      u.U32() == static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(raw.constData()), raw.size())))
    return QString::fromUtf8(u.Bytes(u.Left()));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(raw);
  return utf8.hasError() ? QString::fromLatin1(raw) : text;
}

// Sequential reads through the joined volumes.
class Cursor {
public:
  Cursor(VolumeReader& in, std::uint64_t pos) : FIn(in), FPos(pos) {}
  Result<> Read(QByteArray* out, std::size_t size) {
    out->resize(static_cast<qsizetype>(size));
    if (auto read = FIn.ReadAt(FPos, out->data(), size); !read) return read;
    FPos += size;
    return {};
  }
  std::uint64_t Pos() const { return FPos; }

private:
  VolumeReader& FIn;
  std::uint64_t FPos;
};

class ArchiveSource {
public:
  Result<> Open(const QString& lastVolume) {
    FLabel = QFileInfo(lastVolume).fileName();
    if (auto opened = FIn.OpenLast(lastVolume); !opened) return opened;
    if (auto end = ReadEnd(); !end) return end;
    return ReadDirectory();
  }
  const std::vector<ReadEntry>& Entries() const { return FEntries; }
  VolumeReader& In() { return FIn; }
  std::uint64_t DirectoryStart() const { return FCdStart; }

private:
  std::unexpected<QString> Damaged(const QString& what) const {
    return Failure(QStringLiteral("The archive \"%1\" is damaged: %2.").arg(FLabel, what));
  }

  Result<> ReadEnd() {
    const std::uint64_t lastSize = FIn.Size();
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(lastSize, 0xFFFF + kEndSize));
    QByteArray buffer(static_cast<qsizetype>(tail), '\0');
    if (auto read = FIn.ReadAt(lastSize - tail, buffer.data(), tail); !read) return read;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.constData());
    qsizetype at = -1;
    for (qsizetype i = static_cast<qsizetype>(tail) - static_cast<qsizetype>(kEndSize); i >= 0; --i) {
      if (bytes[i] != 0x50 || bytes[i + 1] != 0x4b || bytes[i + 2] != 5 || bytes[i + 3] != 6) continue;
      Get g(bytes + i + 20, 2);
      if (static_cast<std::size_t>(i) + kEndSize + g.U16() <= tail) {
        at = i;
        break;
      }
    }
    if (at < 0) {
      return Failure(
          QStringLiteral("\"%1\" is not the last volume of a zip archive, or it is damaged: its end record is missing.")
              .arg(FLabel));
    }
    Get end(bytes + at + 4, kEndSize - 4);
    std::uint64_t thisDisk = end.U16(), cdDisk = end.U16(), count = (end.U16(), end.U16());
    std::uint64_t cdSize = end.U32(), cdOffset = end.U32();
    std::uint64_t endPos = lastSize - tail + static_cast<std::uint64_t>(at);
    // Zip64 locator right before the end record.
    if (at >= static_cast<qsizetype>(kZip64LocatorSize)) {
      Get loc(bytes + at - kZip64LocatorSize, kZip64LocatorSize);
      if (loc.U32() == kZip64LocatorSig) {
        const std::uint32_t recordDisk = loc.U32();
        const std::uint64_t recordOffset = loc.U64();
        const std::uint32_t disks = loc.U32();
        if (disks == 0 || recordDisk >= disks) return Damaged(QStringLiteral("bad Zip64 locator"));
        if (auto found = FIn.SetDiskCount(disks); !found) return found;
        std::uint64_t recordPos = 0;
        QByteArray record(static_cast<qsizetype>(kZip64EndSize), '\0');
        if (!FIn.Position(recordDisk, recordOffset, &recordPos) ||
            !FIn.ReadAt(recordPos, record.data(), kZip64EndSize))
          return Damaged(QStringLiteral("the Zip64 end record is out of place"));
        Get z(record.constData(), kZip64EndSize);
        if (z.U32() != kZip64EndSig) return Damaged(QStringLiteral("bad Zip64 end record"));
        z.Skip(12);
        thisDisk = z.U32();
        cdDisk = z.U32();
        z.U64();
        count = z.U64();
        cdSize = z.U64();
        cdOffset = z.U64();
        endPos = recordPos;
        if (thisDisk + 1 != disks) return Damaged(QStringLiteral("the volume counts disagree"));
        return Locate(cdDisk, cdOffset, cdSize, count, endPos);
      }
    }
    if (thisDisk == kMax16) return Damaged(QStringLiteral("bad end record"));
    if (auto found = FIn.SetDiskCount(static_cast<std::uint32_t>(thisDisk + 1)); !found) return found;
    endPos += FIn.LastStart();
    return Locate(cdDisk, cdOffset, cdSize, count, endPos);
  }

  Result<> Locate(std::uint64_t cdDisk, std::uint64_t cdOffset, std::uint64_t cdSize, std::uint64_t count,
                  std::uint64_t endPos) {
    if (cdDisk >= FIn.DiskCount() || !FIn.Position(static_cast<std::uint32_t>(cdDisk), cdOffset, &FCdStart) ||
        FCdStart > endPos || cdSize > endPos - FCdStart || count > cdSize / kCentralSize)
      return Damaged(QStringLiteral("the central directory is out of place (a volume may be damaged)"));
    FCdSize = cdSize;
    FCount = count;
    return {};
  }

  Result<> ReadDirectory() {
    Cursor c(FIn, FCdStart);
    FEntries.reserve(static_cast<std::size_t>(FCount));
    QByteArray fixed, variable;
    for (std::uint64_t i = 0; i < FCount; ++i) {
      if (auto read = c.Read(&fixed, kCentralSize); !read) return read;
      Get h(fixed.constData(), kCentralSize);
      if (h.U32() != kCentralSig) return Damaged(QStringLiteral("bad central directory entry %1").arg(i + 1));
      ReadEntry e;
      e.MadeBy = h.U16();
      h.U16();
      e.Flags = h.U16();
      e.Method = h.U16();
      e.DosTime = h.U32();
      e.Crc = h.U32();
      e.Compressed = h.U32();
      e.Size = h.U32();
      const std::size_t nameLen = h.U16(), extraLen = h.U16(), commentLen = h.U16();
      e.Disk = h.U16();
      h.U16();
      e.External = h.U32();
      e.Offset = h.U32();
      if (auto read = c.Read(&variable, nameLen + extraLen + commentLen); !read) return read;
      const QByteArray raw = variable.left(static_cast<qsizetype>(nameLen));
      QByteArray unicode;
      Get x(variable.constData() + nameLen, extraLen);
      while (x.Left() >= 4) {
        const std::uint16_t id = x.U16(), size = x.U16();
        const QByteArray data = x.Bytes(size);
        if (!x.Ok()) break;
        if (id == kExtraUnicodePath) unicode = data;
        if (id != kExtraZip64) continue;
        Get z(data.constData(), static_cast<std::size_t>(data.size()));
        if (e.Size == kMax32) e.Size = z.U64();
        if (e.Compressed == kMax32) e.Compressed = z.U64();
        if (e.Offset == kMax32) e.Offset = z.U64();
        if (e.Disk == kMax16) e.Disk = z.U32();
        if (!z.Ok()) return Damaged(QStringLiteral("bad Zip64 field in entry %1").arg(i + 1));
      }
      e.Name = DecodeName(raw, e.Flags, unicode);
      FEntries.push_back(std::move(e));
    }
    if (c.Pos() > FCdStart + FCdSize) return Damaged(QStringLiteral("the central directory overruns its size"));
    return {};
  }

  VolumeReader FIn;
  QString FLabel;
  std::uint64_t FCdStart = 0, FCdSize = 0, FCount = 0;
  std::vector<ReadEntry> FEntries;
};

// The components of a safe relative path; false for an absolute name or one
// with "..", which could reach outside the destination.
bool SafeComponents(const QString& name, QStringList* parts) {
  QString n = name;
  n.replace('\\', '/');
  if (n.startsWith('/') || (n.size() >= 2 && n[1] == ':' && n[0].isLetter()) || n.contains(QChar(0))) return false;
  parts->clear();
  for (const QString& part : n.split('/', Qt::SkipEmptyParts)) {
    if (part == QLatin1String("..")) return false;
    if (part != QLatin1String(".")) parts->append(part);
  }
  return !parts->isEmpty();
}

class Extractor {
public:
  Extractor(ArchiveSource& source, const QString& dest, const ArchiveProgress& progress,
            const std::atomic<bool>* cancel)
      : FSource(source), FDest(dest), FProgress(progress), FCancel(cancel) {}

  Result<ExtractSummary> Run() {
    const auto& entries = FSource.Entries();
    std::vector<QStringList> paths(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!SafeComponents(entries[i].Name, &paths[i])) {
        return Failure(QStringLiteral("The archive holds the unsafe name \"%1\" (absolute, or leading out of the "
                                      "destination with \"..\"); nothing was extracted.")
                           .arg(entries[i].Name));
      }
    }
    std::uint64_t total = 0;
    for (const ReadEntry& e : entries) {
      if (!e.Folder() && __builtin_add_overflow(total, e.Size, &total)) {
        return Failure(QStringLiteral("The archive's sizes add up beyond any disk (damaged or forged archive); "
                                      "nothing was extracted."));
      }
    }
    if (auto laid = CheckLayout(); !laid) return Failure(laid.error());
    if (auto room = CheckSpace(total); !room) return Failure(room.error());
    FTotal = static_cast<qint64>(total);
    if (!QDir().mkpath(FDest)) {
      return Failure(QStringLiteral("Cannot create the folder \"%1\".").arg(FDest));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const ReadEntry& e = entries[i];
      QStringList folders = paths[i];
      const QString leaf = e.Folder() ? QString() : folders.takeLast();
      const Result<QString> folder = MakeFolders(folders);
      if (!folder) return Failure(folder.error());
      if (leaf.isEmpty()) continue;
      if (auto extracted = ExtractFile(e, FDataStart[i], *folder, leaf); !extracted) return Failure(extracted.error());
    }
    return FSummary;
  }

  // Free space the extraction leaves at least: 1 % of the disk, and 100 MB.
  static constexpr std::uint64_t kReserveBytes = std::uint64_t(100) << 20;
  static constexpr std::uint64_t kReserveDivisor = 100;

private:
  // Every entry's local header and data lie before the central directory and
  // apart from every other entry's; what each entry needs is supported. Reads
  // the local headers and keeps where each entry's data starts.
  Result<> CheckLayout() {
    const auto& entries = FSource.Entries();
    VolumeReader& in = FSource.In();
    const std::uint64_t cdStart = FSource.DirectoryStart();
    struct Span {
      std::uint64_t From, To;
      std::size_t Entry;
    };
    std::vector<Span> spans;
    spans.reserve(entries.size());
    FDataStart.assign(entries.size(), 0);
    QByteArray local(static_cast<qsizetype>(kLocalSize), '\0');
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const ReadEntry& e = entries[i];
      const auto fail = [&](const QString& why) -> Result<> {
        return Failure(QStringLiteral("Cannot extract \"%1\": %2 Nothing was extracted.").arg(e.Name, why));
      };
      if (!e.Folder()) {
        if (e.Flags & kFlagEncrypted) return fail(QStringLiteral("it is encrypted."));
        if (e.Method != kMethodStore && e.Method != kMethodDeflate)
          return fail(QStringLiteral("compression method %1 is not supported.").arg(e.Method));
        if (e.Method == kMethodStore && e.Compressed != e.Size)
          return fail(QStringLiteral("its stored size does not match (damaged archive)."));
      }
      std::uint64_t pos = 0;
      if (!in.Position(e.Disk, e.Offset, &pos) || pos > cdStart || cdStart - pos < kLocalSize ||
          !in.ReadAt(pos, local.data(), kLocalSize))
        return fail(QStringLiteral("its data lies outside the volumes (a volume may be damaged or missing)."));
      Get h(local.constData(), kLocalSize);
      if (h.U32() != kLocalSig)
        return fail(QStringLiteral("its local header is damaged (in volume \"%1\").").arg(in.VolumeLabel(pos)));
      h.Skip(22);
      const std::uint64_t nameLen = h.U16(), extraLen = h.U16();
      const std::uint64_t data = pos + kLocalSize + nameLen + extraLen;
      if (data > cdStart || e.Compressed > cdStart - data)
        return fail(QStringLiteral("its data overruns the archive (damaged or forged sizes)."));
      FDataStart[i] = data;
      spans.push_back(Span{pos, data + e.Compressed, i});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.From < b.From; });
    for (std::size_t k = 1; k < spans.size(); ++k) {
      if (spans[k].From < spans[k - 1].To) {
        return Failure(QStringLiteral("The entries \"%1\" and \"%2\" of the archive overlap (damaged or forged "
                                      "archive); nothing was extracted.")
                           .arg(entries[spans[k - 1].Entry].Name, entries[spans[k].Entry].Name));
      }
    }
    return {};
  }

  // The announced total leaves the reserve free on the destination's disk
  // (measured at its nearest existing folder, which is not created yet).
  Result<> CheckSpace(std::uint64_t total) const {
    QString at = FDest;
    struct statvfs fs;
    while (::statvfs(QFile::encodeName(at).constData(), &fs) != 0) {
      const QString parent = QFileInfo(at).path();
      if (parent == at) return {};  // nothing to measure: writing will tell
      at = parent;
    }
    const std::uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const std::uint64_t available = std::uint64_t(fs.f_bavail) * unit;
    const std::uint64_t reserve = std::max(std::uint64_t(fs.f_blocks) * unit / kReserveDivisor, kReserveBytes);
    if (total <= available && available - total >= reserve) return {};
    return Failure(QStringLiteral("Not enough free disk space in \"%1\": the archive holds %2 bytes, %3 are free, "
                                  "and %4 must stay free.")
                       .arg(FDest, QString::number(total), QString::number(available), QString::number(reserve)));
  }

  // The destination folder with parts below it, each created when missing.
  Result<QString> MakeFolders(const QStringList& parts) {
    QString folder = FDest;
    for (const QString& part : parts) {
      folder += '/' + part;
      const QByteArray path = QFile::encodeName(folder);
      struct stat st;
      if (::lstat(path.constData(), &st) != 0 && ::mkdir(path.constData(), 0755) != 0 && errno != EEXIST)
        return Failure(QStringLiteral("Cannot create the folder \"%1\": %2").arg(folder, SystemError()));
      if (::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return Failure(S_ISLNK(st.st_mode)
                         ? QStringLiteral("\"%1\" is a symbolic link; nothing is extracted through it.").arg(folder)
                         : QStringLiteral("Cannot create the folder \"%1\": a file of that name exists.").arg(folder));
    }
    return folder;
  }

  // Writes the entry under a temporary name in folder and, once complete,
  // gives it its name there, or "name (2).ext" ... beside an existing one.
  Result<> ExtractFile(const ReadEntry& e, std::uint64_t pos, const QString& folder, const QString& leaf) {
    const auto fail = [&](const QString& why) -> Result<> {
      return Failure(QStringLiteral("Cannot extract \"%1\": %2").arg(e.Name, why));
    };
    FFolder = folder;
    QByteArray temp = QFile::encodeName(folder + QStringLiteral("/.kestro-part-XXXXXX"));
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return fail(WriteError());
    Result<> ok = Copy(e, pos, fd, fail);
    if (ok) {
      // The user's default mode, executable by the owner alone when the
      // archive made it executable at all.
      const bool executable = (e.MadeBy >> 8) == 3 && ((e.External >> 16) & 0111);
      ::fchmod(fd, FFileMode | (executable && (FFileMode & S_IRUSR) ? S_IXUSR : 0));
      const qint64 secs = zipfmt::FromDosTime(e.DosTime).toSecsSinceEpoch();
      const struct timespec times[2] = {{secs, 0}, {secs, 0}};
      ::futimens(fd, times);
    }
    if (::close(fd) != 0 && ok) ok = fail(WriteError());
    if (ok) ok = Place(temp, folder, leaf, fail);
    if (!ok) ::unlink(temp.constData());
    return ok;
  }

  // Moves the finished file to its name, never over an existing file or
  // folder: "notes.txt" becomes "notes (2).txt", then "notes (3).txt", ...
  template <class Fail>
  Result<> Place(const QByteArray& temp, const QString& folder, const QString& leaf, const Fail& fail) {
    const int dot = leaf.lastIndexOf('.');
    const QString base = dot > 0 ? leaf.left(dot) : leaf, extension = dot > 0 ? leaf.mid(dot) : QString();
    for (int n = 1; n <= kMaxCopies; ++n) {
      const QString name =
          n == 1 ? leaf : QStringLiteral("%1 (%2)%3").arg(base, QString::number(n), extension);
      if (RenameNoReplace(temp, QFile::encodeName(folder + '/' + name))) {
        ++FSummary.Files;
        if (n > 1) ++FSummary.Renamed;
        return {};
      }
      if (errno != EEXIST) return fail(SystemError());
    }
    return fail(QStringLiteral("%1 files of that name exist already.").arg(kMaxCopies));
  }

  static bool RenameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without it: a hard link refuses an existing name too.
    if (::link(from.constData(), to.constData()) != 0) return false;
    ::unlink(from.constData());
    return true;
  }

  // The reason of a failed write, naming a full disk and the folder.
  QString WriteError() const {
    if (errno == ENOSPC || errno == EDQUOT)
      return QStringLiteral("the disk is full in the folder \"%1\"; nothing of the file was kept.").arg(FFolder);
    return SystemError();
  }

  // The user's default mode of new files (0666 less the umask), never group-
  // or world-writable.
  static mode_t UserFileMode() {
    mode_t mask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
      for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("Umask:")) continue;
        bool ok = false;
        const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
        if (ok) mask = static_cast<mode_t>(value);
      }
    }
    return 0666 & ~mask & ~(S_IWGRP | S_IWOTH);
  }

  template <class Fail>
  Result<> Copy(const ReadEntry& e, std::uint64_t pos, int fd, const Fail& fail) {
    VolumeReader& in = FSource.In();
    std::vector<unsigned char> input(kChunk), output(kChunk);
    z_stream z{};
    const bool deflated = e.Method == kMethodDeflate;
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) return fail(QStringLiteral("out of memory."));
    struct InflateEnd {
      z_stream* z;
      bool on;
      ~InflateEnd() {
        if (on) inflateEnd(z);
      }
    } guard{&z, deflated};
    std::uint64_t left = e.Compressed, written = 0;
    std::uint32_t crc = 0;
    bool ended = !deflated;
    const auto deliver = [&](const unsigned char* data, std::size_t size) -> Result<> {
      if (size > e.Size - written)
        return fail(QStringLiteral("it grows past its announced size of %1 bytes (damaged or hostile archive).").arg(e.Size));
      for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(WriteError());
        done += static_cast<std::size_t>(n);
      }
      crc = static_cast<std::uint32_t>(crc32_z(crc, data, size));
      written += size;
      FDone += static_cast<qint64>(size);
      if (FProgress) FProgress(FDone, FTotal);
      return {};
    };
    while (left > 0) {
      if (FCancel && FCancel->load()) return fail(QStringLiteral("Cancelled."));
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
      if (auto read = in.ReadAt(pos, input.data(), piece); !read) return fail(read.error());
      pos += piece;
      left -= piece;
      if (!deflated) {
        if (auto delivered = deliver(input.data(), piece); !delivered) return delivered;
        continue;
      }
      z.next_in = input.data();
      z.avail_in = static_cast<uInt>(piece);
      while (!ended) {
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
          return fail(QStringLiteral("its compressed data is damaged (in volume \"%1\").").arg(in.VolumeLabel(pos - 1)));
        if (auto delivered = deliver(output.data(), output.size() - z.avail_out); !delivered) return delivered;
        ended = rc == Z_STREAM_END;
        // More input is needed once it is all taken and the output had room.
        if (rc == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0)) break;
      }
    }
    if (!ended) return fail(QStringLiteral("its compressed data ends early (damaged archive)."));
    if (written != e.Size)
      return fail(QStringLiteral("it holds %1 bytes instead of %2 (damaged archive).").arg(written).arg(e.Size));
    if (crc != e.Crc) return fail(QStringLiteral("CRC error (damaged archive)."));
    return {};
  }

  ArchiveSource& FSource;
  QString FDest;
  const ArchiveProgress& FProgress;
  const std::atomic<bool>* FCancel;
  qint64 FTotal = 0, FDone = 0;
  std::vector<std::uint64_t> FDataStart;  // per entry, where its data starts
  const mode_t FFileMode = UserFileMode();
  QString FFolder;  // of the file being written
  ExtractSummary FSummary;
  static constexpr int kMaxCopies = 9999;
};

}  // namespace

Result<ExtractSummary> Archiver::Extract(const QString& lastVolume, const QString& destFolder) const {
  ArchiveSource source;
  if (auto opened = source.Open(lastVolume); !opened) return Failure(opened.error());
  Extractor extractor(source, QDir::cleanPath(QFileInfo(destFolder).absoluteFilePath()), FProgress, FCancel);
  return extractor.Run();
}

Result<std::vector<ArchiveEntryInfo>> Archiver::List(const QString& lastVolume) const {
  ArchiveSource source;
  if (auto opened = source.Open(lastVolume); !opened) return Failure(opened.error());
  std::vector<ArchiveEntryInfo> entries;
  for (const ReadEntry& e : source.Entries())
    entries.push_back(ArchiveEntryInfo{e.Name, e.Folder(), e.Size, e.Compressed, e.Method, e.Flags, e.Crc, e.Disk,
                                       e.Offset});
  return entries;
}
