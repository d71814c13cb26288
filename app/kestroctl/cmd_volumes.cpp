// Archive volume commands: build split archives and extract them.
#include <QElapsedTimer>
#include <cstdio>
#include <unistd.h>

#include "archive/Archiver.h"
#include "kestroctl/Command.h"

namespace {

// A progress line on stderr when it is a terminal, after the first second of work.
class ProgressLine {
public:
  explicit ProgressLine(const char* what) : FWhat(what), FTerminal(::isatty(STDERR_FILENO) == 1) { FClock.start(); }
  ~ProgressLine() {
    if (FShown) std::fputs("\n", stderr);
  }
  ArchiveProgress Callback() {
    return [this](qint64 done, qint64 total) {
      const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
      if (!FTerminal || percent == FPercent || FClock.elapsed() < 1000) return;
      FPercent = percent;
      FShown = true;
      std::fprintf(stderr, "\r%s: %d%%", FWhat, percent);
      std::fflush(stderr);
    };
  }

private:
  const char* FWhat;
  bool FTerminal;
  bool FShown = false;
  int FPercent = -1;
  QElapsedTimer FClock;
};

qint64 NumberOption(const QString& name, const QString& value) {
  bool ok = false;
  const qint64 number = value.toLongLong(&ok);
  if (!ok) throw CtlUsageError(QStringLiteral("%1 needs a whole number, not '%2'").arg(name, value).toStdString());
  return number;
}

int Build(const QStringList& args) {
  Archiver archiver;
  QString out;
  QStringList paths;
  for (int i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool option = a == "--level" || a == "--volume-size" || a == "--out";
    if (!option) {
      paths << a;
      continue;
    }
    if (i + 1 >= args.size()) throw CtlUsageError(QStringLiteral("%1 needs a value").arg(a).toStdString());
    const QString value = args[++i];
    if (a == "--level") archiver.SetLevel(static_cast<int>(NumberOption(a, value)));
    if (a == "--volume-size") archiver.SetVolumeSize(NumberOption(a, value));
    if (a == "--out") out = value;
  }
  if (out.isEmpty()) throw CtlUsageError("--out DIR is required");
  if (paths.isEmpty()) throw CtlUsageError("no PATH to archive");
  Result<QStringList> volumes;
  {
    ProgressLine line("Building");  // ends its line before the volumes are printed
    archiver.SetProgress(line.Callback());
    volumes = archiver.BuildVolumes(paths, out);
  }
  if (!volumes) throw CtlError(volumes.error().toStdString());
  for (const QString& volume : *volumes) CtlPrint(volume + '\n');
  return 0;
}

int Extract(const QStringList& args) {
  CtlExpectArgs(args, 2, 2);
  Archiver archiver;
  Result<ExtractSummary> extracted;
  {
    ProgressLine line("Extracting");
    archiver.SetProgress(line.Callback());
    extracted = archiver.Extract(args[0], args[1]);
  }
  if (!extracted) throw CtlError(extracted.error().toStdString());
  return 0;
}

}  // namespace

KESTROCTL_COMMAND("volumes build", "--level N --volume-size BYTES --out DIR PATH...",
                  "Archives files and folders into split volumes disk.001, disk.002, ... and prints their paths.",
                  Build);
KESTROCTL_COMMAND("volumes extract", "LAST_VOLUME DEST",
                  "Extracts a split archive, opened through its last volume, into DEST.", Extract);
