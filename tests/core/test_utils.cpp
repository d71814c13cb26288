#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <set>

#include "core/Utils.h"

namespace {
void Touch(const QString& path, int size = 0) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(size, 'x'));
}
}  // namespace

TEST(Utils, SplitAtTab) {
  QString line = "a\tb\tc", second;
  SplitAtTab(line, second);
  EXPECT_EQ(line, "a");
  EXPECT_EQ(second, "b\tc");
  line = "no tab";
  SplitAtTab(line, second);
  EXPECT_EQ(line, "");
  EXPECT_EQ(second, "no tab");
}

TEST(Utils, SplitJobTag) {
  struct {
    const char* tag;
    const char* id;
    qint64 first, second;
  } cases[] = {
      {"20260301120000001.5000000.3", "20260301120000001", 5000000, 3},
      {"  x.1 ", "x", 0, 0},
      {"20260301120000001", "", 0, 0},
      {"a..", "a", 0, 0},
      {"a.5.", "a", 5, 0},
      {"a.6000000000.2", "a", 6000000000, 2},  // archives beyond 2 GiB keep their size
  };
  for (const auto& c : cases) {
    const JobTag t = SplitJobTag(c.tag);
    EXPECT_EQ(t.Id, c.id) << c.tag;
    EXPECT_EQ(t.First, c.first) << c.tag;
    EXPECT_EQ(t.Second, c.second) << c.tag;
  }
  for (const char* bad : {"a.12x.3", "a.1.three", "a.+1.2", "a. 1.2"}) {
    try {
      SplitJobTag(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_TRUE(QString(e.what()).startsWith("'") && QString(e.what()).endsWith("' is not a valid integer value"))
          << e.what();
    }
  }
  EXPECT_THROW(SplitJobTag("a.12x.3"), EConvertError);
}

TEST(Utils, FormatsAndNames) {
  const QString sep = QLocale::system().groupSeparator();
  EXPECT_EQ(FormatSizeKB(0), "0KB");
  EXPECT_EQ(FormatSizeKB(1023), "0KB");
  EXPECT_EQ(FormatSizeKB(1536), "1KB");
  EXPECT_EQ(FormatSizeKB(-1), "0KB");
  EXPECT_EQ(FormatSizeKB(1048576), "1" + sep + "024KB");
  EXPECT_EQ(FormatSizeKB(1024LL * 1234567), "1" + sep + "234" + sep + "567KB");

  EXPECT_EQ(VolumeName(0), "disk.000");
  EXPECT_EQ(VolumeName(1), "disk.001");
  EXPECT_EQ(VolumeName(10), "disk.010");
  EXPECT_EQ(VolumeName(100), "disk.100");
  EXPECT_EQ(VolumeName(1000), "disk.1000");

  const char* names[] = {"Error", "Active", "Done", "Stopped", ""};
  for (int code = 0; code <= 4; ++code) EXPECT_EQ(StateName(code), names[code]);
  EXPECT_EQ(StateName(-1), "");

  EXPECT_EQ(TrimText(" \t\r\nabc \x01"), "abc");
}

TEST(Utils, NewStampIsStrictlyIncreasing) {
  QString previous = NewStamp();
  ASSERT_EQ(previous.size(), 17);
  EXPECT_TRUE(previous.startsWith(QDateTime::currentDateTime().toString("yyyyMM")));
  std::set<QString> seen{previous};
  for (int i = 0; i < 5000; ++i) {
    const QString next = NewStamp();
    ASSERT_EQ(next.size(), 17);
    ASSERT_GT(next, previous);
    previous = next;
  }
}

TEST(Utils, FolderFunctions) {
  QTemporaryDir dir;
  const QString root = dir.path();
  EXPECT_EQ(FolderListing(root + "/missing"), "Error: Disk or directory not exists or is inaccessible.");
  EXPECT_EQ(FolderListing(root), "");
  Touch(root + "/a.txt", 1536);
  Touch(root + "/b c.bin", 10);
  QDir(root).mkdir("sub");
  Touch(root + "/sub/inner", 5);
  QStringList lines = FolderListing(root).split("\r\n");
  EXPECT_EQ(lines.takeLast(), "");  // CR LF after the last line too
  lines.sort();
  EXPECT_EQ(lines, QStringList({"a.txt\t1KB", "b c.bin\t0KB"}));
  EXPECT_EQ(FolderSize(root), 1546);
  EXPECT_EQ(FolderSize(root + "/missing"), 0);
  QStringList list;
  EXPECT_TRUE(ListFolder(root, list));
  EXPECT_EQ(list.size(), 3);
  EXPECT_FALSE(ListFolder(root + "/missing", list));
  EXPECT_TRUE(list.isEmpty());

  EXPECT_TRUE(DeletePath(root + "/sub"));
  EXPECT_FALSE(QDir(root + "/sub").exists());
  EXPECT_TRUE(DeletePath(root + "/a.txt"));
  EXPECT_FALSE(QFile::exists(root + "/a.txt"));
}

TEST(Utils, RenameVolumes) {
  struct {
    QStringList volumes, renamed;
  } cases[] = {
      {{"disk.001", "disk.002", "disk.003"}, {"disk.z01", "disk.z02", "disk.zip_"}},
      {{"disk.001"}, {"disk.zip_"}},
      {{"disk.009", "disk.010", "disk.100", "disk.101"}, {"disk.z09", "disk.z10", "disk.z100", "disk.zip_"}},
  };
  for (const auto& c : cases) {
    QTemporaryDir dir;
    for (const QString& v : c.volumes) Touch(dir.filePath(v));
    QStringList list;
    EXPECT_TRUE(RenameVolumes(dir.path(), list));
    QStringList expected;
    for (const QString& r : c.renamed) expected << dir.path() + "/" + r;
    EXPECT_EQ(list, expected);
    for (const QString& path : expected) EXPECT_TRUE(QFile::exists(path)) << path;
  }
}

TEST(Utils, ResolveSharePathStaysInsideTheShare) {
  QTemporaryDir dir, outside;
  const QString share = dir.path() + "/share";
  QDir().mkpath(share + "/sub");
  Touch(share + "/file.txt");
  Touch(share + "/sub/deep.txt");
  Touch(outside.path() + "/secret");
  QFile::link(outside.path(), share + "/escape");
  QFile::link(outside.path() + "/secret", share + "/secret-link");

  struct {
    QString request, shareText, result;
  } cases[] = {
      {"file.txt", share, share + "/file.txt"},
      {" file.txt ", share, share + "/file.txt"},
      {"missing.txt", share, share + "/missing.txt"},  // missing files resolve; the archiver skips them
      {"Docs\\file.txt", "docs>" + share + "\\", share + "/file.txt"},
      {"DOCS\\sub\\deep.txt", "x>/nowhere\r\ndocs > " + share, share + "/sub/deep.txt"},
      {"file.txt", "docs>" + share, ""},  // no line without a name
      {"other\\file.txt", "docs>" + share, ""},
      {"..\\..\\etc\\passwd", share, ""},
      {"../../etc/passwd", share, ""},
      {"sub\\..\\..\\x", share, ""},
      {"/etc/passwd", share, ""},
      {"docs\\/etc/passwd", "docs>" + share, ""},
      {"escape/secret", share, ""},
      {"secret-link", share, ""},
      {"file.txt", "\r\n" + share, ""},  // an empty line grants nothing
      {"", share, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveSharePath(c.request, c.shareText), c.result) << c.request.toStdString();
}
