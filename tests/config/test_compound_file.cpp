// Compound files: our writer against olefile, gsf's writer against our reader,
// the storage and stream contract, and damaged or hostile files.
#include "config/Storage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "TestFiles.h"

namespace {

QByteArray Pattern(qint64 size, quint32 seed) {
  QByteArray data(size, Qt::Uninitialized);
  QRandomGenerator rng(seed);
  for (qint64 i = 0; i < size; ++i) data[i] = static_cast<char>(rng.generate() & 0xFF);
  return data;
}

// Runs a program; returns its standard output, or fails the test.
QString RunTool(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  EXPECT_TRUE(p.waitForFinished(120000)) << program.toStdString();
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  return QString::fromUtf8(p.readAllStandardOutput());
}

// What olefile reads: stream path -> (size, sha1).
std::map<QString, std::pair<qint64, QString>> OleDump(const QString& file) {
  std::map<QString, std::pair<qint64, QString>> out;
  const QString text = RunTool("/usr/bin/python3", {KESTRO_SOURCE_DIR "/tests/config/ole_dump.py", file});
  for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
    const QStringList f = line.split('\t');
    if (f.size() == 3) out[f[0]] = {f[1].toLongLong(), f[2]};
  }
  return out;
}

QString Sha1(const QByteArray& data) {
  return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

void WriteStream(TStorage& root, const QString& name, const QByteArray& data) {
  TStorageStream s(name, true, stgReadWrite, root);
  ASSERT_TRUE(s.WriteAll(data));
}

QByteArray ReadStream(TStorage& root, const QString& name) {
  TStorageStream s(name, false, stgRead, root);
  return s.ReadAll();
}

// A small valid file with two streams, for the damage tests.
QByteArray SampleImage() {
  TRootStorage root(QString(), stgReadWrite, stgExclusive, false, true);
  WriteStream(root, "Small", Pattern(300, 1));
  WriteStream(root, "Large", Pattern(9000, 2));
  return root.Bytes();
}

void Put32(QByteArray& b, qint64 at, quint32 v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
quint32 Get32(const QByteArray& b, qint64 at) {
  quint32 v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<quint8>(b[at + i]);
  return v;
}

struct RawEntry {
  QString Name;
  int Color;  // 0 red, 1 black
  quint32 Left, Right, Child;
};

// The directory of a small file (one FAT sector), read straight from the bytes.
std::vector<RawEntry> RawDirectory(const QByteArray& b) {
  const qint64 fat = (Get32(b, 0x4C) + 1) * 512;
  std::vector<RawEntry> out;
  for (quint32 s = Get32(b, 0x30); s != cfb::kEndOfChain; s = Get32(b, fat + 4 * s))
    for (int i = 0; i < 4; ++i) {
      const qint64 e = (s + 1) * 512 + i * 128;
      const int chars = qMax(0, (static_cast<quint8>(b[e + 0x40]) | (static_cast<quint8>(b[e + 0x41]) << 8)) / 2 - 1);
      out.push_back({QString::fromUtf16(reinterpret_cast<const char16_t*>(b.constData() + e), chars),
                     static_cast<quint8>(b[e + 0x43]), Get32(b, e + 0x44), Get32(b, e + 0x48), Get32(b, e + 0x4C)});
    }
  return out;
}

// Black height of a sibling tree, or -1 when it breaks the order or the red-black rules.
int CheckTree(const std::vector<RawEntry>& d, quint32 node, const QString* low, const QString* high, bool parentRed) {
  if (node == cfb::kNoStream) return 1;
  const RawEntry& e = d[node];
  if ((low && cfb::CompareNames(*low, e.Name) >= 0) || (high && cfb::CompareNames(e.Name, *high) >= 0)) return -1;
  if (parentRed && e.Color == 0) return -1;
  const int l = CheckTree(d, e.Left, low, &e.Name, e.Color == 0);
  const int r = CheckTree(d, e.Right, &e.Name, high, e.Color == 0);
  if (l < 0 || l != r) return -1;
  return l + (e.Color == 1 ? 1 : 0);
}

}  // namespace

TEST(CompoundFile, DirectoryIsAValidRedBlackTree) {
  for (int n = 1; n <= 40; ++n) {
    TRootStorage root(QString(), stgReadWrite, stgExclusive, false, true);
    for (int i = 0; i < n; ++i) WriteStream(root, QString("s%1").arg(i * 7919 % 1000), "x");
    const std::vector<RawEntry> dir = RawDirectory(root.Bytes());
    const quint32 top = dir[0].Child;
    ASSERT_NE(top, cfb::kNoStream);
    EXPECT_EQ(dir[top].Color, 1) << n;
    EXPECT_GT(CheckTree(dir, top, nullptr, nullptr, false), 0) << n << " streams";
  }
}

TEST(CompoundFile, OlefileReadsWhatWeWrite) {
  QTemporaryDir dir;
  // Sizes around the mini-stream cutoff and the sector size; one stream large
  // enough that the FAT needs DIFAT sectors (more than 109 FAT sectors).
  const std::vector<std::pair<QString, qint64>> streams = {
      {"Empty", 0},       {"One", 1},         {"MiniEdge", 4095}, {"Cutoff", 4096},
      {"Odd", 4097},      {"Sector", 512},    {"Small", 200},     {"Big", 9 * 1024 * 1024 + 17},
      {"Ünïcode", 1000}, {"Medium", 3 * 1024 * 1024}};
  const QString path = dir.filePath("ours.cfb");
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, false, true);
    quint32 seed = 10;
    for (const auto& [name, size] : streams) WriteStream(root, name, Pattern(size, seed++));
    // Enough further streams for a directory of several sectors and a deep tree.
    for (int i = 0; i < 40; ++i) WriteStream(root, QString("S%1").arg(i), Pattern(i * 37, 100 + i));
    root.Commit();
  }
  const auto dump = OleDump(path);
  EXPECT_EQ(dump.size(), streams.size() + 40);
  quint32 seed = 10;
  for (const auto& [name, size] : streams) {
    const QByteArray expected = Pattern(size, seed++);
    ASSERT_TRUE(dump.count(name)) << name.toStdString();
    EXPECT_EQ(dump.at(name).first, size) << name.toStdString();
    EXPECT_EQ(dump.at(name).second, Sha1(expected)) << name.toStdString();
  }
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(dump.at(QString("S%1").arg(i)).second, Sha1(Pattern(i * 37, 100 + i)));

  // And we read our own file back byte for byte.
  TRootStorage again(path, stgRead, stgDenyWrite, false, false);
  seed = 10;
  for (const auto& [name, size] : streams) EXPECT_EQ(ReadStream(again, name), Pattern(size, seed++));
}

TEST(CompoundFile, WeReadWhatGsfWrites) {
  QTemporaryDir dir;
  const std::vector<std::pair<QString, qint64>> files = {
      {"tiny", 3}, {"edge", 4095}, {"cutoff", 4096}, {"mid", 70000}, {"large", 2 * 1024 * 1024 + 5}};
  QStringList args{"createole", dir.filePath("gsf.ole")};
  quint32 seed = 50;
  for (const auto& [name, size] : files) {
    WriteFile(dir.filePath(name), Pattern(size, seed++));
    args << dir.filePath(name);
  }
  RunTool("/usr/bin/gsf", args);
  TRootStorage root(dir.filePath("gsf.ole"), stgRead, stgExclusive, false, false);
  EXPECT_EQ(root.Elements().size(), files.size());
  seed = 50;
  for (const auto& [name, size] : files) EXPECT_EQ(ReadStream(root, name), Pattern(size, seed++)) << name.toStdString();
}

TEST(CompoundFile, ModeWords) {
  EXPECT_EQ(StorageMode(stgReadWrite, stgExclusive, false, false), 0x12u);
  EXPECT_EQ(StorageMode(stgReadWrite, stgExclusive, false, true), 0x1012u);
  EXPECT_EQ(StorageMode(stgRead, stgDenyNone, true, false), 0x10040u);
  EXPECT_EQ(StorageMode(stgWrite, stgDenyWrite, false, false), 0x21u);
  EXPECT_EQ(StorageMode(stgRead, stgDenyRead, false, false), 0x30u);
}

TEST(CompoundFile, OpenErrorsCarryTheirMessages) {
  QTemporaryDir dir;
  const QString plain = dir.filePath("plain.txt");
  WriteFile(plain, "just some text, no compound file at all");
  struct Case {
    QString name;
    QString expected;
  };
  const std::vector<Case> cases = {
      {plain, "not a storage file: " + StgResultText(stg::kFalse)},
      {QString(), "no storage name given: " + StgResultText(stg::kFail)},
      {dir.filePath("missing.cfb"), "not a storage file: " + StgResultText(stg::kFileNotFound)},
  };
  for (const Case& c : cases) {
    try {
      TRootStorage root(c.name, stgReadWrite, stgExclusive, false, false);
      ADD_FAILURE() << "opened " << c.name.toStdString();
    } catch (const ECDStorageError& e) {
      EXPECT_EQ(e.Message(), c.expected);
    }
  }
  // Every code we use has a text of its own.
  for (StgResult code : {stg::kOk, stg::kFalse, stg::kFail, stg::kInvalidFunction, stg::kFileNotFound,
                         stg::kPathNotFound, stg::kAccessDenied, stg::kInsufficientMemory, stg::kSeekError,
                         stg::kWriteFault, stg::kReadFault, stg::kShareViolation, stg::kLockViolation,
                         stg::kFileAlreadyExists, stg::kInvalidParameter, stg::kMediumFull, stg::kInvalidHeader,
                         stg::kInvalidName, stg::kInvalidFlag, stg::kDocfileCorrupt, stg::kDocfileTooLarge})
    EXPECT_FALSE(StgResultText(code).startsWith("Unknown")) << code;
}

TEST(CompoundFile, StreamErrorsAndExclusiveOpens) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.cfb");
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, false, true);
    WriteStream(root, "Data", "hello");
  }
  TRootStorage root(path, stgReadWrite, stgExclusive, false, false);
  // The same file a second time, in any mode, while it is held exclusively.
  for (int share : {stgExclusive, stgDenyNone})
    EXPECT_THROW(TRootStorage(path, stgRead, share, false, false), ECDStorageError);
  EXPECT_THROW(TRootStorage(path, stgReadWrite, stgExclusive, false, true), ECDStorageError);

  try {
    TStorageStream s("Nothing", false, stgReadWrite, root);
    ADD_FAILURE();
  } catch (const ECDStreamError& e) {
    EXPECT_EQ(e.Message(), "stream open failed: " + StgResultText(stg::kFileNotFound));
  }
  try {
    TStorageStream s("", false, stgReadWrite, root);
    ADD_FAILURE();
  } catch (const ECDStreamError& e) {
    EXPECT_EQ(e.Message(), "no stream name given: " + StgResultText(stg::kFail));
  }
  EXPECT_THROW(TStorageStream("bad/name", true, stgReadWrite, root), ECDStreamError);
  TStorageStream first("data", false, stgReadWrite, root);  // names compare without case
  EXPECT_THROW(TStorageStream("Data", false, stgRead, root), ECDStreamError);
}

TEST(CompoundFile, SharedReadersAndReplacingCreate) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.cfb");
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, false, true);
    WriteStream(root, "Old", "old content");
  }
  {
    TRootStorage r1(path, stgRead, stgDenyWrite, false, false);
    TRootStorage r2(path, stgRead, stgDenyWrite, false, false);  // readers that deny writing share
    EXPECT_THROW(TRootStorage(path, stgReadWrite, stgDenyWrite, false, false), ECDStorageError);
  }
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, false, true);  // replaces the file
    WriteStream(root, "New", "new");
  }
  TRootStorage root(path, stgRead, stgExclusive, false, false);
  ASSERT_EQ(root.Elements().size(), 1u);
  EXPECT_EQ(root.Elements()[0].Path, "New");
}

TEST(CompoundFile, TransactedKeepsTheFileUntilCommit) {
  QTemporaryDir dir;
  const QString path = dir.filePath("t.cfb");
  { TRootStorage root(path, stgReadWrite, stgExclusive, false, true); }
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, true, false);
    WriteStream(root, "Lost", "x");
  }
  EXPECT_TRUE(TRootStorage(path, stgRead, stgExclusive, false, false).Elements().empty());
  {
    TRootStorage root(path, stgReadWrite, stgExclusive, true, false);
    WriteStream(root, "Kept", "x");
    root.Commit();
  }
  EXPECT_EQ(TRootStorage(path, stgRead, stgExclusive, false, false).Elements().size(), 1u);
}

TEST(CompoundFile, ReadWriteSeekSetSizeRaiseNothing) {
  TRootStorage root(QString(), stgReadWrite, stgExclusive, false, true);
  TStorageStream s("S", true, stgReadWrite, root);
  EXPECT_EQ(s.Write("abcdef", 6), 6);
  EXPECT_EQ(s.Seek(0, 2), 6);  // origin 2, offset 0: the size
  char buf[16];
  EXPECT_EQ(s.Read(buf, 4), 0);  // at the end
  EXPECT_EQ(s.LastResult(), stg::kOk);
  EXPECT_EQ(s.Seek(-2, 1), 4);
  EXPECT_EQ(s.Read(buf, 16), 2);  // past the end: what is there
  EXPECT_EQ(std::memcmp(buf, "ef", 2), 0);
  EXPECT_EQ(s.Seek(-1, 0), -1);
  EXPECT_EQ(s.LastResult(), stg::kInvalidFunction);
  EXPECT_EQ(s.Seek(0, 7), -1);
  EXPECT_EQ(s.Seek(10, 0), 10);  // a write past the end fills the gap with zeros
  EXPECT_EQ(s.Write("Z", 1), 1);
  EXPECT_EQ(s.Size(), 11);
  s.SetSize(3);
  EXPECT_EQ(s.LastResult(), stg::kOk);
  EXPECT_EQ(s.Seek(0, 2), 3);
  s.SetSize(-5);
  EXPECT_EQ(s.LastResult(), stg::kInvalidParameter);
  s.SetSize(cfb::kMaxStreamSize + 1);
  EXPECT_EQ(s.LastResult(), stg::kMediumFull);
  EXPECT_EQ(s.Seek(cfb::kMaxStreamSize, 0), cfb::kMaxStreamSize);
  EXPECT_EQ(s.Write("x", 1), 0);
  EXPECT_EQ(s.LastResult(), stg::kMediumFull);
  EXPECT_EQ(s.Read(nullptr, -1), 0);
  EXPECT_EQ(s.LastResult(), stg::kInvalidParameter);

  TStorageStream w("W", true, stgWrite, root);
  EXPECT_EQ(w.Read(buf, 1), 0);
  EXPECT_EQ(w.LastResult(), stg::kAccessDenied);
}

TEST(CompoundFile, DamagedAndHostileFilesGiveErrors) {
  const QByteArray good = SampleImage();
  ASSERT_NO_THROW(TRootStorage::FromBytes(good));
  const quint32 firstDir = Get32(good, 0x30);
  const qint64 dir = (firstDir + 1) * 512;  // root entry; entries 1 and 2 follow
  // Which entry holds which stream depends on the tree order: find them.
  auto entryOf = [&](const char* ascii) {
    for (int i = 1; i < 4; ++i)
      if (good[dir + i * 128] == ascii[0]) return dir + i * 128;
    return qint64(-1);
  };
  const qint64 large = entryOf("L");
  const qint64 small = entryOf("S");
  ASSERT_GT(large, 0);
  ASSERT_GT(small, 0);
  const quint32 largeStart = Get32(good, large + 0x74);
  const qint64 fat = (Get32(good, 0x4C) + 1) * 512;

  struct Case {
    const char* what;
    std::function<void(QByteArray&)> damage;
    bool rootFails;  // else: the root opens, the stream fails
  };
  const std::vector<Case> cases = {
      {"empty file", [](QByteArray& b) { b.clear(); }, true},
      {"only the signature", [](QByteArray& b) { b.truncate(8); }, true},
      {"half a header", [](QByteArray& b) { b.truncate(300); }, true},
      {"header only", [](QByteArray& b) { b.truncate(512); }, true},
      {"wrong byte order", [](QByteArray& b) { b[0x1C] = 0; }, true},
      {"unknown version", [](QByteArray& b) { b[0x1A] = 7; }, true},
      {"absurd FAT sector count", [](QByteArray& b) { Put32(b, 0x2C, 0xFFFFFFF0u); }, true},
      {"FAT sector out of range", [](QByteArray& b) { Put32(b, 0x4C, 0x00FFFFFFu); }, true},
      {"directory out of range", [](QByteArray& b) { Put32(b, 0x30, 0x7FFFFFFFu); }, true},
      {"directory chain loops", [&](QByteArray& b) { Put32(b, fat + 4 * firstDir, firstDir); }, true},
      {"tree loops back to the root's child",
       [&](QByteArray& b) { Put32(b, dir + 128 + 0x44, Get32(b, dir + 0x4C)); }, true},
      {"child out of range", [&](QByteArray& b) { Put32(b, dir + 0x4C, 5000); }, true},
      {"root entry missing", [&](QByteArray& b) { b[dir + 0x42] = 2; }, true},
      {"absurd stream size", [&](QByteArray& b) { Put32(b, large + 0x78, 0xFFFFFFF0u); }, true},
      {"stream chain loops", [&](QByteArray& b) { Put32(b, fat + 4 * (largeStart + 3), largeStart); }, false},
      {"stream chain leaves the file", [&](QByteArray& b) { Put32(b, fat + 4 * largeStart, 0x00ABCDEFu); }, false},
      {"stream chain ends early", [&](QByteArray& b) { Put32(b, fat + 4 * largeStart, cfb::kEndOfChain); }, false},
      {"mini stream chain out of range", [&](QByteArray& b) { Put32(b, small + 0x74, 0x00FFFFFFu); }, false},
      {"truncated in the stream", [&](QByteArray& b) { b.truncate((largeStart + 13) * 512); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QByteArray bad = good;
    c.damage(bad);
    std::unique_ptr<TRootStorage> root;
    try {
      root = TRootStorage::FromBytes(bad);
    } catch (const ECDStorageError& e) {
      EXPECT_TRUE(c.rootFails) << e.what();
      continue;
    }
    EXPECT_FALSE(c.rootFails);
    try {
      ReadStream(*root, "Large");
      ReadStream(*root, "Small");
      ADD_FAILURE() << "every stream read";
    } catch (const ECDStreamError& e) {
      EXPECT_TRUE(QString(e.what()).startsWith("stream open failed: ")) << e.what();
    }
  }
}

TEST(CompoundFile, RandomDamageNeverCrashes) {
  const QByteArray good = SampleImage();
  QRandomGenerator rng(4242);
  for (int round = 0; round < 3000; ++round) {
    QByteArray bad = good;
    const int flips = 1 + static_cast<int>(rng.bounded(8));
    for (int i = 0; i < flips; ++i) {
      // Mostly the header, FAT and directory, where the damage matters.
      const qint64 at = rng.bounded(100) < 80 ? rng.bounded(qMin<qint64>(bad.size(), 2048)) : rng.bounded(bad.size());
      bad[at] = static_cast<char>(rng.generate() & 0xFF);
    }
    if (rng.bounded(10) == 0) bad.truncate(rng.bounded(bad.size()));
    try {
      auto root = TRootStorage::FromBytes(bad);
      for (const auto& e : root->Elements()) {
        if (e.IsStorage || e.Path.contains('/')) continue;
        try {
          TStorageStream s(e.Path, false, stgRead, *root);
          EXPECT_LE(s.ReadAll().size(), bad.size());
        } catch (const ECDStreamError&) {
        }
      }
    } catch (const ECDStorageError&) {
    }
  }
}
