#include "MailStack.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>

const MailStack& MailStack::Get() {
  static const MailStack stack = [] {
    QString dir = qEnvironmentVariable("KESTRO_MAILSTACK");
    if (dir.isEmpty()) dir = QStringLiteral(KESTRO_BINARY_DIR "/mailstack");
    return MailStack(StackEnv::Read(dir));
  }();
  return stack;
}

IncomingAccount MailStack::Account(const QString& user, bool imap, MailSecurity security) const {
  IncomingAccount a;
  a.Server = Host(security);
  a.Port = imap ? Imap4Port(security) : Pop3Port(security);
  a.Security = security;
  a.Account = Address(user);
  a.Password = Password(user);
  a.Folder = QStringLiteral("Inbox");
  a.CaFile = CaFile();
  return a;
}

QByteArray MailStack::SettingsWith(const QMap<QString, QString>& values) const {
  QFile in(SettingsFile());
  QStringList lines;
  if (in.open(QIODevice::ReadOnly))
    for (const QString& line : QString::fromUtf8(in.readAll()).split('\n')) {
      const QString key = line.section('=', 0, 0);
      lines << (line.contains('=') && values.contains(key) ? key + '=' + values.value(key) : line);
    }
  return lines.join('\n').toUtf8();
}

void MailStack::Clear(const QString& user) const {
  QProcess::execute("doveadm", {"-c", Value("MAILSTACK_DOVECOT_CONF"), "expunge", "-u", Address(user), "mailbox",
                                "INBOX", "all"});
}

bool MailStack::StopDovecot() const {
  return QProcess::execute(QStringLiteral(KESTRO_MAILSTACK_SCRIPT), {"dovecot-stop", Folder()}) == 0;
}

bool MailStack::StartDovecot() const {
  return QProcess::execute(QStringLiteral(KESTRO_MAILSTACK_SCRIPT), {"dovecot-start", Folder()}) == 0;
}

void MailStack::Drop(const QString& user, const QByteArray& raw) const {
  static std::atomic<int> counter{0};
  const QString maildir = Maildir(user);
  const QString name = QStringLiteral("%1.M%2P%3Q%4.kestrotest")
                           .arg(time(nullptr))
                           .arg(counter++)
                           .arg(getpid())
                           .arg(counter.load() * 7919 % 100000);
  const QString tmp = maildir + "/tmp/" + name;
  QFile f(tmp);
  if (!f.open(QIODevice::WriteOnly)) return;
  QByteArray data = raw;
  data.replace("\r\n", "\n");  // maildir stores LF lines
  f.write(data);
  f.close();
  if (const passwd* pw = getpwnam("mail")) (void)chown(tmp.toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid);
  QFile::rename(tmp, maildir + "/new/" + name);
}

QMap<QString, QByteArray> MailStack::Mails(const QString& user) const {
  QMap<QString, QByteArray> out;
  const QString maildir = Maildir(user);
  static const QRegularExpression idRx(QStringLiteral("^Message-ID:\\s*(\\S+)"),
                                       QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
  for (const char* sub : {"new", "cur"}) {
    QDir d(maildir + "/" + sub);
    for (const QString& file : d.entryList(QDir::Files)) {
      QFile f(d.filePath(file));
      if (!f.open(QIODevice::ReadOnly)) continue;
      const QByteArray data = f.readAll();
      const qsizetype headEnd = data.indexOf("\n\n");
      const auto m = idRx.match(QString::fromUtf8(headEnd < 0 ? data : data.left(headEnd + 1)));
      out.insert(m.hasMatch() ? m.captured(1) : file, data);
    }
  }
  return out;
}

bool MailStack::WaitForMails(const QString& user, int count, int timeoutMs) const {
  QElapsedTimer clock;
  clock.start();
  while (Mails(user).size() < count) {
    if (clock.elapsed() > timeoutMs) return false;
    QThread::msleep(50);
  }
  return true;
}

QByteArray RawMail(const QString& from, const QString& subject, const QString& messageId,
                   const QByteArray& mimeAndBody) {
  QByteArray m;
  m += "From: " + from.toUtf8() + "\r\n";
  m += "To: someone@example.test\r\n";
  m += "Subject: " + subject.toUtf8() + "\r\n";
  m += "Message-ID: " + messageId.toUtf8() + "\r\n";
  m += "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n";
  m += "MIME-Version: 1.0\r\n";
  m += mimeAndBody;
  return m;
}

QByteArray RawAttachmentMail(const QString& from, const QString& subject, const QString& body,
                             const QString& fileName, const QByteArray& content) {
  static std::atomic<int> n{0};
  const QByteArray boundary = "=_kestro_test_boundary";
  QByteArray mime = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  mime += "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body.toUtf8() + "\r\n";
  mime += "--" + boundary + "\r\nContent-Type: application/octet-stream\r\n";
  mime += "Content-Disposition: attachment; filename=\"" + fileName.toUtf8() + "\"\r\n";
  mime += "Content-Transfer-Encoding: base64\r\n\r\n";
  const QByteArray b64 = content.toBase64();
  for (qsizetype i = 0; i < b64.size(); i += 76) mime += b64.mid(i, 76) + "\r\n";
  mime += "--" + boundary + "--\r\n";
  const QString messageId =
      QStringLiteral("<att-%1-%2-%3@example.test>").arg(++n).arg(getpid()).arg(QDateTime::currentMSecsSinceEpoch());
  return RawMail(from, subject, messageId, mime);
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
  p.start("python3", {"-c", kPythonMail, MailStack::Get().Maildir(user), folder});
  p.waitForFinished(300000);
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
