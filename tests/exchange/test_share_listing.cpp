// The listing that answers "list", and the paths that "download" may reach.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "TestFiles.h"

#include "exchange/ShareListing.h"

TEST(ShareListing, FolderListingHasOneLinePerFile) {
  QTemporaryDir dir;
  const QString root = dir.path();
  for (const QString& missing : {root + "/missing", QString()}) {
    const Result<QString> listing = FolderListing(missing);
    ASSERT_FALSE(listing) << qPrintable(missing);
    EXPECT_EQ(listing.error(), "Disk or directory not exists or is inaccessible.");
  }
  EXPECT_EQ(FolderListing(root), "");
  Touch(root + "/a.txt", 1536);
  Touch(root + "/b c.bin", 10);
  Touch(root + "/Error: not a marker", 2048);  // a name is only a name
  QDir(root).mkdir("sub");
  Touch(root + "/sub/inner", 5);
  const Result<QString> listing = FolderListing(root);
  ASSERT_TRUE(listing);
  QStringList lines = listing->split("\r\n");
  EXPECT_EQ(lines.takeLast(), "");  // CR LF after the last line too
  lines.sort();
  EXPECT_EQ(lines, QStringList({"Error: not a marker\t2KB", "a.txt\t1KB", "b c.bin\t0KB"}));
}

TEST(ShareListing, ResolveSharePathStaysInsideTheShare) {
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
      // The share itself is no file of it; a folder inside it is.
      {".", share, ""},
      {"./", share, ""},
      {"sub/..", share, ""},
      {"Docs\\sub\\..", "docs>" + share, ""},
      {"sub/../.", share, ""},
      {"missing/..", share, ""},
      {"Docs\\.", "docs>" + share + "/", ""},
      {"sub", share, share + "/sub"},
      {"file.txt", "\r\n" + share, ""},  // an empty line grants nothing
      {"", share, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveSharePath(c.request, c.shareText), c.result) << c.request.toStdString();
}
