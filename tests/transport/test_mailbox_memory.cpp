// The memory file's text: what is written reads back the same, also with
// texts that need escapes; the same memory in another JSON layout (members
// in another order, white space, escapes of its own) reads the same; a
// damaged text or one of another version is refused.
#include <gtest/gtest.h>

#include <QJsonDocument>

#include "transport/MailboxMemory.h"

namespace {

using mail::Remembered;

Remembered Sample() {
  Remembered r;
  r.UidNext = 4294967295u;
  const QStringList subjects = {QStringLiteral("?_list"),
                                QStringLiteral("$_20261210090000000_\"quoted\" \\ back\\slash"),
                                QStringLiteral("!_line\nbreak\ttab\x01\x1f end"),
                                QStringLiteral("?_Grüße 東京 \U0001F600"),
                                QString()};
  for (int i = 0; i < subjects.size(); ++i) {
    const QString uid = QString::number(100 + i);
    MailHeaders h;
    h.Subject = subjects[i];
    h.FromAddr = subjects[i].isEmpty() ? QString() : QStringLiteral("bob+%1@example.test").arg(i);
    h.Size = i == 0 ? -1 : 1000 + i;  // -1: not known
    h.Deleted = i % 2;
    r.Headers[uid] = h;
    r.Order << uid;
  }
  r.Taken = {QStringLiteral("101"), QStringLiteral("103")};
  return r;
}

void ExpectSame(const Remembered& a, const Remembered& b) {
  EXPECT_EQ(a.UidNext, b.UidNext);
  EXPECT_EQ(a.Order, b.Order);
  EXPECT_EQ(a.Taken, b.Taken);
  ASSERT_EQ(a.Headers.size(), b.Headers.size());
  for (const auto& [uid, h] : a.Headers) {
    SCOPED_TRACE(uid.toStdString());
    ASSERT_TRUE(b.Headers.count(uid));
    const MailHeaders& g = b.Headers.at(uid);
    EXPECT_EQ(g.Subject, h.Subject);
    EXPECT_EQ(g.FromAddr, h.FromAddr);
    EXPECT_EQ(g.Size, h.Size);
    EXPECT_EQ(g.Deleted, h.Deleted);
  }
}

TEST(MailboxMemory, WrittenTextReadsBackAlsoInAnotherLayout) {
  const Remembered sample = Sample();
  Remembered empty;
  const QByteArray text = mail::MemoryFileText({{QStringLiteral("imap4|key \"1\""), &sample}, {QStringLiteral("pop3|2"), &empty}});

  // The same memory laid out as a JSON writer does: members sorted, indented,
  // non-ASCII escaped by hand.
  QByteArray other = QJsonDocument::fromJson(text).toJson(QJsonDocument::Indented);
  ASSERT_FALSE(other.isEmpty());
  other.replace("\xC3\xBC", "\\u00fc").replace("\xF0\x9F\x98\x80", "\\ud83d\\ude00");

  for (const QByteArray& bytes : {text, other}) {
    std::map<QString, Remembered> read;
    ASSERT_TRUE(mail::ReadMemoryFile(bytes, read)) << bytes.constData();
    ASSERT_EQ(read.size(), 2u);
    ExpectSame(sample, read[QStringLiteral("imap4|key \"1\"")]);
    ExpectSame(empty, read[QStringLiteral("pop3|2")]);
  }
}

TEST(MailboxMemory, DamagedTextIsRefused) {
  const Remembered sample = Sample();
  const QByteArray text = mail::MemoryFileText({{QStringLiteral("k"), &sample}});
  QByteArray wrongVersion = text;
  wrongVersion.replace("\"version\":1", "\"version\":2");
  QByteArray unknownUid = text;
  unknownUid.replace("\"order\":[\"100\"", "\"order\":[\"999\"");
  QByteArray shortEntry = text;
  shortEntry.replace(",1001,3]", ",1001]");
  const struct {
    const char* Name;
    QByteArray Bytes;
  } cases[] = {
      {"empty", ""},
      {"half", text.left(text.size() / 2)},
      {"trailing bytes", text + "x"},
      {"other version", wrongVersion},
      {"order names a mail it does not keep", unknownUid},
      {"entry with three fields", shortEntry},
      {"not an object", "[1,2,3]"},
      {"unterminated string", "{\"version\":1,\"mailboxes\":{\"k"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::map<QString, Remembered> read;
    EXPECT_FALSE(mail::ReadMemoryFile(c.Bytes, read));
  }
}

}  // namespace
