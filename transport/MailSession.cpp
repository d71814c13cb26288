#include "transport/MailSession.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMutexLocker>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include <vmime/net/smtp/SMTPExceptions.hpp>
#include <vmime/net/tls/TLSProperties.hpp>
#include <vmime/net/tls/TLSSession.hpp>
#include <vmime/net/tls/TLSSocket.hpp>
#include <vmime/platforms/posix/posixHandler.hpp>

#include "platform/Closing.h"

namespace mail {

QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string ToStd(const QString& s) { return s.toUtf8().toStdString(); }

void InitMailLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { vmime::platform::setHandler<vmime::platforms::posix::posixHandler>(); });
}

// ---------------------------------------------------------------------------
// Session log

namespace {
constexpr size_t kMaxLoggedLine = 2000;

std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = char(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// Splits "a b c" into at most n words (the last keeps the rest).
std::vector<std::string> Words(const std::string& s, size_t n) {
  std::vector<std::string> w;
  size_t pos = 0;
  while (pos < s.size() && w.size() + 1 < n) {
    const size_t sp = s.find(' ', pos);
    if (sp == std::string::npos) break;
    w.push_back(s.substr(pos, sp - pos));
    pos = sp + 1;
  }
  if (pos <= s.size()) w.push_back(s.substr(pos));
  return w;
}
}  // namespace

std::string SessionLog::MaskClientLine(const std::string& line, bool& secretFollows) {
  const std::string masked = "****";
  const auto w = Words(line, 4);
  const std::string w0 = w.empty() ? std::string() : Upper(w[0]);
  const std::string w1 = w.size() > 1 ? Upper(w[1]) : std::string();
  // POP3 and SMTP: PASS secret / APOP user digest / AUTH mech [initial response]
  if (w0 == "PASS") return "PASS " + masked;
  if (w0 == "APOP" && w.size() > 1) return "APOP " + w[1] + " " + masked;
  if (w0 == "AUTH") {
    secretFollows = true;
    return w.size() > 2 ? "AUTH " + w[1] + " " + masked : line;
  }
  // IMAP4: tag LOGIN user password / tag AUTHENTICATE mech [initial response]
  if (w1 == "LOGIN") {
    secretFollows = true;
    return w[0] + " LOGIN " + masked;
  }
  if (w1 == "AUTHENTICATE") {
    secretFollows = true;
    return w.size() > 3 ? w[0] + " AUTHENTICATE " + w[2] + " " + masked : line;
  }
  return line;
}

SessionLog::SessionLog(const QString& path, const QString& protocol, bool truncate) {
  if (path.isEmpty()) return;
  FFile.setFileName(path);
  if (truncate) QFile::remove(path);
  // A log that is appended to by every session is rotated before it grows large.
  if (!truncate && QFileInfo(path).size() > 8 * 1024 * 1024) {
    QFile::remove(path + ".old");
    QFile::rename(path, path + ".old");
  }
  if (!FFile.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  FFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  const QString head = QStringLiteral("%1 session log, %2\n")
                           .arg(protocol, QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
  FFile.write(head.toUtf8());
  FFile.flush();
}

void SessionLog::Write(int connection, const char* direction, const std::string& line) {
  if (!FFile.isOpen()) return;
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  if (text.size() > kMaxLoggedLine)
    text = text.substr(0, kMaxLoggedLine) + "... (" + std::to_string(line.size()) + " bytes)";
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  const QByteArray stamp = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
  QByteArray out = stamp + " [" + QByteArray::number(connection) + "] " + direction + " ";
  out += QByteArray::fromStdString(text);
  out += '\n';
  FFile.write(out);
  FFile.flush();
}

void SessionLog::Sent(int connection, const std::string& line) {
  QMutexLocker lock(&FLock);
  if (FSecret) {
    Write(connection, "C:", "****");
    return;
  }
  bool secret = false;
  Write(connection, "C:", MaskClientLine(line, secret));
  FSecret = secret;
}

void SessionLog::Received(int connection, const std::string& line) {
  QMutexLocker lock(&FLock);
  // A continuation asks for more authentication data; anything else ends the exchange.
  if (FSecret && !(line.rfind("+", 0) == 0 || line.rfind("334", 0) == 0)) FSecret = false;
  Write(connection, "S:", line);
}

void SessionLog::Note(const QString& text) {
  QMutexLocker lock(&FLock);
  Write(0, "--", ToStd(text));
}

// ---------------------------------------------------------------------------
// Time-outs: no answer for TimeOutSec seconds, or the program closing, ends the operation.

namespace {

class TimeoutHandler : public vmime::net::timeoutHandler {
public:
  explicit TimeoutHandler(std::shared_ptr<SessionState> state) : FState(std::move(state)) { resetTimeOut(); }
  // Once the program is closing, whatever is in flight gets two more seconds
  // (enough to end the session cleanly, so that deletions are kept).
  bool isTimeOut() override {
    const auto now = std::chrono::steady_clock::now();
    if (IsClosing()) {
      if (!FClosing) FClosing = now;
      if (now - *FClosing >= std::chrono::seconds(2)) return true;
    }
    return now - FLast >= std::chrono::seconds(FState->TimeOutSec);
  }
  void resetTimeOut() override { FLast = std::chrono::steady_clock::now(); }
  bool handleTimeOut() override {
    FState->Failure = IsClosing() ? SocketFailure::Cancelled : SocketFailure::TimedOut;
    return false;
  }

private:
  std::shared_ptr<SessionState> FState;
  std::chrono::steady_clock::time_point FLast;
  std::optional<std::chrono::steady_clock::time_point> FClosing;
};

class TimeoutHandlerFactory : public vmime::net::timeoutHandlerFactory {
public:
  explicit TimeoutHandlerFactory(std::shared_ptr<SessionState> state) : FState(std::move(state)) {}
  std::shared_ptr<vmime::net::timeoutHandler> create() override {
    return std::make_shared<TimeoutHandler>(FState);
  }

private:
  std::shared_ptr<SessionState> FState;
};

// ---------------------------------------------------------------------------
// A TCP socket that sets TCP_NODELAY, counts bytes, and tells why it failed.

class Socket : public vmime::net::socket {
public:
  Socket(std::shared_ptr<SessionState> state, std::shared_ptr<vmime::net::timeoutHandler> th)
      : FState(std::move(state)), FTimeout(std::move(th)) {}
  ~Socket() override { disconnect(); }

  void connect(const vmime::string& address, const vmime::port_t port) override {
    disconnect();
    FAddress = address;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &list) != 0 || !list) {
      FState->Failure = SocketFailure::Unresolved;
      throw vmime::exceptions::connection_error("Cannot resolve host name " + address);
    }
    int lastError = ECONNREFUSED;
    for (addrinfo* ai = list; ai && FFd < 0; ai = ai->ai_next) {
      const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
      if (fd < 0) {
        lastError = errno;
        continue;
      }
      int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
      if (rc < 0 && errno == EINPROGRESS) rc = WaitConnected(fd);
      else if (rc < 0) rc = errno;
      if (rc == 0) {
        FFd = fd;
        char host[NI_MAXHOST] = {0};
        if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
          FPeerAddress = host;
      } else {
        lastError = rc;
        ::close(fd);
        if (rc == ETIMEDOUT && FState->Failure != SocketFailure::None) break;
      }
    }
    ::freeaddrinfo(list);
    if (FFd < 0) {
      if (FState->Failure == SocketFailure::None)
        FState->Failure = lastError == ECONNREFUSED ? SocketFailure::Refused
                          : lastError == ETIMEDOUT  ? SocketFailure::TimedOut
                                                    : SocketFailure::Unreachable;
      throw vmime::exceptions::connection_error(std::string("Cannot connect to ") + address + ":" + service +
                                                ": " + std::strerror(lastError));
    }
    const int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }

  bool isConnected() const override { return FFd >= 0; }
  void disconnect() override {
    if (FFd >= 0) {
      ::shutdown(FFd, SHUT_RDWR);
      ::close(FFd);
      FFd = -1;
    }
  }

  bool waitForRead(const int msecs) override { return Wait(POLLIN, msecs); }
  bool waitForWrite(const int msecs) override { return Wait(POLLOUT, msecs); }

  void receive(vmime::string& buffer) override {
    const size_t n = receiveRaw(reinterpret_cast<vmime::byte_t*>(FBuffer), sizeof FBuffer);
    buffer.assign(FBuffer, n);
  }

  size_t receiveRaw(vmime::byte_t* buffer, const size_t count) override {
    FStatus &= ~STATUS_WOULDBLOCK;
    CheckOpen();
    if (!Wait(POLLIN, 50)) {
      CheckTimeOut();
      FStatus |= STATUS_WOULDBLOCK;
      return 0;
    }
    const ssize_t n = ::recv(FFd, buffer, count, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        FStatus |= STATUS_WOULDBLOCK;
        return 0;
      }
      Fail(std::string("Receive failed: ") + std::strerror(errno));
    }
    if (n == 0) {
      FState->Failure = SocketFailure::Closed;
      Fail("Connection closed by the server");
    }
    FState->BytesIn += n;
    if (FTimeout) FTimeout->resetTimeOut();
    return size_t(n);
  }

  void send(const vmime::string& buffer) override {
    sendRaw(reinterpret_cast<const vmime::byte_t*>(buffer.data()), buffer.size());
  }
  void send(const char* str) override { sendRaw(reinterpret_cast<const vmime::byte_t*>(str), std::strlen(str)); }

  void sendRaw(const vmime::byte_t* buffer, const size_t count) override {
    size_t done = 0;
    while (done < count) {
      const size_t n = sendRawNonBlocking(buffer + done, count - done);
      if (n == 0) {
        if (!Wait(POLLOUT, 50)) CheckTimeOut();
        continue;
      }
      done += n;
    }
  }

  size_t sendRawNonBlocking(const vmime::byte_t* buffer, const size_t count) override {
    FStatus &= ~STATUS_WOULDBLOCK;
    CheckOpen();
    const ssize_t n = ::send(FFd, buffer, count, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        FStatus |= STATUS_WOULDBLOCK;
        return 0;
      }
      Fail(std::string("Send failed: ") + std::strerror(errno));
    }
    FState->BytesOut += n;
    if (FTimeout) FTimeout->resetTimeOut();
    return size_t(n);
  }

  size_t getBlockSize() const override { return 16384; }
  unsigned int getStatus() const override { return FStatus; }
  const vmime::string getPeerName() const override { return FAddress; }
  const vmime::string getPeerAddress() const override { return FPeerAddress; }
  std::shared_ptr<vmime::net::timeoutHandler> getTimeoutHandler() override { return FTimeout; }
  void setTracer(std::shared_ptr<vmime::net::tracer> tracer) override { FTracer = tracer; }
  std::shared_ptr<vmime::net::tracer> getTracer() override { return FTracer; }

private:
  // Waits for a non-blocking connect; returns 0 or the error number.
  int WaitConnected(int fd) {
    if (FTimeout) FTimeout->resetTimeOut();
    for (;;) {
      pollfd p{fd, POLLOUT, 0};
      const int rc = ::poll(&p, 1, 50);
      if (rc > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        return err;
      }
      if (rc < 0 && errno != EINTR) return errno;
      if (FTimeout && FTimeout->isTimeOut() && !FTimeout->handleTimeOut()) return ETIMEDOUT;
    }
  }

  bool Wait(short events, int msecs) {
    if (FFd < 0) return false;
    pollfd p{FFd, events, 0};
    const int rc = ::poll(&p, 1, msecs);
    return rc > 0;
  }

  void CheckOpen() {
    if (FFd < 0) throw vmime::exceptions::socket_not_connected_exception();
  }

  void CheckTimeOut() {
    if (FTimeout && FTimeout->isTimeOut()) {
      if (!FTimeout->handleTimeOut()) {
        disconnect();
        throw vmime::exceptions::operation_timed_out();
      }
      FTimeout->resetTimeOut();
    }
  }

  [[noreturn]] void Fail(const std::string& what) {
    disconnect();
    throw vmime::exceptions::socket_exception(what);
  }

  std::shared_ptr<SessionState> FState;
  std::shared_ptr<vmime::net::timeoutHandler> FTimeout;
  std::shared_ptr<vmime::net::tracer> FTracer;
  int FFd = -1;
  unsigned int FStatus = 0;
  std::string FAddress, FPeerAddress;
  char FBuffer[65536];
};

class SocketFactory : public vmime::net::socketFactory {
public:
  explicit SocketFactory(std::shared_ptr<SessionState> state) : FState(std::move(state)) {}
  std::shared_ptr<vmime::net::socket> create() override { return std::make_shared<Socket>(FState, nullptr); }
  std::shared_ptr<vmime::net::socket> create(std::shared_ptr<vmime::net::timeoutHandler> th) override {
    return std::make_shared<Socket>(FState, th);
  }

private:
  std::shared_ptr<SessionState> FState;
};

// ---------------------------------------------------------------------------
// SMTP: implicit TLS done here rather than by the SMTP client, so that the
// capabilities the server announces can be read first. The client asks for
// SMTPUTF8 whenever a server offers it; hiding the offer makes it send plain
// 7-bit MIME mail, which every server takes. STARTTLS is hidden too: the
// connection is already secure.

class SmtpSocket : public vmime::net::socket {
public:
  SmtpSocket(std::shared_ptr<SessionState> state, std::shared_ptr<vmime::net::timeoutHandler> th,
             std::shared_ptr<vmime::security::cert::certificateVerifier> verifier)
      : FTimeout(th), FVerifier(std::move(verifier)) {
    FRaw = std::make_shared<Socket>(std::move(state), th);
    FInner = FRaw;
  }

  void connect(const vmime::string& address, const vmime::port_t port) override {
    FRaw->connect(address, port);
    if (FVerifier) {
      auto session = vmime::net::tls::TLSSession::create(FVerifier, std::make_shared<vmime::net::tls::TLSProperties>());
      auto tls = session->getSocket(FRaw);
      tls->handshake();
      FInner = tls;
    }
  }
  bool isConnected() const override { return FInner->isConnected(); }
  void disconnect() override { FInner->disconnect(); }
  bool waitForRead(const int msecs) override { return HasLine() || FInner->waitForRead(msecs); }
  bool waitForWrite(const int msecs) override { return FInner->waitForWrite(msecs); }

  void receive(vmime::string& buffer) override {
    buffer.clear();
    FStatus = 0;
    if (!HasLine()) {
      vmime::string chunk;
      FInner->receive(chunk);
      FPending += chunk;
    }
    const size_t end = FPending.rfind('\n');
    if (end == std::string::npos) {
      FStatus = STATUS_WOULDBLOCK;
      return;
    }
    buffer = Filter(FPending.substr(0, end + 1));
    FPending.erase(0, end + 1);
  }
  size_t receiveRaw(vmime::byte_t* buffer, const size_t count) override {
    if (!FPending.empty()) {
      const size_t n = std::min(count, FPending.size());
      std::memcpy(buffer, FPending.data(), n);
      FPending.erase(0, n);
      return n;
    }
    return FInner->receiveRaw(buffer, count);
  }
  void send(const vmime::string& buffer) override { FInner->send(buffer); }
  void send(const char* str) override { FInner->send(str); }
  void sendRaw(const vmime::byte_t* buffer, const size_t count) override { FInner->sendRaw(buffer, count); }
  size_t sendRawNonBlocking(const vmime::byte_t* buffer, const size_t count) override {
    return FInner->sendRawNonBlocking(buffer, count);
  }
  size_t getBlockSize() const override { return FInner->getBlockSize(); }
  unsigned int getStatus() const override { return FStatus | FInner->getStatus(); }
  const vmime::string getPeerName() const override { return FRaw->getPeerName(); }
  const vmime::string getPeerAddress() const override { return FRaw->getPeerAddress(); }
  std::shared_ptr<vmime::net::timeoutHandler> getTimeoutHandler() override { return FTimeout; }
  void setTracer(std::shared_ptr<vmime::net::tracer> tracer) override {
    FTracer = tracer;
    FInner->setTracer(tracer);
  }
  std::shared_ptr<vmime::net::tracer> getTracer() override { return FTracer; }

  // "250-SMTPUTF8" becomes "250-X-UNUSED": the list keeps its shape.
  static std::string Filter(const std::string& lines) {
    std::string out;
    size_t pos = 0;
    while (pos < lines.size()) {
      size_t nl = lines.find('\n', pos);
      if (nl == std::string::npos) nl = lines.size() - 1;
      std::string line = lines.substr(pos, nl + 1 - pos);
      pos = nl + 1;
      if (line.size() > 4 && line.compare(0, 3, "250") == 0 && (line[3] == '-' || line[3] == ' ')) {
        std::string word = Upper(line.substr(4));
        while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) word.pop_back();
        if (word == "SMTPUTF8" || word == "STARTTLS") line = line.substr(0, 4) + "X-UNUSED\r\n";
      }
      out += line;
    }
    return out;
  }

private:
  bool HasLine() const { return FPending.find('\n') != std::string::npos; }
  std::shared_ptr<vmime::net::timeoutHandler> FTimeout;
  std::shared_ptr<vmime::security::cert::certificateVerifier> FVerifier;
  std::shared_ptr<Socket> FRaw;
  std::shared_ptr<vmime::net::socket> FInner;
  std::shared_ptr<vmime::net::tracer> FTracer;
  std::string FPending;
  unsigned int FStatus = 0;
};

class SmtpSocketFactory : public vmime::net::socketFactory {
public:
  SmtpSocketFactory(std::shared_ptr<SessionState> state,
                    std::shared_ptr<vmime::security::cert::certificateVerifier> verifier)
      : FState(std::move(state)), FVerifier(std::move(verifier)) {}
  std::shared_ptr<vmime::net::socket> create() override { return std::make_shared<SmtpSocket>(FState, nullptr, FVerifier); }
  std::shared_ptr<vmime::net::socket> create(std::shared_ptr<vmime::net::timeoutHandler> th) override {
    return std::make_shared<SmtpSocket>(FState, th, FVerifier);
  }

private:
  std::shared_ptr<SessionState> FState;
  std::shared_ptr<vmime::security::cert::certificateVerifier> FVerifier;
};

// ---------------------------------------------------------------------------
// Tracing into the session log.

class Tracer : public vmime::net::tracer {
public:
  Tracer(std::shared_ptr<SessionLog> log, int id) : FLog(std::move(log)), FId(id) {}
  void traceSend(const vmime::string& line) override { FLog->Sent(FId, line); }
  void traceReceive(const vmime::string& line) override { FLog->Received(FId, line); }
  void traceSendBytes(const size_t count, const vmime::string& state) override {
    FLog->Sent(FId, "(" + std::to_string(count) + " bytes" + (state.empty() ? "" : ", " + state) + ")");
  }
  void traceReceiveBytes(const size_t count, const vmime::string& state) override {
    FLog->Received(FId, "(" + std::to_string(count) + " bytes" + (state.empty() ? "" : ", " + state) + ")");
  }

private:
  std::shared_ptr<SessionLog> FLog;
  int FId;
};

class TracerFactory : public vmime::net::tracerFactory {
public:
  explicit TracerFactory(std::shared_ptr<SessionLog> log) : FLog(std::move(log)) {}
  std::shared_ptr<vmime::net::tracer> create(std::shared_ptr<vmime::net::service>, const int id) override {
    return std::make_shared<Tracer>(FLog, id);
  }

private:
  std::shared_ptr<SessionLog> FLog;
};

// ---------------------------------------------------------------------------
// Certificates: the system's authorities plus the installation's CA_FILE.

using CertList = std::vector<std::shared_ptr<vmime::security::cert::X509Certificate>>;

// Every certificate of a PEM file (the library reads one per buffer).
CertList ReadPemFile(const QString& path) {
  CertList certs;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return certs;
  const QByteArray all = f.readAll();
  static const QByteArray begin = "-----BEGIN CERTIFICATE-----";
  static const QByteArray end = "-----END CERTIFICATE-----";
  qsizetype pos = 0;
  for (;;) {
    const qsizetype b = all.indexOf(begin, pos);
    if (b < 0) break;
    const qsizetype e = all.indexOf(end, b);
    if (e < 0) break;
    pos = e + end.size();
    const QByteArray one = all.mid(b, pos - b) + "\n";
    try {
      auto cert = vmime::security::cert::X509Certificate::import(
          reinterpret_cast<const vmime::byte_t*>(one.constData()), size_t(one.size()));
      if (cert) certs.push_back(cert);
    } catch (const std::exception&) {
      // A damaged entry is skipped; the others still count.
    }
  }
  return certs;
}

const CertList& SystemAuthorities() {
  static CertList certs;
  static std::once_flag once;
  std::call_once(once, [] {
    for (const char* path : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt"}) {
      certs = ReadPemFile(QString::fromLatin1(path));
      if (!certs.empty()) break;
    }
  });
  return certs;
}

}  // namespace

void SetUpService(const std::shared_ptr<vmime::net::service>& service, const std::shared_ptr<SessionState>& state,
                  const QString& caFile, bool smtpTls) {
  service->setSocketFactory(std::make_shared<SocketFactory>(state));
  service->setTimeoutHandlerFactory(std::make_shared<TimeoutHandlerFactory>(state));
  if (state->Log && state->Log->Active()) service->setTracerFactory(std::make_shared<TracerFactory>(state->Log));
  CertList roots = SystemAuthorities();
  if (!caFile.isEmpty()) {
    const CertList extra = ReadPemFile(caFile);
    if (extra.empty() && state->Log) state->Log->Note(QStringLiteral("No certificate read from CA file %1").arg(caFile));
    roots.insert(roots.end(), extra.begin(), extra.end());
  }
  auto verifier = std::make_shared<vmime::security::cert::defaultCertificateVerifier>();
  verifier->setX509RootCAs(roots);
  service->setCertificateVerifier(verifier);
  if (smtpTls) service->setSocketFactory(std::make_shared<SmtpSocketFactory>(state, verifier));
  else if (std::dynamic_pointer_cast<vmime::net::transport>(service))
    service->setSocketFactory(std::make_shared<SmtpSocketFactory>(state, nullptr));
}

int ResultOf(const std::exception& error, const SessionState& state, QString* detail) {
  QString why = FromStd(error.what());
  int code = mrInternal;
  switch (state.Failure.load()) {
    case SocketFailure::Cancelled: code = mrCancelled; break;
    case SocketFailure::TimedOut: code = mrTimedOut; break;
    case SocketFailure::Refused:
    case SocketFailure::Unreachable:
    case SocketFailure::Unresolved: code = mrConnectFailed; break;
    default: break;
  }
  if (code == mrInternal) {
    for (const vmime::exception* e = dynamic_cast<const vmime::exception*>(&error); e; e = e->other()) {
      why += QStringLiteral(" [%1: %2]").arg(FromStd(e->name()), FromStd(e->what()));
      int c = mrInternal;
      if (dynamic_cast<const vmime::security::cert::certificateException*>(e)) c = mrCertificate;
      else if (dynamic_cast<const vmime::exceptions::tls_exception*>(e)) c = mrTlsHandshake;
      else if (dynamic_cast<const vmime::exceptions::authentication_error*>(e) ||
               dynamic_cast<const vmime::exceptions::authentication_exception*>(e))
        c = mrAuthFailed;
      else if (dynamic_cast<const vmime::exceptions::folder_not_found*>(e)) c = mrMailboxNotFound;
      else if (dynamic_cast<const vmime::exceptions::operation_timed_out*>(e)) c = mrTimedOut;
      else if (dynamic_cast<const vmime::net::smtp::SMTPMessageSizeExceedsMaxLimitsException*>(e) ||
               dynamic_cast<const vmime::net::smtp::SMTPMessageSizeExceedsCurLimitsException*>(e))
        c = mrMessageRefused;
      else if (auto smtp = dynamic_cast<const vmime::net::smtp::SMTPCommandError*>(e)) {
        const std::string cmd = Upper(smtp->command());
        if (smtp->statusCode() == 535 || smtp->statusCode() == 534 || cmd.rfind("AUTH", 0) == 0) c = mrAuthFailed;
        else if (cmd.rfind("MAIL", 0) == 0 || cmd.rfind("RCPT", 0) == 0 || cmd.rfind("DATA", 0) == 0 ||
                 cmd.rfind("BDAT", 0) == 0 || cmd == "." || smtp->statusCode() == 552 || smtp->statusCode() == 550)
          c = mrMessageRefused;
        else c = mrProtocol;
      } else if (dynamic_cast<const vmime::exceptions::not_connected*>(e) ||
                 dynamic_cast<const vmime::exceptions::socket_not_connected_exception*>(e))
        c = mrNotConnected;
      else if (dynamic_cast<const vmime::exceptions::net_exception*>(e))
        c = mrProtocol;
      // The most specific cause found along the chain wins.
      if (code == mrInternal || code == mrProtocol || code == mrNotConnected) {
        if (c != mrInternal) code = c;
      }
    }
    if (state.Failure == SocketFailure::Closed && (code == mrInternal || code == mrNotConnected)) code = mrProtocol;
  }
  if (detail) *detail = why;
  return code;
}

// ---------------------------------------------------------------------------
// Header texts

// A word as UTF-8. Raw 8-bit text without a declared charset is taken as UTF-8.
QString WordText(const vmime::word& w) {
  const std::string cs = Upper(w.getCharset().getName());
  const std::string& bytes = w.getBuffer();
  if (cs == "UTF-8" || cs == "UTF8" || cs == "US-ASCII" || cs == "ASCII" || cs == "ANSI_X3.4-1968") {
    const QString text = FromStd(bytes);
    if (!text.contains(QChar::ReplacementCharacter)) return text;
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
  }
  try {
    return FromStd(w.getConvertedText(vmime::charset(vmime::charsets::UTF_8)));
  } catch (const std::exception&) {
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
  }
}

QString HeaderText(const std::shared_ptr<const vmime::header>& header, const char* field) {
  try {
    auto f = header->findField(field);
    if (!f) return QString();
    if (auto t = f->getValue<vmime::text>()) {
      QString out;
      for (size_t i = 0; i < t->getWordCount(); ++i) out += WordText(*t->getWordAt(i));
      return out;
    }
    return FromStd(f->getValue()->generate());
  } catch (const std::exception&) {
    return QString();
  }
}

QString HeaderFrom(const std::shared_ptr<const vmime::header>& header) {
  try {
    auto f = header->findField(vmime::fields::FROM);
    if (!f) return QString();
    if (auto mb = f->getValue<vmime::mailbox>()) return FromStd(mb->getEmail().toString());
    if (auto list = f->getValue<vmime::mailboxList>())
      if (list->getMailboxCount() > 0) return FromStd(list->getMailboxAt(0)->getEmail().toString());
  } catch (const std::exception&) {
  }
  return QString();
}

// ---------------------------------------------------------------------------
// A received message

namespace {
QString ParamText(const std::shared_ptr<const vmime::headerField>& field, const char* name) {
  auto pf = std::dynamic_pointer_cast<vmime::parameterizedHeaderField>(std::const_pointer_cast<vmime::headerField>(field));
  if (!pf) return QString();
  try {
    if (!pf->hasParameter(name)) return QString();
    return WordText(pf->getParameter(name)->getValue());
  } catch (const std::exception&) {
    return QString();
  }
}

QString PartFileName(const vmime::bodyPart& part) {
  auto h = part.getHeader();
  QString name = ParamText(h->findField(vmime::fields::CONTENT_DISPOSITION), "filename");
  if (name.isEmpty()) name = ParamText(h->findField(vmime::fields::CONTENT_TYPE), "name");
  return name;
}

QString Disposition(const vmime::bodyPart& part) {
  auto f = part.getHeader()->findField(vmime::fields::CONTENT_DISPOSITION);
  if (!f) return QString();
  if (auto d = f->getValue<vmime::contentDisposition>()) return FromStd(d->getName()).toLower();
  return QString();
}
}  // namespace

ReceivedMessage::ReceivedMessage(const QString& file) {
  auto fsf = vmime::platform::getHandler()->getFileSystemFactory();
  auto f = fsf->create(fsf->stringToPath(ToStd(file)));
  FStream = f->getFileReader()->getInputStream();
  FMessage = std::make_shared<vmime::message>();
  FMessage->parse(FStream, size_t(f->getLength()));
  Walk(FMessage);
}

void ReceivedMessage::Walk(const std::shared_ptr<const vmime::bodyPart>& part) {
  auto body = part->getBody();
  if (body->getPartCount() > 0) {
    for (size_t i = 0; i < body->getPartCount(); ++i) Walk(body->getPartAt(i));
    return;
  }
  const vmime::mediaType type = body->getContentType();
  const QString disposition = Disposition(*part);
  const bool isText = type.getType() == vmime::mediaTypes::TEXT;
  const bool attachment = disposition == QLatin1String("attachment") || !PartFileName(*part).isEmpty() ||
                          (!isText && type.getType() != vmime::mediaTypes::MULTIPART);
  if (attachment) {
    // The top part of a mail with no text is an attachment only when it says so.
    if (part != FMessage || !disposition.isEmpty() || !PartFileName(*part).isEmpty())
      FAttachments.push_back(part);
    return;
  }
  if (type.getSubType() == vmime::mediaTypes::TEXT_HTML) {
    if (!FHtml) FHtml = part;
  } else if (!FPlain) {
    FPlain = part;
  }
}

QString ReceivedMessage::Subject() const { return HeaderText(FMessage->getHeader(), vmime::fields::SUBJECT); }
QString ReceivedMessage::FromAddr() const { return HeaderFrom(FMessage->getHeader()); }
QString ReceivedMessage::MessageId() const { return HeaderText(FMessage->getHeader(), vmime::fields::MESSAGE_ID); }

QString ReceivedMessage::BodyText() const {
  auto part = FPlain ? FPlain : FHtml;
  if (!part) return QString();
  try {
    std::string raw;
    vmime::utility::outputStreamStringAdapter out(raw);
    part->getBody()->getContents()->extract(out);
    out.flush();
    const vmime::charset cs = part->getBody()->getCharset();
    if (cs == vmime::charset(vmime::charsets::UTF_8) || cs.getName() == "us-ascii") return FromStd(raw);
    std::string utf8;
    vmime::charset::convert(raw, utf8, cs, vmime::charset(vmime::charsets::UTF_8));
    return FromStd(utf8);
  } catch (const std::exception&) {
    return QString();
  }
}

QString ReceivedMessage::AttachmentFileName(int index) const {
  if (index < 0 || index >= AttachmentCount()) return QString();
  return PartFileName(*FAttachments[size_t(index)]);
}

int ReceivedMessage::SaveAttachment(int index, const QString& path) const {
  if (index < 0 || index >= AttachmentCount()) return mrNoSuchMessage;
  const std::string target = ToStd(path);
  bool ok = false;
  {
    std::ofstream file(target, std::ios::binary | std::ios::trunc);
    if (!file) return mrFileError;
    try {
      vmime::utility::outputStreamAdapter out(file);
      FAttachments[size_t(index)]->getBody()->getContents()->extract(out);
      out.flush();
      file.flush();
      ok = bool(file);
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (!ok) {
    // No truncated file is left behind.
    QFile::remove(path);
    return mrFileError;
  }
  return mrOk;
}

}  // namespace mail
