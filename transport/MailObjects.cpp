#include "transport/MailObjects.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <fstream>
#include <map>

#include <vmime/vmime.hpp>
#include <vmime/net/imap/IMAPFolderStatus.hpp>

#include "platform/Settings.h"
#include "transport/MailSession.h"

using mail::FromStd;
using mail::ToStd;

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

// What earlier passes read, per account and mailbox generation.
struct Remembered {
  std::map<QString, MailHeaders> Headers;  // uid -> headers
  QStringList Order;                       // the uids in mailbox order (IMAP4)
  quint32 UidNext = 0;                     // the next UID the server would give (IMAP4)
};
struct HeaderMemory {
  QMutex Lock;
  std::map<QString, Remembered> Accounts;
  static HeaderMemory& Get() {
    static HeaderMemory m;
    return m;
  }
};

QString DefaultCaFile() { return InstallSettings::Current().Provider.CaFile; }

}  // namespace

namespace {
std::vector<MailHeaders> HeadersOf(const std::vector<std::shared_ptr<vmime::net::message>>& msgs) {
  std::vector<MailHeaders> out;
  out.reserve(msgs.size());
  for (const auto& m : msgs) {
    auto h = m->getHeader();
    out.push_back({mail::HeaderText(h, vmime::fields::SUBJECT), mail::HeaderFrom(h)});
  }
  return out;
}

void SetLogin(const std::shared_ptr<vmime::net::service>& s, const QString& account, const QString& password) {
  s->setProperty("auth.username", ToStd(account));
  s->setProperty("auth.password", ToStd(password));
}
}  // namespace

// ---------------------------------------------------------------------------
// TMailReceiver

TMailReceiver::TMailReceiver(const QString& protocol) : FProtocol(protocol), FCaFile(DefaultCaFile()) {
  mail::InitMailLibrary();
  FState = std::make_shared<mail::SessionState>();
}

TMailReceiver::~TMailReceiver() = default;

std::shared_ptr<mail::SessionState> TMailReceiver::NewSession() {
  auto state = std::make_shared<mail::SessionState>();
  state->TimeOutSec = FTimeOut > 0 ? FTimeOut : 60;
  state->BytesIn = FState ? FState->BytesIn.load() : 0;
  if (!FLogFile.isEmpty()) state->Log = std::make_shared<mail::SessionLog>(FLogFile, FProtocol, true);
  FState = state;
  FSession = vmime::net::session::create();
  return state;
}

template <class Fn>
int TMailReceiver::Run(Fn&& fn) {
  const int code = mail::Guard(*FState, [&] {
    FState->Failure = mail::SocketFailure::None;
    fn();
  });
  if (code != mrOk) {
    FLastError = MailResultText(code);
  } else {
    FLastError.clear();
  }
  return code;
}

QString TMailReceiver::Subject(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Headers.Subject : QString(); }
QString TMailReceiver::FromAddr(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Headers.FromAddr : QString(); }
QString TMailReceiver::Uid(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Uid : QString(); }

QString TMailReceiver::BodyText() const { return FCurrent ? FCurrent->BodyText() : QString(); }
int TMailReceiver::AttachmentCount() const { return FCurrent ? FCurrent->AttachmentCount() : 0; }
QString TMailReceiver::AttachmentFileName(int index) const {
  return FCurrent ? FCurrent->AttachmentFileName(index - 1) : QString();
}
int TMailReceiver::SaveAttachment(int index, const QString& path) const {
  return FCurrent ? FCurrent->SaveAttachment(index - 1, path) : mrNoSuchMessage;
}
QString TMailReceiver::MessageId() const { return FCurrent ? FCurrent->MessageId() : QString(); }
qint64 TMailReceiver::BytesReceived() const { return FState ? FState->BytesIn.load() : 0; }

void TMailReceiver::ForgetHeaders() {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  memory.Accounts.clear();
}

void TMailReceiver::ClearCurrent() {
  FCurrent.reset();
  FWorkFile.reset();
}

void TMailReceiver::TakeApart(const std::shared_ptr<vmime::net::message>& msg) {
  ClearCurrent();
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  QDir().mkpath(folder);
  FWorkFile = std::make_unique<QTemporaryFile>(folder + QStringLiteral("/kestro-mail-XXXXXX.eml"));
  if (!FWorkFile->open()) throw vmime::exceptions::filesystem_exception("Cannot create a work file in " + ToStd(folder), vmime::utility::path());
  FWorkFile->close();
  {
    std::ofstream out(ToStd(FWorkFile->fileName()), std::ios::binary | std::ios::trunc);
    vmime::utility::outputStreamAdapter os(out);
    msg->extract(os);
    os.flush();
    out.flush();
    if (!out) throw vmime::exceptions::filesystem_exception("Cannot write the work file", vmime::utility::path());
  }
  FCurrent = std::make_unique<mail::ReceivedMessage>(FWorkFile->fileName());
}

void TMailReceiver::ResolveHeaders(const QString& key, const QStringList& uids,
                                   const std::function<std::vector<MailHeaders>(const std::vector<int>&)>& fetch) {
  auto& memory = HeaderMemory::Get();
  std::map<QString, MailHeaders> known;
  {
    QMutexLocker lock(&memory.Lock);
    known = memory.Accounts[key].Headers;
  }
  FList.clear();
  FList.resize(size_t(uids.size()));
  std::vector<int> missing;  // 1-based positions
  for (int i = 0; i < uids.size(); ++i) {
    FList[size_t(i)].Uid = uids[i];
    auto it = uids[i].isEmpty() ? known.end() : known.find(uids[i]);
    if (it != known.end()) FList[size_t(i)].Headers = it->second;
    else missing.push_back(i + 1);
  }
  FHeadersFetched = int(missing.size());
  if (!missing.empty()) {
    const std::vector<MailHeaders> got = fetch(missing);
    for (size_t k = 0; k < missing.size() && k < got.size(); ++k) FList[size_t(missing[k] - 1)].Headers = got[k];
  }
  // Remember exactly what the mailbox holds now.
  std::map<QString, MailHeaders> now;
  for (const Entry& e : FList)
    if (!e.Uid.isEmpty()) now[e.Uid] = e.Headers;
  QMutexLocker lock(&memory.Lock);
  Remembered& r = memory.Accounts[key];
  r.Headers = std::move(now);
  r.Order = uids;
  r.UidNext = 0;
}

void TMailReceiver::RememberUidNext(const QString& key, quint32 uidNext) {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  memory.Accounts[key].UidNext = uidNext;
}

bool TMailReceiver::RememberedOrder(const QString& key, QStringList& order, quint32& uidNext) {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  auto it = memory.Accounts.find(key);
  if (it == memory.Accounts.end() || it->second.UidNext == 0) return false;
  order = it->second.Order;
  uidNext = it->second.UidNext;
  return true;
}

void TMailReceiver::ForgetUids(const QString& key, const QStringList& uids) {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  auto it = memory.Accounts.find(key);
  if (it == memory.Accounts.end()) return;
  for (const QString& uid : uids) {
    it->second.Headers.erase(uid);
    it->second.Order.removeAll(uid);
  }
}


// ---------------------------------------------------------------------------
// TMailPOP3

TMailPOP3::TMailPOP3() : TMailReceiver(QStringLiteral("POP3")) {}
TMailPOP3::~TMailPOP3() {
  // Dropped without Disconnect: the server keeps every mail (no QUIT is sent
  // after the deletions).
  FMessages.clear();
  FFolder.reset();
  FStore.reset();
}

std::shared_ptr<vmime::net::store> TMailReceiver::NewStore(const char* plain, const char* secure) {
  const std::shared_ptr<mail::SessionState> state = FState;
  const vmime::utility::url url(FSsl ? secure : plain, ToStd(FServer), vmime::port_t(FPort));
  auto store = FSession->getStore(url);
  mail::SetUpService(store, state, FCaFile);
  SetLogin(store, FAccount, FPassword);
  // One SASL mechanism and no fallback: a wrong password costs one login.
  store->setProperty("options.sasl.fallback", false);
  return store;
}

int TMailPOP3::Connect() {
  NewSession();
  FList.clear();
  FMessages.clear();
  FFolder.reset();
  FStore.reset();
  return Run([&] {
    FStore = NewStore("pop3", "pop3s");
    FStore->setProperty("options.apop", false);
    FStore->setProperty("options.apop.fallback", false);
    if (FAuthMode == 272) {
      FStore->setProperty("options.sasl", false);
    } else {
      FStore->setProperty("options.sasl", true);
      FStore->setAuthenticator(std::make_shared<PlainOnlyAuthenticator>());
    }
    FStore->connect();
  });
}

int TMailPOP3::DownloadHeaders() {
  if (!FStore || !FStore->isConnected()) return mrNotConnected;
  return Run([&] {
    FFolder = FStore->getDefaultFolder();
    FFolder->open(vmime::net::folder::MODE_READ_WRITE);
    FMessages.clear();
    if (FFolder->getMessageCount() > 0) FMessages = FFolder->getMessages(vmime::net::messageSet::byNumber(1, -1));
    QStringList uids;
    if (!FMessages.empty()) {
      FFolder->fetchMessages(FMessages, vmime::net::fetchAttributes::UID);
      for (const auto& m : FMessages) uids << FromStd(m->getUID());
    }
    const QString key = QStringLiteral("pop3|%1|%2|%3").arg(FServer).arg(FPort).arg(FAccount);
    ResolveHeaders(key, uids, [&](const std::vector<int>& positions) {
      std::vector<std::shared_ptr<vmime::net::message>> want;
      for (int p : positions) want.push_back(FMessages[size_t(p - 1)]);
      FFolder->fetchMessages(want, vmime::net::fetchAttributes::ENVELOPE);
      return HeadersOf(want);
    });
  });
}

int TMailPOP3::DownloadMessage(int i) {
  ClearCurrent();
  if (!ValidIndex(i) || size_t(i) > FMessages.size()) return mrNoSuchMessage;
  return Run([&] { TakeApart(FMessages[size_t(i - 1)]); });
}

int TMailPOP3::DeleteSingleMessage(int i) {
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  return Run([&] { FFolder->deleteMessages(vmime::net::messageSet::byNumber(size_t(i))); });
}

int TMailPOP3::Disconnect() {
  ClearCurrent();
  if (!FStore) return mrNotConnected;
  const int code = Run([&] {
    if (FFolder && FFolder->isOpen()) FFolder->close(true);
    if (FStore->isConnected()) FStore->disconnect();
  });
  FMessages.clear();
  FFolder.reset();
  FStore.reset();
  return code;
}

// ---------------------------------------------------------------------------
// TMailIMAP4

TMailIMAP4::TMailIMAP4() : TMailReceiver(QStringLiteral("IMAP4")) {}
TMailIMAP4::~TMailIMAP4() {
  FFolder.reset();
  FStore.reset();
}

int TMailIMAP4::Connect(const QString& host) {
  FServer = host;
  return host.trimmed().isEmpty() ? mrConnectFailed : mrOk;
}

int TMailIMAP4::Login(const QString& account, const QString& password) {
  FAccount = account;
  FPassword = password;
  NewSession();
  FList.clear();
  FFolder.reset();
  FStore.reset();
  return Run([&] {
    FStore = NewStore("imap", "imaps");
    FStore->setProperty("options.sasl", true);
    FStore->setAuthenticator(std::make_shared<PlainOnlyAuthenticator>());
    FStore->connect();
  });
}

int TMailIMAP4::SelectMailbox(const QString& name) {
  if (!FStore || !FStore->isConnected()) return mrNotConnected;
  FMailbox = name;
  return Run([&] {
    FFolder.reset();
    auto folder = FStore->getFolder(vmime::net::folder::path(ToStd(name)));
    if (!folder->exists()) throw vmime::exceptions::folder_not_found();
    folder->open(vmime::net::folder::MODE_READ_WRITE);
    FFolder = folder;
  });
}

int TMailIMAP4::DownloadEnvelopes() {
  if (!FFolder) return mrNotConnected;
  FFlagged.clear();
  return Run([&] {
    auto status = std::dynamic_pointer_cast<vmime::net::imap::IMAPFolderStatus>(FFolder->getStatus());
    const size_t count = status ? status->getMessageCount() : FFolder->getMessageCount();
    const QString validity = status ? QString::number(status->getUIDValidity()) : QString();
    FKey = QStringLiteral("imap4|%1|%2|%3|%4|%5").arg(FServer).arg(FPort).arg(FAccount, FMailbox, validity);
    // Messages keep their order, so when the remembered list plus the mails
    // that arrived since (UID at least the remembered next UID) make up the
    // whole mailbox, only the new ones need to be asked for.
    std::map<QString, std::shared_ptr<vmime::net::message>> byUid;
    QStringList uids;
    QStringList order;
    quint32 uidNext = 0;
    bool known = false;
    if (status && count > 0 && RememberedOrder(FKey, order, uidNext) && size_t(order.size()) <= count) {
      // Always asked, even when the count looks unchanged: mails expunged by
      // another client and as many new ones leave the count as it was.
      QStringList fresh;
      for (const auto& m : FFolder->getMessages(vmime::net::messageSet::byUID(std::to_string(uidNext), "*"))) {
        const QString uid = FromStd(m->getUID());
        if (uid.toULongLong() >= uidNext) {
          fresh << uid;
          byUid[uid] = m;
        }
      }
      // Old mails can only have gone: all of them are still there exactly
      // when the new ones make up the rest.
      if (size_t(order.size() + fresh.size()) == count) {
        uids = order + fresh;
        known = true;
      }
    }
    if (!known && count > 0) {
      byUid.clear();
      auto msgs = FFolder->getMessages(vmime::net::messageSet::byNumber(1, -1));
      FFolder->fetchMessages(msgs, vmime::net::fetchAttributes::UID);
      for (const auto& m : msgs) {
        uids << FromStd(m->getUID());
        byUid[uids.back()] = m;
      }
    }
    ResolveHeaders(FKey, uids, [&](const std::vector<int>& positions) {
      std::vector<std::shared_ptr<vmime::net::message>> want;
      std::vector<vmime::net::message::uid> missing;
      for (int p : positions) {
        auto it = byUid.find(uids[p - 1]);
        if (it != byUid.end()) want.push_back(it->second);
        else missing.push_back(ToStd(uids[p - 1]));
      }
      if (!missing.empty()) {
        auto more = FFolder->getMessages(vmime::net::messageSet::byUID(missing));
        want.insert(want.end(), more.begin(), more.end());
      }
      FFolder->fetchMessages(want, vmime::net::fetchAttributes::ENVELOPE);
      std::map<QString, MailHeaders> got;
      const auto headers = HeadersOf(want);
      for (size_t k = 0; k < want.size(); ++k) got[FromStd(want[k]->getUID())] = headers[k];
      std::vector<MailHeaders> out;
      for (int p : positions) out.push_back(got[uids[p - 1]]);
      return out;
    });
    if (status) RememberUidNext(FKey, status->getUIDNext());
  });
}

int TMailIMAP4::DownloadMessage(int i) {
  ClearCurrent();
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  const std::string uid = ToStd(Uid(i));
  int code = Run([&] {
    auto msgs = FFolder->getMessages(vmime::net::messageSet::byUID(uid));
    if (msgs.empty()) throw vmime::exceptions::message_not_found();
    TakeApart(msgs.front());
  });
  return code == mrInternal && !FCurrent ? mrNoSuchMessage : code;
}

int TMailIMAP4::DeleteMessages(int first, int last) {
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(first) || !ValidIndex(last) || first > last) return mrNoSuchMessage;
  return Run([&] {
    for (int i = first; i <= last; ++i) {
      FFolder->deleteMessages(vmime::net::messageSet::byUID(ToStd(Uid(i))));
      FFlagged << Uid(i);
    }
  });
}

int TMailIMAP4::Expunge() {
  if (!FFolder) return mrNotConnected;
  const int code = Run([&] { FFolder->expunge(); });
  if (code == mrOk) {
    // The next pass knows the mailbox without these.
    ForgetUids(FKey, FFlagged);
    FFlagged.clear();
  }
  return code;
}

int TMailIMAP4::Disconnect() {
  ClearCurrent();
  if (!FStore) return mrNotConnected;
  const int code = Run([&] {
    if (FFolder && FFolder->isOpen()) FFolder->close(false);
    if (FStore->isConnected()) FStore->disconnect();
  });
  FFolder.reset();
  FStore.reset();
  return code;
}

// ---------------------------------------------------------------------------
// Addresses

QString CheckedAddress(const QString& address) {
  const QString a = address.trimmed();
  if (a.isEmpty() || a.size() > 320) return QString();
  for (const QChar c : a) {
    const char16_t u = c.unicode();
    if (u < 0x21 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029) return QString();
    if (QStringLiteral(",;<>()[]\"\\:").contains(c)) return QString();
  }
  const qsizetype at = a.indexOf(QLatin1Char('@'));
  if (at <= 0 || at != a.lastIndexOf(QLatin1Char('@')) || at == a.size() - 1) return QString();
  const QString domain = a.mid(at + 1);
  if (domain.startsWith(QLatin1Char('.')) || domain.endsWith(QLatin1Char('.')) || domain.contains(QStringLiteral("..")))
    return QString();
  return a;
}

// ---------------------------------------------------------------------------
// TMailSMTP

TMailSMTP::TMailSMTP() : FCaFile(DefaultCaFile()) {
  mail::InitMailLibrary();
  FState = std::make_shared<mail::SessionState>();
}
TMailSMTP::~TMailSMTP() = default;

void TMailSMTP::Clear() {
  FRecipients.clear();
  FAttachments.clear();
  FSubject.clear();
  FBody.clear();
}

int TMailSMTP::AddRecipient(const QString& address) {
  const QString a = CheckedAddress(address);
  if (a.isEmpty()) {
    FLastError = MailResultText(mrBadAddress) + QStringLiteral(" (recipient)");
    return mrBadAddress;
  }
  FRecipients << a;
  return mrOk;
}

int TMailSMTP::AddAttachment(const QString& path) {
  const QFileInfo info(path);
  QFile probe(info.absoluteFilePath());
  if (!info.isFile() || !probe.open(QIODevice::ReadOnly)) {
    FLastError = MailResultText(mrFileError) + QStringLiteral(" (") + path + QStringLiteral(")");
    return mrFileError;
  }
  FAttachments << info.absoluteFilePath();
  return mrOk;
}

qint64 TMailSMTP::BytesSent() const { return FState->BytesOut.load(); }

namespace {
bool IsAscii(const QString& s) {
  for (const QChar c : s)
    if (c.unicode() > 0x7e || (c.unicode() < 0x20 && c != QLatin1Char('\r') && c != QLatin1Char('\n') && c != QLatin1Char('\t')))
      return false;
  return true;
}

// Every line of text within what 7-bit transport carries unchanged.
bool ShortLines(const QString& s) {
  qsizetype run = 0;
  for (const QChar c : s) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) run = 0;
    else if (++run > 900) return false;
  }
  return true;
}

// CR LF endings, so that the body is sent as it was given.
std::string CrLf(const QString& text) {
  QString t = text;
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  t.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return ToStd(t);
}
}  // namespace

int TMailSMTP::Send() {
  FState = std::make_shared<mail::SessionState>();
  FState->TimeOutSec = FTimeOut > 0 ? FTimeOut : 120;
  if (!FLogFile.isEmpty()) FState->Log = std::make_shared<mail::SessionLog>(FLogFile, QStringLiteral("SMTP"), false);
  const QString from = CheckedAddress(FFrom);
  if (from.isEmpty() || FRecipients.size() != 1) {
    FLastError = MailResultText(mrBadAddress);
    if (FState->Log) FState->Log->Note(QStringLiteral("Error %1: %2").arg(mrBadAddress).arg(FLastError));
    return mrBadAddress;
  }
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  QDir().mkpath(folder);
  QTemporaryFile work(folder + QStringLiteral("/kestro-send-XXXXXX.eml"));
  if (!work.open()) {
    FLastError = MailResultText(mrFileError);
    return mrFileError;
  }
  work.close();
  const int code = mail::Guard(*FState, [&] {
    // Compose: plain 7-bit MIME whenever the texts allow it; other texts as
    // encoded words and quoted-printable, never raw 8-bit headers.
    vmime::messageBuilder mb;
    mb.setExpeditor(vmime::mailbox(ToStd(from)));
    mb.getRecipients().appendAddress(std::make_shared<vmime::mailbox>(ToStd(FRecipients.first())));
    QString subject = FSubject;
    subject.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const bool asciiSubject = IsAscii(subject);
    mb.setSubject(vmime::text(ToStd(subject), asciiSubject ? vmime::charset(vmime::charsets::US_ASCII)
                                                           : vmime::charset(vmime::charsets::UTF_8)));
    const bool plainBody = IsAscii(FBody) && ShortLines(FBody);
    const vmime::charset bodyCharset = IsAscii(FBody) ? vmime::charset(vmime::charsets::US_ASCII)
                                                      : vmime::charset(vmime::charsets::UTF_8);
    auto text = std::dynamic_pointer_cast<vmime::plainTextPart>(mb.getTextPart());
    mb.getTextPart()->setCharset(bodyCharset);
    mb.getTextPart()->setText(std::make_shared<vmime::stringContentHandler>(CrLf(FBody)));
    (void)text;
    for (const QString& path : FAttachments) {
      // Streamed from the file while sending; the name as UTF-8 (RFC 2231 when not ASCII).
      auto fsf = vmime::platform::getHandler()->getFileSystemFactory();
      auto file = fsf->create(fsf->stringToPath(ToStd(path)));
      auto content = std::make_shared<vmime::streamContentHandler>(file->getFileReader()->getInputStream(),
                                                                   size_t(file->getLength()));
      const QString name = QFileInfo(path).fileName();
      auto att = std::make_shared<vmime::fileAttachment>(
          content, vmime::word(ToStd(name), IsAscii(name) ? vmime::charset(vmime::charsets::US_ASCII)
                                                          : vmime::charset(vmime::charsets::UTF_8)),
          vmime::mediaType("application/octet-stream"));
      mb.appendAttachment(att);
    }
    auto msg = mb.construct();
    auto hdr = msg->getHeader();
    hdr->MessageId()->setValue(vmime::messageId::generateId());
    // The text part: 7bit when every line is short ASCII, quoted-printable otherwise.
    std::function<void(const std::shared_ptr<vmime::bodyPart>&)> fixText = [&](const std::shared_ptr<vmime::bodyPart>& p) {
      auto body = p->getBody();
      if (body->getPartCount() > 0) {
        for (size_t i = 0; i < body->getPartCount(); ++i) fixText(body->getPartAt(i));
        return;
      }
      if (body->getContentType().getType() == vmime::mediaTypes::TEXT) {
        const vmime::encoding enc(plainBody ? vmime::encodingTypes::SEVEN_BIT : vmime::encodingTypes::QUOTED_PRINTABLE);
        p->getHeader()->ContentTransferEncoding()->setValue(enc);
        body->setEncoding(enc);
      }
    };
    fixText(msg);
    {
      vmime::generationContext ctx;
      ctx.setInternationalizedEmailSupport(false);
      std::ofstream out(ToStd(work.fileName()), std::ios::binary | std::ios::trunc);
      vmime::utility::outputStreamAdapter os(out);
      msg->generate(ctx, os);
      os.flush();
      out.flush();
      if (!out) throw vmime::exceptions::filesystem_exception("Cannot write the outgoing mail", vmime::utility::path());
    }
    // Send the generated bytes as they are.
    auto session = vmime::net::session::create();
    // Implicit TLS comes from the socket (which also keeps SMTPUTF8 out of the dialogue).
    const vmime::utility::url url("smtp", ToStd(FServer), vmime::port_t(FPort));
    auto tr = session->getTransport(url);
    mail::SetUpService(tr, FState, FCaFile, FSsl);
    tr->setProperty("connection.tls", false);
    tr->setProperty("options.chunking", false);
    tr->setProperty("options.sasl.fallback", false);
    if (FAuthMode != 0) {
      tr->setProperty("options.need-authentication", true);
      tr->setProperty("options.sasl", true);
      tr->setAuthenticator(std::make_shared<PlainOnlyAuthenticator>());
      SetLogin(tr, FAccount, FPassword);
    }
    tr->connect();
    std::ifstream in(ToStd(work.fileName()), std::ios::binary);
    const size_t size = size_t(QFileInfo(work.fileName()).size());
    vmime::utility::inputStreamAdapter is(in);
    vmime::mailboxList to;
    to.appendMailbox(std::make_shared<vmime::mailbox>(ToStd(FRecipients.first())));
    try {
      tr->send(vmime::mailbox(ToStd(from)), to, is, size);
    } catch (...) {
      try {
        tr->disconnect();
      } catch (...) {
      }
      throw;
    }
    tr->disconnect();
  });
  FLastError = code == mrOk ? QString() : MailResultText(code);
  return code;
}
