// One mailbox pass over 2,000 ordinary mails and 10 peer mails, over POP3 and
// IMAP4: the first pass and a later one, against a plain client session that
// lists the mailbox and reads every header, measured in the same run.
// Uses the stack of $KESTRO_MAILSTACK, or starts one of its own.
#include <QCoreApplication>

#include "BenchMailStack.h"
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "platform/Closing.h"
#include "transport/MailboxPoller.h"
#include "transport/Imap4Mailbox.h"
#include "transport/Pop3Mailbox.h"

namespace {

StackEnv gStack;  // the stack's stack.env
const QString kUser = "carol";

QString Val(const QString& k) { return gStack.Value(k); }

void Drop(const QByteArray& raw, int n) {
  const QString maildir = Val("MAILSTACK_" + kUser.toUpper() + "_MAILDIR");
  const QString name = QStringLiteral("%1.M%2P%3.bench").arg(time(nullptr)).arg(n).arg(getpid());
  QFile f(maildir + "/tmp/" + name);
  if (!f.open(QIODevice::WriteOnly)) return;
  f.write(raw);
  f.close();
  if (const passwd* pw = getpwnam("mail")) (void)chown(f.fileName().toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid);
  QFile::rename(f.fileName(), maildir + "/new/" + name);
}

QByteArray Mail(const QString& subject, int n, int bodyLines) {
  QByteArray m = "From: Someone <someone@example.org>\nTo: carol@example.test\nSubject: " + subject.toUtf8() +
                 "\nMessage-ID: <bench" + QByteArray::number(n) + "@example.org>\nDate: Thu, 10 Dec 2026 10:00:00 +0000\n"
                 "Received: from mx.example.org by mail.example.test; Thu, 10 Dec 2026 10:00:00 +0000\n"
                 "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n";
  for (int i = 0; i < bodyLines; ++i) m += "The quick brown fox jumps over the lazy dog, line " + QByteArray::number(i) + ".\n";
  return m;
}

int gSerial = 0;
void DropPeerMails() {
  for (int i = 0; i < 5; ++i) Drop(Mail("$_20200101000000000_QUJD", 100000 + gSerial, 3), 100000 + gSerial), ++gSerial;
  for (int i = 0; i < 5; ++i) Drop(Mail("?_list", 100000 + gSerial, 3), 100000 + gSerial), ++gSerial;
}

struct Cost {
  double Ms = 0;
  qint64 Bytes = 0;
};

// The plain client: list the mailbox and read every header.
Cost PlainClient(bool imap) {
  TMailReceiver::ForgetHeaders();
  QElapsedTimer t;
  t.start();
  Cost c;
  if (imap) {
    TMailIMAP4 box;
    box.SetMailPort(Val("MAILSTACK_IMAPS_PORT").toInt());
    box.SetCaFile(Val("MAILSTACK_CA_FILE"));
    box.Connect("127.0.0.1");
    box.Login(kUser + "@example.test", Val("MAILSTACK_CAROL_PASSWORD"));
    box.SelectMailbox("INBOX");
    box.DownloadEnvelopes();
    box.Disconnect();
    c.Bytes = box.BytesReceived();
  } else {
    TMailPOP3 box;
    box.SetMailServer("127.0.0.1");
    box.SetMailPort(Val("MAILSTACK_POP3S_PORT").toInt());
    box.SetCaFile(Val("MAILSTACK_CA_FILE"));
    box.SetAccount(kUser + "@example.test");
    box.SetPassword(Val("MAILSTACK_CAROL_PASSWORD"));
    box.Connect();
    box.DownloadHeaders();
    box.Disconnect();
    c.Bytes = box.BytesReceived();
  }
  c.Ms = double(t.nsecsElapsed()) / 1e6;
  TMailReceiver::ForgetHeaders();
  return c;
}

Cost Pass(bool imap, int* handOvers) {
  std::unique_ptr<TClassAccelerator> p;
  if (imap) p = std::make_unique<TClassAcceleratorIMAP4>();
  else p = std::make_unique<TClassAcceleratorPOP3>();
  QTemporaryDir input;
  p->SetFreeOnTerminate(false);
  p->SetServerHost("127.0.0.1");
  p->SetServerPort(Val(imap ? "MAILSTACK_IMAPS_PORT" : "MAILSTACK_POP3S_PORT").toInt());
  p->SetCaFile(Val("MAILSTACK_CA_FILE"));
  p->SetAccountName(kUser + "@example.test");
  p->SetAccountPassword(Val("MAILSTACK_CAROL_PASSWORD"));
  p->SetOnlineStamp("20261210000000000");
  p->SetTempInput(input.path());
  p->SetHandOver([handOvers](const HandOverData&) { ++*handOvers; }, nullptr);
  p->SetLogFile(qEnvironmentVariable("KESTRO_BENCH_LOG"));
  QElapsedTimer t;
  t.start();
  p->RunHere();
  Cost c;
  c.Ms = double(t.nsecsElapsed()) / 1e6;
  c.Bytes = p->LastOutcome().BytesReceived;
  if (p->LastOutcome().Code != 0) std::fprintf(stderr, "pass failed: %d\n", p->LastOutcome().Code);
  return c;
}

void Line(const char* what, const Cost& c, const Cost& ref) {
  std::printf("  %-34s %9.1f ms %10lld bytes   time ratio %.3f   bytes ratio %.3f\n", what, c.Ms,
              static_cast<long long>(c.Bytes), c.Ms / ref.Ms, double(c.Bytes) / double(ref.Bytes));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  SetPaceFactor(0);
  QTemporaryDir runtime;
  qputenv("KESTRO_RUNTIME_DIR", runtime.path().toUtf8());
  const BenchMailStack stack;
  const QString dir = stack.Dir();
  gStack = StackEnv::Read(dir);
  if (!gStack.Ok()) {
    std::fprintf(stderr, "no mail stack in %s\n", qPrintable(dir));
    return 1;
  }
  int rc = 0;
  for (bool imap : {false, true}) {
    QProcess::execute("doveadm", {"-c", Val("MAILSTACK_DOVECOT_CONF"), "expunge", "-u", kUser + "@example.test",
                                  "mailbox", "INBOX", "all"});
    for (int i = 0; i < 2000; ++i) Drop(Mail(QStringLiteral("Ordinary mail number %1").arg(i), i, 20), i);
    DropPeerMails();
    PlainClient(imap);  // lets the server index the new mails first
    const Cost plain = PlainClient(imap);
    int handOvers = 0;
    const Cost first = Pass(imap, &handOvers);
    DropPeerMails();
    const Cost later = Pass(imap, &handOvers);
    std::printf("%s: 2,000 ordinary mails, 10 peer mails per pass (%d hand-overs in two passes)\n",
                imap ? "IMAP4" : "POP3", handOvers);
    Line("plain client (list + every header)", plain, plain);
    Line("first pass", first, plain);
    Line("later pass", later, plain);
    const bool goal = later.Ms < plain.Ms / 10 && later.Bytes < plain.Bytes / 10;
    std::printf("  goal: a later pass costs under a tenth of the plain client: %s\n", goal ? "met" : "NOT met");
    if (!goal) rc = 2;
  }
  return rc;
}
