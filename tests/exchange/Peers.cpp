#include "Peers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <gtest/gtest.h>
#include <csignal>

#include "MailStack.h"
#include "message/Stamp.h"
#include "main/ClassMain.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "platform/Closing.h"
#include "platform/Settings.h"

QProcessEnvironment PeerDir::Env() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("KESTRO_SETTINGS", Settings());
  env.insert("KESTRO_RUNTIME_DIR", Runtime());
  return env;
}

PeerDir PeerDir::Make(const QString& root, const QString& user, bool imap) {
  PeerDir p{user, root + "/" + user};
  QDir().mkpath(p.Root);
  QDir().mkpath(p.Runtime());
  QFile in(MailStack::Get().SettingsFile());
  EXPECT_TRUE(in.open(QIODevice::ReadOnly));
  QStringList lines;
  for (const QString& line : QString::fromUtf8(in.readAll()).split('\n')) {
    if (line.startsWith("LOG=")) lines << "LOG=" + p.Log();
    else if (line.startsWith("TEMP_INPUT=")) lines << "TEMP_INPUT=" + p.In();
    else if (line.startsWith("TEMP_OUTPUT=")) lines << "TEMP_OUTPUT=" + p.Out();
    else if (line.startsWith("CONF=")) lines << "CONF=" + p.Conf();
    else if (line.startsWith("PACE=")) lines << "PACE=0";
    else lines << line;
  }
  WriteFile(p.Settings(), lines.join('\n').toUtf8());
  CtlOk(p, {"config", "init", p.Conf()});
  QStringList account = {"account", "set", p.Conf(), p.Address(), MailStack::Get().Password(user)};
  if (imap) account << "--imap";
  CtlOk(p, account);
  CtlOk(p, {"option", "set", p.Conf(), "OPTIONS_POP3_ACCEL_TIME", "1"});
  return p;
}

CtlResult Ctl(const PeerDir& peer, const QStringList& args, int timeoutMs) {
  QProcess p;
  p.setProcessEnvironment(peer.Env());
  p.start(KESTROCTL, args);
  CtlResult r;
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    r.Err = "timed out";
    return r;
  }
  r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.Out = QString::fromUtf8(p.readAllStandardOutput());
  r.Err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

void CtlOk(const PeerDir& peer, const QStringList& args) {
  const CtlResult r = Ctl(peer, args);
  ASSERT_EQ(r.Code, 0) << args.join(' ') << ": " << r.Err;
}

RunningPeer::RunningPeer(const PeerDir& peer) {
  FProcess.setProcessEnvironment(peer.Env());
  FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  FProcess.start(KESTROCTL, {"run", peer.Conf()});
  QElapsedTimer clock;
  clock.start();
  while (!FOnline && clock.elapsed() < 60000 && FProcess.state() != QProcess::NotRunning) {
    FProcess.waitForReadyRead(100);
    FOut += FProcess.readAllStandardOutput();
    FOnline = FOut.contains("online\t");
  }
}

RunningPeer::~RunningPeer() {
  if (FProcess.state() != QProcess::NotRunning) Stop();
}

int RunningPeer::Stop() {
  ::kill(pid_t(FProcess.processId()), SIGTERM);
  if (!FProcess.waitForFinished(60000)) {
    FProcess.kill();
    FProcess.waitForFinished();
    return -1;
  }
  FOut += FProcess.readAllStandardOutput();
  return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

QStringList RunningPeer::Serving() {
  FOut += FProcess.readAllStandardOutput();
  QStringList lines;
  for (const QString& line : QString::fromUtf8(FOut).split('\n'))
    if (line.startsWith("serving\t")) lines << line.mid(8);
  return lines;
}

bool RunningPeer::WaitServing(const QString& state, int count, int timeoutMs) {
  return WaitUntil(
      [&] {
        FProcess.waitForReadyRead(20);
        int n = 0;
        for (const QString& line : Serving())
          if (line.section('\t', 1, 1) == state) ++n;
        return n >= count;
      },
      timeoutMs);
}

LocalPeer::LocalPeer(const PeerDir& peer, bool goOnline) {
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "exchange_test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
  }
  qputenv("KESTRO_SETTINGS", peer.Settings().toUtf8());
  qputenv("KESTRO_RUNTIME_DIR", peer.Runtime().toUtf8());
  InstallSettings::Reload();
  FEngine = std::make_unique<Engine>(peer.Conf(), false);
  if (goOnline) {
    Cycle().GoOnline();
    EXPECT_TRUE(Cycle().Online());
  }
}

LocalPeer::~LocalPeer() {
  // The last poller's pass ends before the next test clears the mailboxes.
  EXPECT_TRUE(FEngine->Shutdown(std::chrono::seconds(60)));
  FEngine.reset();
  QCoreApplication::processEvents();
}

const JobRow* LocalPeer::Row(const QString& jobId) const {
  const JobRowModel& rows = FEngine->Rows();
  for (int i = 0; i < rows.Count(); ++i)
    if (rows.Row(i).Number == jobId) return &rows.Row(i);
  return nullptr;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!cond()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  return true;
}

QByteArray RandomBytes(int size, quint32 seed) {
  QRandomGenerator gen(seed);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char& c : bytes) c = char(gen.generate() & 0xff);
  return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray RawAttachmentMail(const QString& from, const QString& subject, const QString& body,
                             const QString& fileName, const QByteArray& content) {
  static int n = 0;
  const QByteArray boundary = "=_kestro_test_boundary";
  QByteArray mime = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  mime += "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body.toUtf8() + "\r\n";
  mime += "--" + boundary + "\r\nContent-Type: application/octet-stream\r\n";
  mime += "Content-Disposition: attachment; filename=\"" + fileName.toUtf8() + "\"\r\n";
  mime += "Content-Transfer-Encoding: base64\r\n\r\n";
  const QByteArray b64 = content.toBase64();
  for (int i = 0; i < b64.size(); i += 76) mime += b64.mid(i, 76) + "\r\n";
  mime += "--" + boundary + "--\r\n";
  return RawMail(from, subject, QStringLiteral("<att-%1-%2@example.test>").arg(++n).arg(NewStamp()), mime);
}

namespace {
const char* kPythonMail = R"PY(
import email, email.policy, os, sys
maildir, out = sys.argv[1], sys.argv[2]
for sub in ("new", "cur"):
    d = os.path.join(maildir, sub)
    if not os.path.isdir(d):
        continue
    for name in sorted(os.listdir(d)):
        with open(os.path.join(d, name), "rb") as f:
            msg = email.message_from_binary_file(f, policy=email.policy.default)
        subject = str(msg["subject"] or "")
        saved = ""
        for part in msg.walk():
            fn = part.get_filename()
            if fn and out:
                saved = os.path.basename(fn)
                with open(os.path.join(out, saved), "wb") as o:
                    o.write(part.get_payload(decode=True))
        sys.stdout.write(subject + "\t" + saved + "\n")
)PY";

QStringList RunPython(const QString& user, const QString& folder) {
  QProcess p;
  p.start("python3", {"-c", kPythonMail, MailStack::Get().Value("MAILSTACK_" + user.toUpper() + "_MAILDIR"), folder});
  p.waitForFinished(60000);
  return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}
}  // namespace

QStringList SaveAttachments(const QString& user, const QString& folder) {
  if (!folder.isEmpty()) QDir().mkpath(folder);
  return RunPython(user, folder);
}

QStringList Subjects(const QString& user) {
  QStringList subjects;
  for (const QString& line : RunPython(user, QString())) subjects << line.section('\t', 0, 0);
  return subjects;
}
