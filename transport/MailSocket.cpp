#include "transport/MailSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include <vmime/vmime.hpp>
#include <vmime/net/tls/TLSProperties.hpp>
#include <vmime/net/tls/TLSSession.hpp>
#include <vmime/net/tls/TLSSocket.hpp>

#include "platform/Closing.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"

namespace mail {

// ---------------------------------------------------------------------------
// Time-outs: no answer for TimeOutSec seconds, or the program closing, ends the operation.

namespace {

class TimeoutHandler : public vmime::net::timeoutHandler {
public:
  explicit TimeoutHandler(std::shared_ptr<SessionState> state) : FState(std::move(state)) { resetTimeOut(); }
  // Once the program is closing, whatever is in flight gets two more seconds
  // (enough to end the session cleanly, so that deletions are kept).
  bool isTimeOut() override {
    if (FState->Abandoned) return true;
    const auto now = std::chrono::steady_clock::now();
    if (IsClosing()) {
      if (!FClosing) FClosing = now;
      if (now - *FClosing >= std::chrono::seconds(2)) return true;
    }
    return now - FLast >= std::chrono::seconds(FState->TimeOutSec);
  }
  void resetTimeOut() override { FLast = std::chrono::steady_clock::now(); }
  bool handleTimeOut() override {
    FState->Failure = IsClosing() || FState->Abandoned ? SocketFailure::Cancelled : SocketFailure::TimedOut;
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

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool IsLoopback(const sockaddr* a) {
  if (a->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr) >> 24) == 127;
  if (a->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

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
    if (FState->LoopbackOnly) {
      // No TLS: only to this computer, and only when every address of the
      // name is a loopback address (checked before any connection).
      for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (!IsLoopback(ai->ai_addr)) {
          ::freeaddrinfo(list);
          FState->Failure = SocketFailure::NotLoopback;
          throw vmime::exceptions::connection_error("No connection without TLS to " + address +
                                                    ": it is not a loopback address");
        }
      }
      if (FState->Log)
        FState->Log->Note(QStringLiteral("The login goes without TLS: the server %1 is on a loopback address.")
                              .arg(FromStd(address)));
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
      if (errno == ECONNRESET || errno == ECONNABORTED) FState->Failure = SocketFailure::Closed;
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
      if (errno == EPIPE || errno == ECONNRESET) FState->Failure = SocketFailure::Closed;
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
// SMTP: TLS done here rather than by the SMTP client, so that the
// capabilities the server announces can be read first. The client asks for
// SMTPUTF8 whenever a server offers it; hiding the offer makes it send plain
// 7-bit MIME mail, which every server takes. Implicit TLS starts with the
// connection; STARTTLS is sent here, before the client sees anything, and
// the server's greeting is replayed to the client over the secure
// connection. Either way the client sees no STARTTLS offer: the connection
// is already secure.

class SmtpSocket : public vmime::net::socket {
public:
  SmtpSocket(std::shared_ptr<SessionState> state, std::shared_ptr<vmime::net::timeoutHandler> th,
             std::shared_ptr<vmime::security::cert::certificateVerifier> verifier, bool startTls)
      : FState(state), FTimeout(th), FVerifier(std::move(verifier)), FStartTls(startTls) {
    FRaw = std::make_shared<Socket>(std::move(state), th);
    FInner = FRaw;
  }

  void connect(const vmime::string& address, const vmime::port_t port) override {
    FInner = FRaw;
    FPending.clear();
    FRaw->connect(address, port);
    if (!FVerifier) return;
    if (FStartTls && !StartTls()) return;
    auto session = vmime::net::tls::TLSSession::create(FVerifier, std::make_shared<vmime::net::tls::TLSProperties>());
    auto tls = session->getSocket(FRaw);
    tls->handshake();
    FInner = tls;
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
    if (FEhloSent) NoteEhloAnswer(buffer);
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
  void send(const vmime::string& buffer) override {
    NoteCommand(buffer.data(), buffer.size());
    FInner->send(buffer);
  }
  void send(const char* str) override {
    NoteCommand(str, std::strlen(str));
    FInner->send(str);
  }
  // The message itself goes out raw: no command is looked for in it.
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

  // The client's EHLO (its commands go through send): its answer tells the size limit.
  void NoteCommand(const char* text, size_t size) {
    if (size >= 5 && Upper(std::string(text, 5)) == "EHLO ") {
      FEhloSent = true;
      FSizeSeen = 0;
    }
  }

  // Lines of the answer to EHLO: "250-SIZE 10240000" is the largest mail the
  // server takes; a SIZE without a number, no SIZE, or a refused EHLO (the
  // client goes on with HELO) means no limit announced.
  void NoteEhloAnswer(const std::string& lines) {
    size_t pos = 0;
    while (FEhloSent && pos < lines.size()) {
      size_t nl = lines.find('\n', pos);
      if (nl == std::string::npos) nl = lines.size();
      const std::string line = lines.substr(pos, nl - pos);
      pos = nl + 1;
      if (line.size() < 3) continue;
      const bool last = line.size() < 4 || line[3] != '-';
      if (line.compare(0, 3, "250") == 0 && line.size() > 4) {
        std::string word = Upper(line.substr(4));
        while (!word.empty() && (word.back() == '\r' || word.back() == ' ')) word.pop_back();
        if (word.rfind("SIZE", 0) == 0 && (word.size() == 4 || word[4] == ' ')) {
          const std::string number = word.size() > 5 ? word.substr(5) : std::string();
          qint64 value = 0;
          for (const char c : number) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || value > (qint64(1) << 50)) {
              value = 0;
              break;
            }
            value = value * 10 + (c - '0');
          }
          FSizeSeen = value;
        }
      }
      if (last) {
        FState->SmtpSizeLimit = line.compare(0, 3, "250") == 0 ? FSizeSeen : 0;
        FEhloSent = false;
      }
    }
  }

  // The plain part of a STARTTLS connection: greeting, EHLO, STARTTLS. True
  // when TLS can start; false when the greeting refuses the client (the
  // client reads that greeting and reports it). Throws when the server does
  // not offer STARTTLS or refuses it: then nothing else was sent.
  bool StartTls() {
    const std::string greeting = ReadReply();
    if (ReplyCode(greeting) != 220) {
      FPending = greeting;
      return false;
    }
    SendLine("EHLO " + vmime::platform::getHandler()->getHostName());
    const std::string ehlo = ReadReply();
    if (ReplyCode(ehlo) != 250) throw vmime::exceptions::command_error("EHLO", ehlo, "refused");
    if (!Offers(ehlo, "STARTTLS"))
      throw vmime::exceptions::command_error("STARTTLS", ehlo, "the server does not offer STARTTLS");
    SendLine("STARTTLS");
    const std::string answer = ReadReply();
    if (ReplyCode(answer) != 220) throw vmime::exceptions::command_error("STARTTLS", answer, "refused");
    // Whatever came after the answer was never secured: it is dropped, and
    // the client gets the greeting once TLS is up.
    FPending = greeting;
    return true;
  }

  void SendLine(const std::string& line) {
    if (FState->Log) FState->Log->Sent(0, line);
    FRaw->send(line + "\r\n");
  }

  // One whole reply ("250-..." lines up to the "250 ..." line).
  std::string ReadReply() {
    std::string reply;
    for (;;) {
      size_t start = 0;
      for (size_t nl; (nl = FRead.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = FRead.substr(start, nl + 1 - start);
        reply += line;
        if (FState->Log) FState->Log->Received(0, line.substr(0, line.find_last_not_of("\r\n") + 1));
        if (line.size() < 4 || line[3] != '-') {
          FRead.clear();
          return reply;
        }
      }
      FRead.erase(0, start);
      if (reply.size() + FRead.size() > 65536) throw vmime::exceptions::invalid_response("", "reply too long");
      vmime::string chunk;
      FRaw->receive(chunk);
      FRead += chunk;
    }
  }

  static int ReplyCode(const std::string& reply) {
    if (reply.size() < 3 || !std::isdigit(static_cast<unsigned char>(reply[0])) ||
        !std::isdigit(static_cast<unsigned char>(reply[1])) || !std::isdigit(static_cast<unsigned char>(reply[2])))
      return 0;
    return std::stoi(reply.substr(0, 3));
  }

  // Whether an EHLO reply lists the keyword (first word of a line).
  static bool Offers(const std::string& reply, const std::string& keyword) {
    size_t pos = 0;
    while (pos < reply.size()) {
      size_t nl = reply.find('\n', pos);
      if (nl == std::string::npos) nl = reply.size();
      if (nl - pos > 4) {
        std::string word = Upper(reply.substr(pos + 4, nl - pos - 4));
        word = word.substr(0, word.find_first_of(" \r"));
        if (word == keyword) return true;
      }
      pos = nl + 1;
    }
    return false;
  }

  std::shared_ptr<SessionState> FState;
  std::shared_ptr<vmime::net::timeoutHandler> FTimeout;
  std::shared_ptr<vmime::security::cert::certificateVerifier> FVerifier;
  bool FStartTls = false;
  std::string FRead;
  std::shared_ptr<Socket> FRaw;
  std::shared_ptr<vmime::net::socket> FInner;
  std::shared_ptr<vmime::net::tracer> FTracer;
  std::string FPending;
  unsigned int FStatus = 0;
  bool FEhloSent = false;  // the client's EHLO waits for its answer
  qint64 FSizeSeen = 0;
};

class SmtpSocketFactory : public vmime::net::socketFactory {
public:
  SmtpSocketFactory(std::shared_ptr<SessionState> state,
                    std::shared_ptr<vmime::security::cert::certificateVerifier> verifier, bool startTls)
      : FState(std::move(state)), FVerifier(std::move(verifier)), FStartTls(startTls) {}
  std::shared_ptr<vmime::net::socket> create() override {
    return std::make_shared<SmtpSocket>(FState, nullptr, FVerifier, FStartTls);
  }
  std::shared_ptr<vmime::net::socket> create(std::shared_ptr<vmime::net::timeoutHandler> th) override {
    return std::make_shared<SmtpSocket>(FState, th, FVerifier, FStartTls);
  }

private:
  std::shared_ptr<SessionState> FState;
  std::shared_ptr<vmime::security::cert::certificateVerifier> FVerifier;
  bool FStartTls;
};

}  // namespace

std::shared_ptr<vmime::net::timeoutHandlerFactory> NewTimeoutHandlerFactory(std::shared_ptr<SessionState> state) {
  return std::make_shared<TimeoutHandlerFactory>(std::move(state));
}

std::shared_ptr<vmime::net::socketFactory> NewSocketFactory(std::shared_ptr<SessionState> state) {
  return std::make_shared<SocketFactory>(std::move(state));
}

std::shared_ptr<vmime::net::socketFactory> NewSmtpSocketFactory(
    std::shared_ptr<SessionState> state, std::shared_ptr<vmime::security::cert::certificateVerifier> verifier,
    bool startTls) {
  return std::make_shared<SmtpSocketFactory>(std::move(state), std::move(verifier), startTls);
}

}  // namespace mail
