#include "ArchiveFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <random>

#include "archive/VolumeNames.h"

namespace archtest {

ToolResult RunTool(const QString& program, const QStringList& args, const QString& folder) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  if (!folder.isEmpty()) process.setWorkingDirectory(folder);
  process.start(program, args);
  ToolResult result;
  if (!process.waitForStarted(30000)) {
    result.Output = program + ": did not start";
    return result;
  }
  process.closeWriteChannel();
  process.waitForFinished(-1);
  result.Output = QString::fromUtf8(process.readAll());
  result.Code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return result;
}

QByteArray TextBytes(std::size_t size, std::uint32_t seed) {
  static const char* const words[] = {"share",  "folder", "friend", "mail",   "volume", "archive", "request",
                                      "answer", "list",   "the",    "of",     "and",    "download", "Kestro"};
  std::mt19937 random(seed);
  QByteArray text;
  text.reserve(static_cast<qsizetype>(size + 16));
  int column = 0;
  while (static_cast<std::size_t>(text.size()) < size) {
    const char* word = words[random() % (sizeof words / sizeof *words)];
    text += word;
    column += static_cast<int>(qstrlen(word)) + 1;
    if (column > 70) {
      text += '\n';
      column = 0;
    } else {
      text += ' ';
    }
  }
  text.truncate(static_cast<qsizetype>(size));
  return text;
}

QStringList MakeCorpus(const QString& root, std::size_t randomSize) {
  WriteFile(root + "/empty.txt", QByteArray());
  WriteFile(root + "/text.txt", TextBytes(200000, 1));
  WriteFile(root + "/random.bin", RandomBytes(randomSize, 2));
  WriteFile(root + "/tree/a/b/deep.txt", TextBytes(5000, 3));
  WriteFile(root + "/tree/a/small.bin", RandomBytes(100, 4));
  WriteFile(root + "/tree/top.txt", TextBytes(70000, 5));
  QDir().mkpath(root + "/tree/empty folder");
  WriteFile(root + QString::fromUtf8("/Grüße ñ 日本.txt"), TextBytes(3000, 6));
  // A zip made by Info-ZIP, which our archive stores as it is.
  WriteFile(root + "/inner/a.txt", TextBytes(10000, 7));
  RunTool("zip", {"-q", "-r", root + "/packed.zip", "a.txt"}, root + "/inner");
  QDir(root + "/inner").removeRecursively();
  QStringList paths;
  for (const QString& name : QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name))
    paths << root + '/' + name;
  return paths;
}

QStringList TreeListing(const QString& root) {
  QStringList list;
  QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    list << QDir(root).relativeFilePath(path) + (QFileInfo(path).isDir() ? "/" : "");
  }
  list.sort();
  return list;
}

QString CompareTrees(const QString& expected, const QString& actual) {
  const QStringList want = TreeListing(expected), got = TreeListing(actual);
  if (want != got)
    return QStringLiteral("listing differs:\n  expected %1\n  actual   %2").arg(want.join(", "), got.join(", "));
  for (const QString& name : want)
    if (!name.endsWith('/') && ReadFile(expected + '/' + name) != ReadFile(actual + '/' + name))
      return QStringLiteral("content of %1 differs").arg(name);
  return {};
}

QString SpanNames(const QString& folder) {
  QStringList volumes;
  RenameVolumes(folder, volumes);
  const QString last = volumes.last();
  const QString zip = last.left(last.size() - 1);  // disk.zip_ -> disk.zip
  QFile::rename(last, zip);
  return zip;
}

}  // namespace archtest
