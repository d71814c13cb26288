// The SMTP server's size limit: read from its EHLO answer (SIZE), remembered
// per account, and a mail over it refused with its own code, against the
// stack's small listeners (one announces SIZE, one hides it).
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "MailStack.h"
#include "TestFiles.h"
#include "WaitUntil.h"
#include "transport/SmtpSender.h"

namespace {

int SmallPort() { return MailStack::Get().Value("MAILSTACK_SMTPS_SMALL_PORT").toInt(); }
int HiddenPort() { return MailStack::Get().Value("MAILSTACK_SMTPS_HIDDEN_PORT").toInt(); }
qint64 SmallLimit() { return MailStack::Get().Value("MAILSTACK_SMALL_SIZE_LIMIT").toLongLong(); }

TMailSMTP Sender(int port, const QString& log = QString()) {
  const MailStack& s = MailStack::Get();
  TMailSMTP smtp;
  smtp.SetMailServer("127.0.0.1");
  smtp.SetMailPort(port);
  smtp.SetCaFile(s.CaFile());
  smtp.SetFromAddr(MailStack::Address("alice"));
  smtp.SetAuthMode(1);
  smtp.SetAccount(MailStack::Address("alice"));
  smtp.SetPassword(s.Password("alice"));
  smtp.SetLogFile(log);
  return smtp;
}

// A mail to bob with one attachment of size bytes (not compressible).
int SendAttachment(TMailSMTP& smtp, const QString& folder, qint64 size, quint32 seed) {
  const QString path = folder + QStringLiteral("/part%1.bin").arg(seed);
  EXPECT_TRUE(WriteFile(path, RandomBytes(size, seed)));
  smtp.Clear();
  EXPECT_EQ(smtp.AddRecipient(MailStack::Address("bob")), 0);
  smtp.SetSubject("size test");
  smtp.SetBodyText("");
  EXPECT_EQ(smtp.AddAttachment(path), 0);
  return smtp.Send();
}

TEST(SizeLimit, EncodedSizeFollowsTheBase64Lines) {
  struct Case {
    qint64 Bytes, Encoded;
  };
  // 57 bytes make one line of 76 characters and CR LF.
  for (const Case& c : {Case{0, 0}, Case{1, 6}, Case{57, 78}, Case{58, 84}, Case{570, 780}, Case{1000000, 1368424}})
    EXPECT_EQ(EncodedAttachmentSize(c.Bytes), c.Encoded) << c.Bytes;
  for (const qint64 limit : {qint64(1000), qint64(2000000), qint64(35000000)}) {
    const qint64 fit = LargestAttachmentFor(limit, 500);
    EXPECT_LE(EncodedAttachmentSize(fit) + 500, limit);
    EXPECT_GT(EncodedAttachmentSize(fit + 1) + 500, limit);
  }
  EXPECT_EQ(LargestAttachmentFor(400, 500), 0);
}

TEST(SizeLimit, ReadFromEhloAndRememberedPerAccount) {
  REQUIRE_MAILSTACK();
  QTemporaryDir dir;
  {
    TMailSMTP smtp = Sender(SmallPort(), dir.filePath("small.log"));
    EXPECT_EQ(smtp.SizeLimit(), SmallLimit());
    // Asked over the wire, without a login.
    const QByteArray log = ReadFile(dir.filePath("small.log"));
    EXPECT_TRUE(log.contains("C: EHLO")) << log.constData();
    EXPECT_FALSE(log.contains("C: AUTH")) << log.constData();
  }
  {
    // Another sender for the same account asks nobody.
    TMailSMTP smtp = Sender(SmallPort(), dir.filePath("again.log"));
    EXPECT_EQ(smtp.SizeLimit(), SmallLimit());
    EXPECT_FALSE(ReadFile(dir.filePath("again.log")).contains("C: EHLO"));
  }
  // No SIZE in the answer: no limit.
  TMailSMTP hidden = Sender(HiddenPort());
  EXPECT_EQ(hidden.SizeLimit(), 0);
  // The main listener announces the stack's large limit.
  TMailSMTP main = Sender(MailStack::Get().SmtpPort());
  EXPECT_EQ(main.SizeLimit(), 62914560);
  // Nothing answers: unknown, and asked again next time.
  TMailSMTP nobody = Sender(1);
  EXPECT_EQ(nobody.SizeLimit(), 0);
}

TEST(SizeLimit, MailOverTheLimitIsRefusedAsTooLarge) {
  REQUIRE_MAILSTACK();
  MailStack::Get().Clear("bob");
  QTemporaryDir dir;
  // The largest attachment that fits, with room for the headers, goes
  // through; 40 KB more is refused at MAIL FROM, and the text names the limit.
  TMailSMTP small = Sender(SmallPort());
  const qint64 fit = LargestAttachmentFor(SmallLimit(), 8192);
  EXPECT_EQ(SendAttachment(small, dir.path(), fit, 1), mrOk) << small.LastError().toStdString();
  EXPECT_EQ(SendAttachment(small, dir.path(), fit + 40000, 2), mrTooLarge);
  EXPECT_TRUE(small.LastError().contains("2,000,000 bytes")) << small.LastError().toStdString();
  // A server that hides its limit refuses after the data (552 5.3.4).
  TMailSMTP hidden = Sender(HiddenPort());
  EXPECT_EQ(SendAttachment(hidden, dir.path(), 1200000, 3), mrTooLarge);
  EXPECT_EQ(hidden.LastError(), MailResultText(mrTooLarge));
  EXPECT_EQ(SendAttachment(hidden, dir.path(), 100000, 4), mrOk) << hidden.LastError().toStdString();
  EXPECT_TRUE(MailStack::Get().WaitForMails("bob", 2));
}

}  // namespace
