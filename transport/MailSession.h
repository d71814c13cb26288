// What every mail session is made of: the library set-up, the state its
// sockets, time-outs and tracers share, the service set-up (sockets,
// time-outs, log, certificate check, login), and the mapping of the mail
// library's failures to MailResult codes. Used inside transport only; the
// mail objects on top report nothing but those codes.
#pragma once

#include <QString>
#include <atomic>
#include <memory>

#include <vmime/vmime.hpp>

#include "platform/Settings.h"
#include "transport/MailResult.h"
#include "transport/SessionLog.h"

namespace mail {

// Sets up the mail library once per process (safe from any thread).
void InitMailLibrary();

// Why the last connection attempt or read failed, as the socket saw it.
// NotLoopback: a connection without TLS was refused before connecting.
enum class SocketFailure { None, Refused, Unreachable, Unresolved, TimedOut, Cancelled, Closed, NotLoopback };

// Shared by the sockets, time-out handlers and tracers of one mail object.
struct SessionState {
  int TimeOutSec = 60;
  std::atomic<SocketFailure> Failure{SocketFailure::None};
  std::atomic<qint64> BytesIn{0};
  std::atomic<qint64> BytesOut{0};
  std::shared_ptr<SessionLog> Log;
  // Which check refused the server's certificate (set by the certificate check).
  QString CertificateProblem;
  // The connection has no TLS: the sockets connect only when every address
  // of the server is a loopback address, and say so in the log.
  bool LoopbackOnly = false;
  // The connection is being given up: whatever it waits for ends at once
  // (a kept connection freed without a goodbye from the server).
  std::atomic<bool> Abandoned{false};
  // The SIZE of the SMTP server's last EHLO answer: the largest mail it takes
  // in bytes, 0 when it announces none; -1 before an EHLO answer was read.
  qint64 SmtpSizeLimit = -1;
};

// Applies the socket factory, time-outs, tracer, certificate check and
// security mode to a service. A store's URL names the mode's protocol
// (ServiceProtocol); an SMTP service always has a plain "smtp" URL and its
// socket does the TLS of both tls and starttls (see NewSmtpSocketFactory).
// starttls on a POP3 or IMAP4 store: the store switches to TLS before the
// login and fails when the server does not offer it. none: plain, and only
// to a loopback server (SessionState::LoopbackOnly).
void SetUpService(const std::shared_ptr<vmime::net::service>& service,
                  const std::shared_ptr<SessionState>& state, const QString& caFile, MailSecurity security);

// The URL protocol of a store: secure ("pop3s", "imaps") for tls, else plain.
const char* ServiceProtocol(MailSecurity security, const char* plain, const char* secure);

// The account and password a service logs in with.
void SetLogin(const std::shared_ptr<vmime::net::service>& service, const QString& account, const QString& password);

// Offers the server one SASL mechanism: PLAIN when it has it, so that a wrong
// password costs one login.
std::shared_ptr<vmime::security::authenticator> NewPlainOnlyAuthenticator();

// The result code for a failure, and a line for the log that says why.
int ResultOf(const std::exception& error, const SessionState& state, QString* detail = nullptr);

// The text of a failing code for LastError: MailResultText, and for a refused
// certificate which check failed.
QString FailureText(int code, const SessionState& state);

// Runs fn, turning its exceptions into a result code (logged when there is a log).
template <class Fn>
int Guard(const SessionState& state, Fn&& fn) {
  try {
    fn();
    return mrOk;
  } catch (const std::exception& e) {
    QString detail;
    const int code = ResultOf(e, state, &detail);
    if (state.Log) state.Log->Note(QStringLiteral("Error %1: %2 %3").arg(code).arg(MailResultText(code), detail));
    return code;
  }
}

}  // namespace mail
