// The connections of the mail objects: a TCP socket that counts bytes and
// tells why it failed (into the session state), the time-out that ends an
// operation after TimeOutSec seconds without an answer or soon after the
// program starts closing, and the SMTP socket with implicit TLS. A failure
// throws the mail library's exception; ResultOf (MailSession.h) maps it to a
// result code with the help of SessionState::Failure.
#pragma once

#include <memory>

namespace vmime {
namespace net {
class socketFactory;
class timeoutHandlerFactory;
}  // namespace net
namespace security::cert {
class certificateVerifier;
}
}  // namespace vmime

namespace mail {

struct SessionState;

// Time-out handlers for every connection of a service.
std::shared_ptr<vmime::net::timeoutHandlerFactory> NewTimeoutHandlerFactory(std::shared_ptr<SessionState> state);

// Plain TCP sockets (with TCP_NODELAY); the mail library adds TLS over them.
std::shared_ptr<vmime::net::socketFactory> NewSocketFactory(std::shared_ptr<SessionState> state);

// SMTP sockets. With a verifier the socket does the TLS itself, so that the
// capabilities the server announces can be read first: the SMTPUTF8 and
// STARTTLS offers are hidden from the client, which then sends plain 7-bit
// MIME mail over the already secure connection. startTls: the connection
// starts plain and the socket sends STARTTLS before the client says anything
// (a server that does not offer it fails the connection with a "STARTTLS"
// command error, and no login is sent); otherwise TLS from the first byte.
// Without a verifier, plain TCP with the same filtering.
std::shared_ptr<vmime::net::socketFactory> NewSmtpSocketFactory(
    std::shared_ptr<SessionState> state, std::shared_ptr<vmime::security::cert::certificateVerifier> verifier,
    bool startTls);

}  // namespace mail
