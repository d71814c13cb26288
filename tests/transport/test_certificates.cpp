// The certificate check: chains made by make-certs.sh (a good one and hostile
// ones) are checked directly, and the hostile ones are also served by a TLS
// server to a mailbox, which must refuse each with the certificate code and a
// text that names the failed check. The good chain of the test mail stack is
// accepted (test_account_check, and the case at the end).
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "MailStack.h"
#include "TestFiles.h"
#include "WaitUntil.h"
#include "transport/Certificates.h"
#include "transport/MailResult.h"
#include "transport/Pop3Mailbox.h"

namespace {

class Chains : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Dir = new QTemporaryDir;
    QProcess p;
    p.start("bash", {KESTRO_SOURCE_DIR "/tests/transport/make-certs.sh", Dir->path()});
    Made = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!Made) fprintf(stderr, "%s", p.readAllStandardError().constData());
  }
  static void TearDownTestSuite() {
    delete Dir;
    Dir = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(Made) << "make-certs.sh failed"; }

  static QString Path(const QString& name) { return Dir->filePath(name); }
  static QList<QByteArray> Chain(const QString& name) {
    return mail::PemCertificates(ReadFile(Path("chain-" + name + ".pem")));
  }

  static inline QTemporaryDir* Dir = nullptr;
  static inline bool Made = false;
};

struct HostileCase {
  const char* Chain;
  const char* Check;  // a piece of the text that names the failed check
};
const HostileCase kHostile[] = {
    {"forged", "signature in the chain does not verify"},
    {"leaf-as-ca", "no certificate authority"},
    {"expired", "has expired"},
    {"other-host", "not issued for the host localhost"},
    {"self-signed", "does not lead to a trusted certificate authority"},
    {"client-only", "not meant for a server"},
    {"no-signing", "neither signing nor key encipherment"},
};

// Whether something listens on port of 127.0.0.1.
bool Listens(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(quint16(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A free port on the loopback address (free when the call returns).
int FreePort() {
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

// A TLS server on 127.0.0.1 that sends the given chain (openssl s_server).
class TlsServer {
public:
  TlsServer(const QString& dir, const QString& name) {
    // s_server takes the server's certificate and what it sends along apart.
    const QList<QByteArray> pems = ReadFile(dir + "/chain-" + name + ".pem").split('\n');
    QByteArray first, rest;
    bool inFirst = true;
    for (const QByteArray& line : pems) {
      (inFirst ? first : rest) += line + '\n';
      if (line.startsWith("-----END")) inFirst = false;
    }
    WriteFile(dir + "/serve-cert.pem", first);
    WriteFile(dir + "/serve-extra.pem", rest);
    FPort = FreePort();
    QStringList args = {"s_server", "-quiet", "-accept", QStringLiteral("127.0.0.1:%1").arg(FPort),
                        "-cert", dir + "/serve-cert.pem", "-key", dir + "/" + name + ".key"};
    if (rest.contains("BEGIN")) args << "-cert_chain" << dir + "/serve-extra.pem";
    FProcess.start("openssl", args);
    FProcess.closeWriteChannel();
    Listening = WaitUntil([&] { return Listens(FPort); }, 30000);
  }
  ~TlsServer() {
    FProcess.kill();
    FProcess.waitForFinished(10000);
  }
  int Port() const { return FPort; }
  bool Listening = false;

private:
  QProcess FProcess;
  int FPort = 0;
};

}  // namespace

TEST_F(Chains, OnlyTheGoodChainIsTrustedAndEachRefusalNamesItsCheck) {
  const QString root = Path("root.pem");
  const mail::ChainVerdict good = mail::VerifyServerChain(Chain("good"), "localhost", root);
  EXPECT_TRUE(good.Trusted) << good.Problem.toStdString();
  EXPECT_TRUE(good.Problem.isEmpty());
  for (const HostileCase& c : kHostile) {
    SCOPED_TRACE(c.Chain);
    const QList<QByteArray> chain = Chain(c.Chain);
    ASSERT_FALSE(chain.isEmpty());
    const mail::ChainVerdict v = mail::VerifyServerChain(chain, "localhost", root);
    EXPECT_FALSE(v.Trusted);
    EXPECT_TRUE(v.Problem.contains(c.Check)) << v.Problem.toStdString();
  }
}

TEST_F(Chains, HostAddressAndAuthoritiesCount) {
  const QList<QByteArray> good = Chain("good");
  const QString root = Path("root.pem");
  struct {
    const char* Host;
    QString CaFile;
    bool Trusted;
    const char* Check;
  } cases[] = {
      {"127.0.0.1", root, true, ""},  // the certificate names the address
      {"127.0.0.2", root, false, "not issued for the host 127.0.0.2"},
      {"LocalHost", root, true, ""},  // names compare without case
      {"localhost.", root, true, ""},
      {"mail.localhost", root, false, "not issued for the host"},
      {"localhost", "", false, "trusted certificate authority"},  // the system's authorities only
      {"localhost", Path("no-such-file.pem"), false, "no certificate read from the CA file"},
      {"localhost", Path("inter.pem"), true, ""},  // an intermediate may be trusted by itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Host) + " " + c.CaFile.toStdString());
    const mail::ChainVerdict v = mail::VerifyServerChain(good, c.Host, c.CaFile);
    EXPECT_EQ(v.Trusted, c.Trusted) << v.Problem.toStdString();
    EXPECT_TRUE(v.Problem.contains(c.Check)) << v.Problem.toStdString();
  }
  // Only what the server sent, without the intermediate, does not reach the root.
  const mail::ChainVerdict alone = mail::VerifyServerChain({good.first()}, "localhost", root);
  EXPECT_FALSE(alone.Trusted);
  // Nothing, or bytes that are no certificate.
  EXPECT_FALSE(mail::VerifyServerChain({}, "localhost", root).Trusted);
  EXPECT_FALSE(mail::VerifyServerChain({QByteArray("not a certificate")}, "localhost", root).Trusted);
}

TEST_F(Chains, AMailboxRefusesEveryHostileServer) {
  for (const HostileCase& c : kHostile) {
    SCOPED_TRACE(c.Chain);
    // GnuTLS's handshake itself refuses a server key that may not sign.
    if (std::string(c.Chain) == "no-signing") continue;
    TlsServer server(Dir->path(), c.Chain);
    ASSERT_TRUE(server.Listening);
    TMailPOP3 box;
    box.SetMailServer("localhost");
    box.SetMailPort(server.Port());
    box.SetCaFile(Path("root.pem"));
    box.SetAccount("alice@example.test");
    box.SetPassword("never-sent");
    box.SetLogFile(Path("pop3.log"));
    EXPECT_EQ(box.Connect(), mrCertificate);
    EXPECT_TRUE(box.LastError().contains(c.Check)) << box.LastError().toStdString();
    const QByteArray log = ReadFile(Path("pop3.log"));
    EXPECT_TRUE(log.contains(c.Check)) << log.constData();
    EXPECT_FALSE(log.contains("never-sent"));
    box.Disconnect();
  }
}

TEST(StackChain, TheTestStackIsTrustedByItsAuthorityOnly) {
  REQUIRE_MAILSTACK();
  const MailStack& s = MailStack::Get();
  for (const auto& [caFile, expected] : {std::pair{s.CaFile(), int(mrOk)}, std::pair{QString(), int(mrCertificate)}}) {
    TMailPOP3 box;
    const IncomingAccount a = s.Account("alice");
    box.SetMailServer(a.Server);
    box.SetMailPort(a.Port);
    box.SetCaFile(caFile);
    box.SetAccount(a.Account);
    box.SetPassword(a.Password);
    EXPECT_EQ(box.Connect(), expected) << box.LastError().toStdString();
    box.Disconnect();
  }
}
