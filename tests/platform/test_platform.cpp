#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/Autostart.h"
#include "platform/Closing.h"
#include "platform/InstanceLock.h"
#include "platform/NamedSemaphore.h"
#include "platform/Settings.h"

namespace {

// Runs body in a child process and returns its exit code (or -signal).
template <class F>
int InChild(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class Environment : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_CACHE_HOME", home.filePath("cache").toUtf8());
    qputenv("XDG_STATE_HOME", home.filePath("state").toUtf8());
    qputenv("KESTRO_RUNTIME_DIR", home.filePath("run").toUtf8());
    qunsetenv("KESTRO_SETTINGS");
  }
  QTemporaryDir home;
};

}  // namespace

TEST_F(Environment, SettingsWithoutFileAreThoseOfADefaultInstallation) {
  const InstallSettings s = InstallSettings::Read();
  EXPECT_FALSE(s.FileExists);
  EXPECT_EQ(s.Conf, home.filePath("config") + "/kestro");
  EXPECT_EQ(s.Log, home.filePath("state") + "/kestro");
  EXPECT_TRUE(s.TempInput.startsWith(home.filePath("cache") + "/kestro"));
  EXPECT_TRUE(s.TempOutput.startsWith(home.filePath("cache") + "/kestro"));
  EXPECT_NE(s.TempInput, s.TempOutput);
  EXPECT_FALSE(s.Name.isEmpty());
  EXPECT_FALSE(s.Home.isEmpty());
  EXPECT_EQ(s.Pace, 1.0);
  EXPECT_EQ(s.Provider.Pop3Port, 995);
  EXPECT_EQ(s.Provider.SmtpPort, 465);
  EXPECT_TRUE(s.Provider.Ssl);
}

TEST_F(Environment, SettingsFileValuesAndMissingValues) {
  const QString path = home.filePath("settings.ini");
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[Options]\nCONF=/srv/conf\nLOG=/srv/log\nLocalizerExt=ES\nPACE=0\n"
          "[Provider]\nPOP3_SERVER=127.0.0.1\nPOP3_PORT=11995\nDOMAIN=example.test\nSSL=true\nCA_FILE=/srv/ca.pem\n");
  f.close();
  qputenv("KESTRO_SETTINGS", path.toUtf8());
  const InstallSettings s = InstallSettings::Read();
  EXPECT_TRUE(s.FileExists);
  EXPECT_EQ(s.Conf, "/srv/conf");
  EXPECT_EQ(s.Log, "/srv/log");
  EXPECT_EQ(s.LocalizerExt, "ES");
  EXPECT_EQ(s.TempInput, "");  // a missing value reads as empty text
  EXPECT_EQ(s.Home, "");
  EXPECT_EQ(s.Pace, 0.0);
  EXPECT_EQ(s.Provider.Pop3Server, "127.0.0.1");
  EXPECT_EQ(s.Provider.Pop3Port, 11995);
  EXPECT_EQ(s.Provider.Imap4Port, 993);  // presets where the file says nothing
  EXPECT_EQ(s.Provider.Domain, "example.test");
  EXPECT_EQ(s.Provider.CaFile, "/srv/ca.pem");
}

// The security of each connection: written, or the usual mode of its port.
TEST_F(Environment, SettingsSecurityModes) {
  struct Case {
    const char* Provider;
    MailSecurity Pop3, Imap4, Smtp;
  } cases[] = {
      {"", MailSecurity::Tls, MailSecurity::Tls, MailSecurity::Tls},
      {"POP3_PORT=110\nIMAP4_PORT=143\nSMTP_PORT=587\n", MailSecurity::StartTls, MailSecurity::StartTls,
       MailSecurity::StartTls},
      {"SSL=false\nPOP3_PORT=11110\nSMTP_PORT=465\n", MailSecurity::None, MailSecurity::Tls, MailSecurity::Tls},
      {"SSL=false\nPOP3_PORT=11110\nPOP3_SECURITY= StartTLS \nIMAP4_SECURITY=none\nSMTP_SECURITY=bogus\n",
       MailSecurity::StartTls, MailSecurity::None, MailSecurity::Tls},
  };
  const QString path = home.filePath("settings.ini");
  for (const Case& c : cases) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray("[Provider]\n") + c.Provider);
    f.close();
    qputenv("KESTRO_SETTINGS", path.toUtf8());
    const ProviderSettings p = InstallSettings::Read().Provider;
    EXPECT_EQ(p.Pop3Security, c.Pop3) << c.Provider;
    EXPECT_EQ(p.Imap4Security, c.Imap4) << c.Provider;
    EXPECT_EQ(p.SmtpSecurity, c.Smtp) << c.Provider;
  }
}

TEST_F(Environment, AutostartEntry) {
  EXPECT_EQ(ReadAutostartEntry(), "");
  EXPECT_TRUE(RemoveAutostartEntry());
  ASSERT_TRUE(WriteAutostartEntry("/usr/bin/kestro"));
  EXPECT_TRUE(QFile::exists(home.filePath("config") + "/autostart/kestro.desktop"));
  EXPECT_EQ(ReadAutostartEntry(), "/usr/bin/kestro");
  ASSERT_TRUE(WriteAutostartEntry(""));  // an empty command does not count as on
  EXPECT_EQ(ReadAutostartEntry(), "");
  EXPECT_TRUE(RemoveAutostartEntry());
  EXPECT_FALSE(QFile::exists(AutostartFile()));
}

TEST_F(Environment, InstanceLockIsPerConfigurationFolder) {
  const QString confA = home.filePath("a"), confB = home.filePath("b");
  InstanceLock lock;
  ASSERT_TRUE(lock.TryAcquire(confA));
  EXPECT_TRUE(InstanceLock::InUse(confA));
  EXPECT_FALSE(InstanceLock::InUse(confB));
  EXPECT_EQ(InChild([&] { InstanceLock other; return other.TryAcquire(confA) ? 1 : 0; }), 0);
  EXPECT_EQ(InChild([&] { InstanceLock other; return other.TryAcquire(confB) ? 1 : 0; }), 1);
  lock.Release();
  EXPECT_FALSE(InstanceLock::InUse(confA));
  EXPECT_EQ(InChild([&] { InstanceLock other; return other.TryAcquire(confA) ? 1 : 0; }), 1);
}

TEST_F(Environment, SemaphoreSlotsComeBackWhenAHolderIsKilled) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    NamedSemaphore s(kServerSemaphore, 2);
    NamedSemaphore t(kServerSemaphore, 2);
    const char ok = (s.Acquire(1000) && t.Acquire(1000)) ? '1' : '0';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');

  NamedSemaphore mine(kServerSemaphore, 2);
  EXPECT_FALSE(mine.Acquire(100));  // both slots are held by the child
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(mine.Acquire(120000));
  NamedSemaphore second(kServerSemaphore, 2);
  EXPECT_TRUE(second.Acquire(0));
  NamedSemaphore third(kServerSemaphore, 2);
  EXPECT_FALSE(third.Acquire(0));
  second.Release();
  EXPECT_TRUE(third.Acquire(0));

  // Other names are other semaphores.
  NamedSemaphore pop(kPop3Semaphore, 1), pop2(kPop3Semaphore, 1), imap(kImap4Semaphore, 1);
  EXPECT_TRUE(pop.Acquire(0));
  EXPECT_FALSE(pop2.Acquire(50));
  EXPECT_TRUE(imap.Acquire(0));
  ::close(ready[0]);
  ::close(ready[1]);
}

// The slot files live in a folder of the user's own: another local user who
// made the folder first (or a link in its place) cannot hold the slots.
TEST_F(Environment, SlotFolderBelongsToTheUserAlone) {
  qunsetenv("KESTRO_RUNTIME_DIR");
  const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
  qunsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(NamedSemaphore::Folder(), QString("/tmp/kestro-%1").arg(::getuid()));
  qputenv("XDG_RUNTIME_DIR", home.filePath("xdg").toUtf8());
  EXPECT_EQ(NamedSemaphore::Folder(), home.filePath("xdg") + "/kestro");
  if (xdg.isEmpty()) qunsetenv("XDG_RUNTIME_DIR");
  else qputenv("XDG_RUNTIME_DIR", xdg);

  auto mode = [](const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  // Made, or closed to others, when it is ours.
  const QString fresh = home.filePath("a/b/slots");
  EXPECT_EQ(NamedSemaphore::PrepareFolder(fresh), fresh);
  EXPECT_EQ(mode(fresh), 0700);
  const QString open = home.filePath("open");
  ASSERT_TRUE(QDir().mkdir(open));
  ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
  EXPECT_EQ(NamedSemaphore::PrepareFolder(open), open);
  EXPECT_EQ(mode(open), 0700);

  // Refused otherwise, with the folder and the reason in the message.
  const QString link = home.filePath("link"), file = home.filePath("file");
  ASSERT_TRUE(QFile::link(open, link));
  ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
  QFile(file).open(QIODevice::WriteOnly);
  // Root takes a folder that it gives to nobody; anyone else has one of root's.
  QString foreign = "/";
  if (::getuid() == 0) {
    foreign = home.filePath("foreign");
    ASSERT_TRUE(QDir().mkdir(foreign));
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(foreign).constData(), 0777), 0);
  }
  struct {
    QString Folder, Reason;
  } refused[] = {{link, "symbolic link"}, {file, "is no folder"}, {foreign, "belongs to another user"}};
  for (const auto& r : refused) {
    const auto prepared = NamedSemaphore::PrepareFolder(r.Folder);
    ASSERT_FALSE(prepared) << r.Folder.toStdString();
    EXPECT_TRUE(prepared.error().contains(r.Folder) && prepared.error().contains(r.Reason))
        << prepared.error().toStdString();
  }
  EXPECT_EQ(mode(open), 0755);  // a link is not followed

  // A refused folder refuses every wait at once, and says why.
  qputenv("KESTRO_RUNTIME_DIR", foreign.toUtf8());
  NamedSemaphore slot(kServerSemaphore, 10);
  EXPECT_FALSE(slot.Acquire(-1));
  EXPECT_TRUE(slot.Refusal().contains("belongs to another user")) << slot.Refusal().toStdString();
  if (::getuid() == 0) {
    EXPECT_TRUE(QDir(foreign).isEmpty());
  }
}

TEST_F(Environment, WaitsEndWhenTheProgramCloses) {
  using namespace std::chrono;
  NamedSemaphore held(kClientSemaphore, 1), waiting(kClientSemaphore, 1);
  ASSERT_TRUE(held.Acquire(0));
  std::atomic<bool> cancel{false};
  const auto start = steady_clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(milliseconds(100));
    cancel = true;
  });
  EXPECT_FALSE(waiting.Acquire(-1, &cancel));  // an endless wait still ends
  canceller.join();

  SetPaceFactor(1);
  std::thread closer([] {
    std::this_thread::sleep_for(milliseconds(100));
    SetClosing(true);
  });
  EXPECT_FALSE(PacedWait(60000));
  EXPECT_FALSE(waiting.Acquire(-1));
  closer.join();
  EXPECT_LT(steady_clock::now() - start, seconds(20));
  SetClosing(false);

  SetPaceFactor(0);
  EXPECT_TRUE(PacedWait(60000));  // PACE 0: no wait at all
  SetPaceFactor(1);
}
