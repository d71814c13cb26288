// A received mail taken apart from its file: headers in charsets the mail
// library does not know are read without failing (or leaking: this test runs
// under the leak checker too).
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

}  // namespace

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
