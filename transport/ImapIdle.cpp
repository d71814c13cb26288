#include "transport/ImapIdle.h"

#include <QByteArray>
#include <QMutexLocker>
#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include <vmime/vmime.hpp>
#include <vmime/net/tls/TLSProperties.hpp>
#include <vmime/net/tls/TLSSession.hpp>
#include <vmime/net/tls/TLSSocket.hpp>

#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "transport/Certificates.h"
#include "transport/MailSession.h"
#include "transport/MailSocket.h"
#include "transport/MailStrings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStepMs = 50;                       // one poll step of the connection
constexpr size_t kMaxResponse = 1024 * 1024;      // one server response, literals included

// How a session ended.
struct Cancelled {};
struct Fatal {
  QString Why;
};
struct Lost {
  QString Why;
};

// No answer for TimeOutSec seconds while a command is under way, the watcher
// cancelled or the program closing ends the connection. While the connection
// waits in IDLE, silence is no time-out.
class WatchTimeout : public vmime::net::timeoutHandler {
public:
  WatchTimeout(std::shared_ptr<mail::SessionState> state, const std::atomic<bool>& cancel)
      : FState(std::move(state)), FCancel(cancel) {
    resetTimeOut();
  }
  bool Stopping() const { return FCancel.load() || IsClosing(); }
  bool isTimeOut() override {
    if (Stopping()) return true;
    if (Idling) return false;
    return Clock::now() - FLast >= std::chrono::seconds(FState->TimeOutSec);
  }
  void resetTimeOut() override { FLast = Clock::now(); }
  bool handleTimeOut() override {
    FState->Failure = Stopping() ? mail::SocketFailure::Cancelled : mail::SocketFailure::TimedOut;
    return false;
  }
  std::atomic<bool> Idling{false};

private:
  std::shared_ptr<mail::SessionState> FState;
  const std::atomic<bool>& FCancel;
  Clock::time_point FLast;
};

// The connection as the TLS layer sees it: every wait is at most one poll
// step, so that a handshake that stalls still sees a cancel at once.
class StepSocket : public vmime::net::socket {
public:
  explicit StepSocket(std::shared_ptr<vmime::net::socket> inner) : FInner(std::move(inner)) {}
  void connect(const vmime::string& address, const vmime::port_t port) override { FInner->connect(address, port); }
  bool isConnected() const override { return FInner->isConnected(); }
  void disconnect() override { FInner->disconnect(); }
  bool waitForRead(const int msecs) override { return FInner->waitForRead(std::min(msecs, kStepMs)); }
  bool waitForWrite(const int msecs) override { return FInner->waitForWrite(std::min(msecs, kStepMs)); }
  void receive(vmime::string& buffer) override { FInner->receive(buffer); }
  size_t receiveRaw(vmime::byte_t* buffer, const size_t count) override { return FInner->receiveRaw(buffer, count); }
  void send(const vmime::string& buffer) override { FInner->send(buffer); }
  void send(const char* str) override { FInner->send(str); }
  void sendRaw(const vmime::byte_t* buffer, const size_t count) override { FInner->sendRaw(buffer, count); }
  size_t sendRawNonBlocking(const vmime::byte_t* buffer, const size_t count) override {
    return FInner->sendRawNonBlocking(buffer, count);
  }
  size_t getBlockSize() const override { return FInner->getBlockSize(); }
  unsigned int getStatus() const override { return FInner->getStatus(); }
  const vmime::string getPeerName() const override { return FInner->getPeerName(); }
  const vmime::string getPeerAddress() const override { return FInner->getPeerAddress(); }
  std::shared_ptr<vmime::net::timeoutHandler> getTimeoutHandler() override { return FInner->getTimeoutHandler(); }
  void setTracer(std::shared_ptr<vmime::net::tracer> tracer) override { FInner->setTracer(tracer); }
  std::shared_ptr<vmime::net::tracer> getTracer() override { return FInner->getTracer(); }

private:
  std::shared_ptr<vmime::net::socket> FInner;
};

// The words of a text, upper case.
std::vector<std::string> UpperWords(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t sp = text.find(' ', pos);
    const size_t end = sp == std::string::npos ? text.size() : sp;
    if (end > pos) words.push_back(mail::Upper(text.substr(pos, end - pos)));
    pos = end + 1;
  }
  return words;
}

bool StartsWithWord(const std::string& text, const std::string& word) {
  return text.size() >= word.size() && mail::Upper(text.substr(0, word.size())) == mail::Upper(word) &&
         (text.size() == word.size() || text[word.size()] == ' ');
}

}  // namespace

// ---------------------------------------------------------------------------
// One connection: from the greeting to IDLE, renewed until it ends.

class ImapIdleWatcher::Session {
public:
  Session(ImapIdleWatcher& owner, std::shared_ptr<mail::SessionLog> log, bool afterGap)
      : FOwner(owner), FAfterGap(afterGap) {
    FState = std::make_shared<mail::SessionState>();
    FState->Log = std::move(log);
    FState->LoopbackOnly = owner.FAccount.Security == MailSecurity::None;
    FTimeout = std::make_shared<WatchTimeout>(FState, owner.FCancel);
  }

  const mail::SessionState& State() const { return *FState; }
  bool ReachedIdle() const { return FReachedIdle; }

  void Run() {
    const IncomingAccount& a = FOwner.FAccount;
    FRaw = mail::NewSocketFactory(FState)->create(FTimeout);
    FSocket = FRaw;
    FRaw->connect(mail::ToStd(a.Server), vmime::port_t(a.Port));
    if (a.Security == MailSecurity::Tls) StartTls();

    const std::string greeting = ReadLine();
    if (StartsWithWord(greeting, "* BYE")) throw Lost{QStringLiteral("the server turned the connection away")};
    const bool preauth = StartsWithWord(greeting, "* PREAUTH");
    if (!preauth && !StartsWithWord(greeting, "* OK")) throw Lost{QStringLiteral("no IMAP4 greeting")};

    if (a.Security == MailSecurity::StartTls) {
      const Reply r = Command({"STARTTLS"});
      if (r.Status != "OK")
        throw Fatal{QStringLiteral("the server does not offer STARTTLS; no login was sent")};
      StartTls();
    }
    if (!preauth) Login();

    FCapabilities.clear();
    if (Command({"CAPABILITY"}).Status != "OK") throw Lost{QStringLiteral("CAPABILITY failed")};
    if (std::find(FCapabilities.begin(), FCapabilities.end(), "IDLE") == FCapabilities.end())
      throw Fatal{QStringLiteral("the server does not offer IDLE")};

    const std::optional<std::string> folder = Quoted(MailboxUtf7(a.Folder));
    if (!folder) throw Fatal{QStringLiteral("the folder name is too long")};
    const Reply opened = Command({"EXAMINE " + *folder});
    if (opened.Status != "OK")
      throw Fatal{QStringLiteral("the folder \"%1\" cannot be opened: %2").arg(a.Folder, mail::FromStd(opened.Text))};
    FKnowsCount = true;
    Idle();
  }

  void Close() {
    try {
      if (FSocket) FSocket->disconnect();
    } catch (...) {
      LogDropped("closing the push connection");
    }
  }

private:
  struct Reply {
    std::string Status;  // OK, NO, BAD
    std::string Text;
  };

  void StartTls() {
    const IncomingAccount& a = FOwner.FAccount;
    const QString caFile = a.CaFile.isEmpty() ? mail::InstalledCaFile() : a.CaFile;
    auto session = vmime::net::tls::TLSSession::create(mail::NewCertificateVerifier(caFile, FState),
                                                       std::make_shared<vmime::net::tls::TLSProperties>());
    auto tls = session->getSocket(std::make_shared<StepSocket>(FRaw));
    tls->handshake();
    FTlsSession = session;
    FSocket = tls;
  }

  // LOGIN with the account and password as quoted strings, or as literals
  // when they cannot be quoted.
  void Login() {
    const IncomingAccount& a = FOwner.FAccount;
    std::vector<std::string> parts{"LOGIN "};
    std::vector<std::string> literals;
    auto add = [&](const std::string& text, bool last) {
      if (auto q = Quoted(text)) {
        parts.back() += *q + (last ? "" : " ");
      } else {
        parts.back() += "{" + std::to_string(text.size()) + "}";
        literals.push_back(text);
        parts.push_back(last ? "" : " ");
      }
    };
    add(mail::ToStd(a.Account), false);
    add(mail::ToStd(a.Password), true);
    const Reply r = Command(parts, literals);
    if (r.Status == "OK") return;
    if (mail::Upper(r.Text).find("[UNAVAILABLE]") != std::string::npos)
      throw Lost{QStringLiteral("the server cannot log in now")};
    throw Fatal{QStringLiteral("the server refused the login: %1").arg(mail::FromStd(r.Text))};
  }

  void Idle() {
    for (bool first = true;; first = false) {
      const std::string tag = NextTag();
      Send(tag + " IDLE");
      for (;;) {
        const std::string line = ReadLine();
        if (line.rfind("+", 0) == 0) break;
        if (StartsWithWord(line, tag))
          throw Fatal{QStringLiteral("the server refused IDLE: %1").arg(mail::FromStd(line))};
        Untagged(line);
      }
      ++FOwner.FIdleCommands;
      if (first) {
        FReachedIdle = true;
        ++FOwner.FSessions;
        FOwner.SetActive(true);
        if (FAfterGap) FFresh = true;  // mail may have come while the connection was down
      }
      FTimeout->Idling = true;
      const auto renew = Clock::now() + FOwner.FRenew;
      bool endedByServer = false;
      while (!endedByServer && Clock::now() < renew) {
        Fill();
        while (auto line = TakeLine()) {
          if (StartsWithWord(*line, tag)) {
            endedByServer = true;  // the server ended IDLE by itself: start it again
            break;
          }
          Untagged(*line);
        }
        Tell();
      }
      FTimeout->Idling = false;
      FTimeout->resetTimeOut();
      if (endedByServer) continue;
      Send("DONE");
      for (;;) {
        const std::string line = ReadLine();
        if (StartsWithWord(line, tag)) {
          if (Tagged(line, tag).Status != "OK") throw Lost{QStringLiteral("IDLE ended with an error")};
          break;
        }
        Untagged(line);
      }
      Tell();
    }
  }

  // The owner learns of new mail once per batch of lines.
  void Tell() {
    if (!FFresh) return;
    FFresh = false;
    emit FOwner.NewMail();
  }

  // The untagged lines that matter: the capability list, the message count
  // (EXISTS, RECENT, EXPUNGE) and the server's farewell.
  void Untagged(const std::string& line) {
    if (line.rfind("* ", 0) != 0) return;
    const std::vector<std::string> w = UpperWords(line.substr(2));
    if (w.empty()) return;
    if (w[0] == "CAPABILITY") {
      FCapabilities.assign(w.begin() + 1, w.end());
      return;
    }
    if (w.size() < 2 || w[0].empty() || !std::all_of(w[0].begin(), w[0].end(), [](char c) { return c >= '0' && c <= '9'; }))
      return;
    long long n = 0;
    try {
      n = std::stoll(w[0]);
    } catch (...) {
      return;  // a count out of range is no count
    }
    if (w[1] == "EXISTS") {
      if (FKnowsCount && n > FExists) FFresh = true;
      FExists = n;
    } else if (w[1] == "RECENT") {
      if (FKnowsCount && n > FRecent) FFresh = true;
      FRecent = n;
    } else if (w[1] == "EXPUNGE") {
      if (FExists > 0) --FExists;
    }
  }

  std::string NextTag() { return "k" + std::to_string(++FTag); }

  void Send(const std::string& line) {
    if (FState->Log) FState->Log->Sent(0, line);
    FSocket->send(line + "\r\n");
  }

  // A command of parts with a literal between each two: each literal is sent
  // after the server's go-ahead. Untagged lines on the way are taken in.
  Reply Command(const std::vector<std::string>& parts, const std::vector<std::string>& literals = {}) {
    const std::string tag = NextTag();
    for (size_t i = 0; i < parts.size(); ++i) {
      Send((i == 0 ? tag + " " : std::string()) + parts[i]);
      if (i >= literals.size()) break;
      for (;;) {
        const std::string line = ReadLine();
        if (line.rfind("+", 0) == 0) break;
        if (StartsWithWord(line, tag)) return Tagged(line, tag);
        Untagged(line);
      }
      if (FState->Log) FState->Log->Sent(0, literals[i]);  // masked inside LOGIN
      FSocket->send(literals[i]);
    }
    for (;;) {
      const std::string line = ReadLine();
      if (StartsWithWord(line, tag)) return Tagged(line, tag);
      Untagged(line);
    }
  }

  // The status and text of a tagged line of tag.
  static Reply Tagged(const std::string& line, const std::string& tag) {
    const std::string rest = line.size() > tag.size() ? line.substr(tag.size() + 1) : std::string();
    const size_t sp = rest.find(' ');
    return {mail::Upper(rest.substr(0, sp)), sp == std::string::npos ? std::string() : rest.substr(sp + 1)};
  }

  std::string ReadLine() {
    for (;;) {
      if (auto line = TakeLine()) return *line;
      Fill();
    }
  }

  // One poll step: whatever the connection has now.
  void Fill() {
    if (FTimeout->Stopping()) throw Cancelled{};
    char buffer[16384];
    const size_t n = FSocket->receiveRaw(reinterpret_cast<vmime::byte_t*>(buffer), sizeof buffer);
    if (n == 0) {
      using S = vmime::net::socket;
      if (!(FSocket->getStatus() & (S::STATUS_WOULDBLOCK | S::STATUS_WANT_READ | S::STATUS_WANT_WRITE)))
        throw Lost{QStringLiteral("the server closed the connection")};
      return;
    }
    FBuffer.append(buffer, n);
  }

  // A whole response line (with the literals it announces) out of the
  // buffer, without its CR LF; nothing while it is incomplete.
  std::optional<std::string> TakeLine() {
    size_t pos = 0;
    for (;;) {
      const size_t nl = FBuffer.find("\r\n", pos);
      if (nl == std::string::npos) {
        if (FBuffer.size() > kMaxResponse) throw Lost{QStringLiteral("a response beyond 1 MB")};
        return std::nullopt;
      }
      // "{n}" or "{n+}" at the end announces n bytes that belong to the line.
      size_t open = std::string::npos;
      if (nl > pos && FBuffer[nl - 1] == '}') open = FBuffer.rfind('{', nl - 1);
      if (open != std::string::npos && open >= pos) {
        std::string digits = FBuffer.substr(open + 1, nl - 1 - open - 1);
        if (!digits.empty() && digits.back() == '+') digits.pop_back();
        if (!digits.empty() && digits.size() < 8 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          const size_t n = std::stoul(digits);
          if (nl + 2 + n > kMaxResponse) throw Lost{QStringLiteral("a response beyond 1 MB")};
          if (FBuffer.size() < nl + 2 + n) return std::nullopt;
          pos = nl + 2 + n;
          continue;
        }
      }
      std::string line = FBuffer.substr(0, nl);
      FBuffer.erase(0, nl + 2);
      if (FState->Log) FState->Log->Received(0, line);
      return line;
    }
  }

  ImapIdleWatcher& FOwner;
  const bool FAfterGap;
  std::shared_ptr<mail::SessionState> FState;
  std::shared_ptr<WatchTimeout> FTimeout;
  std::shared_ptr<vmime::net::socket> FRaw, FSocket;
  std::shared_ptr<vmime::net::tls::TLSSession> FTlsSession;
  std::string FBuffer;
  std::vector<std::string> FCapabilities;
  unsigned FTag = 0;
  bool FKnowsCount = false;
  long long FExists = 0, FRecent = 0;
  bool FFresh = false;
  bool FReachedIdle = false;
};

// ---------------------------------------------------------------------------

ImapIdleWatcher::ImapIdleWatcher(IncomingAccount account, QObject* parent)
    : QObject(parent), FAccount(std::move(account)) {}

ImapIdleWatcher::~ImapIdleWatcher() {
  Cancel();
  Wait();
}

void ImapIdleWatcher::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] { Run(); });
}

void ImapIdleWatcher::Cancel() { FCancel.store(true); }

void ImapIdleWatcher::Wait() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

QString ImapIdleWatcher::StopReason() const {
  QMutexLocker lock(&FLock);
  return FStopReason;
}

void ImapIdleWatcher::SetActive(bool active) {
  if (FActive.exchange(active) != active) emit ActiveChanged(active);
}

void ImapIdleWatcher::Run() {
  try {
    mail::InitMailLibrary();
    std::shared_ptr<mail::SessionLog> log;
    if (!FLogFile.isEmpty()) log = std::make_shared<mail::SessionLog>(FLogFile, QStringLiteral("IMAP4"), false);
    auto note = [&](const QString& text) {
      if (log) log->Note(text);
    };
    std::chrono::milliseconds backOff = FFirstBackOff;
    bool afterGap = false;
    while (!FCancel.load() && !IsClosing()) {
      Session session(*this, log, afterGap);
      QString lost, fatal;
      bool cancelled = false;
      try {
        session.Run();
      } catch (const Cancelled&) {
        cancelled = true;
      } catch (const Fatal& f) {
        fatal = f.Why;
      } catch (const Lost& l) {
        lost = l.Why;
      } catch (const std::exception& e) {
        QString detail;
        const int code = mail::ResultOf(e, session.State(), &detail);
        if (code == mrCancelled || FCancel.load() || IsClosing())
          cancelled = true;
        else if (code == mrCertificate || code == mrPlainRefused || code == mrNoStartTls)
          fatal = mail::FailureText(code, session.State());
        else
          lost = QStringLiteral("%1 (%2)").arg(MailResultText(code), detail);
      }
      session.Close();
      SetActive(false);
      if (cancelled || FCancel.load() || IsClosing()) break;
      if (!fatal.isEmpty()) {
        {
          QMutexLocker lock(&FLock);
          FStopReason = fatal;
        }
        note(QStringLiteral("Push ends: %1. Polling goes on.").arg(fatal));
        qCWarning(lcKestro, "Push over IMAP4 IDLE ends: %s. Polling goes on.", qUtf8Printable(fatal));
        FStopped.store(true);
        emit Stopped(fatal);
        break;
      }
      if (session.ReachedIdle()) backOff = FFirstBackOff;
      note(QStringLiteral("Push connection lost: %1. Next attempt in %2 ms.").arg(lost).arg(backOff.count()));
      if (!PlainWait(int(backOff.count()), &FCancel)) break;
      backOff = std::min(backOff * 2, FLongestBackOff);
      afterGap = true;
    }
  } catch (...) {
    SetActive(false);
    LogDropped("push over IMAP4 IDLE");  // polling by the timer goes on
  }
}

std::optional<std::string> ImapIdleWatcher::Quoted(const std::string& text) {
  if (text.size() > 1000) return std::nullopt;
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) return std::nullopt;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string ImapIdleWatcher::MailboxUtf7(const QString& name) {
  std::string out;
  QByteArray pending;  // UTF-16 big-endian of the characters waiting to be encoded
  auto flush = [&] {
    if (pending.isEmpty()) return;
    QByteArray b64 = pending.toBase64(QByteArray::OmitTrailingEquals);
    b64.replace('/', ',');
    out += "&" + b64.toStdString() + "-";
    pending.clear();
  };
  for (const QChar ch : name) {
    const char16_t u = ch.unicode();
    if (u >= 0x20 && u <= 0x7e) {
      flush();
      out += u == '&' ? std::string("&-") : std::string(1, char(u));
    } else {
      pending.append(char(u >> 8));
      pending.append(char(u & 0xff));
    }
  }
  flush();
  return out;
}
