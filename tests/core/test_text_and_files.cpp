#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "TestFiles.h"

#include "core/FileUtils.h"
#include "core/TextUtils.h"

TEST(TextUtils, SplitAtTab) {
  QString line = "a\tb\tc", second;
  SplitAtTab(line, second);
  EXPECT_EQ(line, "a");
  EXPECT_EQ(second, "b\tc");
  line = "no tab";
  SplitAtTab(line, second);
  EXPECT_EQ(line, "");
  EXPECT_EQ(second, "no tab");
}

TEST(TextUtils, SizesAndTrimming) {
  const QString sep = QLocale::system().groupSeparator();
  EXPECT_EQ(FormatSizeKB(0), "0KB");
  EXPECT_EQ(FormatSizeKB(1023), "0KB");
  EXPECT_EQ(FormatSizeKB(1536), "1KB");
  EXPECT_EQ(FormatSizeKB(-1), "0KB");
  EXPECT_EQ(FormatSizeKB(1048576), "1" + sep + "024KB");
  EXPECT_EQ(FormatSizeKB(1024LL * 1234567), "1" + sep + "234" + sep + "567KB");

  EXPECT_EQ(TrimText(" \t\r\nabc \x01"), "abc");
}

TEST(FileUtils, FolderFunctions) {
  QTemporaryDir dir;
  const QString root = dir.path();
  Touch(root + "/a.txt", 1536);
  Touch(root + "/b c.bin", 10);
  QDir(root).mkdir("sub");
  Touch(root + "/sub/inner", 5);
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
