#include "transport/Certificates.h"

#include <QFile>
#include <mutex>
#include <vector>

#include <vmime/vmime.hpp>

#include "platform/Settings.h"
#include "transport/SessionLog.h"

namespace mail {

namespace {

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

QString InstalledCaFile() { return InstallSettings::Current().Provider.CaFile; }

std::shared_ptr<vmime::security::cert::certificateVerifier> NewCertificateVerifier(
    const QString& caFile, const std::shared_ptr<SessionLog>& log) {
  CertList roots = SystemAuthorities();
  if (!caFile.isEmpty()) {
    const CertList extra = ReadPemFile(caFile);
    if (extra.empty() && log) log->Note(QStringLiteral("No certificate read from CA file %1").arg(caFile));
    roots.insert(roots.end(), extra.begin(), extra.end());
  }
  auto verifier = std::make_shared<vmime::security::cert::defaultCertificateVerifier>();
  verifier->setX509RootCAs(roots);
  return verifier;
}

}  // namespace mail
