#include "transport/Certificates.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <map>
#include <vector>

#include <vmime/vmime.hpp>

#include "platform/Settings.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"

namespace mail {

namespace {

// Owns GnuTLS certificates and frees them.
class CertList {
public:
  ~CertList() {
    for (gnutls_x509_crt_t c : FCerts) gnutls_x509_crt_deinit(c);
  }
  bool AddDer(const QByteArray& der) {
    gnutls_x509_crt_t c = nullptr;
    if (gnutls_x509_crt_init(&c) < 0) return false;
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(der.constData())), unsigned(der.size())};
    if (gnutls_x509_crt_import(c, &d, GNUTLS_X509_FMT_DER) < 0) {
      gnutls_x509_crt_deinit(c);
      return false;
    }
    FCerts.push_back(c);
    return true;
  }
  gnutls_x509_crt_t* Data() { return FCerts.data(); }
  unsigned Size() const { return unsigned(FCerts.size()); }
  bool Empty() const { return FCerts.empty(); }

private:
  std::vector<gnutls_x509_crt_t> FCerts;
};

// A trust list with the system's authorities and those of a CA file.
class TrustList {
public:
  // caPem: the CA file's text (none when empty); caFile names it.
  TrustList(const QString& caFile, const QByteArray& caPem, bool caReadable) {
    if (gnutls_x509_trust_list_init(&FList, 0) < 0) {
      FList = nullptr;
      return;
    }
    gnutls_x509_trust_list_add_system_trust(FList, 0, 0);
    if (!caFile.isEmpty()) {
      gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(caPem.constData())), unsigned(caPem.size())};
      FCaFileCount = caReadable ? gnutls_x509_trust_list_add_trust_mem(FList, &d, nullptr, GNUTLS_X509_FMT_PEM, 0, 0) : -1;
    }
  }
  ~TrustList() {
    if (FList) gnutls_x509_trust_list_deinit(FList, 1);
  }
  TrustList(const TrustList&) = delete;
  TrustList& operator=(const TrustList&) = delete;
  gnutls_x509_trust_list_t Get() const { return FList; }
  // Authorities read from the CA file (negative: the file could not be read).
  int CaFileCount() const { return FCaFileCount; }
  // Verifications take turns: GnuTLS promises nothing about one list used
  // by several threads at once, and a verification takes well under a
  // millisecond.
  QMutex& Lock() const { return FLock; }

private:
  gnutls_x509_trust_list_t FList = nullptr;
  int FCaFileCount = 0;
  mutable QMutex FLock;
};

// The trust list for caFile, made once per process and CA file content:
// reading the system's authorities costs several milliseconds, and every
// connection needs the list. (Authorities the system gains while the
// program runs count from its next start.)
struct TrustLists {
  QMutex Lock;
  std::map<QString, std::shared_ptr<const TrustList>> ByKey;
  static TrustLists& Get() {
    static TrustLists lists;
    return lists;
  }
};

std::shared_ptr<const TrustList> SharedTrustList(const QString& caFile) {
  QByteArray pem;
  bool readable = true;
  if (!caFile.isEmpty()) {
    QFile f(caFile);
    readable = f.open(QIODevice::ReadOnly);
    if (readable) pem = f.readAll();
  }
  const QString key = caFile + QChar(0) + QString::number(qHash(pem)) + QChar(0) + QString::number(pem.size()) +
                      (readable ? QString() : QStringLiteral("!"));
  TrustLists& lists = TrustLists::Get();
  QMutexLocker locker(&lists.Lock);
  if (auto it = lists.ByKey.find(key); it != lists.ByKey.end()) return it->second;
  if (lists.ByKey.size() >= 8) lists.ByKey.clear();
  auto list = std::make_shared<const TrustList>(caFile, pem, readable);
  if (list->Get()) lists.ByKey[key] = list;
  return list;
}

// What each status bit of the verification means, in the order reported.
struct StatusText {
  unsigned Bit;
  const char* Text;
};
const StatusText kStatusTexts[] = {
    {GNUTLS_CERT_SIGNATURE_FAILURE, "a signature in the chain does not verify (forged or damaged certificate)"},
    {GNUTLS_CERT_SIGNER_NOT_CA,
     "a certificate that is no certificate authority (basicConstraints, key usage) issued another one"},
    {GNUTLS_CERT_SIGNER_CONSTRAINTS_FAILURE, "the chain breaks the constraints of an issuer (path length, names)"},
    {GNUTLS_CERT_SIGNER_NOT_FOUND, "the chain does not lead to a trusted certificate authority"},
    {GNUTLS_CERT_EXPIRED, "a certificate of the chain has expired"},
    {GNUTLS_CERT_NOT_ACTIVATED, "a certificate of the chain is not valid yet"},
    {GNUTLS_CERT_PURPOSE_MISMATCH, "the certificate is not meant for a server (extended key usage)"},
    {GNUTLS_CERT_INSECURE_ALGORITHM, "the chain uses an insecure algorithm"},
    {GNUTLS_CERT_REVOKED, "a certificate of the chain is revoked"},
    {GNUTLS_CERT_UNKNOWN_CRIT_EXTENSIONS, "a certificate carries a critical extension that is not understood"},
};

QString StatusProblem(unsigned status, const QString& host) {
  QStringList parts;
  unsigned known = GNUTLS_CERT_INVALID;
  for (const StatusText& s : kStatusTexts) {
    known |= s.Bit;
    if (status & s.Bit) parts << QString::fromLatin1(s.Text);
  }
  if (status & GNUTLS_CERT_UNEXPECTED_OWNER) {
    known |= GNUTLS_CERT_UNEXPECTED_OWNER;
    parts << QStringLiteral("the certificate is not issued for the host %1").arg(host);
  }
  if ((status & ~known) != 0 || parts.isEmpty()) {
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &out, 0) == 0 && out.data) {
      parts << QString::fromUtf8(reinterpret_cast<const char*>(out.data), int(out.size)).trimmed();
      gnutls_free(out.data);
    } else {
      parts << QStringLiteral("the chain is not trusted (status %1)").arg(status);
    }
  }
  return parts.join(QStringLiteral("; "));
}

// The server certificate's own key usage: when it has one, it must allow
// signing (ECDHE, TLS 1.3) or key encipherment (RSA key exchange).
QString KeyUsageProblem(gnutls_x509_crt_t server) {
  unsigned usage = 0, critical = 0;
  const int rc = gnutls_x509_crt_get_key_usage(server, &usage, &critical);
  if (rc == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) return QString();
  if (rc < 0) return QStringLiteral("the key usage of the server certificate cannot be read");
  if (usage & (GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_KEY_ENCIPHERMENT)) return QString();
  return QStringLiteral("the key usage of the server certificate allows neither signing nor key encipherment");
}

class TrustListVerifier : public vmime::security::cert::certificateVerifier {
public:
  TrustListVerifier(QString caFile, std::shared_ptr<SessionState> state)
      : FCaFile(std::move(caFile)), FState(std::move(state)) {}

  void verify(std::shared_ptr<vmime::security::cert::certificateChain> chain, const vmime::string& hostname) override {
    QList<QByteArray> der;
    for (size_t i = 0; chain && i < chain->getCount(); ++i) {
      const vmime::byteArray bytes = chain->getAt(i)->getEncoded();
      der << QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    }
    const QString host = FromStd(hostname);
    const ChainVerdict verdict = VerifyServerChain(der, host, FCaFile);
    if (verdict.Trusted) return;
    const QString problem = QStringLiteral("Certificate of %1 refused: %2").arg(host, verdict.Problem);
    if (FState) {
      FState->CertificateProblem = verdict.Problem;
      if (FState->Log) FState->Log->Note(problem);
    }
    throw vmime::security::cert::certificateException(ToStd(problem));
  }

private:
  QString FCaFile;
  std::shared_ptr<SessionState> FState;
};

}  // namespace

QString InstalledCaFile() { return InstallSettings::Current().Provider.CaFile; }

void ForgetTrustLists() {
  TrustLists& lists = TrustLists::Get();
  QMutexLocker locker(&lists.Lock);
  lists.ByKey.clear();
}

QList<QByteArray> PemCertificates(const QByteArray& pem) {
  QList<QByteArray> out;
  gnutls_x509_crt_t* certs = nullptr;
  unsigned count = 0;
  gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.constData())), unsigned(pem.size())};
  if (gnutls_x509_crt_list_import2(&certs, &count, &d, GNUTLS_X509_FMT_PEM, 0) < 0) return out;
  for (unsigned i = 0; i < count; ++i) {
    gnutls_datum_t der{nullptr, 0};
    if (gnutls_x509_crt_export2(certs[i], GNUTLS_X509_FMT_DER, &der) == 0) {
      out << QByteArray(reinterpret_cast<const char*>(der.data), int(der.size));
      gnutls_free(der.data);
    }
    gnutls_x509_crt_deinit(certs[i]);
  }
  gnutls_free(certs);
  return out;
}

ChainVerdict VerifyServerChain(const QList<QByteArray>& chain, const QString& host, const QString& caFile) {
  ChainVerdict verdict;
  CertList certs;
  for (const QByteArray& der : chain) {
    if (!certs.AddDer(der)) {
      verdict.Problem = QStringLiteral("the server sent a certificate that cannot be read");
      return verdict;
    }
  }
  if (certs.Empty()) {
    verdict.Problem = QStringLiteral("the server sent no certificate");
    return verdict;
  }
  const std::shared_ptr<const TrustList> shared = SharedTrustList(caFile);
  const TrustList& trust = *shared;
  if (!trust.Get()) {
    verdict.Problem = QStringLiteral("the list of trusted authorities cannot be made");
    return verdict;
  }

  // The host as an IP address (4 or 16 bytes) or as a name (an absolute
  // name's final dot aside).
  QByteArray hostText = host.trimmed().toUtf8();
  if (hostText.endsWith('.')) hostText.chop(1);
  unsigned char ip[16];
  gnutls_typed_vdata_st data[2];
  data[0].type = GNUTLS_DT_KEY_PURPOSE_OID;
  data[0].data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
  data[0].size = 0;
  if (inet_pton(AF_INET, hostText.constData(), ip) == 1) {
    data[1].type = GNUTLS_DT_IP_ADDRESS;
    data[1].data = ip;
    data[1].size = 4;
  } else if (inet_pton(AF_INET6, hostText.constData(), ip) == 1) {
    data[1].type = GNUTLS_DT_IP_ADDRESS;
    data[1].data = ip;
    data[1].size = 16;
  } else {
    data[1].type = GNUTLS_DT_DNS_HOSTNAME;
    data[1].data = reinterpret_cast<unsigned char*>(const_cast<char*>(hostText.constData()));
    data[1].size = 0;
  }
  if (hostText.isEmpty()) {
    verdict.Problem = QStringLiteral("no host name to check the certificate against");
    return verdict;
  }

  unsigned status = 0;
  int rc = 0;
  {
    QMutexLocker locker(&trust.Lock());
    rc = gnutls_x509_trust_list_verify_crt2(trust.Get(), certs.Data(), certs.Size(), data, 2, 0, &status, nullptr);
  }
  if (rc < 0) {
    verdict.Problem = QStringLiteral("the chain cannot be verified: %1").arg(QString::fromUtf8(gnutls_strerror(rc)));
    return verdict;
  }
  if (status != 0) {
    verdict.Problem = StatusProblem(status, host);
    if (!caFile.isEmpty() && trust.CaFileCount() <= 0 && (status & GNUTLS_CERT_SIGNER_NOT_FOUND))
      verdict.Problem += QStringLiteral(" (no certificate read from the CA file %1)").arg(caFile);
    return verdict;
  }
  verdict.Problem = KeyUsageProblem(certs.Data()[0]);
  verdict.Trusted = verdict.Problem.isEmpty();
  return verdict;
}

std::shared_ptr<vmime::security::cert::certificateVerifier> NewCertificateVerifier(
    const QString& caFile, const std::shared_ptr<SessionState>& state) {
  return std::make_shared<TrustListVerifier>(caFile, state);
}

}  // namespace mail
