// kestroctl's mail commands on a configuration folder, against the test stack.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "MailStack.h"

namespace {

struct CtlRun {
  int Code = -1;
  QString Out;
};

CtlRun Ctl(const QStringList& args, const QString& runtime, const QByteArray& input = {}) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("KESTRO_SETTINGS", MailStack::Get().SettingsFile());
  env.insert("KESTRO_RUNTIME_DIR", runtime);
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(KESTRO_BINARY_DIR "/app/kestroctl"), args);
  p.write(input);
  p.closeWriteChannel();
  p.waitForFinished(120000);
  return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput())};
}

}  // namespace

TEST(KestroctlMail, TestSendAndScan) {
  REQUIRE_MAILSTACK();
  const MailStack& s = MailStack::Get();
  QTemporaryDir tmp;
  const QString rt = tmp.filePath("rt"), a = tmp.filePath("a"), b = tmp.filePath("b");
  s.Clear("bob");
  ASSERT_EQ(Ctl({"config", "init", a}, rt).Code, 0);
  ASSERT_EQ(Ctl({"account", "set", a, "alice@example.test"}, rt, s.Password("alice").toUtf8() + "\n").Code, 0);
  ASSERT_EQ(Ctl({"config", "init", b}, rt).Code, 0);
  ASSERT_EQ(Ctl({"account", "set", b, "bob@example.test", "--imap"}, rt, s.Password("bob").toUtf8() + "\n").Code, 0);

  const CtlRun ok = Ctl({"mail", "test", a}, rt);
  EXPECT_EQ(ok.Code, 0);
  EXPECT_TRUE(ok.Out.startsWith("0\t")) << ok.Out;
  ASSERT_EQ(Ctl({"account", "set", a, "alice@example.test"}, rt, "Wrong-Secret-42\n").Code, 0);
  const CtlRun bad = Ctl({"mail", "test", a}, rt);
  EXPECT_EQ(bad.Code, 1);
  EXPECT_TRUE(bad.Out.startsWith("104\t")) << bad.Out;
  ASSERT_EQ(Ctl({"account", "set", a, "alice@example.test"}, rt, s.Password("alice").toUtf8() + "\n").Code, 0);

  QFile att(tmp.filePath("disk.001"));
  ASSERT_TRUE(att.open(QIODevice::WriteOnly));
  att.write("volume");
  att.close();
  EXPECT_EQ(Ctl({"mail", "send", a, "--to", "bob@example.test", "--subject", "?_list"}, rt).Code, 0);
  EXPECT_EQ(Ctl({"mail", "send", a, "--to", "bob@example.test", "--subject", "!_20261210120000000.6.1_QUJD_Done",
                 "--attach", att.fileName()},
                rt)
                .Code,
            0);
  EXPECT_EQ(Ctl({"mail", "send", a, "--to", "bob@example.test", "--subject", "Lunch?", "--body", "at noon"}, rt).Code, 0);
  EXPECT_EQ(Ctl({"mail", "send", a, "--to", "bob@example.test\r\nRCPT TO:<carol@example.test>", "--subject", "x"}, rt)
                .Code,
            1);
  ASSERT_TRUE(s.WaitForMails("bob", 3));

  const CtlRun scan = Ctl({"mailbox", "scan", b, "--online-stamp", "20261210000000000", "--stop-id", "20261210130000000"}, rt);
  EXPECT_EQ(scan.Code, 0);
  const QStringList lines = scan.Out.split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 2) << scan.Out;
  const QStringList first = lines[0].split('\t');
  ASSERT_EQ(first.size(), 5);
  EXPECT_EQ(first[0], "?_");
  EXPECT_EQ(first[1].size(), 17);
  EXPECT_EQ(first[2], "alice@example.test");
  EXPECT_EQ(first[4], "taken");
  EXPECT_EQ(lines[1], "!_\t20261210120000000.6.1\talice@example.test\t\tskipped");
  EXPECT_EQ(Ctl({"mailbox", "scan", b}, rt).Out.split('\n', Qt::SkipEmptyParts).last(),
            "!_\t20261210120000000.6.1\talice@example.test\tdisk.001\ttaken");
  // Scanning deletes nothing.
  EXPECT_EQ(s.Mails("bob").size(), 3);
}

// The password never stands on the command line (every user can read that):
// it is the first line of standard input when that is no terminal.
TEST(KestroctlAccount, PasswordComesFromStandardInputOnly) {
  QTemporaryDir tmp;
  const QString rt = tmp.filePath("rt"), dir = tmp.filePath("conf");
  ASSERT_EQ(Ctl({"config", "init", dir}, rt).Code, 0);
  EXPECT_EQ(Ctl({"account", "set", dir, "me@example.org", "pa55word"}, rt).Code, 2);
  EXPECT_EQ(Ctl({"account", "set", dir, "me@example.org"}, rt, "").Code, 1);
  EXPECT_EQ(Ctl({"account", "set", dir, "me@example.org", "--imap"}, rt, "s3cret word\r\nnext line\n").Code, 0);
  const CtlRun shown = Ctl({"config", "show", dir, "--show-secrets"}, rt);
  EXPECT_TRUE(shown.Out.contains("OPTIONS_POP3_ACCOUNT = me@example.org")) << shown.Out;
  EXPECT_TRUE(shown.Out.contains("OPTIONS_POP3_PASSWORD = s3cret word\n")) << shown.Out;
  EXPECT_FALSE(shown.Out.contains("pa55word"));
}
