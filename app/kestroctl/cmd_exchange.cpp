// Exchange commands: a headless Kestro that serves its shares, and a headless
// requester, each on a configuration folder DIR with the installation
// settings of $KESTRO_SETTINGS.
#include "core/JobRows.h"
#include "core/Jobs.h"
#include "main/ClassMain.h"
#include "exchange/Engine.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "exchange/Worker.h"
#include "message/PeerMessage.h"
#include "kestroctl/Command.h"
#include "platform/InstanceLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gSignalled = 0;
extern "C" void OnSignal(int) { gSignalled = 1; }

void Err(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

void Out(const QString& text) {
  CtlPrint(text);
  std::fflush(stdout);
}

QString Number(double v) { return QString::number(v, 'f', 2); }

// The exit codes of "request" besides 0 (done), 1 (any other failure) and 2 (usage).
enum RequestExit { kExitRefused = 3, kExitTimedOut = 4, kExitDiskFull = 5, kExitConnection = 6 };

// The exit code for a request that ended with the row text info ("Error: ...").
int RequestExitCode(const QString& info) {
  const auto has = [&](const QString& text) { return info.contains(text, Qt::CaseInsensitive); };
  if (has(kMsgSendFailed)) return kExitConnection;
  if (has(peer::kMsgTimeout)) return kExitTimedOut;
  if (has(QStringLiteral("free disk space")) || has(QString::fromLocal8Bit(std::strerror(ENOSPC))) ||
      has(QStringLiteral("disk is full")))
    return kExitDiskFull;
  // What the friend's Kestro answers when it does not serve the request.
  for (const QString& refusal : {peer::kMsgForbidden, peer::kMsgAuthFailed, peer::kMsgEmpty, peer::kMsgNoDirectory,
                                 QStringLiteral("Command not allowed.")})
    if (has(refusal)) return kExitRefused;
  return 1;
}

// How long the exit waits for the threads to end.
constexpr std::chrono::seconds kExitLimit{10};

// A running Kestro without a window: the engine on DIR, held by the lock of
// the configuration as the program holds it.
struct Peer {
  InstanceLock Lock;
  std::unique_ptr<Engine> Kestro;
  bool Ended = true;  // every thread ended at the exit

  explicit Peer(const QString& dirArg) {
    const QString dir = QDir(dirArg).absolutePath();
    if (!QFileInfo(dir).isDir())
      throw CtlError(QStringLiteral("%1 is no configuration folder").arg(dir).toStdString());
    if (!Lock.TryAcquire(dir))
      throw CtlError(QStringLiteral("the configuration in %1 is in use by a running Kestro").arg(dir).toStdString());
    Kestro = std::make_unique<Engine>(dir, false);
  }
  // A thread that outlived the exit may still use the engine: it is not freed
  // then (End ends the process before it comes to this).
  ~Peer() {
    if (!Ended) (void)Kestro.release();
  }

  TClassMain& Main() { return Kestro->Main(); }
  JobRowModel& Rows() { return Kestro->Rows(); }
  TExchange& Exchange() { return Kestro->Exchange(); }

  void GoOnline() {
    const TOnlineCycle::Failure failure = Kestro->Cycle().GoOnline();
    if (!Kestro->Cycle().Online())
      throw CtlError(QString(failure.Message).replace(QStringLiteral("\r\n"), QStringLiteral(" ")).toStdString(),
                     kExitConnection);
  }

  // Goes offline, stops every worker and poller, and saves.
  void Exit() {
    Ended = Kestro->Shutdown(kExitLimit);
    QCoreApplication::processEvents();
  }

  // The end of the command: code, with the error (when not empty) on stderr.
  // When a thread outlived the exit the process ends here, after the output.
  int End(int code, const QString& error = {}) {
    if (!Ended) {
      if (!error.isEmpty()) Err(QStringLiteral("kestroctl: %1\n").arg(error));
      std::fflush(nullptr);
      ::_exit(code);
    }
    if (!error.isEmpty()) throw CtlError(error.toStdString(), code);
    return code;
  }
};

// Waits in the event loop until done() is true or a signal arrives.
void RunUntil(const std::function<bool()>& done) {
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (gSignalled || done()) loop.quit();
  });
  check.start(20);
  loop.exec();
}

int Run(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  Peer peer(args[0]);
  QObject::connect(&peer.Exchange(), &TExchange::ServingJobChanged,
                   [](const QString& number, qint32 state, double progress, const QString& info) {
                     Out(QStringLiteral("serving\t%1\t%2\t%3\t%4\n")
                             .arg(number, StateName(state), Number(progress),
                                  QString(info).replace(QStringLiteral("\r\n"), QStringLiteral(" "))));
                   });
  peer.GoOnline();
  Out(QStringLiteral("online\t%1\n").arg(peer.Main().Options().SmtpAddress()));
  RunUntil([] { return false; });
  peer.Exit();
  Out(QStringLiteral("offline\n"));
  return peer.End(0);
}

int Request(const QStringList& argsIn) {
  QStringList args = argsIn;
  QString into;
  bool trace = false;
  for (int i = 0; i < args.size();) {
    if (args[i] == QLatin1String("--into") && i + 1 < args.size()) {
      into = args[i + 1];
      args.remove(i, 2);
    } else if (args[i] == QLatin1String("--trace")) {
      trace = true;
      args.remove(i);
    } else {
      ++i;
    }
  }
  CtlExpectArgs(args, 3);
  const QString command = args[2];
  if (command != QLatin1String("list") && command != QLatin1String("download"))
    throw CtlUsageError("the command is list or download");
  if (command == QLatin1String("list") && args.size() > 3) throw CtlUsageError("list takes no file names");
  if (command == QLatin1String("download") && args.size() < 4) throw CtlUsageError("download needs file names");
  const QStringList files = args.mid(3);

  Peer peer(args[0]);
  if (!into.isEmpty()) {
    // As the download dialog does: the folder is stored before the request goes out.
    QDir().mkpath(into);
    peer.Main().Options().SetDownloadFolder(QDir(into).absolutePath());
    peer.Main().Save();
  }
  QList<ListingRow> listing;
  QString error;
  QObject::connect(&peer.Exchange(), &TExchange::ShowListing,
                   [&](const QList<ListingRow>& rows) { listing = rows; });
  QObject::connect(&peer.Exchange(), &TExchange::ShowJobError,
                   [&](const QString& text, bool, const QString&) { error = text; });
  if (trace)
    QObject::connect(&peer.Rows(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex&) {
      const JobRow& r = peer.Rows().Row(from.row());
      Err(QStringLiteral("row\t%1\t%2\t%3\n").arg(Number(r.Progress), StateName(r.State), r.Info));
    });
  peer.GoOnline();
  QString fileList;
  for (const QString& f : files) fileList += f + QStringLiteral("\r\n");
  const TExchange::Issued issued = peer.Exchange().IssueRequest(command, fileList, args[1]);
  if (!issued.Error.isEmpty()) {
    peer.Exit();
    return peer.End(1, issued.Error);
  }
  if (trace) Err(QStringLiteral("row\t%1\tActive\t\n").arg(Number(peer.Rows().Row(0).Progress)));
  auto row = [&]() -> const JobRow* {
    for (int i = 0; i < peer.Rows().Count(); ++i)
      if (peer.Rows().Row(i).Number == issued.JobId) return &peer.Rows().Row(i);
    return nullptr;
  };
  RunUntil([&] { return row() && row()->State != jsActive; });
  const JobRow result = row() ? *row() : JobRow();
  // The error message is posted after the row changed.
  QCoreApplication::processEvents();
  peer.Exit();
  if (gSignalled) return peer.End(1, QStringLiteral("interrupted"));
  if (result.State != jsDone) {
    QString text = error.isEmpty() ? StateName(result.State) : error;
    return peer.End(RequestExitCode(result.Info + QLatin1Char(' ') + text),
                    text.replace(QStringLiteral("\r\n"), QStringLiteral(" ")));
  }
  if (command == QLatin1String("list")) {
    for (const ListingRow& r : listing) Out(r.Name + QLatin1Char('\t') + r.Size + QLatin1Char('\n'));
  } else {
    const QString folder = peer.Main().Options().DownloadFolder();
    for (const QString& f : files) Out(folder + QLatin1Char('/') + f + QLatin1Char('\n'));
  }
  return peer.End(0);
}

}  // namespace

KESTROCTL_COMMAND("run", "DIR",
                  "Runs Kestro without a window on DIR: goes online, serves the shares until SIGTERM or SIGINT, "
                  "then goes offline and saves; prints the serving record's changes",
                  Run);
KESTROCTL_COMMAND("request", "DIR ADDRESS list|download [FILE...] [--into FOLDER] [--trace]",
                  "Sends a request from the account of DIR to ADDRESS and waits for its answer: prints the listing, "
                  "or the paths of the downloaded files (into FOLDER, else the download folder); --trace prints "
                  "the job row's steps to stderr. Exit codes: 0 done, 3 refused by the friend, 4 timed out, "
                  "5 disk full, 6 connection failure (going online or sending), 1 any other failure, 2 usage",
                  Request);
