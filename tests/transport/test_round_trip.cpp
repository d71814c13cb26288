// Mails sent through SMTP come back over POP3 and IMAP4 byte for byte: a
// 25 MB attachment, a 300 KB body on one line, non-ASCII texts.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fstream>
#include <string>

#include "MailStack.h"
#include "platform/Closing.h"
#include "transport/Imap4Mailbox.h"
#include "transport/MailAddress.h"
#include "transport/Pop3Mailbox.h"
#include "transport/SmtpSender.h"

namespace {

// A memory figure of this process in kB: "VmHWM:" (peak since the last
// reset) or "VmRSS:" (now).
long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  return 0;
}
long PeakKb() { return StatusKb("VmHWM:"); }
long CurrentKb() { return StatusKb("VmRSS:"); }
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

TMailSMTP Sender(const QString& user, const QString& log = QString()) {
  const MailStack& s = MailStack::Get();
  TMailSMTP smtp;
  smtp.SetMailServer("127.0.0.1");
  smtp.SetMailPort(s.SmtpPort());
  smtp.SetCaFile(s.CaFile());
  smtp.SetFromAddr(MailStack::Address(user));
  smtp.SetAuthMode(1);
  smtp.SetAccount(MailStack::Address(user));
  smtp.SetPassword(s.Password(user));
  smtp.SetLogFile(log);
  return smtp;
}

QByteArray FileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Received {
  QString Subject, From, Body, AttachmentName;
  int Attachments = -1;
  QByteArray Attachment;
  int Code = -1;
};

// Reads the one mail of user's mailbox whose subject is subject, over POP3 or IMAP4.
Received Fetch(const QString& user, bool imap, const QString& subject, const QString& saveDir) {
  const MailStack& s = MailStack::Get();
  const IncomingAccount a = s.Account(user, imap);
  Received r;
  auto take = [&](TMailReceiver& box) {
    for (int i = 1; i <= box.MessageCount(); ++i) {
      if (box.Subject(i) != subject) continue;
      r.Subject = box.Subject(i);
      r.From = box.FromAddr(i);
      r.Code = box.DownloadMessage(i);
      r.Body = box.BodyText();
      r.Attachments = box.AttachmentCount();
      if (r.Attachments >= 1) {
        r.AttachmentName = box.AttachmentFileName(1);
        const QString path = saveDir + "/saved.bin";
        if (box.SaveAttachment(1, path) == 0) r.Attachment = FileBytes(path);
      }
    }
  };
  if (imap) {
    TMailIMAP4 box;
    box.SetMailPort(a.Port);
    box.SetCaFile(a.CaFile);
    EXPECT_EQ(box.Connect(a.Server), 0);
    EXPECT_EQ(box.Login(a.Account, a.Password), 0);
    EXPECT_EQ(box.SelectMailbox(a.Folder), 0);
    EXPECT_EQ(box.DownloadEnvelopes(), 0);
    take(box);
    box.Disconnect();
  } else {
    TMailPOP3 box;
    box.SetMailServer(a.Server);
    box.SetMailPort(a.Port);
    box.SetCaFile(a.CaFile);
    box.SetAccount(a.Account);
    box.SetPassword(a.Password);
    EXPECT_EQ(box.Connect(), 0);
    EXPECT_EQ(box.DownloadHeaders(), 0);
    take(box);
    box.Disconnect();
  }
  return r;
}

}  // namespace

class RoundTrip : public ::testing::Test {
protected:
  void SetUp() override {
    if (!MailStack::Get().Ok()) GTEST_SKIP() << "the test mail stack is not running";
    MailStack::Get().Clear("bob");
  }
};

TEST_F(RoundTrip, LargeAttachmentAndLongBodyLineComeBackByteForByte) {
  const MailStack& s = MailStack::Get();
  QTemporaryDir dir;
  // 25 MB of random bytes under a name with a blank and non-ASCII letters.
  const QString attachment = dir.filePath(QStringLiteral("Volume données 1.bin"));
  QByteArray data(25 * 1024 * 1024, Qt::Uninitialized);
  QRandomGenerator gen(20261210);
  gen.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
  {
    QFile f(attachment);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }
  // A 300 KB body on one line (an encrypted body is one Base64 line).
  QString body;
  body.reserve(300 * 1024);
  const QString alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 300 * 1024; ++i) body += alphabet[gen.bounded(64)];

  const QString subject = "!_20261210101010123.26214400.1_QUJD_Done";
  TMailSMTP smtp = Sender("alice", dir.filePath("smtp.log"));
  ASSERT_EQ(smtp.AddRecipient(MailStack::Address("bob")), 0);
  smtp.SetSubject(subject);
  smtp.SetBodyText(body);
  ASSERT_EQ(smtp.AddAttachment(attachment), 0);
  ResetPeak();
  const long before = CurrentKb();
  ASSERT_EQ(smtp.Send(), 0) << smtp.LastError().toStdString();
  const long sendGrowth = PeakKb() - before;
  ASSERT_TRUE(s.WaitForMails("bob", 1));
  const QByteArray log = FileBytes(dir.filePath("smtp.log"));
  EXPECT_FALSE(log.contains(s.Password("alice").toUtf8()));
  // The server offers SMTPUTF8; the mail never asks for it.
  for (const QByteArray& line : log.split('\n')) {
    if (line.contains("C: MAIL FROM")) {
      EXPECT_FALSE(line.contains("SMTPUTF8")) << line.constData();
    }
  }

  for (bool imap : {false, true}) {
    SCOPED_TRACE(imap ? "IMAP4" : "POP3");
    ResetPeak();
    const long start = CurrentKb();
    const Received r = Fetch("bob", imap, subject, dir.path());
    const long fetchGrowth = PeakKb() - start;
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.From, MailStack::Address("alice"));
    EXPECT_EQ(r.Body.trimmed(), body);
    ASSERT_EQ(r.Attachments, 1);
    EXPECT_EQ(r.AttachmentName, QStringLiteral("Volume données 1.bin"));
    EXPECT_EQ(r.Attachment.size(), data.size());
    EXPECT_TRUE(r.Attachment == data);
    std::printf("memory growth with a 25 MB attachment: send %ld kB, %s receive %ld kB\n", sendGrowth,
                imap ? "IMAP4" : "POP3", fetchGrowth);
  }
}

TEST_F(RoundTrip, NonAsciiTextsTravelAsPlainMime) {
  const MailStack& s = MailStack::Get();
  QTemporaryDir dir;
  const QString subject = QStringLiteral("?_Grüße an alle_list");
  const QString body = QStringLiteral("Zeile eins – ä ö ü\r\nZeile zwei ✓");
  TMailSMTP smtp = Sender("alice", dir.filePath("smtp.log"));
  ASSERT_EQ(smtp.AddRecipient(MailStack::Address("bob")), 0);
  smtp.SetSubject(subject);
  smtp.SetBodyText(body);
  ASSERT_EQ(smtp.Send(), 0) << smtp.LastError().toStdString();
  ASSERT_TRUE(s.WaitForMails("bob", 1));
  // On the wire: headers in 7-bit encoded words, no raw UTF-8.
  const QByteArray raw = s.Mails("bob").first();
  const QByteArray head = raw.left(raw.indexOf("\n\n"));
  for (char c : head) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << head.constData();
  for (bool imap : {false, true}) {
    const Received r = Fetch("bob", imap, subject, dir.path());
    EXPECT_EQ(r.Subject, subject);
    EXPECT_EQ(r.Body.trimmed(), body);
    EXPECT_EQ(r.Attachments, 0);
  }
}

TEST_F(RoundTrip, SendFailuresHaveTheirCodes) {
  const MailStack& s = MailStack::Get();
  QTemporaryDir dir;
  // Recipient checks before anything reaches the server.
  for (const QString& bad : {QStringLiteral(""), QStringLiteral("bob@example.test\r\nRCPT TO:<carol@example.test>"),
                             QStringLiteral("bob@example.test, carol@example.test"), QStringLiteral("no-at-sign"),
                             QStringLiteral("Bob <bob@example.test>"), QStringLiteral("bob@@example.test")}) {
    TMailSMTP smtp = Sender("alice");
    EXPECT_EQ(smtp.AddRecipient(bad), mrBadAddress) << bad.toStdString();
    EXPECT_EQ(smtp.Send(), mrBadAddress);
  }
  EXPECT_EQ(CheckedAddress("  bob@example.test \t"), QStringLiteral("bob@example.test"));

  struct Case {
    const char* Name;
    int Expected;
  };
  {
    TMailSMTP smtp = Sender("alice");
    smtp.AddRecipient("nobody@example.test");
    smtp.SetSubject("x");
    EXPECT_EQ(smtp.Send(), mrMessageRefused) << "unknown recipient";
  }
  {
    TMailSMTP smtp = Sender("alice", dir.filePath("smtp.log"));
    smtp.SetPassword("Wrong-Secret-42");
    smtp.AddRecipient(MailStack::Address("bob"));
    EXPECT_EQ(smtp.Send(), mrAuthFailed);
    EXPECT_FALSE(FileBytes(dir.filePath("smtp.log")).contains("Wrong-Secret-42"));
  }
  {
    // Over the server's size limit (60 MiB).
    const QString big = dir.filePath("big.bin");
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.resize(64LL * 1024 * 1024);
    f.close();
    TMailSMTP smtp = Sender("alice");
    smtp.AddRecipient(MailStack::Address("bob"));
    ASSERT_EQ(smtp.AddAttachment(big), 0);
    EXPECT_EQ(smtp.Send(), mrTooLarge);
  }
  {
    TMailSMTP smtp = Sender("alice");
    EXPECT_EQ(smtp.AddAttachment(dir.filePath("missing.bin")), mrFileError);
  }
  {
    TMailSMTP smtp = Sender("alice");
    smtp.SetCaFile(s.OtherCaFile());
    smtp.AddRecipient(MailStack::Address("bob"));
    EXPECT_EQ(smtp.Send(), mrCertificate);
  }
}
