#include "MailStack.h"

#include <QDir>
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
    MailStack s;
    QString dir = qEnvironmentVariable("KESTRO_MAILSTACK");
    if (dir.isEmpty()) dir = QStringLiteral(KESTRO_BINARY_DIR "/mailstack");
    s.FDir = dir;
    QFile env(dir + "/stack.env");
    if (!env.open(QIODevice::ReadOnly)) return s;
    for (const QByteArray& line : env.readAll().split('\n')) {
      const int eq = line.indexOf('=');
      if (eq > 0) s.FValues.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    s.FOk = s.Pop3Port() > 0;
    return s;
  }();
  return stack;
}

IncomingAccount MailStack::Account(const QString& user, bool imap) const {
  IncomingAccount a;
  a.Server = QStringLiteral("127.0.0.1");
  a.Port = imap ? Imap4Port() : Pop3Port();
  a.Ssl = true;
  a.Account = Address(user);
  a.Password = Password(user);
  a.Folder = QStringLiteral("Inbox");
  a.CaFile = CaFile();
  return a;
}

void MailStack::Clear(const QString& user) const {
  QProcess::execute("doveadm", {"-c", Value("MAILSTACK_DOVECOT_CONF"), "expunge", "-u", Address(user), "mailbox",
                                "INBOX", "all"});
}

void MailStack::Drop(const QString& user, const QByteArray& raw) const {
  static std::atomic<int> counter{0};
  const QString maildir = Value("MAILSTACK_" + user.toUpper() + "_MAILDIR");
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
  const QString maildir = Value("MAILSTACK_" + user.toUpper() + "_MAILDIR");
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
  for (int waited = 0; waited <= timeoutMs; waited += 50) {
    if (Mails(user).size() >= count) return true;
    QThread::msleep(50);
  }
  return false;
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
