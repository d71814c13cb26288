// kestroctl's configuration and compound-file commands, run as a person or a script would.
#include "config/ClassData.h"
#include "config/Storage.h"
#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace {

struct Result {
  int Code = -1;
  QString Out, Err;
};

class CtlConfig : public ::testing::Test {
protected:
  QTemporaryDir Tmp;
  QString Dir = Tmp.filePath("conf");
  QString Share = Tmp.filePath("share");

  void SetUp() override {
    QDir().mkpath(Share);
    ASSERT_EQ(Ctl({"config", "init", Dir}).Code, 0);
  }

  Result Ctl(const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", Tmp.filePath("xdg"));  // this machine's autostart stays untouched
    env.insert("KESTRO_SETTINGS", Tmp.filePath("none.ini"));
    p.setProcessEnvironment(env);
    p.start(KESTROCTL, args);
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
  }

  ino_t Inode(const QString& file) {
    struct stat st {};
    return ::stat(QFile::encodeName(Dir + "/" + file).constData(), &st) == 0 ? st.st_ino : 0;
  }

  QByteArray Bytes(const QString& file) {
    QFile f(Dir + "/" + file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

}  // namespace

TEST_F(CtlConfig, InitWritesAFreshConfigurationOnce) {
  TClassData data(nullptr, Dir);
  data.SetSaveOnDestroy(false);
  EXPECT_EQ(data.DataMain().RecordCount(), 1);
  EXPECT_EQ(data.DataMain103().RecordCount(), 1);
  EXPECT_TRUE(data.DataMain().AsBoolean("MAIN_SECOND_START"));
  const Result again = Ctl({"config", "init", Dir});
  EXPECT_EQ(again.Code, 1);
  EXPECT_TRUE(again.Err.contains("already")) << again.Err;
  EXPECT_FALSE(QFile::exists(Tmp.filePath("xdg/autostart/kestro.desktop")));
}

TEST_F(CtlConfig, AccountOptionsAndShowWithAndWithoutSecrets) {
  EXPECT_EQ(Ctl({"account", "set", Dir, "me@example.org", "--imap"}, "pa55word\n").Code, 0);
  EXPECT_EQ(Ctl({"option", "set", Dir, "OPTIONS_STARTUP_RUN", "true"}).Code, 0);
  EXPECT_EQ(Ctl({"option", "set", Dir, "OPTIONS_POP3_ACCEL_TIME", "30"}).Code, 0);
  EXPECT_EQ(Ctl({"option", "set", Dir, "OPTIONS_SMTP_SERVER", "smtp.example.org"}).Code, 0);
  for (const QStringList& bad : {QStringList{"OPTIONS_POP3_ACCEL_TIME", "thirty"}, {"OPTIONS_STARTUP_RUN", "yes"},
                                 {"NO_SUCH_FIELD", "1"}, {"USERS", "x"}, {"MAIN_REMOTE_HOST", QString(101, 'a')},
                                 {"OPTIONS_POP3_PASSWORD", "on-the-command-line"}}) {
    const Result r = Ctl(QStringList{"option", "set", Dir} + bad);
    EXPECT_EQ(r.Code, 1) << bad.join(' ');
    EXPECT_FALSE(r.Err.isEmpty());
  }

  TClassData data(nullptr, Dir);
  data.SetSaveOnDestroy(false);
  TMemTable& main = data.DataMain();
  EXPECT_EQ(main.AsString("OPTIONS_POP3_ACCOUNT"), "me@example.org");
  EXPECT_EQ(main.AsInteger("OPTIONS_POP3_TYPE"), 1);
  EXPECT_TRUE(main.AsBoolean("OPTIONS_STARTUP_RUN"));
  EXPECT_EQ(main.AsInteger("OPTIONS_POP3_ACCEL_TIME"), 30);
  EXPECT_EQ(main.AsString("OPTIONS_SMTP_SERVER"), "smtp.example.org");

  const Result hidden = Ctl({"config", "show", Dir});
  EXPECT_EQ(hidden.Code, 0);
  EXPECT_TRUE(hidden.Out.contains("OPTIONS_POP3_ACCOUNT = me@example.org"));
  EXPECT_TRUE(hidden.Out.contains("OPTIONS_POP3_PASSWORD = ********"));
  EXPECT_FALSE(hidden.Out.contains("pa55word"));
  EXPECT_TRUE(hidden.Out.contains("DataMain103: 1 row(s)"));
  const Result shown = Ctl({"config", "show", Dir, "--show-secrets"});
  EXPECT_TRUE(shown.Out.contains("OPTIONS_POP3_PASSWORD = pa55word"));
  // A password field is set from standard input, never from an argument.
  EXPECT_EQ(Ctl({"option", "set", Dir, "OPTIONS_SMTP_PASSWORD", "-"}, "piped s3cret\n").Code, 0);
  EXPECT_TRUE(Ctl({"config", "show", Dir, "--show-secrets"}).Out.contains("OPTIONS_SMTP_PASSWORD = piped s3cret"));
}

// "account set" takes the servers of the address (the table or the guess) as
// the account dialog does, or the ones given; a refused choice writes nothing.
TEST_F(CtlConfig, AccountServersFromTheAddressOrTheOptions) {
  auto servers = [this] {
    TClassData data(nullptr, Dir);
    data.SetSaveOnDestroy(false);
    TMemTable& t = data.DataMain();
    return QStringList{t.AsString("OPTIONS_POP3_SERVER"), t.AsString("OPTIONS_POP3_PORT"),
                       t.AsString("OPTIONS_POP3_SECURITY"), t.AsString("OPTIONS_SMTP_SERVER"),
                       t.AsString("OPTIONS_SMTP_PORT"), t.AsString("OPTIONS_SMTP_SECURITY"),
                       t.AsString("OPTIONS_POP3_TYPE")}
        .join(' ');
  };
  ASSERT_EQ(Ctl({"account", "set", Dir, "someone@gmx.de", "--imap"}, "pw\n").Code, 0);
  EXPECT_EQ(servers(), "imap.gmx.net 993 tls mail.gmx.net 587 starttls 1");
  ASSERT_EQ(Ctl({"account", "set", Dir, "me@example.org", "--outgoing-port", "465"}, "pw\n").Code, 0);
  EXPECT_EQ(servers(), "pop.example.org 995 tls smtp.example.org 465 tls 0");
  ASSERT_EQ(Ctl({"account", "set", Dir, "me@example.org", "--incoming-server", "mail.example.org", "--incoming-port",
                 "143", "--incoming-security", "starttls", "--imap", "--outgoing-server", "mail.example.org",
                 "--outgoing-security", "none"},
                "pw\n")
                .Code,
            0);
  EXPECT_EQ(servers(), "mail.example.org 143 starttls mail.example.org 587 none 1");
  // An account of the installation's provider keeps no servers: it behaves as before.
  ASSERT_EQ(Ctl({"account", "set", Dir, "someone"}, "pw\n").Code, 0);
  EXPECT_EQ(servers(), " 0   0  0");

  const QByteArray before = Bytes("server.cfg");
  for (const auto& [args, code] : std::vector<std::pair<QStringList, int>>{
           {{"a@example.org", "--incoming-port", "0"}, 1},
           {{"a@example.org", "--incoming-port", "99999"}, 1},
           {{"a@example.org", "--outgoing-security", "ssl"}, 1},
           {{"a@example.org", "--incoming-server", "bad host"}, 1},
           {{"a@example.org", "--incoming-server", QString(101, 'a')}, 1},
           {{"a@icloud.com"}, 1},  // no POP3 there
           {{"a@example.org", "--incoming-server"}, 2},
           {{"a@example.org", "--outgoing-colour", "red"}, 2}}) {
    const Result r = Ctl(QStringList{"account", "set", Dir} + args, "pw\n");
    EXPECT_EQ(r.Code, code) << args.join(' ').toStdString();
    EXPECT_FALSE(r.Err.isEmpty());
  }
  EXPECT_EQ(Bytes("server.cfg"), before);
}

TEST_F(CtlConfig, FriendsAndTheAnonymousShare) {
  const QString share = QDir(Share).canonicalPath();
  EXPECT_EQ(Ctl({"friend", "add", Dir, "ann@example.org", Share}).Code, 0);
  EXPECT_EQ(Ctl({"friend", "add", Dir, "bob@example.org", Share}).Code, 0);
  const ino_t before = Inode("server.cfg");
  EXPECT_EQ(Ctl({"friend", "add", Dir, " ANN@example.org", Share}).Code, 1);  // the same friend
  EXPECT_EQ(Inode("server.cfg"), before);  // a refused change writes nothing (a write renames a new file in)
  EXPECT_EQ(Ctl({"friend", "add", Dir, "carl@example.org", Tmp.filePath("missing")}).Code, 1);
  EXPECT_EQ(Ctl({"friend", "list", Dir}).Out,
            QString("ann@example.org\t%1\nbob@example.org\t%1\n").arg(share));
  EXPECT_EQ(Ctl({"friend", "remove", Dir, "Ann@Example.org"}).Code, 0);
  EXPECT_EQ(Ctl({"friend", "remove", Dir, "nobody@example.org"}).Code, 1);
  EXPECT_EQ(Ctl({"friend", "list", Dir}).Out, QString("bob@example.org\t%1\n").arg(share));

  EXPECT_EQ(Ctl({"anonymous", Dir, "on", Share}).Code, 0);
  {
    TClassData data(nullptr, Dir);
    data.SetSaveOnDestroy(false);
    EXPECT_TRUE(data.DataMain103().AsBoolean("ANONYMOUS_ON"));
    EXPECT_EQ(data.DataMain103().AsString("ANONYMOUS_FOLDER"), share);
    TMemTable& users = data.DataMain().Nested("USERS");
    EXPECT_TRUE(users.AsBoolean("USER_DOWNLOAD"));  // a new friend has every right flag
  }
  EXPECT_EQ(Ctl({"anonymous", Dir, "off"}).Code, 0);
  EXPECT_EQ(Ctl({"anonymous", Dir, "maybe"}).Code, 2);
  TClassData data(nullptr, Dir);
  data.SetSaveOnDestroy(false);
  EXPECT_FALSE(data.DataMain103().AsBoolean("ANONYMOUS_ON"));
}

TEST_F(CtlConfig, RefusesAConfigurationInUseAndReportsDamage) {
  const QByteArray before = Bytes("server.cfg");
  {
    InstanceLock running;
    ASSERT_TRUE(running.TryAcquire(Dir));
    for (const QStringList& change :
         {QStringList{"friend", "add", Dir, "ann@example.org", Share}, {"account", "set", Dir, "a"},
          {"option", "set", Dir, "OPTIONS_STARTUP_RUN", "true"}, {"anonymous", Dir, "off"}}) {
      const Result r = Ctl(change);
      EXPECT_EQ(r.Code, 1) << change.join(' ');
      EXPECT_TRUE(r.Err.contains("in use by a running Kestro")) << r.Err;
    }
    EXPECT_EQ(Ctl({"friend", "list", Dir}).Code, 0);  // reading is fine
  }
  EXPECT_EQ(Bytes("server.cfg"), before);

  QByteArray damaged = before;
  damaged.truncate(1000);
  {
    QFile f(Dir + "/server.cfg");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(damaged);
  }
  for (const QStringList& command : {QStringList{"config", "show", Dir}, {"friend", "add", Dir, "x@y.org", Share}}) {
    const Result r = Ctl(command);
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(Dir + "/server.cfg")) << r.Err;
  }
  EXPECT_EQ(Bytes("server.cfg"), damaged);
}

TEST_F(CtlConfig, CfbListAndCat) {
  const QString file = Tmp.filePath("plain.cfb");
  {
    TRootStorage root(file, stgReadWrite, stgExclusive, false, true);
    TStorageStream a("Alpha", true, stgReadWrite, root);
    a.WriteAll(QByteArray("first stream\n"));
    TStorageStream b("Beta", true, stgReadWrite, root);
    b.WriteAll(QByteArray(5000, 'b'));
  }
  const Result list = Ctl({"cfb", "list", file});
  EXPECT_EQ(list.Code, 0);
  EXPECT_EQ(list.Out, "5000\tBeta\n13\tAlpha\n");  // the format orders shorter names first
  EXPECT_EQ(Ctl({"cfb", "cat", file, "alpha"}).Out, "first stream\n");
  const Result missing = Ctl({"cfb", "cat", file, "Gamma"});
  EXPECT_EQ(missing.Code, 1);
  EXPECT_TRUE(missing.Err.contains("stream open failed")) << missing.Err;
  const Result encrypted = Ctl({"cfb", "list", Dir + "/server.cfg"});  // encrypted: no compound file
  EXPECT_EQ(encrypted.Code, 1);
  EXPECT_TRUE(encrypted.Err.contains("not a storage file")) << encrypted.Err;
}
