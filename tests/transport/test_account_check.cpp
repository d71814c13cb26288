// The connection tests of going online against the test mail stack: every
// failure has its own code and text, the log says why, and never holds a password.
#include <gtest/gtest.h>

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "MailStack.h"
#include "transport/AccountCheck.h"
#include "transport/MailResult.h"

namespace {

// A port on which nothing listens.
int DeadPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A server that answers in plain text where TLS is expected.
class PlainServer {
public:
  PlainServer() {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FFd, 4);
    socklen_t len = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] {
      const int c = ::accept(FFd, nullptr, nullptr);
      if (c < 0) return;
      const char greeting[] = "+OK plain text server ready\r\nthis is not TLS at all\r\n";
      (void)::write(c, greeting, sizeof greeting - 1);
      char buf[512];
      (void)::read(c, buf, sizeof buf);
      ::close(c);
    });
  }
  ~PlainServer() {
    ::shutdown(FFd, SHUT_RDWR);
    ::close(FFd);
    FThread.join();
  }
  int Port() const { return FPort; }

private:
  int FFd = -1;
  int FPort = 0;
  std::thread FThread;
};

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Case {
  const char* Name;
  int Expected;
  void (*Change)(IncomingAccount&);
};

}  // namespace

TEST(ConnectionTest, EachFailureHasItsOwnCodeTextAndLogLine) {
  REQUIRE_MAILSTACK();
  const MailStack& stack = MailStack::Get();
  QTemporaryDir dir;
  static const Case cases[] = {
      {"works", mrOk, [](IncomingAccount&) {}},
      {"wrong password", mrAuthFailed, [](IncomingAccount& a) { a.Password = "Wrong-Secret-42"; }},
      {"unknown user", mrAuthFailed, [](IncomingAccount& a) { a.Account = "nobody@example.test"; }},
      {"missing mailbox", mrMailboxNotFound, [](IncomingAccount& a) { a.Folder = "NoSuchFolder"; }},
      {"server down", mrConnectFailed, [](IncomingAccount& a) { a.Port = DeadPort(); }},
      {"unknown authority", mrCertificate,
       [](IncomingAccount& a) { a.CaFile = MailStack::Get().OtherCaFile(); }},
      {"certificate for another host", mrCertificate, [](IncomingAccount& a) { a.Server = "127.0.0.2"; }},
      {"host unknown", mrConnectFailed, [](IncomingAccount& a) { a.Server = "no-such-host.invalid"; }},
  };
  QSet<QString> texts;
  for (bool imap : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(imap ? "IMAP4: " : "POP3: ") + c.Name);
      IncomingAccount a = stack.Account("alice", imap);
      c.Change(a);
      const QString log = dir.filePath(imap ? "imap4.log" : "pop3.log");
      // A stale log from before must not survive.
      QFile stale(log);
      ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
      stale.write("old line that must go\n");
      stale.close();
      const int expected = (!imap && c.Expected == mrMailboxNotFound) ? mrOk : c.Expected;
      const int code = imap ? TestImap4Connection(a, log) : TestPop3Connection(a, log);
      EXPECT_EQ(code, expected);
      const QByteArray text = ReadAll(log);
      if (qEnvironmentVariableIsSet("KESTRO_SHOW_LOGS")) printf("---- %s\n%s", c.Name, text.constData());
      EXPECT_FALSE(text.contains("old line")) << text.constData();
      EXPECT_FALSE(text.contains(a.Password.toUtf8())) << text.constData();
      EXPECT_FALSE(text.contains(stack.Password("alice").toUtf8())) << text.constData();
      // PLAIN carries the password in Base64.
      const QByteArray plain = ("\0" + a.Account.toUtf8() + '\0' + a.Password.toUtf8()).toBase64();
      EXPECT_FALSE(text.contains(plain)) << text.constData();
      if (expected != mrOk) {
        EXPECT_TRUE(text.contains("Error " + QByteArray::number(expected))) << text.constData();
        texts.insert(MailResultText(code));
      } else {
        EXPECT_TRUE(text.contains("S:")) << text.constData();
      }
    }
  }
  // wrong password, mailbox, down, certificate: four distinct texts at least
  EXPECT_GE(texts.size(), 4);
}

TEST(ConnectionTest, PlainTextServerIsATlsFailure) {
  PlainServer server;
  IncomingAccount a;
  a.Server = "127.0.0.1";
  a.Port = server.Port();
  a.Account = "alice@example.test";
  a.Password = "x";
  QTemporaryDir dir;
  EXPECT_EQ(TestPop3Connection(a, dir.filePath("pop3.log")), mrTlsHandshake);
}

TEST(ConnectionTest, ResultTextsAreDistinct) {
  QSet<QString> seen;
  for (int code : {mrOk, mrConnectFailed, mrTlsHandshake, mrCertificate, mrAuthFailed, mrMailboxNotFound, mrTimedOut,
                   mrMessageRefused, mrProtocol, mrBadAddress, mrNotConnected, mrNoSuchMessage, mrFileError,
                   mrCancelled, mrInternal, mrConnectionLost, mrDiskFull, mrOverLimits, mrTooLarge}) {
    EXPECT_FALSE(seen.contains(MailResultText(code))) << code;
    seen.insert(MailResultText(code));
    // A requester counts 6, 16 and 27 as sent: no failure may use them.
    EXPECT_TRUE(code != 6 && code != 16 && code != 27);
  }
}
