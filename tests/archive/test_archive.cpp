// The archive component against itself and against 7-Zip and Info-ZIP.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

#include "ArchiveFixture.h"
#include "archive/VolumeNames.h"
#include "archive/Archiver.h"

using namespace archtest;

namespace {

class ArchiveTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(FTemp.isValid());
    Root = FTemp.path();
  }
  QString Dir(const QString& name) const { return Root + '/' + name; }

  // Builds, checks the volume sizes, and returns the volumes.
  QStringList Build(const Archiver& archiver, const QStringList& paths, const QString& out) {
    const Result<QStringList> built = archiver.BuildVolumes(paths, out);
    EXPECT_TRUE(Ok(built));
    const QStringList volumes = built.value_or(QStringList());
    for (int i = 0; i < volumes.size(); ++i) {
      EXPECT_EQ(QFileInfo(volumes[i]).fileName(), VolumeName(i + 1));
      const qint64 size = QFileInfo(volumes[i]).size();
      if (i + 1 < volumes.size()) {
        EXPECT_EQ(size, archiver.VolumeSize()) << qPrintable(volumes[i]);
      } else {
        EXPECT_LE(size, archiver.VolumeSize());
      }
    }
    return volumes;
  }

  // Info-ZIP joins the split archive and tests it; 7-Zip tests the split archive.
  void ExpectToolsAccept(const QString& zip, const QString& scratch) {
    const ToolResult sevenZip = RunTool("7zz", {"t", zip});
    EXPECT_EQ(sevenZip.Code, 0) << qPrintable(sevenZip.Output.right(1500));
    EXPECT_FALSE(sevenZip.Output.contains("WARNING", Qt::CaseInsensitive)) << qPrintable(sevenZip.Output);
    QDir().mkpath(scratch);
    const QString single = scratch + "/single.zip";
    const ToolResult join = RunTool("zip", {"-s", "0", zip, "--out", single});
    EXPECT_EQ(join.Code, 0) << qPrintable(join.Output.right(1500));
    const ToolResult test = RunTool("unzip", {"-t", single});
    EXPECT_EQ(test.Code, 0) << qPrintable(test.Output.right(1500));
  }

  QTemporaryDir FTemp;
  QString Root;
};

// Our volumes, from one to seven, read by ourselves and by both tools after
// renaming to the spanned convention.
TEST_F(ArchiveTest, VolumesReadByUsAnd7ZipAndInfoZip) {
  const QStringList paths = MakeCorpus(Dir("corpus"), 600000);
  const QStringList single = Build(Archiver(3, 100000000), paths, Dir("probe"));
  ASSERT_EQ(single.size(), 1);
  const qint64 total = QFileInfo(single[0]).size();
  EXPECT_EQ(ReadFile(single[0]).left(4), QByteArray("PK\x03\x04", 4)) << "one volume is a plain zip file";

  for (int count : {1, 2, 7}) {
    SCOPED_TRACE(count);
    const qint64 volumeSize = count == 1 ? Archiver::kDefaultVolumeSize : static_cast<qint64>(total / (count - 0.5));
    const QString out = Dir(QString("out%1").arg(count));
    const QStringList volumes = Build(Archiver(3, volumeSize), paths, out);
    ASSERT_EQ(volumes.size(), count);
    if (count > 1) {
      EXPECT_EQ(ReadFile(volumes[0]).left(4), QByteArray("PK\x07\x08", 4));
    }

    ASSERT_TRUE(Ok(Archiver().Extract(volumes.last(), Dir(QString("ours%1").arg(count)))));
    EXPECT_EQ(CompareTrees(Dir("corpus"), Dir(QString("ours%1").arg(count))), "");

    // As the peer's mail names them: disk.z01 ... disk.zip_; we read that naming too.
    QStringList renamed;
    RenameVolumes(out, renamed);
    ASSERT_TRUE(renamed.last().endsWith("disk.zip_"));
    ASSERT_TRUE(Ok(Archiver().Extract(renamed.last(), Dir(QString("span%1").arg(count)))));
    EXPECT_EQ(CompareTrees(Dir("corpus"), Dir(QString("span%1").arg(count))), "");

    const QString zip = out + "/disk.zip";
    ASSERT_TRUE(QFile::rename(renamed.last(), zip));
    const QString sevenOut = Dir(QString("7z%1").arg(count));
    const ToolResult x = RunTool("7zz", {"x", "-y", "-o" + sevenOut, zip});
    ASSERT_EQ(x.Code, 0) << qPrintable(x.Output);
    EXPECT_EQ(CompareTrees(Dir("corpus"), sevenOut), "");
    ExpectToolsAccept(zip, Dir(QString("join%1").arg(count)));
    const ToolResult unzip = RunTool("unzip", {"-q", Dir(QString("join%1/single.zip").arg(count)), "-d",
                                               Dir(QString("unzip%1").arg(count))});
    EXPECT_EQ(unzip.Code, 0) << qPrintable(unzip.Output);
    EXPECT_EQ(CompareTrees(Dir("corpus"), Dir(QString("unzip%1").arg(count))), "");
  }
}

TEST_F(ArchiveTest, ReadsInfoZipArchivesSplitOrNot) {
  MakeCorpus(Dir("corpus"));
  QDir().mkpath(Dir("zs"));
  ToolResult made = RunTool("zip", {"-q", "-r", "-3", "-s", "64k", Dir("zs/arch.zip"), "."}, Dir("corpus"));
  ASSERT_EQ(made.Code, 0) << qPrintable(made.Output);
  ASSERT_TRUE(QFileInfo::exists(Dir("zs/arch.z04"))) << qPrintable(TreeListing(Dir("zs")).join(' '));
  made = RunTool("zip", {"-q", "-r", Dir("plain.zip"), "."}, Dir("corpus"));
  ASSERT_EQ(made.Code, 0) << qPrintable(made.Output);

  for (const QString& archive : {Dir("zs/arch.zip"), Dir("plain.zip")}) {
    SCOPED_TRACE(qPrintable(archive));
    const QString dest = Dir("x" + QFileInfo(archive).baseName());
    ASSERT_TRUE(Ok(Archiver().Extract(archive, dest)));
    EXPECT_EQ(CompareTrees(Dir("corpus"), dest), "");
  }
}

// Volume boundaries inside every kind of record (local and central headers,
// data, end records): no header is cut in two, the last volume holds the last
// central header and the end records, and both tools read every layout.
TEST_F(ArchiveTest, BoundariesAnywhereStayReadable) {
  // Long names make a central directory larger than a volume from few files.
  for (int i = 0; i < 400; ++i) {
    const QString path = Dir(QString("src/small/file-%1-%2.txt").arg(i).arg(QString(150 + i % 13, 'x')));
    WriteFile(path, TextBytes(static_cast<std::size_t>((i * 37) % 250), static_cast<std::uint32_t>(i)));
  }
  const QStringList paths = {Dir("src/small")};
  const QStringList probe = Build(Archiver(6, 100000000), paths, Dir("probe"));
  const qint64 total = QFileInfo(probe[0]).size() + 4;  // with the spanning signature
  ASSERT_GT(total, 3 * Archiver::kMinVolumeSize);

  // Boundaries right at the end of a local header, inside one, and inside the
  // first central header (positions from the single volume, plus the signature).
  const Result<std::vector<ArchiveEntryInfo>> listed = Archiver().List(probe[0]);
  ASSERT_TRUE(Ok(listed));
  const std::vector<ArchiveEntryInfo>& entries = *listed;
  const auto local = std::find_if(entries.begin(), entries.end(), [](const ArchiveEntryInfo& e) {
    return static_cast<qint64>(e.Offset) > Archiver::kMinVolumeSize;
  });
  ASSERT_NE(local, entries.end());
  const qint64 headerEnd = static_cast<qint64>(local->Offset) + 4 + 30 + local->Name.toUtf8().size();
  const ArchiveEntryInfo& last = entries.back();
  const qint64 cdStart = static_cast<qint64>(last.Offset + last.CompressedSize) + 4 + 30 + last.Name.toUtf8().size();
  QList<qint64> sizes = {headerEnd, headerEnd - 10, cdStart + 10};
  // Cuts k bytes before the end (inside the end record for k < 22), then a sweep
  // that puts boundaries into the central directory and among local entries.
  for (qint64 k : {1, 2, 3, 4, 5, 21, 22, 23, 60, 150}) sizes << total - k;
  for (qint64 v = Archiver::kMinVolumeSize; v < Archiver::kMinVolumeSize + 1000; v += 97) sizes << v;
  for (qint64 volumeSize : sizes) {
    SCOPED_TRACE(volumeSize);
    const QString out = Dir(QString("v%1").arg(volumeSize));
    const QStringList volumes = Build(Archiver(6, volumeSize), paths, out);
    ASSERT_GE(volumes.size(), 2);
    ASSERT_TRUE(Ok(Archiver().Extract(volumes.last(), out + "-x")));
    EXPECT_EQ(CompareTrees(Dir("src"), out + "-x"), "");
    ExpectToolsAccept(SpanNames(out), out + "-join");
    for (const QString& folder : {out, out + "-x", out + "-join"}) QDir(folder).removeRecursively();
  }
}

TEST_F(ArchiveTest, LevelsAndStoredNames) {
  const QByteArray text = TextBytes(20000, 9);
  const QStringList names = {"a.zip", "b.ARJ", "c.rar", "report.cab", "mycab", "plain.txt"};
  QStringList paths;
  for (const QString& name : names) {
    WriteFile(Dir("in/" + name), text);
    paths << Dir("in/" + name);
  }
  struct Case {
    int Level;
    bool PlainDeflated;
  };
  for (const Case& c : {Case{3, true}, Case{0, false}, Case{1, true}, Case{9, true}, Case{12, true}, Case{-5, true}}) {
    SCOPED_TRACE(c.Level);
    const QString out = Dir(QString("out%1").arg(c.Level));
    const QStringList volumes = Build(Archiver(c.Level, 1000000), paths, out);
    const Result<std::vector<ArchiveEntryInfo>> listed = Archiver().List(volumes.last());
    ASSERT_TRUE(Ok(listed));
    const std::vector<ArchiveEntryInfo>& entries = *listed;
    ASSERT_EQ(entries.size(), 6u);
    for (const ArchiveEntryInfo& e : entries) {
      const bool deflated = e.Name == "plain.txt" && c.PlainDeflated;
      EXPECT_EQ(e.Method, deflated ? 8 : 0) << qPrintable(e.Name);
      EXPECT_TRUE(e.Flags & 0x0800) << "UTF-8 flag on " << qPrintable(e.Name);
    }
    ASSERT_TRUE(Ok(Archiver().Extract(volumes.last(), out + "-x")));
    EXPECT_EQ(CompareTrees(Dir("in"), out + "-x"), "");
  }
}

TEST_F(ArchiveTest, MissingEntriesAreSkipped) {
  WriteFile(Dir("in/good.txt"), "good");
  WriteFile(Dir("in/folder/inside.txt"), "inside");
  WriteFile(Dir("outside.txt"), "outside");
  QFile::link(Dir("outside.txt"), Dir("in/folder/link.txt"));  // not followed inside a folder
  QFile::link(Dir("nowhere"), Dir("in/dangling"));
  Archiver archiver;
  const QString error = ErrorOf(archiver.BuildVolumes({Dir("in/missing"), Dir("in/dangling")}, Dir("none")));
  EXPECT_TRUE(error.contains("No file")) << qPrintable(error);
  EXPECT_TRUE(QDir(Dir("none")).isEmpty());

  const QStringList volumes =
      Build(archiver, {Dir("in/missing"), Dir("in/good.txt"), Dir("in/dangling"), Dir("in/folder")}, Dir("out"));
  const Result<std::vector<ArchiveEntryInfo>> listed = archiver.List(volumes.last());
  ASSERT_TRUE(Ok(listed));
  const std::vector<ArchiveEntryInfo>& entries = *listed;
  QStringList names;
  for (const ArchiveEntryInfo& e : entries) names << e.Name;
  EXPECT_EQ(names, QStringList({"good.txt", "folder/", "folder/inside.txt"}));
}

// Archives a person might forge: they are refused before anything is written
// (the forged layouts before the destination is even created), and nothing
// appears outside the destination.
TEST_F(ArchiveTest, HostileArchivesAreRefused) {
  const char* script = R"PY(
import sys, zipfile, struct
out, reserve_size = sys.argv[1], int(sys.argv[2])
def plain(name, entry):
    with zipfile.ZipFile(out + '/' + name, 'w') as z:
        z.writestr('fine.txt', b'fine')
        z.writestr(zipfile.ZipInfo(entry), b'evil')
plain('dotdot.zip', '../../x')
plain('absolute.zip', out + '/abs-x')
plain('backslash.zip', '..\\..\\y')
plain('middle.zip', 'a/../../z')
def patch(name, data, announced):
    path = out + '/' + name
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('bomb.txt', data)
    b = bytearray(open(path, 'rb').read())
    b[22:26] = struct.pack('<I', announced)
    c = b.find(b'PK\x01\x02')
    b[c + 24:c + 28] = struct.pack('<I', announced)
    open(path, 'wb').write(b)
patch('bomb.zip', b'\0' * (64 << 20), 1000)
# Every central entry announces its size in a Zip64 field.
def announce(name, files, size):
    path = out + '/' + name
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        for f in files:
            z.writestr(f, b'\0' * 1000)
    b = bytearray(open(path, 'rb').read())
    e = b.rfind(b'PK\x05\x06')
    cd = struct.unpack('<I', b[e + 16:e + 20])[0]
    c, added = cd, 0
    extra = struct.pack('<HHQ', 1, 8, size)
    for f in files:
        name_len, extra_len, comment_len = struct.unpack('<HHH', b[c + 28:c + 34])
        b[c + 24:c + 28] = struct.pack('<I', 0xFFFFFFFF)
        b[c + 30:c + 32] = struct.pack('<H', extra_len + len(extra))
        b[c + 46 + name_len:c + 46 + name_len] = extra
        added += len(extra)
        c += 46 + name_len + extra_len + len(extra) + comment_len
    b[e + added + 12:e + added + 16] = struct.pack('<I', struct.unpack('<I', b[e + added + 12:e + added + 16])[0] + added)
    open(path, 'wb').write(b)
announce('huge.zip', ['huge.txt'], 1 << 52)
announce('sums.zip', ['s%d.txt' % i for i in range(5)], (1 << 63) - 1)
announce('reserve.zip', ['reserve.txt'], reserve_size)
# Twenty central entries that all point at one deflate stream.
with zipfile.ZipFile(out + '/overlap.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('zeros.bin', b'\0' * (1 << 20))
b = bytearray(open(out + '/overlap.zip', 'rb').read())
e = b.rfind(b'PK\x05\x06')
cd = struct.unpack('<I', b[e + 16:e + 20])[0]
entry = bytes(b[cd:e])
copies = b''.join(entry[:46] + b'zeros_%03d' % i + entry[46 + 9:] for i in range(20))
end = bytearray(b[e:])
end[8:12] = struct.pack('<HH', 20, 20)
end[12:16] = struct.pack('<I', len(copies))
open(out + '/overlap.zip', 'wb').write(bytes(b[:cd]) + copies + bytes(end))
# A Zip64 locator that announces 4,294,967,295 disks, before a plain archive's end record.
with zipfile.ZipFile(out + '/disks.zip', 'w') as z:
    z.writestr('fine.txt', b'fine')
b = bytearray(open(out + '/disks.zip', 'rb').read())
e = b.rfind(b'PK\x05\x06')
count, cd_size, cd = struct.unpack('<HII', b[e + 10:e + 20])
record = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0xFFFFFFFE, 0xFFFFFFFE, count, count, cd_size, cd)
locator = struct.pack('<IIQI', 0x07064b50, 0xFFFFFFFE, e, 0xFFFFFFFF)
open(out + '/disks.zip', 'wb').write(bytes(b[:e]) + record + locator + bytes(b[e:]))
for n in ('disks.z01', 'disks.z02'):
    open(out + '/' + n, 'wb').write(b'volume')
)PY";
  QDir().mkpath(Dir("forged"));
  // An archive that fits the free space but would leave less than the reserve.
  const QStorageInfo disk(Root);
  const qint64 reserve = std::max<qint64>(disk.bytesTotal() / 100, qint64(100) << 20);
  const qint64 tooMuch = disk.bytesAvailable() - reserve / 2;
  const ToolResult made = RunTool("python3", {"-c", script, Dir("forged"), QString::number(tooMuch)});
  ASSERT_EQ(made.Code, 0) << qPrintable(made.Output);

  struct Case {
    const char* Archive;
    const char* Expect;
    bool BeforeWriting;  // refused before the destination is created
  };
  for (const Case& c :
       {Case{"dotdot.zip", "unsafe name", true}, Case{"absolute.zip", "unsafe name", true},
        Case{"backslash.zip", "unsafe name", true}, Case{"middle.zip", "unsafe name", true},
        Case{"bomb.zip", "announced size", false}, Case{"huge.zip", "free disk space", true},
        Case{"sums.zip", "sizes add up", true}, Case{"reserve.zip", "free disk space", true},
        Case{"overlap.zip", "overlap", true}, Case{"disks.zip", "\"disks.z03\" is missing", true}}) {
    SCOPED_TRACE(c.Archive);
    const QString dest = Dir(QString("sandbox/%1/a/b").arg(c.Archive));
    const QString error = ErrorOf(Archiver().Extract(Dir("forged/") + c.Archive, dest));
    EXPECT_TRUE(error.contains(c.Expect)) << qPrintable(error);
    // The forged entry is not anywhere, and the refused file left no part behind.
    QStringList written = TreeListing(Dir("sandbox"));
    if (!c.BeforeWriting) written.removeIf([](const QString& p) { return p.endsWith('/'); });
    EXPECT_EQ(written, QStringList()) << qPrintable(written.join(' '));
    EXPECT_FALSE(QFileInfo::exists(Dir("forged/abs-x")));
    QDir(Dir("sandbox")).removeRecursively();
  }
}

// A folder of the destination that is a symbolic link is not written through.
TEST_F(ArchiveTest, ExtractionDoesNotFollowLinksInTheDestination) {
  WriteFile(Dir("in/docs/note.txt"), "note");
  const QStringList volumes = Build(Archiver(), {Dir("in/docs")}, Dir("out"));
  QDir().mkpath(Dir("elsewhere"));
  QDir().mkpath(Dir("dest"));
  ASSERT_TRUE(QFile::link(Dir("elsewhere"), Dir("dest/docs")));
  const QString error = ErrorOf(Archiver().Extract(volumes.last(), Dir("dest")));
  EXPECT_TRUE(error.contains("symbolic link")) << qPrintable(error);
  EXPECT_TRUE(QDir(Dir("elsewhere")).isEmpty());
}

TEST_F(ArchiveTest, DamagedOrMissingVolumesGiveClearErrors) {
  WriteFile(Dir("in/random.bin"), RandomBytes(100000, 11));
  WriteFile(Dir("in/text.txt"), TextBytes(100000, 12));
  const QStringList volumes = Build(Archiver(0, 80000), {Dir("in/random.bin"), Dir("in/text.txt")}, Dir("out"));
  ASSERT_EQ(volumes.size(), 3);
  QString error;

  // A damaged byte fails the CRC and leaves neither the file nor a part of it.
  ASSERT_TRUE(Ok(Archiver().Extract(volumes.last(), Dir("dest"))));
  EXPECT_EQ(ReadFile(Dir("dest/random.bin")), RandomBytes(100000, 11));
  QByteArray second = ReadFile(volumes[1]);
  second[1000] = static_cast<char>(second[1000] ^ 0x55);
  WriteFile(volumes[1], second);
  error = ErrorOf(Archiver().Extract(volumes.last(), Dir("damaged")));
  EXPECT_TRUE(error.contains("CRC") && error.contains("random.bin")) << qPrintable(error);
  EXPECT_EQ(TreeListing(Dir("damaged")), QStringList());

  QFile::rename(volumes[1], Dir("aside"));
  error = ErrorOf(Archiver().Extract(volumes.last(), Dir("missing")));
  EXPECT_TRUE(error.contains("\"disk.002\" is missing")) << qPrintable(error);

  QFile::rename(Dir("aside"), volumes[1]);
  QFile last(volumes.last());
  ASSERT_TRUE(last.resize(last.size() - 30));
  error = ErrorOf(Archiver().Extract(volumes.last(), Dir("cut")));
  EXPECT_TRUE(error.contains("disk.003")) << qPrintable(error);
  error = ErrorOf(Archiver().Extract(volumes.first(), Dir("first")));
  EXPECT_TRUE(error.contains("not the last volume")) << qPrintable(error);
}

// Extraction never replaces what the user has: a file of the same name, a
// folder of that name, or a file an earlier extraction wrote; the new file is
// written beside it as "name (2).ext", then 3, and the result counts them.
TEST_F(ArchiveTest, ExistingFilesAreKeptAndNewOnesRenamed) {
  const QStringList names = {"notes.txt", ".profile", "run", "sub/a.tar.gz", "sub/taken.txt"};
  for (const QString& name : names) WriteFile(Dir("in/" + name), name.toUtf8());
  const QStringList volumes =
      Build(Archiver(), {Dir("in/notes.txt"), Dir("in/.profile"), Dir("in/run"), Dir("in/sub")}, Dir("out"));
  for (const QString& name : names.mid(0, 4)) WriteFile(Dir("dest/" + name), "mine");
  QDir().mkpath(Dir("dest/sub/taken.txt"));

  const Result<ExtractSummary> first = Archiver().Extract(volumes.last(), Dir("dest"));
  ASSERT_TRUE(Ok(first));
  EXPECT_EQ(first->Files, 5);
  EXPECT_EQ(first->Renamed, 5);
  const Result<ExtractSummary> second = Archiver().Extract(volumes.last(), Dir("dest"));
  ASSERT_TRUE(Ok(second));
  EXPECT_EQ(second->Renamed, 5);

  struct Case {
    const char* Mine;
    const char* Second;
    const char* Third;
  };
  for (const Case& c : {Case{"notes.txt", "notes (2).txt", "notes (3).txt"},
                        Case{".profile", ".profile (2)", ".profile (3)"}, Case{"run", "run (2)", "run (3)"},
                        Case{"sub/a.tar.gz", "sub/a.tar (2).gz", "sub/a.tar (3).gz"}}) {
    SCOPED_TRACE(c.Mine);
    EXPECT_EQ(ReadFile(Dir(QString("dest/") + c.Mine)), "mine");
    const QByteArray archived = QByteArray(c.Mine);
    EXPECT_EQ(ReadFile(Dir(QString("dest/") + c.Second)), archived);
    EXPECT_EQ(ReadFile(Dir(QString("dest/") + c.Third)), archived);
  }
  EXPECT_TRUE(QFileInfo(Dir("dest/sub/taken.txt")).isDir());
  EXPECT_EQ(ReadFile(Dir("dest/sub/taken (2).txt")), "sub/taken.txt");
  EXPECT_EQ(ReadFile(Dir("dest/sub/taken (3).txt")), "sub/taken.txt");
  EXPECT_EQ(TreeListing(Dir("dest")).size(), 2 + 4 + 2 * 5);  // sub/, sub/taken.txt/, the files
}

// Extracted files get the user's default mode whatever the archive says:
// never set-uid or set-gid, never group- or world-writable, executable by the
// owner alone.
TEST_F(ArchiveTest, ExtractedFilesGetTheUsersDefaultMode) {
  const char* script = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for name, mode in [('setuid', 0o4755), ('setgid', 0o2775), ('world', 0o777), ('plain', 0o666),
                       ('private', 0o600), ('owner-exec', 0o700)]:
        info = zipfile.ZipInfo(name)
        info.create_system = 3
        info.external_attr = (0o100000 | mode) << 16
        z.writestr(info, name)
)PY";
  const ToolResult made = RunTool("python3", {"-c", script, Dir("modes.zip")});
  ASSERT_EQ(made.Code, 0) << qPrintable(made.Output);
  struct Case {
    const char* Name;
    QFile::Permissions Mask022, Mask077;
  };
  const QFile::Permissions rw = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
  const QFile::Permissions rwr = rw | QFile::ReadGroup | QFile::ReadOther;
  const QFile::Permissions x = QFile::ExeOwner | QFile::ExeUser;
  for (mode_t mask : {mode_t(022), mode_t(077)}) {
    SCOPED_TRACE(mask);
    const mode_t before = ::umask(mask);
    const QString dest = Dir(QString("dest%1").arg(mask));
    const Result<ExtractSummary> extracted = Archiver().Extract(Dir("modes.zip"), dest);
    ::umask(before);
    ASSERT_TRUE(Ok(extracted));
    for (const Case& c : {Case{"setuid", rwr | x, rw | x}, Case{"setgid", rwr | x, rw | x},
                          Case{"world", rwr | x, rw | x}, Case{"plain", rwr, rw}, Case{"private", rwr, rw},
                          Case{"owner-exec", rwr | x, rw | x}}) {
      SCOPED_TRACE(c.Name);
      const QString path = dest + '/' + c.Name;
      EXPECT_EQ(QFile::permissions(path), mask == 022 ? c.Mask022 : c.Mask077);
      struct stat st;
      ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
      EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID | S_ISVTX), 0u);
    }
  }
}

// A disk that fills during extraction leaves no part of the file it was
// writing, and the error says so and names the folder. The disk is a small
// file system of a mount namespace of this thread's own (needs root).
TEST_F(ArchiveTest, AFullDiskLeavesNoPartAndSaysSo) {
  WriteFile(Dir("in/first.bin"), RandomBytes(1000, 21));
  WriteFile(Dir("in/big.bin"), RandomBytes(4 << 20, 22));
  const QStringList volumes = Build(Archiver(0), {Dir("in/first.bin"), Dir("in/big.bin")}, Dir("out"));
  const QString disk = Dir("disk");
  QDir().mkpath(disk);
  QString skipped, error;
  QStringList left;
  std::thread thread([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=110m") != 0) {
      skipped = QString::fromLocal8Bit(std::strerror(errno));
      return;
    }
    // Room for the archive and the reserve when the checks run; then, once
    // the first file is written, the rest of the disk fills up.
    Archiver archiver;
    bool filled = false;
    archiver.SetProgress([&](qint64 done, qint64) {
      if (filled || done < 1000) return;
      filled = true;
      QFile filler(disk + "/filler");
      if (!filler.open(QIODevice::WriteOnly)) return;
      const QByteArray block(1 << 20, 'f');
      while (filler.write(block) == block.size()) {
      }
    });
    error = ErrorOf(archiver.Extract(volumes.last(), disk + "/dest"));
    left = TreeListing(disk + "/dest");
  });
  thread.join();
  if (!skipped.isEmpty()) GTEST_SKIP() << "cannot mount a small file system here: " << qPrintable(skipped);
  EXPECT_TRUE(error.contains("big.bin") && error.contains("disk is full") && error.contains(disk + "/dest"))
      << qPrintable(error);
  EXPECT_EQ(left, QStringList({"first.bin"}));
}

TEST(VolumeNames, NumbersAndTheSpannedConvention) {
  EXPECT_EQ(VolumeName(0), "disk.000");
  EXPECT_EQ(VolumeName(1), "disk.001");
  EXPECT_EQ(VolumeName(10), "disk.010");
  EXPECT_EQ(VolumeName(100), "disk.100");
  EXPECT_EQ(VolumeName(1000), "disk.1000");

  struct {
    QStringList volumes, renamed;
  } cases[] = {
      {{"disk.001", "disk.002", "disk.003"}, {"disk.z01", "disk.z02", "disk.zip_"}},
      {{"disk.001"}, {"disk.zip_"}},
      {{"disk.009", "disk.010", "disk.100", "disk.101"}, {"disk.z09", "disk.z10", "disk.z100", "disk.zip_"}},
  };
  for (const auto& c : cases) {
    QTemporaryDir dir;
    for (const QString& v : c.volumes) WriteFile(dir.filePath(v), QByteArray());
    QStringList list;
    EXPECT_TRUE(RenameVolumes(dir.path(), list));
    QStringList expected;
    for (const QString& r : c.renamed) expected << dir.path() + "/" + r;
    EXPECT_EQ(list, expected);
    for (const QString& path : expected) EXPECT_TRUE(QFile::exists(path)) << qPrintable(path);
  }
}

// Two builds and an extraction at once, sharing one Archiver's settings.
TEST_F(ArchiveTest, ConcurrentBuildsAndExtraction) {
  const QStringList paths = MakeCorpus(Dir("corpus"), 3000000);
  const Archiver archiver(3, 700000);
  const QStringList before = Build(archiver, paths, Dir("before"));
  Result<QStringList> volumes[2];
  Result<ExtractSummary> extracted;
  std::thread a([&] { volumes[0] = archiver.BuildVolumes(paths, Dir("a")); });
  std::thread b([&] { volumes[1] = archiver.BuildVolumes(paths, Dir("b")); });
  std::thread c([&] { extracted = archiver.Extract(before.last(), Dir("c")); });
  a.join();
  b.join();
  c.join();
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(Ok(volumes[i]));
  ASSERT_TRUE(Ok(extracted));
  EXPECT_EQ(CompareTrees(Dir("corpus"), Dir("c")), "");
  for (int i = 0; i < 2; ++i) {
    const QString dest = Dir(QString("check%1").arg(i));
    ASSERT_TRUE(Ok(archiver.Extract(volumes[i]->last(), dest)));
    EXPECT_EQ(CompareTrees(Dir("corpus"), dest), "");
  }
}

TEST_F(ArchiveTest, ProgressAndCancel) {
  const QStringList paths = MakeCorpus(Dir("corpus"), 2000000);
  Archiver archiver(3, 500000);
  qint64 lastDone = -1, lastTotal = -1;
  archiver.SetProgress([&](qint64 done, qint64 total) {
    EXPECT_GE(done, lastDone);
    lastDone = done;
    lastTotal = total;
  });
  const QStringList volumes = Build(archiver, paths, Dir("out"));
  EXPECT_GT(lastTotal, 2000000);
  EXPECT_EQ(lastDone, lastTotal);

  std::atomic<bool> cancel{true};
  archiver.SetCancel(&cancel);
  QString error = ErrorOf(archiver.BuildVolumes(paths, Dir("cancelled")));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_TRUE(QDir(Dir("cancelled")).isEmpty());
  error = ErrorOf(archiver.Extract(volumes.last(), Dir("x")));
  EXPECT_TRUE(error.contains("Cancelled.")) << qPrintable(error);
  EXPECT_FALSE(QDir(Dir("x")).entryList(QDir::Files | QDir::Hidden).contains("random.bin"));
}

TEST_F(ArchiveTest, KestroctlVolumesCommands) {
  const QString ctl = QStringLiteral(KESTRO_BINARY_DIR "/app/kestroctl");
  if (!QFileInfo::exists(ctl)) GTEST_SKIP() << "kestroctl is not built";
  const QStringList paths = MakeCorpus(Dir("corpus"));
  ToolResult built = RunTool(ctl, QStringList{"volumes", "build", "--level", "3", "--volume-size", "200000", "--out",
                                              Dir("out")} + paths);
  ASSERT_EQ(built.Code, 0) << qPrintable(built.Output);
  const QStringList printed = built.Output.trimmed().split('\n');
  ASSERT_GE(printed.size(), 2);
  for (int i = 0; i < printed.size(); ++i) EXPECT_TRUE(printed[i].endsWith(VolumeName(i + 1))) << qPrintable(printed[i]);

  const ToolResult extracted = RunTool(ctl, {"volumes", "extract", printed.last(), Dir("x")});
  ASSERT_EQ(extracted.Code, 0) << qPrintable(extracted.Output);
  EXPECT_EQ(CompareTrees(Dir("corpus"), Dir("x")), "");

  QFile::remove(printed.first());
  const ToolResult failed = RunTool(ctl, {"volumes", "extract", printed.last(), Dir("y")});
  EXPECT_EQ(failed.Code, 1);
  EXPECT_TRUE(failed.Output.contains("\"disk.001\" is missing")) << qPrintable(failed.Output);
  const ToolResult usage = RunTool(ctl, {"volumes", "build", "--out", Dir("z")});
  EXPECT_EQ(usage.Code, 2) << qPrintable(usage.Output);
}

}  // namespace
