#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct CtlRun {
  int code;
  QString out, err;
};

CtlRun Ctl(const QStringList& args) {
  QProcess p;
  p.start(KESTROCTL, args);
  p.waitForFinished(60000);
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
          QString::fromUtf8(p.readAllStandardError())};
}

}  // namespace

TEST(Kestroctl, TextsRoundTripWithAndWithoutVector) {
  for (const QString iv : {"6B0ED439F2875AC1", "-"}) {
    const CtlRun enc = Ctl({"encrypt-text", "alice@example.testt7hm3kqp", iv, "download"});
    ASSERT_EQ(enc.code, 0) << enc.err;
    const QString base64 = enc.out.trimmed();
    EXPECT_EQ(base64.size(), 12);
    const CtlRun dec = Ctl({"decrypt-text", "alice@example.testt7hm3kqp", iv, base64.left(5) + "\r\n" + base64.mid(5)});
    EXPECT_EQ(dec.code, 0);
    EXPECT_EQ(dec.out, "download\n");
  }
  const CtlRun key = Ctl({"peer-key", " Alice@Example.TEST "});
  EXPECT_EQ(key.out, "alice@example.testt7hm3kqp\n");
}

TEST(Kestroctl, FilesInPlace) {
  QTemporaryDir dir;
  const QString path = dir.filePath("data.bin");
  const QByteArray plain = "eleven byte";
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(plain);
  f.close();
  EXPECT_EQ(Ctl({"encrypt-file", "5TK8QM20R7H3CVWN", "-", path}).code, 0);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray encrypted = f.readAll();
  f.close();
  EXPECT_EQ(encrypted.size(), plain.size());
  EXPECT_NE(encrypted, plain);
  EXPECT_EQ(Ctl({"decrypt-file", "5TK8QM20R7H3CVWN", "-", path}).code, 0);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), plain);
  const CtlRun missing = Ctl({"decrypt-file", "k", "-", dir.filePath("none")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(missing.err.contains("none")) << missing.err;
}

TEST(Kestroctl, ParseSubject) {
  const CtlRun r = Ctl({"parse-subject", "!_20260301120000005.300.3_Zm9v_Done", "20260301120000000", ""});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "prefix=!_\nident=20260301120000005.300.3\nidentbase=20260301120000005\nrest=Zm9v_Done\ntaken=yes\n");
  const CtlRun stopped = Ctl({"parse-subject", "!_20260301120000005_Zm9v_Done", "20260301120000000", "20260301120000005"});
  EXPECT_TRUE(stopped.out.endsWith("taken=no\n"));
  const CtlRun plain = Ctl({"parse-subject", "?_list", "20990101000000000", "20990101000000000"});
  EXPECT_TRUE(plain.out.contains("rest=list\n") && plain.out.endsWith("taken=yes\n"));
  EXPECT_EQ(plain.out.section("ident=", 1).section('\n', 0, 0).size(), 17);
}

TEST(Kestroctl, BadArgumentsGiveUsageAndNonZeroExit) {
  struct {
    QStringList args;
    int code;
    const char* message;
  } cases[] = {
      {{}, 2, "Usage: kestroctl"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"encrypt-text", "key", "-"}, 2, "usage: kestroctl encrypt-text KEYTEXT IV TEXT"},
      {{"encrypt-text", "key", "12345", "x"}, 2, "IV must be 16 hexadecimal digits"},
      {{"encrypt-text", "key", "zz0ed439f2875ac1", "x"}, 2, "IV must be 16 hexadecimal digits"},
      {{"peer-key", "a", "b"}, 2, "too many arguments"},
  };
  for (const auto& c : cases) {
    const CtlRun r = Ctl(c.args);
    EXPECT_EQ(r.code, c.code) << c.args.join(' ');
    EXPECT_TRUE(r.err.contains(c.message)) << r.err;
  }
  const CtlRun help = Ctl({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("parse-subject SUBJECT ONLINESTAMP STOPJOBID"));
}
