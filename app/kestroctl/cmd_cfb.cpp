// Compound-file commands: list the elements of any compound file, print a stream.
#include "config/Storage.h"
#include "kestroctl/Command.h"

#include <cstdio>
#include <memory>

namespace {

int List(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  TRootStorage root(args[0], stgRead, stgDenyWrite, false, false);
  for (const cfb::ElementInfo& e : root.Elements())
    CtlPrint(e.IsStorage ? QStringLiteral("-\t%1/\n").arg(e.Path) : QStringLiteral("%1\t%2\n").arg(e.Size).arg(e.Path));
  return 0;
}

int Cat(const QStringList& args) {
  CtlExpectArgs(args, 2, 2);
  TRootStorage root(args[0], stgRead, stgDenyWrite, false, false);
  // "storage/storage/stream" reaches into storages.
  QStringList parts = args[1].split(u'/', Qt::SkipEmptyParts);
  if (parts.isEmpty()) throw CtlUsageError("no stream name given");
  const QString streamName = parts.takeLast();
  std::vector<std::unique_ptr<TSubStorage>> path;
  TStorage* at = &root;
  for (const QString& name : parts) {
    path.push_back(std::make_unique<TSubStorage>(name, *at));
    at = path.back().get();
  }
  TStorageStream stream(streamName, false, stgRead, *at);
  const QByteArray data = stream.ReadAll();
  if (std::fwrite(data.constData(), 1, static_cast<std::size_t>(data.size()), stdout) != static_cast<std::size_t>(data.size()))
    throw CtlError("cannot write to standard output");
  return 0;
}

}  // namespace

KESTROCTL_COMMAND("cfb list", "FILE", "Lists the storages and streams of a compound file (size TAB path).", List);
KESTROCTL_COMMAND("cfb cat", "FILE STREAM", "Writes a stream of a compound file to standard output.", Cat);
