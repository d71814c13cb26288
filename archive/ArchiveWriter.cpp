// Building split archives: collecting the entries, streaming their data
// through the block compressor in order, and writing the central directory
// and end records so that they suit every reader of split archives.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

#include "archive/Archiver.h"
#include "archive/BlockCompressor.h"
#include "archive/VolumeIo.h"
#include "archive/ZipFormat.h"

using namespace zipfmt;

namespace {

// Files from this size on get Zip64 sizes in their local header: deflate may
// grow incompressible data a little, and the header is written before the data.
constexpr std::uint64_t kZip64LocalFrom = 0xFF000000u;

struct WriteEntry {
  QString Source;  // file to read; empty for a folder
  QByteArray Name; // UTF-8, folders end in "/"
  bool Folder = false;
  std::uint64_t Size = 0;  // size when collected; no more is read
  std::uint32_t DosTime = 0;
  std::uint32_t Mode = 0;
  // Filled while writing.
  std::uint16_t Method = kMethodStore;
  bool Zip64Local = false;
  bool Written = false;
  std::uint64_t HeaderPos = 0;
  std::uint64_t Compressed = 0, Uncompressed = 0;
  std::uint32_t Crc = 0;
};

class EntryCollector {
public:
  explicit EntryCollector(std::vector<WriteEntry>& entries) : FEntries(entries) {}

  void AddTop(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    const QString name = QFileInfo(clean).fileName();
    if (path.isEmpty() || name.isEmpty() || name == QLatin1String("..")) return;
    struct stat st;
    if (::stat(QFile::encodeName(clean).constData(), &st) != 0) return;
    Add(clean, name, st, 0);
  }

private:
  void Add(const QString& path, const QString& name, const struct stat& st, int depth) {
    if (S_ISREG(st.st_mode)) {
      if (::access(QFile::encodeName(path).constData(), R_OK) == 0) Push(path, name, st, false);
    } else if (S_ISDIR(st.st_mode) && depth < 256) {
      QDir dir(path);
      if (!dir.isReadable()) return;
      Push(QString(), name + '/', st, true);
      // Links inside a folder are not followed: they could lead out of it.
      const QStringList children =
          dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
      for (const QString& child : children) {
        const QString childPath = path + '/' + child;
        struct stat cst;
        if (::lstat(QFile::encodeName(childPath).constData(), &cst) == 0 && !S_ISLNK(cst.st_mode))
          Add(childPath, name + '/' + child, cst, depth + 1);
      }
    }
  }

  void Push(const QString& source, const QString& name, const struct stat& st, bool folder) {
    WriteEntry e;
    e.Source = source;
    e.Name = name.toUtf8();
    if (FNames.contains(e.Name)) return;  // two paths of the same name: the first one wins
    FNames.insert(e.Name);
    e.Folder = folder;
    e.Size = folder ? 0 : static_cast<std::uint64_t>(st.st_size);
    e.DosTime = ToDosTime(QDateTime::fromSecsSinceEpoch(st.st_mtime));
    e.Mode = static_cast<std::uint32_t>(st.st_mode) & 0xFFFF;
    FEntries.push_back(std::move(e));
  }

  std::vector<WriteEntry>& FEntries;
  QSet<QByteArray> FNames;
};

int ZlibLevel(int level) { return level < 0 ? Z_DEFAULT_COMPRESSION : std::min(level, 9); }

class Builder {
public:
  Builder(const Archiver& settings, const QString& folder, std::vector<WriteEntry>& entries,
          const ArchiveProgress& progress, const std::atomic<bool>* cancel, int threads)
      : FEntries(entries),
        FOut(folder, static_cast<std::uint64_t>(settings.VolumeSize())),
        FLevel(settings.Level()),
        FCompressor(ZlibLevel(settings.Level()), threads),
        FProgress(progress),
        FCancel(cancel) {
    for (const WriteEntry& e : entries) FTotal += static_cast<qint64>(e.Size);
  }

  Result<QStringList> Run() {
    if (!WriteAll()) {
      FOut.RemoveAll();
      return Failure(FError);
    }
    return FOut.Volumes();
  }

private:
  bool Fail(const QString& text) {
    if (FError.isEmpty()) FError = text;
    return false;
  }
  bool Cancelled() const { return FCancel && FCancel->load(); }

  bool WriteAll() {
    // Room for the spanning signature; dropped again when one volume suffices.
    QByteArray sig;
    Put(sig).U32(kSpanSig);
    if (!FOut.Write(sig.constData(), sig.size())) return Fail(FOut.Error());
    for (std::size_t i = 0; i < FEntries.size(); ++i)
      if (!Feed(i)) return false;
    while (!FInflight.empty())
      if (!DrainFront()) return false;
    if (std::none_of(FEntries.begin(), FEntries.end(), [](const WriteEntry& e) { return e.Written; }))
      return Fail(QStringLiteral("No file to archive: every path is missing or unreadable."));
    return WriteDirectory() && (FOut.Finish() || Fail(FOut.Error()));
  }

  // Reads one entry into blocks for the compressor.
  bool Feed(std::size_t index) {
    WriteEntry& e = FEntries[index];
    int fd = -1;
    if (!e.Folder) {
      fd = ::open(QFile::encodeName(e.Source).constData(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return true;  // unreadable now: skipped
    }
    const bool deflate = !e.Folder && e.Size > 0 && FLevel != 0 && !Archiver::StoredByName(QString::fromUtf8(e.Name));
    e.Method = deflate ? kMethodDeflate : kMethodStore;
    e.Zip64Local = e.Size >= kZip64LocalFrom;
    std::uint64_t remaining = e.Size;
    std::shared_ptr<DataBlock> previous;
    bool first = true, ok = true;
    for (bool last = false; !last;) {
      if (Cancelled()) {
        ok = Fail(QStringLiteral("Cancelled."));
        break;
      }
      auto block = std::make_shared<DataBlock>();
      block->Entry = index;
      block->First = first;
      block->Deflate = deflate;
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, BlockCompressor::kBlockSize));
      block->Input.resize(want);
      std::size_t got = 0;
      while (got < want) {
        const ssize_t n = ::read(fd, block->Input.data() + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) block->ReadFailed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      block->Input.resize(got);
      remaining = got < want ? 0 : remaining - got;  // a file that shrank ends early
      last = remaining == 0 || block->ReadFailed;
      block->Last = last;
      if (deflate && previous) {
        const auto& before = previous->Input;
        const std::size_t n = std::min(before.size(), BlockCompressor::kWindow);
        block->Dictionary.assign(before.end() - static_cast<std::ptrdiff_t>(n), before.end());
      }
      previous = block;
      first = false;
      FCompressor.Submit(block);
      FInflight.push_back(std::move(block));
      while (ok && FInflight.size() > static_cast<std::size_t>(FCompressor.Threads()) * 3 + 2) ok = DrainFront();
      if (!ok) break;
    }
    if (fd >= 0) ::close(fd);
    return ok;
  }

  QByteArray LocalHeader(const WriteEntry& e) const {
    QByteArray h;
    Put p(h);
    p.U32(kLocalSig)
        .U16(e.Zip64Local ? kVersionZip64 : e.Method == kMethodDeflate ? kVersionDeflate : kVersionStore)
        .U16(kFlagUtf8)
        .U16(e.Method)
        .U32(e.DosTime)
        .U32(e.Crc);
    if (e.Zip64Local)
      p.U32(kMax32).U32(kMax32);
    else
      p.U32(e.Compressed).U32(e.Uncompressed);
    p.U16(static_cast<std::uint64_t>(e.Name.size())).U16(e.Zip64Local ? 20 : 0).Bytes(e.Name);
    if (e.Zip64Local) p.U16(kExtraZip64).U16(16).U64(e.Uncompressed).U64(e.Compressed);
    return h;
  }

  // Writes the oldest block in flight once the compressor is done with it.
  bool DrainFront() {
    std::shared_ptr<DataBlock> block = std::move(FInflight.front());
    FInflight.pop_front();
    FCompressor.Wait(*block);
    WriteEntry& e = FEntries[block->Entry];
    if (block->First) {
      const QByteArray header = LocalHeader(e);
      // A header that would straddle two volumes starts the next one instead;
      // so does one that would end right at the end of a volume (Info-ZIP
      // loses its way when an entry's data starts a volume).
      const std::uint64_t room = FOut.VolumeSize() - FOut.OffsetOf(FOut.Pos());
      if (static_cast<std::uint64_t>(header.size()) >= room) {
        const QByteArray zeros(static_cast<qsizetype>(room), '\0');
        if (!FOut.Write(zeros.constData(), zeros.size())) return Fail(FOut.Error());
      }
      e.HeaderPos = FOut.Pos();
      if (!FOut.Write(header.constData(), header.size())) return Fail(FOut.Error());
    }
    if (block->ReadFailed) return FOut.Truncate(e.HeaderPos) || Fail(FOut.Error());  // skipped
    if (block->Failed) return Fail(QStringLiteral("Compression failed for \"%1\".").arg(QString::fromUtf8(e.Name)));
    const auto& data = block->Data();
    if (!FOut.Write(data.data(), data.size())) return Fail(FOut.Error());
    e.Crc = static_cast<std::uint32_t>(crc32_combine(e.Crc, block->Crc, static_cast<z_off_t>(block->Input.size())));
    e.Compressed += data.size();
    e.Uncompressed += block->Input.size();
    FDone += static_cast<qint64>(block->Input.size());
    if (FProgress) FProgress(FDone, FTotal);
    if (!block->Last) return true;
    if (!e.Zip64Local && e.Compressed >= kMax32)
      return Fail(QStringLiteral("\"%1\" grew while it was archived.").arg(QString::fromUtf8(e.Name)));
    const QByteArray header = LocalHeader(e);
    if (!FOut.WriteAt(e.HeaderPos, header.constData(), header.size())) return Fail(FOut.Error());
    e.Written = true;
    return true;
  }

  // filler: bytes added to the header so that the next record starts in the
  // next volume; an extra field from 4 bytes on, a comment of blanks below.
  QByteArray CentralHeader(const WriteEntry& e, std::uint64_t headerPos, std::size_t filler) const {
    const std::uint32_t disk = FOut.DiskOf(headerPos);
    const std::uint64_t offset = FOut.OffsetOf(headerPos);
    QByteArray zip64;
    Put z(zip64);
    if (e.Uncompressed >= kMax32) z.U64(e.Uncompressed);
    if (e.Compressed >= kMax32) z.U64(e.Compressed);
    if (offset >= kMax32) z.U64(offset);
    if (disk >= kMax16) z.U32(disk);
    QByteArray extra, comment;
    Put x(extra);
    if (!zip64.isEmpty()) x.U16(kExtraZip64).U16(static_cast<std::uint64_t>(zip64.size())).Bytes(zip64);
    if (filler >= 4) x.U16(kExtraFiller).U16(filler - 4).Bytes(QByteArray(static_cast<qsizetype>(filler - 4), '\0'));
    if (filler > 0 && filler < 4) comment = QByteArray(static_cast<qsizetype>(filler), ' ');
    const bool needs64 = !zip64.isEmpty() || e.Zip64Local;
    QByteArray h;
    Put(h).U32(kCentralSig)
        .U16(kVersionMadeBy)
        .U16(needs64 ? kVersionZip64 : e.Method == kMethodDeflate ? kVersionDeflate : kVersionStore)
        .U16(kFlagUtf8)
        .U16(e.Method)
        .U32(e.DosTime)
        .U32(e.Crc)
        .U32(std::min<std::uint64_t>(e.Compressed, kMax32))
        .U32(std::min<std::uint64_t>(e.Uncompressed, kMax32))
        .U16(static_cast<std::uint64_t>(e.Name.size()))
        .U16(static_cast<std::uint64_t>(extra.size()))
        .U16(static_cast<std::uint64_t>(comment.size()))
        .U16(std::min<std::uint64_t>(disk, kMax16))
        .U16(0)                                   // internal attributes
        .U32(static_cast<std::uint64_t>(e.Mode) << 16 | (e.Folder ? 0x10 : 0))
        .U32(std::min<std::uint64_t>(offset, kMax32))
        .Bytes(e.Name)
        .Bytes(extra)
        .Bytes(comment);
    return h;
  }

  // Readers of split archives take no header across two volumes, and want the
  // last central header and the end records together in the last volume.
  // Where a record would straddle a boundary, the central header before it
  // grows by a filler (before the first one, unused bytes) so that the record
  // starts the next volume.
  bool WriteDirectory() {
    std::vector<WriteEntry*> written;
    for (WriteEntry& e : FEntries)
      if (e.Written) written.push_back(&e);
    const std::uint64_t volume = FOut.VolumeSize();
    const auto headers = [&](std::uint64_t shift) {
      std::vector<QByteArray> list;
      for (const WriteEntry* e : written) list.push_back(CentralHeader(*e, e->HeaderPos - shift, 0));
      return list;
    };
    const auto sizeOf = [](const std::vector<QByteArray>& list) {
      std::uint64_t size = 0;
      for (const QByteArray& h : list) size += static_cast<std::uint64_t>(h.size());
      return size;
    };
    constexpr std::uint64_t kEndMost = kZip64EndSize + kZip64LocatorSize + kEndSize;
    // An archive that fits one volume is a plain zip file: no spanning signature.
    std::uint64_t shift = 0;
    std::vector<QByteArray> central = headers(0);
    if (FOut.Pos() <= volume && FOut.Pos() - 4 + sizeOf(central) + kEndMost <= volume) {
      if (!FOut.DropLeading(4)) return Fail(FOut.Error());
      shift = 4;
      central = headers(shift);
    }
    const std::uint64_t count = written.size();
    // Fillers add less than a volume per record at most; Zip64 ends are harmless when not needed.
    const bool zip64 = count >= kMax16 || sizeOf(central) + 4 * volume >= kMax32 ||
                       FOut.OffsetOf(FOut.Pos()) + volume >= kMax32 ||
                       FOut.DiskOf(FOut.Pos() + sizeOf(central)) + count + 2 >= kMax16;
    const std::uint64_t endSize = (zip64 ? kZip64EndSize + kZip64LocatorSize : 0) + kEndSize;

    std::uint64_t gap = 0, pos = FOut.Pos();
    for (std::size_t i = 0; i < central.size(); ++i) {
      const std::uint64_t need = static_cast<std::uint64_t>(central[i].size()) + (i + 1 == central.size() ? endSize : 0);
      const std::uint64_t room = volume - FOut.OffsetOf(pos);
      if (need > room && need <= volume) {
        if (i == 0)
          gap = room;
        else
          central[i - 1] = CentralHeader(*written[i - 1], written[i - 1]->HeaderPos - shift, static_cast<std::size_t>(room));
        pos += room;
      }
      pos += static_cast<std::uint64_t>(central[i].size());
    }
    if (gap > 0) {
      const QByteArray zeros(static_cast<qsizetype>(gap), '\0');
      if (!FOut.Write(zeros.constData(), zeros.size())) return Fail(FOut.Error());
    }
    const std::uint64_t cdStart = FOut.Pos();
    const std::uint64_t cdSize = pos - cdStart;
    const std::uint64_t endStart = pos;
    const std::uint32_t lastDisk = FOut.DiskOf(endStart);
    std::uint64_t onLastDisk = 0;
    QByteArray buffer;
    pos = cdStart;
    for (std::size_t i = 0; i < central.size(); ++i) {
      if (FOut.DiskOf(pos) == lastDisk) ++onLastDisk;
      pos += static_cast<std::uint64_t>(central[i].size());
      buffer += central[i];
      if (buffer.size() >= (1 << 20) || i + 1 == central.size()) {
        if (!FOut.Write(buffer.constData(), buffer.size())) return Fail(FOut.Error());
        buffer.clear();
      }
    }
    const std::uint32_t cdDisk = FOut.DiskOf(cdStart);
    const std::uint64_t cdOffset = FOut.OffsetOf(cdStart);
    QByteArray end;
    Put p(end);
    if (zip64) {
      p.U32(kZip64EndSig)
          .U64(kZip64EndSize - 12)
          .U16(kVersionMadeBy)
          .U16(kVersionZip64)
          .U32(lastDisk)
          .U32(cdDisk)
          .U64(onLastDisk)
          .U64(count)
          .U64(cdSize)
          .U64(cdOffset);
      p.U32(kZip64LocatorSig).U32(lastDisk).U64(FOut.OffsetOf(endStart)).U32(lastDisk + 1);
    }
    p.U32(kEndSig)
        .U16(std::min<std::uint64_t>(lastDisk, kMax16))
        .U16(std::min<std::uint64_t>(cdDisk, kMax16))
        .U16(std::min<std::uint64_t>(onLastDisk, kMax16))
        .U16(std::min<std::uint64_t>(count, kMax16))
        .U32(std::min<std::uint64_t>(cdSize, kMax32))
        .U32(std::min<std::uint64_t>(cdOffset, kMax32))
        .U16(0);
    return FOut.Write(end.constData(), end.size()) || Fail(FOut.Error());
  }

  std::vector<WriteEntry>& FEntries;
  VolumeWriter FOut;
  int FLevel;
  BlockCompressor FCompressor;
  std::deque<std::shared_ptr<DataBlock>> FInflight;
  const ArchiveProgress& FProgress;
  const std::atomic<bool>* FCancel;
  qint64 FTotal = 0, FDone = 0;
  QString FError;
};

}  // namespace

bool Archiver::StoredByName(const QString& fileName) {
  const QString name = fileName.toLower();
  return name.endsWith(QLatin1String(".arj")) || name.endsWith(QLatin1String(".rar")) ||
         name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String("cab"));
}

Result<QStringList> Archiver::BuildVolumes(const QStringList& paths, const QString& outFolder) const {
  if (FVolumeSize < kMinVolumeSize)
    return Failure(QStringLiteral("Volume size %1 is too small; the least is %2 bytes.").arg(FVolumeSize).arg(kMinVolumeSize));
  if (!QDir().mkpath(outFolder)) return Failure(QStringLiteral("Cannot create the folder \"%1\".").arg(outFolder));
  std::vector<WriteEntry> entries;
  EntryCollector collector(entries);
  for (const QString& path : paths) collector.AddTop(path);
  if (entries.empty()) return Failure(QStringLiteral("No file to archive: every path is missing or unreadable."));
  const int threads = FThreads > 0 ? FThreads : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  Builder builder(*this, outFolder, entries, FProgress, FCancel, threads);
  return builder.Run();
}
