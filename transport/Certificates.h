// The certificate check of every TLS connection. The chain the server sends
// is verified by GnuTLS's trust list against the system's authorities plus the
// installation's CA_FILE: every signature up to a trusted authority, every
// issuer a certificate authority (basicConstraints, key usage), the dates of
// every certificate, the host name or IP address the client asked for, and
// the server certificate's purpose and key usage. There is no way to accept a
// certificate without the check. A failure throws the mail library's
// certificate exception, whose text says which check failed.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

namespace vmime::security::cert {
class certificateVerifier;
}

namespace mail {

struct SessionState;

// CA_FILE of the installation settings (empty when none).
QString InstalledCaFile();

// What the check of a chain found.
struct ChainVerdict {
  bool Trusted = false;
  QString Problem;  // which check failed (empty when trusted)
};

// Checks chain (DER certificates, the server's own first, then what the
// server sent along) for a server reached as host (a name or an IP address),
// trusting the system's authorities plus every certificate of the PEM file
// caFile (none when empty).
ChainVerdict VerifyServerChain(const QList<QByteArray>& chain, const QString& host, const QString& caFile);

// The trust lists are made once per process and CA file content; this drops
// them, as a new process starts without (for benchmarks).
void ForgetTrustLists();

// The certificates of a PEM text, each as DER (empty when there is none).
QList<QByteArray> PemCertificates(const QByteArray& pem);

// The verifier of the mail library's TLS sessions: VerifyServerChain with
// caFile. A failure is noted in the session's log and kept in
// state->CertificateProblem before the certificate exception is thrown.
std::shared_ptr<vmime::security::cert::certificateVerifier> NewCertificateVerifier(
    const QString& caFile, const std::shared_ptr<SessionState>& state);

}  // namespace mail
