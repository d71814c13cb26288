// The certificate check of every TLS connection: the server's chain must lead
// to one of the system's authorities or of the installation's CA_FILE. There
// is no way to accept a certificate without the check.
#pragma once

#include <QString>
#include <memory>

namespace vmime::security::cert {
class certificateVerifier;
}

namespace mail {

class SessionLog;

// CA_FILE of the installation settings (empty when none).
QString InstalledCaFile();

// A verifier trusting the system's authorities plus every certificate of the
// PEM file caFile (none when empty). A caFile that yields no certificate is
// noted in log (when there is one) and the system's authorities stay.
std::shared_ptr<vmime::security::cert::certificateVerifier> NewCertificateVerifier(
    const QString& caFile, const std::shared_ptr<SessionLog>& log);

}  // namespace mail
