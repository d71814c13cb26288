// A received mail taken apart from its file: large bodies come byte for byte
// from the file whatever their encoding, nesting and line ends; headers in
// charsets the mail library does not know are read without failing (or
// leaking: this test runs under the leak checker too).
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "transport/ReceivedMessage.h"
#include "transport/MailSession.h"

namespace {

QString WriteMail(const QTemporaryDir& dir, const QByteArray& raw) {
  const QString path = dir.filePath("mail.eml");
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
  f.write(raw);
  return path;
}

// Bytes 0..255 over and over, n of them.
QByteArray Bytes(int n) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) b[i] = char((i * 7 + i / 251) & 0xff);
  return b;
}

QByteArray Lines(const QByteArray& text, int width, const QByteArray& lineEnd) {
  QByteArray out;
  for (qsizetype k = 0; k < text.size(); k += width) out += text.mid(k, width) + lineEnd;
  return out;
}

}  // namespace

TEST(ReceivedMessage, LargeBodiesComeWholeFromTheFile) {
  mail::InitMailLibrary();
  QTemporaryDir dir;
  const QByteArray data = Bytes(300'000);
  QByteArray listing;
  for (int i = 0; i < 20'000; ++i) listing += "file" + QByteArray::number(i) + ".txt\t1KB\r\n";
  const QByteArray ascii = Lines(data.toBase64(), 60, "\r\n");  // text that is no Base64 to the mail
  auto attachment = [](const QByteArray& encoding, const QByteArray& content, const QByteArray& nl) {
    return "Content-Type: application/octet-stream; name=\"disk.001\"" + nl + "Content-Transfer-Encoding: " + encoding +
           nl + "Content-Disposition: attachment; filename=\"disk.001\"" + nl + nl + content;
  };
  struct Case {
    const char* Name;
    QByteArray Nl;
    QByteArray Body;  // after the top header
    QByteArray Attachment, Text;
  } cases[] = {
      {"base64 CRLF", "\r\n",
       "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\nprolog\r\n--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n--b\r\n" +
           attachment("base64", Lines(data.toBase64(), 76, "\r\n"), "\r\n") + "\r\n--b--\r\nepilog\r\n",
       data, "hello"},
      {"base64 LF, nested", "\n",
       "Content-Type: multipart/mixed; boundary=outer\n\n--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
       "--inner\nContent-Type: text/plain\n\nhello\n--inner--\n--outer\n" +
           attachment("base64", Lines(data.toBase64(), 76, "\n"), "\n") + "\n--outer--\n",
       data, "hello"},
      {"7bit text attachment", "\r\n",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + attachment("7bit", ascii, "\r\n") + "\r\n--b--\r\n",
       ascii, ""},
      {"large text body", "\r\n", "Content-Type: text/plain; charset=utf-8\r\n\r\n" + listing, {}, listing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const QString path = WriteMail(dir, "From: bob@example.test" + c.Nl + "Subject: !_x" + c.Nl + "MIME-Version: 1.0" +
                                            c.Nl + c.Body);
    mail::ReceivedMessage m(path);
    EXPECT_EQ(m.BodyText().trimmed(), QString::fromUtf8(c.Text).trimmed());
    if (c.Attachment.isEmpty()) {
      EXPECT_EQ(m.AttachmentCount(), 0);
      continue;
    }
    ASSERT_EQ(m.AttachmentCount(), 1);
    EXPECT_EQ(m.AttachmentFileName(0), "disk.001");
    for (int copy = 0; copy < 2; ++copy) {  // saved twice: the same bytes
      const QString out = dir.filePath(QStringLiteral("saved%1").arg(copy));
      ASSERT_EQ(m.SaveAttachment(0, out), 0);
      QFile f(out);
      ASSERT_TRUE(f.open(QIODevice::ReadOnly));
      const QByteArray saved = f.readAll();
      EXPECT_EQ(saved.size(), c.Attachment.size());
      EXPECT_TRUE(saved == c.Attachment);
    }
  }
}

TEST(ReceivedMessage, SenderAndSubjectInCharsetsNobodyKnows) {
  mail::InitMailLibrary();
  QTemporaryDir dir;
  struct Case {
    QByteArray From, Subject;
    QString Address;
  } cases[] = {
      {"=?x-no-such-charset?Q?B=F6b?= <bob@example.test>", "=?x-no-such-charset?Q?=3F=5Flist?=", "bob@example.test"},
      {"<=?x-no-such-charset?Q?b=F6b?=@example.test>", "?_list", ""},
      {"\"B\xf6\x62\" <bob@example.test>", "?_list", "bob@example.test"},
      {"bob@example.test", "=?utf-8?B?P19saXN0?=", "bob@example.test"},
  };
  for (const Case& c : cases) {
    const QString path = WriteMail(dir, "From: " + c.From + "\r\nTo: carol@example.test\r\nSubject: " + c.Subject +
                                            "\r\nContent-Type: text/plain; charset=x-no-such-charset\r\n\r\nbody\r\n");
    mail::ReceivedMessage m(path);
    if (!c.Address.isEmpty()) {
      EXPECT_EQ(m.FromAddr(), c.Address) << c.From.constData();
    }
    EXPECT_FALSE(m.Subject().isEmpty()) << c.Subject.constData();
    EXPECT_EQ(m.BodyText(), "body\r\n") << c.From.constData();
  }
}
