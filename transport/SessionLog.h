// One mail session's log: a header line, then one line per command and
// response, with passwords and authentication data masked. Without a path it
// writes nothing. Safe to use from the threads of one session.
#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <memory>
#include <string>

namespace vmime::net {
class tracerFactory;
}

namespace mail {

class SessionLog {
public:
  // protocol: "POP3", "IMAP4", "SMTP". truncate: start a fresh file; otherwise
  // the file is appended to and rotated to "<path>.old" once it grows large.
  SessionLog(const QString& path, const QString& protocol, bool truncate);
  void Sent(int connection, const std::string& line);
  void Received(int connection, const std::string& line);
  void Note(const QString& text);
  bool Active() const { return FFile.isOpen(); }

  // The masked form of a client line; secretFollows tells whether the next
  // client lines carry authentication data until the server answers otherwise.
  static std::string MaskClientLine(const std::string& line, bool& secretFollows);

private:
  void Write(int connection, const char* direction, const std::string& line);
  QMutex FLock;
  QFile FFile;
  bool FSecret = false;  // inside an authentication exchange
};

// The mail library's tracers of a service, writing into log (one connection
// number per tracer).
std::shared_ptr<vmime::net::tracerFactory> NewTracerFactory(std::shared_ptr<SessionLog> log);

}  // namespace mail
