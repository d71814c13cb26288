#include "transport/MailSession.h"

#include <mutex>

#include <vmime/net/smtp/SMTPExceptions.hpp>
#include <vmime/platforms/posix/posixHandler.hpp>

#include "transport/Certificates.h"
#include "transport/MailSocket.h"
#include "transport/MailStrings.h"

namespace mail {

void InitMailLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { vmime::platform::setHandler<vmime::platforms::posix::posixHandler>(); });
}

namespace {

// Offers the server one mechanism: PLAIN when it has it (no fallback to
// others, so a wrong password costs one login).
class PlainOnlyAuthenticator : public vmime::security::sasl::defaultSASLAuthenticator {
public:
  const std::vector<std::shared_ptr<vmime::security::sasl::SASLMechanism>> getAcceptableMechanisms(
      const std::vector<std::shared_ptr<vmime::security::sasl::SASLMechanism>>& available,
      std::shared_ptr<vmime::security::sasl::SASLMechanism> suggested) const override {
    for (const auto& m : available)
      if (m->getName() == "PLAIN") return {m};
    return defaultSASLAuthenticator::getAcceptableMechanisms(available, suggested);
  }
};

}  // namespace

void SetUpService(const std::shared_ptr<vmime::net::service>& service, const std::shared_ptr<SessionState>& state,
                  const QString& caFile, MailSecurity security) {
  state->LoopbackOnly = security == MailSecurity::None;
  service->setTimeoutHandlerFactory(NewTimeoutHandlerFactory(state));
  if (state->Log && state->Log->Active()) service->setTracerFactory(NewTracerFactory(state->Log));
  auto verifier = NewCertificateVerifier(caFile, state);
  service->setCertificateVerifier(verifier);
  if (std::dynamic_pointer_cast<vmime::net::transport>(service)) {
    // The socket secures the connection itself; the client sees a secure one.
    service->setSocketFactory(NewSmtpSocketFactory(state, security == MailSecurity::None ? nullptr : verifier,
                                                   security == MailSecurity::StartTls));
    service->setProperty("connection.tls", false);
  } else {
    service->setSocketFactory(NewSocketFactory(state));
    // STARTTLS before the login, and never a fallback to a plain login.
    service->setProperty("connection.tls", security == MailSecurity::StartTls);
    service->setProperty("connection.tls.required", security == MailSecurity::StartTls);
  }
}

const char* ServiceProtocol(MailSecurity security, const char* plain, const char* secure) {
  return security == MailSecurity::Tls ? secure : plain;
}

void SetLogin(const std::shared_ptr<vmime::net::service>& service, const QString& account, const QString& password) {
  service->setProperty("auth.username", ToStd(account));
  service->setProperty("auth.password", ToStd(password));
}

std::shared_ptr<vmime::security::authenticator> NewPlainOnlyAuthenticator() {
  return std::make_shared<PlainOnlyAuthenticator>();
}

QString FailureText(int code, const SessionState& state) {
  if (code == mrOk) return QString();
  QString text = MailResultText(code);
  if (code == mrCertificate && !state.CertificateProblem.isEmpty())
    text += QStringLiteral(" Failed check: %1.").arg(state.CertificateProblem);
  return text;
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
    case SocketFailure::NotLoopback: code = mrPlainRefused; break;
    default: break;
  }
  if (code == mrInternal) {
    for (const vmime::exception* e = dynamic_cast<const vmime::exception*>(&error); e; e = e->other()) {
      why += QStringLiteral(" [%1: %2]").arg(FromStd(e->name()), FromStd(e->what()));
      int c = mrInternal;
      if (dynamic_cast<const vmime::security::cert::certificateException*>(e)) c = mrCertificate;
      else if (dynamic_cast<const vmime::exceptions::tls_exception*>(e)) c = mrTlsHandshake;
      else if (auto cmd = dynamic_cast<const vmime::exceptions::command_error*>(e);
               cmd && (Upper(cmd->command()) == "STARTTLS" || Upper(cmd->command()) == "STLS"))
        c = mrNoStartTls;
      else if (dynamic_cast<const vmime::exceptions::authentication_error*>(e) ||
               dynamic_cast<const vmime::exceptions::authentication_exception*>(e))
        c = mrAuthFailed;
      else if (dynamic_cast<const vmime::exceptions::folder_not_found*>(e)) c = mrMailboxNotFound;
      else if (dynamic_cast<const vmime::exceptions::operation_timed_out*>(e)) c = mrTimedOut;
      else if (dynamic_cast<const vmime::net::smtp::SMTPMessageSizeExceedsMaxLimitsException*>(e))
        c = mrTooLarge;
      else if (dynamic_cast<const vmime::net::smtp::SMTPMessageSizeExceedsCurLimitsException*>(e))
        c = mrMessageRefused;  // too large for now (452): no lasting limit
      else if (auto smtp = dynamic_cast<const vmime::net::smtp::SMTPCommandError*>(e)) {
        const std::string cmd = Upper(smtp->command());
        const auto ex = smtp->extendedStatusCode();
        const bool envelopeOrData = cmd.rfind("MAIL", 0) == 0 || cmd.rfind("DATA", 0) == 0 ||
                                    cmd.rfind("BDAT", 0) == 0 || cmd == ".";
        if (smtp->statusCode() == 535 || smtp->statusCode() == 534 || cmd.rfind("AUTH", 0) == 0) c = mrAuthFailed;
        else if ((ex.klass == 5 && ex.subject == 3 && ex.detail == 4) || (smtp->statusCode() == 552 && envelopeOrData))
          c = mrTooLarge;
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
    if (state.Failure == SocketFailure::Closed &&
        (code == mrInternal || code == mrNotConnected || code == mrProtocol))
      code = mrConnectionLost;
  }
  if (detail) *detail = why;
  return code;
}

}  // namespace mail
