// Zip64: a file of more than 4 GiB and more than 65535 entries, with 7-Zip as
// the judge. Slow: gigabytes are deflated, extracted twice and compared.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>

#include "ArchiveFixture.h"
#include "archive/Archiver.h"

using namespace archtest;

namespace {

constexpr qint64 kBigSize = (4LL << 30) + (300LL << 20);  // 4.3 GiB

// Sparse: holes read as zeros, with random patches before, across and after 4 GiB.
void MakeSparseFile(const QString& path) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_TRUE(file.resize(kBigSize));
  for (qint64 at : {0LL, (1LL << 30) + 7, (4LL << 30) - 50000, kBigSize - 100000}) {
    file.seek(at);
    file.write(RandomBytes(100000, static_cast<std::uint32_t>(at)));
  }
}

bool SameFile(const QString& a, const QString& b) { return RunTool("cmp", {a, b}).Code == 0; }

TEST(Zip64Test, FileOverFourGiBThroughSplitVolumes) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const QString root = temp.path();
  const qint64 free = QStorageInfo(root).bytesAvailable();
  if (free < 2 * kBigSize + (2LL << 30)) GTEST_SKIP() << "needs about 11 GiB free, has " << free;

  MakeSparseFile(root + "/in/big.bin");
  WriteFile(root + "/in/after.txt", TextBytes(100000, 1));
  const Archiver archiver(1, 2000000);
  const Result<QStringList> built = archiver.BuildVolumes({root + "/in/big.bin", root + "/in/after.txt"}, root + "/out");
  ASSERT_TRUE(Ok(built));
  const QStringList& volumes = *built;
  ASSERT_GE(volumes.size(), 2);
  const Result<std::vector<ArchiveEntryInfo>> listed = archiver.List(volumes.last());
  ASSERT_TRUE(Ok(listed));
  const std::vector<ArchiveEntryInfo>& entries = *listed;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Size, static_cast<quint64>(kBigSize));

  ASSERT_TRUE(Ok(archiver.Extract(volumes.last(), root + "/ours")));
  EXPECT_TRUE(SameFile(root + "/in/big.bin", root + "/ours/big.bin"));
  EXPECT_EQ(ReadFile(root + "/ours/after.txt"), TextBytes(100000, 1));
  QDir(root + "/ours").removeRecursively();

  const QString zip = SpanNames(root + "/out");
  const ToolResult x = RunTool("7zz", {"x", "-y", "-o" + root + "/7z", zip});
  ASSERT_EQ(x.Code, 0) << qPrintable(x.Output);
  EXPECT_TRUE(SameFile(root + "/in/big.bin", root + "/7z/big.bin"));
  EXPECT_EQ(ReadFile(root + "/7z/after.txt"), TextBytes(100000, 1));
}

TEST(Zip64Test, MoreThan65535Entries) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const QString root = temp.path();
  constexpr int kFiles = 66000;
  for (int i = 0; i < kFiles; ++i)
    WriteFile(QString("%1/in/many/d%2/f%3.txt").arg(root).arg(i / 1000).arg(i), QByteArray::number(i));
  const Archiver archiver(3, 1000000);
  const Result<QStringList> built = archiver.BuildVolumes({root + "/in/many"}, root + "/out");
  ASSERT_TRUE(Ok(built));
  const QStringList& volumes = *built;
  ASSERT_TRUE(Ok(archiver.Extract(volumes.last(), root + "/ours")));
  EXPECT_EQ(CompareTrees(root + "/in", root + "/ours"), "");

  const ToolResult t = RunTool("7zz", {"t", SpanNames(root + "/out")});
  ASSERT_EQ(t.Code, 0) << qPrintable(t.Output.right(2000));
  EXPECT_TRUE(t.Output.contains(QString("Files: %1").arg(kFiles))) << qPrintable(t.Output.right(500));
}

}  // namespace
