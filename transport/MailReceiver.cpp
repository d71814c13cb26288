#include "transport/MailReceiver.h"

#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <fstream>
#include <map>
#include <set>

#include <vmime/vmime.hpp>

#include "transport/Certificates.h"
#include "transport/HeaderText.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"
#include "transport/ReceivedMessage.h"

using mail::ToStd;

namespace {

// What earlier passes read, per account and mailbox generation.
struct Remembered {
  std::map<QString, MailHeaders> Headers;  // uid -> headers
  QStringList Order;                       // the uids in mailbox order (IMAP4)
  quint32 UidNext = 0;                     // the next UID the server would give (IMAP4)
  std::set<QString> Taken;                 // handed over, still in the mailbox
};
struct HeaderMemory {
  QMutex Lock;
  std::map<QString, Remembered> Accounts;
  static HeaderMemory& Get() {
    static HeaderMemory m;
    return m;
  }
};

}  // namespace

TMailReceiver::TMailReceiver(const QString& protocol) : FProtocol(protocol), FCaFile(mail::InstalledCaFile()) {
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

int TMailReceiver::Run(const std::function<void()>& fn) {
  FLocalFailure = mrOk;
  int code = mail::Guard(*FState, [&] {
    FState->Failure = mail::SocketFailure::None;
    fn();
  });
  // The work file could not be written: a local fault, not the server's.
  if (code != mrOk && FLocalFailure != mrOk) code = FLocalFailure;
  FLastError = mail::FailureText(code, *FState);
  return code;
}

QString TMailReceiver::Subject(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Headers.Subject : QString(); }
QString TMailReceiver::FromAddr(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Headers.FromAddr : QString(); }
QString TMailReceiver::Uid(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Uid : QString(); }
qint64 TMailReceiver::Size(int i) const { return ValidIndex(i) ? FList[size_t(i - 1)].Headers.Size : -1; }
bool TMailReceiver::Deleted(int i) const { return ValidIndex(i) && FList[size_t(i - 1)].Headers.Deleted; }

void TMailReceiver::MarkTaken(int i) {
  if (!ValidIndex(i) || Uid(i).isEmpty() || FKey.isEmpty()) return;
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  memory.Accounts[FKey].Taken.insert(Uid(i));
}

bool TMailReceiver::WasTaken(int i) const {
  if (!ValidIndex(i) || Uid(i).isEmpty() || FKey.isEmpty()) return false;
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  auto it = memory.Accounts.find(FKey);
  return it != memory.Accounts.end() && it->second.Taken.count(Uid(i)) > 0;
}

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
  FOverLimits.clear();
  FCurrent.reset();
  FWorkFile.reset();
}

void TMailReceiver::TakeApart(const std::shared_ptr<vmime::net::message>& msg) {
  TakeApart([&](std::ostream& out) {
    vmime::utility::outputStreamAdapter os(out);
    msg->extract(os);
    os.flush();
  });
}

void TMailReceiver::TakeApart(const std::function<void(std::ostream&)>& write) {
  ClearCurrent();
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  QDir().mkpath(folder);
  FWorkFile = std::make_unique<QTemporaryFile>(folder + QStringLiteral("/kestro-mail-XXXXXX.eml"));
  if (!FWorkFile->open()) {
    FLocalFailure = mail::LocalWriteFailure(errno, folder);
    throw vmime::exceptions::filesystem_exception("Cannot create a work file in " + ToStd(folder), vmime::utility::path());
  }
  FWorkFile->close();
  {
    std::ofstream out(ToStd(FWorkFile->fileName()), std::ios::binary | std::ios::trunc);
    errno = 0;
    try {
      write(out);
      out.flush();
    } catch (...) {
      // The library stops at a failed write as well.
      if (!out) FLocalFailure = mail::LocalWriteFailure(errno, folder);
      throw;
    }
    if (!out) {
      FLocalFailure = mail::LocalWriteFailure(errno, folder);
      throw vmime::exceptions::filesystem_exception("Cannot write the work file in " + ToStd(folder), vmime::utility::path());
    }
  }
  // Bounded before it is parsed: the parser recurses once per nesting level.
  FOverLimits = mail::OverLimits(FWorkFile->fileName(), kMaxMimeDepth, kMaxMimeParts);
  if (!FOverLimits.isEmpty()) {
    FLocalFailure = mrOverLimits;
    throw vmime::exceptions::invalid_argument();
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
  std::set<QString> taken;
  for (const QString& uid : r.Taken)
    if (now.count(uid)) taken.insert(uid);
  r.Headers = std::move(now);
  r.Order = uids;
  r.UidNext = 0;
  r.Taken = std::move(taken);
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
    it->second.Taken.erase(uid);
  }
}

void TMailReceiver::RememberDeleted(const QString& key, const QStringList& uids) {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  auto it = memory.Accounts.find(key);
  if (it == memory.Accounts.end()) return;
  for (const QString& uid : uids) {
    auto h = it->second.Headers.find(uid);
    if (h != it->second.Headers.end()) h->second.Deleted = true;
  }
}

void TMailReceiver::RememberList(const QString& key) const {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  Remembered& r = memory.Accounts[key];
  for (const Entry& e : FList)
    if (!e.Uid.isEmpty()) r.Headers[e.Uid] = e.Headers;
}

std::vector<MailHeaders> TMailReceiver::HeadersOf(const std::vector<std::shared_ptr<vmime::net::message>>& msgs) {
  std::vector<MailHeaders> out;
  out.reserve(msgs.size());
  for (const auto& m : msgs) {
    auto h = m->getHeader();
    out.push_back({mail::HeaderText(h, vmime::fields::SUBJECT), mail::HeaderFrom(h)});
  }
  return out;
}

std::shared_ptr<vmime::net::store> TMailReceiver::NewStore(const char* plain, const char* secure) {
  const std::shared_ptr<mail::SessionState> state = FState;
  const vmime::utility::url url(mail::ServiceProtocol(FSecurity, plain, secure), ToStd(FServer),
                                vmime::port_t(FPort));
  auto store = FSession->getStore(url);
  mail::SetUpService(store, state, FCaFile, FSecurity);
  mail::SetLogin(store, FAccount, FPassword);
  // One SASL mechanism and no fallback: a wrong password costs one login.
  store->setProperty("options.sasl.fallback", false);
  return store;
}
