#include "transport/SessionLog.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMutexLocker>
#include <vector>

#include <vmime/vmime.hpp>

#include "transport/MailStrings.h"

namespace mail {

namespace {
constexpr size_t kMaxLoggedLine = 2000;

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
// Tracing into the session log.

namespace {

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

}  // namespace

std::shared_ptr<vmime::net::tracerFactory> NewTracerFactory(std::shared_ptr<SessionLog> log) {
  return std::make_shared<TracerFactory>(std::move(log));
}

}  // namespace mail
