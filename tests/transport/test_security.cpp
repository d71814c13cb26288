// The security mode of each mail connection against the test mail stack:
// starttls switches to TLS before the login and fails, without a login, when
// the server does not offer it; none logs in only to a loopback server, and
// says so; the certificate of a STARTTLS connection is checked like any other.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>

#include "MailStack.h"
#include "WaitUntil.h"
#include "transport/Imap4Mailbox.h"
#include "transport/MailResult.h"
#include "transport/Pop3Mailbox.h"
#include "transport/SmtpSender.h"

namespace {

enum class Proto { Pop3, Imap4, Smtp };

const char* Name(Proto p) { return p == Proto::Pop3 ? "POP3" : p == Proto::Imap4 ? "IMAP4" : "SMTP"; }

int PortOf(Proto p, MailSecurity listener) {
  const MailStack& s = MailStack::Get();
  return p == Proto::Pop3 ? s.Pop3Port(listener) : p == Proto::Imap4 ? s.Imap4Port(listener) : s.SmtpPort(listener);
}

struct Outcome {
  int Code = -1;
  QString Error;
  QByteArray Log;
};

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Logs in as alice (POP3, IMAP4: also lists the mailbox), or sends a mail
// from alice to bob with the given subject (SMTP).
Outcome Attempt(Proto p, MailSecurity security, const QString& host, int port, const QString& log,
                const QString& subject = QStringLiteral("security test")) {
  const MailStack& s = MailStack::Get();
  const QString account = MailStack::Address("alice");
  QFile::remove(log);
  Outcome o;
  if (p == Proto::Smtp) {
    TMailSMTP smtp;
    smtp.SetMailServer(host);
    smtp.SetMailPort(port);
    smtp.SetSecurity(security);
    smtp.SetCaFile(s.CaFile());
    smtp.SetTimeOut(30);
    smtp.SetLogFile(log);
    smtp.SetFromAddr(account);
    smtp.SetAccount(account);
    smtp.SetPassword(s.Password("alice"));
    smtp.AddRecipient(MailStack::Address("bob"));
    smtp.SetSubject(subject);
    smtp.SetBodyText("hello");
    o.Code = smtp.Send();
    o.Error = smtp.LastError();
  } else if (p == Proto::Pop3) {
    TMailPOP3 box;
    box.SetMailServer(host);
    box.SetMailPort(port);
    box.SetSecurity(security);
    box.SetCaFile(s.CaFile());
    box.SetTimeOut(30);
    box.SetLogFile(log);
    box.SetAccount(account);
    box.SetPassword(s.Password("alice"));
    o.Code = box.Connect();
    if (o.Code == mrOk) o.Code = box.DownloadHeaders();
    o.Error = box.LastError();
    box.Disconnect();
  } else {
    TMailIMAP4 box;
    box.SetMailPort(port);
    box.SetSecurity(security);
    box.SetCaFile(s.CaFile());
    box.SetTimeOut(30);
    box.SetLogFile(log);
    o.Code = box.Connect(host);
    if (o.Code == mrOk) o.Code = box.Login(account, s.Password("alice"));
    if (o.Code == mrOk) o.Code = box.SelectMailbox("Inbox");
    if (o.Code == mrOk) o.Code = box.DownloadEnvelopes();
    o.Error = box.LastError();
    box.Disconnect();
  }
  o.Log = ReadAll(log);
  return o;
}

// A client line of the log that starts a login (the log masks its secrets).
bool HasLoginLine(const QByteArray& log) {
  static const QRegularExpression login(QStringLiteral("C: (\\S+ )?(AUTH|AUTHENTICATE|LOGIN|USER|PASS|APOP)\\b"),
                                        QRegularExpression::CaseInsensitiveOption);
  return login.match(QString::fromUtf8(log)).hasMatch();
}

const QByteArray kNoTlsLine = "The login goes without TLS";

struct Case {
  const char* Name;
  MailSecurity Mode;      // asked of the connection
  MailSecurity Listener;  // the stack's listener it goes to
  const char* Host;       // instead of the listener's address
  int Expected;
};

class Security : public ::testing::Test {
protected:
  void SetUp() override {
    if (!MailStack::Get().Ok()) GTEST_SKIP() << "the test mail stack is not running";
    if (MailStack::Get().Pop3Port(MailSecurity::StartTls) <= 0) GTEST_SKIP() << "the stack has no STARTTLS ports";
  }
  QTemporaryDir FDir;
};

}  // namespace

TEST_F(Security, EachModeConnectsOrFailsAsItShould) {
  static const Case cases[] = {
      {"starttls", MailSecurity::StartTls, MailSecurity::StartTls, nullptr, mrOk},
      {"starttls to a server that offers none", MailSecurity::StartTls, MailSecurity::None, nullptr, mrNoStartTls},
      {"starttls with a certificate for another host", MailSecurity::StartTls, MailSecurity::StartTls, "127.0.0.2",
       mrCertificate},
      {"none on loopback", MailSecurity::None, MailSecurity::None, nullptr, mrOk},
      {"none to a server elsewhere", MailSecurity::None, MailSecurity::None, "192.0.2.1", mrPlainRefused},
      {"tls to the STARTTLS port", MailSecurity::Tls, MailSecurity::StartTls, nullptr, mrTlsHandshake},
  };
  const MailStack& s = MailStack::Get();
  for (Proto p : {Proto::Pop3, Proto::Imap4, Proto::Smtp}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(Name(p)) + ": " + c.Name);
      const QString host = c.Host ? QString::fromLatin1(c.Host) : s.Host(c.Listener);
      const Outcome o = Attempt(p, c.Mode, host, PortOf(p, c.Listener), FDir.filePath("session.log"));
      EXPECT_EQ(o.Code, c.Expected) << o.Error.toStdString() << "\n" << o.Log.constData();
      if (qEnvironmentVariableIsSet("KESTRO_SHOW_LOGS"))
        printf("---- %s: %s\n%s%s\n", Name(p), c.Name, o.Log.constData(), qPrintable(o.Error));
      if (c.Expected == mrOk) {
        EXPECT_TRUE(o.Error.isEmpty()) << o.Error.toStdString();
      }
      EXPECT_FALSE(o.Log.contains(s.Password("alice").toUtf8())) << o.Log.constData();
      switch (c.Expected) {
        case mrOk:
          EXPECT_EQ(o.Log.contains(kNoTlsLine), c.Mode == MailSecurity::None) << o.Log.constData();
          if (c.Mode == MailSecurity::StartTls) {
            EXPECT_TRUE(o.Log.contains("STARTTLS") || o.Log.contains("STLS")) << o.Log.constData();
          }
          break;
        case mrNoStartTls:
          // Nothing of the login went over the plain connection.
          EXPECT_FALSE(HasLoginLine(o.Log)) << o.Log.constData();
          EXPECT_TRUE(o.Error.contains("STARTTLS")) << o.Error.toStdString();
          break;
        case mrPlainRefused:
          // Refused before connecting: the server said nothing.
          EXPECT_FALSE(o.Log.contains(" S: ")) << o.Log.constData();
          EXPECT_FALSE(o.Log.contains(kNoTlsLine)) << o.Log.constData();
          EXPECT_TRUE(o.Error.contains("tls or starttls")) << o.Error.toStdString();
          break;
        case mrCertificate:
          EXPECT_FALSE(HasLoginLine(o.Log)) << o.Log.constData();
          EXPECT_TRUE(o.Error.contains("Failed check")) << o.Error.toStdString();
          break;
        default:
          EXPECT_FALSE(HasLoginLine(o.Log)) << o.Log.constData();
          break;
      }
    }
  }
}

TEST_F(Security, AMailGoesRoundOverStartTls) {
  const MailStack& s = MailStack::Get();
  s.Clear("bob");
  const QString subject = "over starttls " + QUuid::createUuid().toString(QUuid::WithoutBraces);
  const Outcome sent = Attempt(Proto::Smtp, MailSecurity::StartTls, s.Host(MailSecurity::StartTls),
                               s.SmtpPort(MailSecurity::StartTls), FDir.filePath("smtp.log"), subject);
  ASSERT_EQ(sent.Code, mrOk) << sent.Error.toStdString() << "\n" << sent.Log.constData();
  // Mails the other tests sent bob may still arrive: this one is found by
  // its subject.
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const QByteArray& raw : s.Mails("bob"))
          if (raw.contains(subject.toUtf8())) return true;
        return false;
      },
      120000));
  const auto indexOf = [&](const TMailReceiver& box) {
    for (int i = 1; i <= box.MessageCount(); ++i)
      if (box.Subject(i) == subject) return i;
    return 0;
  };
  const IncomingAccount imap = s.Account("bob", true, MailSecurity::StartTls);
  TMailIMAP4 box;
  box.SetMailPort(imap.Port);
  box.SetSecurity(imap.Security);
  box.SetCaFile(imap.CaFile);
  ASSERT_EQ(box.Connect(imap.Server), mrOk);
  ASSERT_EQ(box.Login(imap.Account, imap.Password), mrOk) << box.LastError().toStdString();
  ASSERT_EQ(box.SelectMailbox(imap.Folder), mrOk);
  ASSERT_EQ(box.DownloadEnvelopes(), mrOk);
  const int i = indexOf(box);
  ASSERT_GT(i, 0);
  ASSERT_EQ(box.DownloadMessage(i), mrOk);
  EXPECT_EQ(box.BodyText().trimmed(), "hello");
  box.Disconnect();

  const IncomingAccount pop = s.Account("bob", false, MailSecurity::StartTls);
  TMailPOP3 pop3;
  pop3.SetMailServer(pop.Server);
  pop3.SetMailPort(pop.Port);
  pop3.SetSecurity(pop.Security);
  pop3.SetCaFile(pop.CaFile);
  pop3.SetAccount(pop.Account);
  pop3.SetPassword(pop.Password);
  ASSERT_EQ(pop3.Connect(), mrOk) << pop3.LastError().toStdString();
  ASSERT_EQ(pop3.DownloadHeaders(), mrOk);
  const int k = indexOf(pop3);
  ASSERT_GT(k, 0);
  ASSERT_EQ(pop3.DownloadMessage(k), mrOk);
  EXPECT_EQ(pop3.BodyText().trimmed(), "hello");
  pop3.Disconnect();
}
