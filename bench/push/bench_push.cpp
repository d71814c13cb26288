// How soon a plain request is answered: a plain SMTP client (Python's smtplib)
// sends "?_list" from alice to bob, and the time until the answer lands in
// alice's mailbox is measured, for requests one after another. Bob is Kestro
// in this process over IMAP4, paced as installed (PACE 1), with a polling
// period of 600 s and push over IDLE; the reference, in the same run, is the
// same Kestro with push off and the preset period of 10 s, its requests sent
// at random moments of the period. Prints the median
// and the worst of each and their ratios.
// Uses the stack of $KESTRO_MAILSTACK, or starts one of its own.
// Arguments: [requests] (default 20).
#include <QCoreApplication>

#include "BenchMailStack.h"
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/Options.h"
#include "exchange/Engine.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "platform/Settings.h"

namespace {

StackEnv gStack;
QString Val(const QString& k) { return gStack.Value(k); }

bool Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// For each line "go" on its input: sends one "?_list" from alice to bob,
// waits until a new mail is in alice's maildir, removes it and prints the
// seconds it took.
const char* kClient = R"PY(
import email.message, os, smtplib, ssl, sys, time
host, port, ca, pw, maildir = sys.argv[1:6]
ctx = ssl.create_default_context(cafile=ca)
def mails():
    return {os.path.join(maildir, d, n) for d in ("new", "cur") for n in os.listdir(os.path.join(maildir, d))}
for line in sys.stdin:
    if line.strip() != "go":
        break
    before = mails()
    m = email.message.EmailMessage()
    m["From"], m["To"], m["Subject"] = "alice@example.test", "bob@example.test", "?_list"
    m.set_content("")
    t = time.monotonic()
    with smtplib.SMTP_SSL(host, int(port), context=ctx) as s:
        s.login("alice@example.test", pw)
        s.send_message(m)
    while True:
        new = mails() - before
        if new:
            break
        time.sleep(0.005)
    elapsed = time.monotonic() - t
    for n in new:
        os.remove(n)
    print("%.3f" % elapsed, flush=True)
)PY";

bool Ctl(const QString& settings, const QStringList& args, const QByteArray& input = {}) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("KESTRO_SETTINGS", settings);
  p.setProcessEnvironment(env);
  p.start(KESTROCTL, args);
  p.write(input);
  p.closeWriteChannel();
  p.waitForFinished(120000);
  if (p.exitCode() != 0)
    std::fprintf(stderr, "kestroctl %s: %s\n", qPrintable(args.join(' ')), p.readAllStandardError().constData());
  return p.exitCode() == 0;
}

// Runs the event loop until cond holds or ms have passed.
bool Until(const std::function<bool()>& cond, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!cond()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

struct Figures {
  double Median = 0, Worst = 0;
  int Answered = 0;
};

// requests answers with bob online as set up; one request at a time, each
// sent once bob's last pass has ended and then, when spread is not zero, after
// a random wait of up to spread ms, so that polling is measured at every phase
// of its timer rather than locked to it.
Figures Measure(Engine& bob, int requests, int spread) {
  QRandomGenerator random(7);
  Figures f;
  QProcess client;
  client.start("python3", {"-c", kClient, "127.0.0.1", Val("MAILSTACK_SMTPS_PORT"), Val("MAILSTACK_CA_FILE"),
                           Val("MAILSTACK_ALICE_PASSWORD"), Val("MAILSTACK_ALICE_MAILDIR")});
  if (!client.waitForStarted()) return f;
  std::vector<double> times;
  for (int i = 0; i < requests; ++i) {
    if (!Until([&] { return bob.Cycle().RunningPollers() == 0; }, 120000)) break;
    if (spread > 0) Until([] { return false; }, int(random.bounded(spread)));
    client.write("go\n");
    QByteArray line;
    if (!Until([&] {
          if (client.canReadLine()) line = client.readLine();
          return !line.isEmpty() || client.state() != QProcess::Running;
        }, 120000) ||
        line.isEmpty()) {
      std::fprintf(stderr, "request %d: no answer (%s)\n", i + 1, client.readAllStandardError().constData());
      break;
    }
    times.push_back(line.trimmed().toDouble());
    std::printf("  %2d: %.3f s\n", i + 1, times.back());
    std::fflush(stdout);
  }
  client.write("quit\n");
  client.closeWriteChannel();
  client.waitForFinished(10000);
  if (times.empty()) return f;
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  f.Median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  f.Worst = times.back();
  f.Answered = int(n);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int requests = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
  const BenchMailStack stack;
  if (!stack.Ok()) return 1;
  gStack = stack.Env();
  for (const char* user : {"alice", "bob"}) stack.Clear(user);

  // Bob's installation: the stack's, with folders of its own and the exchange paced as installed.
  QTemporaryDir root;
  const QString bobRoot = root.path() + "/bob";
  QDir().mkpath(bobRoot + "/run");
  QDir().mkpath(bobRoot + "/share");
  Write(bobRoot + "/share/readme.txt", "hello\n");
  QFile in(stack.Dir() + "/settings.ini");
  in.open(QIODevice::ReadOnly);
  QStringList lines;
  for (const QString& line : QString::fromUtf8(in.readAll()).split('\n')) {
    const QString key = line.section('=', 0, 0);
    if (key == "LOG" || key == "TEMP_INPUT" || key == "TEMP_OUTPUT" || key == "CONF")
      lines << key + "=" + bobRoot + "/" + key.toLower();
    else if (key == "PACE")
      lines << "PACE=1";
    else
      lines << line;
  }
  const QString settings = bobRoot + "/settings.ini";
  Write(settings, lines.join('\n').toUtf8());
  const QString conf = bobRoot + "/conf";
  if (!Ctl(settings, {"config", "init", conf}) ||
      !Ctl(settings, {"account", "set", conf, "bob@example.test", "--imap"},
           Val("MAILSTACK_BOB_PASSWORD").toUtf8() + "\n") ||
      !Ctl(settings, {"friend", "add", conf, "alice@example.test", bobRoot + "/share"}))
    return 1;
  qputenv("KESTRO_SETTINGS", settings.toUtf8());
  qputenv("KESTRO_RUNTIME_DIR", (bobRoot + "/run").toUtf8());
  InstallSettings::Reload();

  Engine bob(conf, false);
  std::printf("%d plain list requests, one at a time, PACE %g\n", requests, InstallSettings::Current().Pace);

  // Push over IDLE, polling every 600 s.
  bob.Main().Options().SetPop3AccelTime(600);
  bob.Cycle().GoOnline();
  if (!bob.Cycle().Online() || !Until([&] { return bob.Cycle().PushActive(); }, 60000)) {
    std::fprintf(stderr, "bob does not go online with push\n");
    return 1;
  }
  std::printf("push, polling period 600 s:\n");
  const Figures push = Measure(bob, requests, 0);
  bob.Cycle().GoOffline();

  // The reference: push off, the preset period of 10 s.
  bob.Main().Options().SetPop3AccelTime(10);
  bob.Cycle().SetPushEnabled(false);
  bob.Cycle().GoOnline();
  if (!bob.Cycle().Online()) return 1;
  std::printf("no push, polling period 10 s:\n");
  const Figures poll = Measure(bob, requests, 10000);
  bob.Cycle().GoOffline();
  bob.Shutdown(std::chrono::seconds(60));

  if (push.Answered < requests || poll.Answered < requests) {
    std::fprintf(stderr, "answered: %d with push, %d without\n", push.Answered, poll.Answered);
    return 1;
  }
  std::printf("push:      median %.3f s, worst %.3f s\n", push.Median, push.Worst);
  std::printf("reference: median %.3f s, worst %.3f s\n", poll.Median, poll.Worst);
  std::printf("ratio push/reference: median %.3f, worst %.3f\n", push.Median / poll.Median, push.Worst / poll.Worst);
  std::printf("goal: median under %.1f s (1.5 s plus the 1 s paced wait after an answer): %s\n", 2.5,
              push.Median < 2.5 ? "met" : "not met");
  return 0;
}
