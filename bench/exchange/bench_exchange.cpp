// The account alice downloads a mixed set of about 100 MB from the account
// bob: two Kestro processes ("kestroctl run" serving, "kestroctl request"
// requesting) over the loopback mail servers, unpaced, with 25 MB volumes;
// against a raw transfer of the same volumes through the same servers (one
// SMTP session sends them, one IMAP session fetches them), in the same run.
// Prints the ratio and the peak memory of each Kestro process.
// Uses the stack of $KESTRO_MAILSTACK, or starts one of its own.
// Arguments: [runs] (default 1).
#include <QCoreApplication>

#include "BenchMailStack.h"
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>

#include "archive/Archiver.h"

namespace {

StackEnv gStack;  // the stack's stack.env
QString Val(const QString& k) { return gStack.Value(k); }
constexpr qint64 kVolume = 25000000;

bool Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray Digest(const QString& path) {
  QFile f(path);
  QCryptographicHash h(QCryptographicHash::Sha256);
  if (f.open(QIODevice::ReadOnly)) h.addData(&f);
  return h.result();
}

// About 100 MB: random data, text, zeros, already packed files and many small files.
QStringList MakeShare(const QString& share) {
  QDir().mkpath(share);
  QRandomGenerator gen(42);
  QStringList names;
  auto random = [&](int size) {
    QByteArray b(size, Qt::Uninitialized);
    for (char& c : b) c = char(gen.generate() & 0xff);
    return b;
  };
  auto add = [&](const QString& name, const QByteArray& bytes) {
    Write(share + "/" + name, bytes);
    names << name;
  };
  add("random.bin", random(35000000));
  QByteArray text;
  for (int i = 0; text.size() < 35000000; ++i)
    text += "Line " + QByteArray::number(i) + " of a long report, with figures " + QByteArray::number(gen.generate()) +
            " and " + QByteArray::number(gen.generate() % 1000) + ".\r\n";
  add("report.txt", text);
  add("zeros.img", QByteArray(10000000, '\0'));
  add("photos.zip", random(10000000));
  for (int i = 0; i < 100; ++i) add(QStringLiteral("note%1.txt").arg(i), text.mid(i * 1000, 100000));
  return names;
}

struct Peer {
  QString User, Root;
  QString Conf() const { return Root + "/conf"; }
  QProcessEnvironment Env() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRO_SETTINGS", Root + "/settings.ini");
    env.insert("KESTRO_RUNTIME_DIR", Root + "/run");
    return env;
  }
  bool Ctl(const QStringList& args, const QByteArray& input = {}) const {
    QProcess p;
    p.setProcessEnvironment(Env());
    p.start(KESTROCTL, args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(600000);
    if (p.exitCode() != 0) std::fprintf(stderr, "kestroctl %s: %s\n", qPrintable(args.join(' ')), p.readAllStandardError().constData());
    return p.exitCode() == 0;
  }
};

Peer MakePeer(const QString& root, const QString& user, const QString& stackDir) {
  Peer p{user, root + "/" + user};
  QDir().mkpath(p.Root + "/run");
  QFile in(stackDir + "/settings.ini");
  in.open(QIODevice::ReadOnly);
  QString settings = QString::fromUtf8(in.readAll());
  for (const char* key : {"LOG", "TEMP_INPUT", "TEMP_OUTPUT", "CONF"}) {
    QStringList lines = settings.split('\n');
    for (QString& line : lines)
      if (line.startsWith(QString(key) + "=")) line = QString(key) + "=" + p.Root + "/" + QString(key).toLower();
    settings = lines.join('\n');
  }
  Write(p.Root + "/settings.ini", settings.toUtf8());
  const QString pw = Val("MAILSTACK_" + user.toUpper() + "_PASSWORD");
  p.Ctl({"config", "init", p.Conf()});
  p.Ctl({"account", "set", p.Conf(), user + "@example.test", "--imap"}, pw.toUtf8() + "\n");
  p.Ctl({"option", "set", p.Conf(), "OPTIONS_POP3_ACCEL_TIME", "1"});
  p.Ctl({"option", "set", p.Conf(), "OPTIONS_ATTACH_VOLUME", QString::number(kVolume)});
  p.Ctl({"option", "set", p.Conf(), "OPTIONS_ATTACH_COMPRESS", "3"});
  return p;
}

qint64 PeakKb(qint64 pid) {
  QFile f(QStringLiteral("/proc/%1/status").arg(pid));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLongLong();
  return -1;
}

// Runs a command and reports its peak memory (the children's largest resident set).
const char* kMeasure = R"PY(
import resource, subprocess, sys, time
t = time.monotonic()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
sys.stdout.write("%.3f %d\n" % (time.monotonic() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
sys.stderr.write(r.stderr.decode())
sys.exit(r.returncode)
)PY";

// One SMTP session sends the volumes from bob to alice; one IMAP session
// waits for them, fetches them and deletes them.
const char* kRaw = R"PY(
import email.message, imaplib, os, smtplib, ssl, sys, time
host, smtp_port, imap_port, ca, bob_pw, alice_pw, out = sys.argv[1:8]
volumes = sys.argv[8:]
ctx = ssl.create_default_context(cafile=ca)
t = time.monotonic()
with smtplib.SMTP_SSL(host, int(smtp_port), context=ctx) as s:
    s.login("bob@example.test", bob_pw)
    for i, v in enumerate(volumes):
        m = email.message.EmailMessage()
        m["From"], m["To"], m["Subject"] = "bob@example.test", "alice@example.test", "raw volume %d" % i
        m.set_content("")
        with open(v, "rb") as f:
            m.add_attachment(f.read(), maintype="application", subtype="octet-stream", filename=os.path.basename(v))
        s.send_message(m)
imap = imaplib.IMAP4_SSL(host, int(imap_port), ssl_context=ctx)
imap.login("alice@example.test", alice_pw)
got = 0
while got < len(volumes):
    imap.select("INBOX")
    typ, data = imap.search(None, "ALL")
    ids = data[0].split()
    if len(ids) < len(volumes):
        time.sleep(0.05)
        continue
    for n in ids:
        typ, msg = imap.fetch(n, "(BODY[])")
        part = email.message_from_bytes(msg[0][1])
        for p in part.walk():
            if p.get_filename():
                with open(os.path.join(out, p.get_filename()), "wb") as f:
                    f.write(p.get_payload(decode=True))
        imap.store(n, "+FLAGS", "\\Deleted")
        got += 1
    imap.expunge()
imap.logout()
print("%.3f" % (time.monotonic() - t))
)PY";

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
  const BenchMailStack stack;
  if (!stack.Ok()) return 1;
  gStack = stack.Env();
  QTemporaryDir root;
  const QString share = root.path() + "/share";
  const QStringList names = MakeShare(share);
  qint64 total = 0;
  for (const QString& n : names) total += QFileInfo(share + "/" + n).size();
  const Peer bob = MakePeer(root.path(), "bob", stack.Dir());
  const Peer alice = MakePeer(root.path(), "alice", stack.Dir());
  bob.Ctl({"friend", "add", bob.Conf(), "alice@example.test", share});

  // The same volumes, for the raw transfer.
  const Result<QStringList> built = Archiver(3, kVolume).BuildVolumes(
      QStringList(names).replaceInStrings(QRegularExpression("^"), share + "/"), root.path() + "/volumes");
  if (!built) {
    std::fprintf(stderr, "cannot build the volumes: %s\n", qPrintable(built.error()));
    return 1;
  }
  const QStringList& volumes = *built;
  qint64 volumeBytes = 0;
  for (const QString& v : volumes) volumeBytes += QFileInfo(v).size();
  std::printf("%lld bytes in %lld files; %lld volumes of %lld bytes, %lld bytes in all\n", total,
              qint64(names.size()), qint64(volumes.size()), kVolume, volumeBytes);

  int rc = 0;
  for (int run = 1; run <= runs; ++run) {
    stack.Clear("alice");
    stack.Clear("bob");
    QProcess server;
    server.setProcessEnvironment(bob.Env());
    server.start(KESTROCTL, {"run", bob.Conf()});
    QByteArray out;
    while (!out.contains("online\t") && server.waitForReadyRead(30000)) out += server.readAllStandardOutput();
    const QString into = root.path() + "/downloads";
    QDir(into).removeRecursively();
    QProcess request;
    request.setProcessEnvironment(alice.Env());
    request.start("python3", QStringList({"-c", kMeasure, KESTROCTL, "request", alice.Conf(), "bob@example.test",
                                          "download"}) + names + QStringList({"--into", into}));
    request.waitForFinished(1800000);
    const QStringList measured = QString::fromUtf8(request.readAllStandardOutput()).split(' ');
    const double kestroSec = measured.value(0).toDouble();
    const qint64 alicePeakKb = measured.value(1).trimmed().toLongLong();
    const qint64 bobPeakKb = PeakKb(server.processId());
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(60000);
    bool same = request.exitCode() == 0;
    for (const QString& n : names) same = same && Digest(share + "/" + n) == Digest(into + "/" + n);
    if (!same) {
      std::fprintf(stderr, "the download failed or differs: %s\n", request.readAllStandardError().constData());
      rc = 1;
      break;
    }

    stack.Clear("alice");
    const QString rawOut = root.path() + "/raw";
    QDir(rawOut).removeRecursively();
    QDir().mkpath(rawOut);
    QProcess raw;
    raw.start("python3", QStringList({"-c", kRaw, "127.0.0.1", Val("MAILSTACK_SMTPS_PORT"), Val("MAILSTACK_IMAPS_PORT"),
                                      Val("MAILSTACK_CA_FILE"), Val("MAILSTACK_BOB_PASSWORD"),
                                      Val("MAILSTACK_ALICE_PASSWORD"), rawOut}) + volumes);
    raw.waitForFinished(1800000);
    const double rawSec = QString::fromUtf8(raw.readAllStandardOutput()).trimmed().toDouble();
    if (raw.exitCode() != 0 || rawSec <= 0) {
      std::fprintf(stderr, "the raw transfer failed: %s\n", raw.readAllStandardError().constData());
      rc = 1;
      break;
    }
    const double ratio = kestroSec / rawSec;
    std::printf("run %d: Kestro %.2f s, raw transfer %.2f s, ratio %.2f (goal below 1.5: %s); peak memory alice %lld MB, "
                "bob %lld MB (goal under 200 MB: %s)\n",
                run, kestroSec, rawSec, ratio, ratio < 1.5 ? "met" : "NOT met", alicePeakKb / 1024, bobPeakKb / 1024,
                alicePeakKb < 200 * 1024 && bobPeakKb < 200 * 1024 ? "met" : "NOT met");
    std::fflush(stdout);
    if (ratio >= 1.5 || alicePeakKb >= 200 * 1024 || bobPeakKb >= 200 * 1024) rc = 2;
  }
  stack.Clear("alice");
  stack.Clear("bob");
  return rc;
}
