// Building 10 MB volumes at level 3 from a generated mixed corpus of about
// 200 MB, against Info-ZIP's `zip -3 -s 10m` on the same corpus in the same run.
// Usage: bench_archive [RUNS] [WORK_FOLDER]
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/resource.h>
#include <vector>

#include "archive/Archiver.h"

namespace {

void Write(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) qFatal("cannot write %s", qPrintable(path));
}

QByteArray Text(std::size_t size, std::mt19937& random) {
  static const char* const words[] = {"share", "folder", "friend", "mail", "volume", "archive", "request", "answer",
                                      "list", "the", "of", "and", "download", "to", "a", "is", "with", "from",
                                      "2024", "report", "budget", "meeting", "notes", "photo", "draft", "final"};
  QByteArray text;
  text.reserve(static_cast<qsizetype>(size));
  while (static_cast<std::size_t>(text.size()) < size) {
    text += words[random() % (sizeof words / sizeof *words)];
    text += (random() % 12 == 0) ? '\n' : ' ';
    if (random() % 50 == 0) text += QByteArray::number(static_cast<int>(random() % 100000));
  }
  text.truncate(static_cast<qsizetype>(size));
  return text;
}

QByteArray Random(std::size_t size, std::mt19937& random) {
  QByteArray bytes(static_cast<qsizetype>(size), '\0');
  auto* words = reinterpret_cast<std::uint32_t*>(bytes.data());
  for (std::size_t i = 0; i < size / 4; ++i) words[i] = random();
  return bytes;
}

// About 200 MB: large text files, random (incompressible) files, and many small files.
qint64 MakeCorpus(const QString& root) {
  std::mt19937 random(20240601);
  qint64 total = 0;
  const auto put = [&](const QString& path, const QByteArray& data) {
    Write(root + '/' + path, data);
    total += data.size();
  };
  for (int i = 0; i < 8; ++i) put(QString("text/document-%1.txt").arg(i), Text(10 << 20, random));
  for (int i = 0; i < 4; ++i) put(QString("random/media-%1.bin").arg(i), Random(15 << 20, random));
  for (int i = 0; i < 3000; ++i)
    put(QString("small/d%1/file-%2.%3").arg(i / 100).arg(i).arg(i % 3 ? "txt" : "dat"),
        i % 3 ? Text(10000 + random() % 20000, random) : Random(5000 + random() % 20000, random));
  return total;
}

qint64 FolderBytes(const QString& folder) {
  qint64 total = 0;
  for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files)) total += info.size();
  return total;
}

// Processor seconds (user and system) of this process or of its finished children.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray LoadAverage() {
  QFile file("/proc/loadavg");
  return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').mid(0, 3).join(' ') : QByteArray("?");
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  QTemporaryDir temp(argc > 2 ? QString::fromLocal8Bit(argv[2]) + "/bench-archive-XXXXXX" : QString());
  if (!temp.isValid()) qFatal("no temporary folder");
  const QString corpus = temp.path() + "/corpus";
  std::printf("generating corpus ... ");
  std::fflush(stdout);
  const qint64 input = MakeCorpus(corpus);
  std::printf("%.1f MB\n", input / 1e6);
  const QStringList paths = {corpus + "/text", corpus + "/random", corpus + "/small"};

  std::vector<double> ours, infoZip, oursCpu, infoZipCpu;
  qint64 oursBytes = 0, infoZipBytes = 0;
  int oursVolumes = 0;
  for (int run = 0; run < runs; ++run) {
    const QString zipOut = temp.path() + "/infozip", ourOut = temp.path() + "/ours";
    QDir(zipOut).removeRecursively();
    QDir(ourOut).removeRecursively();
    QDir().mkpath(zipOut);

    QElapsedTimer clock;
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    clock.start();
    QProcess zip;
    zip.setWorkingDirectory(corpus);
    zip.start("zip", {"-q", "-r", "-3", "-s", "10m", zipOut + "/arch.zip", "text", "random", "small"});
    if (!zip.waitForFinished(-1) || zip.exitCode() != 0) qFatal("zip failed: %s", zip.readAllStandardError().constData());
    infoZip.push_back(clock.nsecsElapsed() / 1e9);
    infoZipCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - cpu);
    infoZipBytes = FolderBytes(zipOut);

    cpu = CpuSeconds(RUSAGE_SELF);
    clock.restart();
    const Result<QStringList> volumes = Archiver(3, 10000000).BuildVolumes(paths, ourOut);
    if (!volumes) qFatal("build failed: %s", qPrintable(volumes.error()));
    ours.push_back(clock.nsecsElapsed() / 1e9);
    oursCpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu);
    oursBytes = FolderBytes(ourOut);
    oursVolumes = volumes->size();
    std::printf("run %d: ours %.3f s (cpu %.3f s), Info-ZIP %.3f s (cpu %.3f s), ratio %.3f\n", run + 1, ours.back(),
                oursCpu.back(), infoZip.back(), infoZipCpu.back(), ours.back() / infoZip.back());
    std::fflush(stdout);
  }

  // The output must stay one valid archive: 7-Zip tests it under the spanned names.
  const QString ourOut = temp.path() + "/ours";
  QStringList names = QDir(ourOut).entryList(QDir::Files, QDir::Name);
  for (int i = 0; i < names.size(); ++i)
    QFile::rename(ourOut + '/' + names[i],
                  ourOut + (i + 1 < names.size() ? QString("/disk.z%1").arg(i + 1, 2, 10, QChar('0')) : QString("/disk.zip")));
  QProcess check;
  check.start("7zz", {"t", ourOut + "/disk.zip"});
  check.waitForFinished(-1);
  const bool valid = check.exitCode() == 0;

  std::printf("corpus %.1f MB; ours %d volumes, %.1f MB; Info-ZIP %.1f MB; 7-Zip test of ours: %s\n", input / 1e6,
              oursVolumes, oursBytes / 1e6, infoZipBytes / 1e6, valid ? "ok" : "FAILED");
  std::printf("median of %d runs: ours %.3f s, Info-ZIP %.3f s, ratio ours/Info-ZIP %.3f (must < 1.0, goal < 0.6)\n",
              runs, Median(ours), Median(infoZip), Median(ours) / Median(infoZip));
  std::printf("processor time, median: ours %.3f s, Info-ZIP %.3f s (wall ratio depends on free cores; load %s)\n",
              Median(oursCpu), Median(infoZipCpu), qPrintable(QString::fromLatin1(LoadAverage())));
  return valid ? 0 : 1;
}
