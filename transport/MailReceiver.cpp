#include "transport/MailReceiver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <fstream>
#include <map>
#include <set>

#include <vmime/vmime.hpp>

#include "platform/ErrorLog.h"
#include "transport/Certificates.h"
#include "transport/HeaderText.h"
#include "transport/MailboxMemory.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"
#include "transport/ReceivedMessage.h"

using mail::Remembered;
using mail::ToStd;

namespace {

struct HeaderMemory {
  QMutex Lock;
  std::map<QString, Remembered> Accounts;
  // Memory files read by this process, with the mailboxes (keys) each keeps.
  std::map<QString, std::set<QString>> Files;
  // A digest of what each memory file holds, so that an unchanged memory is not written again.
  std::map<QString, size_t> Written;
  static HeaderMemory& Get() {
    static HeaderMemory m;
    return m;
  }
};

// Reads path into memory once per process (memory.Lock held). A damaged or
// unreadable file is left aside: the next pass reads the whole mailbox.
void LoadMemoryFile(HeaderMemory& memory, const QString& path) {
  if (path.isEmpty() || memory.Files.count(path)) return;
  std::set<QString>& keys = memory.Files[path];
  QFile f(path);
  if (!f.exists()) return;
  QByteArray bytes;
  if (f.size() <= mail::kMaxMemoryFile && f.open(QIODevice::ReadOnly)) bytes = f.readAll();
  std::map<QString, Remembered> read;
  const bool good = mail::ReadMemoryFile(bytes, read);
  if (!good) {
    qCWarning(lcKestro, "The mailbox memory %s cannot be read; the next pass reads the whole mailbox",
              qUtf8Printable(QDir::toNativeSeparators(path)));
    return;
  }
  for (auto& [key, r] : read) {
    keys.insert(key);
    // What this process learnt since is newer.
    memory.Accounts.try_emplace(key, std::move(r));
  }
}

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

void TMailReceiver::UseMemory(const QString& key) {
  FKey = key;
  if (FMemoryFile.isEmpty()) return;
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  LoadMemoryFile(memory, FMemoryFile);
  memory.Files[FMemoryFile].insert(key);
}

void TMailReceiver::SaveMemory() const {
  if (FMemoryFile.isEmpty()) return;
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  std::vector<std::pair<QString, const Remembered*>> boxes;
  for (const QString& key : memory.Files[FMemoryFile])
    if (auto it = memory.Accounts.find(key); it != memory.Accounts.end()) boxes.emplace_back(key, &it->second);
  const QByteArray bytes = mail::MemoryFileText(boxes);
  // Complete or not at all (renamed into place), only for the user; not
  // forced to the disk: a memory lost with a power cut costs one whole read.
  const size_t digest = qHash(bytes);
  if (auto it = memory.Written.find(FMemoryFile); it != memory.Written.end() && it->second == digest) return;
  QDir().mkpath(QFileInfo(FMemoryFile).absolutePath());
  QFile f(FMemoryFile + QStringLiteral(".part"));
  const bool written = f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                       f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                       f.write(bytes) == bytes.size() && f.flush();
  f.close();
  if (!written || ::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(FMemoryFile).constData()) != 0) {
    qCWarning(lcKestro, "The mailbox memory %s cannot be written: %s", qUtf8Printable(QDir::toNativeSeparators(FMemoryFile)),
              qUtf8Printable(f.errorString()));
    f.remove();
    return;
  }
  memory.Written[FMemoryFile] = digest;
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
  memory.Files.clear();
  memory.Written.clear();
}

bool TMailReceiver::TooLarge(int i) {
  if (Size(i) <= kMaxMailBytes) return false;
  FOverLimits = QStringLiteral("%1 bytes, more than %2").arg(Size(i)).arg(kMaxMailBytes);
  return true;
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

std::unique_ptr<QTemporaryFile> TMailReceiver::NewWorkFile() {
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  QDir().mkpath(folder);
  auto file = std::make_unique<QTemporaryFile>(folder + QStringLiteral("/kestro-mail-XXXXXX.eml"));
  if (!file->open()) {
    FLocalFailure = mail::LocalWriteFailure(errno, folder);
    throw vmime::exceptions::filesystem_exception("Cannot create a work file in " + ToStd(folder), vmime::utility::path());
  }
  return file;
}

void TMailReceiver::TakeApart(const std::function<void(std::ostream&)>& write) {
  ClearCurrent();
  const QString folder = FWorkFolder.isEmpty() ? QDir::tempPath() : FWorkFolder;
  FWorkFile = NewWorkFile();
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
  TakeApart(std::move(FWorkFile));
}

void TMailReceiver::TakeApart(std::unique_ptr<QTemporaryFile> written) {
  ClearCurrent();
  FWorkFile = std::move(written);
  FWorkFile->close();
  // Bounded before it is parsed: the parser recurses once per nesting level.
  // One scan of the file checks the limits and makes the skeleton that is parsed.
  const QString file = FWorkFile->fileName();
  mail::MimeSkeleton skeleton;
  if (const qint64 size = QFileInfo(file).size(); size > kMaxMailBytes) {
    FOverLimits = QStringLiteral("%1 bytes, more than %2").arg(size).arg(kMaxMailBytes);
  } else {
    skeleton = mail::ScanMime(file, mail::ReceivedMessage::kMaxMarkedBody, kMaxMimeDepth, kMaxMimeParts);
    FOverLimits = skeleton.OverLimits;
  }
  if (!FOverLimits.isEmpty()) {
    FLocalFailure = mrOverLimits;
    throw vmime::exceptions::invalid_argument();
  }
  FCurrent = std::make_unique<mail::ReceivedMessage>(file, skeleton);
}

void TMailReceiver::ResolveHeaders(const QString& key, const QStringList& uids,
                                   const std::function<std::vector<MailHeaders>(const std::vector<int>&)>& fetch) {
  auto& memory = HeaderMemory::Get();
  FList.clear();
  FList.resize(size_t(uids.size()));
  std::vector<int> missing;  // 1-based positions
  {
    QMutexLocker lock(&memory.Lock);
    const std::map<QString, MailHeaders>& known = memory.Accounts[key].Headers;
    for (int i = 0; i < uids.size(); ++i) {
      FList[size_t(i)].Uid = uids[i];
      auto it = uids[i].isEmpty() ? known.end() : known.find(uids[i]);
      if (it != known.end()) FList[size_t(i)].Headers = it->second;
      else missing.push_back(i + 1);
    }
  }
  FHeadersFetched = int(missing.size());
  if (!missing.empty()) {
    const std::vector<MailHeaders> got = fetch(missing);
    for (size_t k = 0; k < missing.size() && k < got.size(); ++k) FList[size_t(missing[k] - 1)].Headers = got[k];
  }
  // Remember exactly what the mailbox holds now.
  QMutexLocker lock(&memory.Lock);
  Remembered& r = memory.Accounts[key];
  const size_t found = size_t(uids.size()) - missing.size();
  if (found == r.Headers.size()) {
    // Nothing remembered is gone (the usual case): only the new mails join.
    for (int p : missing)
      if (!uids[p - 1].isEmpty()) r.Headers[uids[p - 1]] = FList[size_t(p - 1)].Headers;
  } else {
    std::map<QString, MailHeaders> now;
    for (const Entry& e : FList)
      if (!e.Uid.isEmpty()) now[e.Uid] = e.Headers;
    std::erase_if(r.Taken, [&](const QString& uid) { return !now.count(uid); });
    r.Headers = std::move(now);
  }
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
  const std::set<QString> gone(uids.begin(), uids.end());
  for (const QString& uid : gone) {
    it->second.Headers.erase(uid);
    it->second.Taken.erase(uid);
  }
  it->second.Order.removeIf([&](const QString& uid) { return gone.count(uid) > 0; });
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

void TMailReceiver::RememberList(const QString& key, const std::vector<int>& positions) const {
  auto& memory = HeaderMemory::Get();
  QMutexLocker lock(&memory.Lock);
  Remembered& r = memory.Accounts[key];
  for (int p : positions)
    if (ValidIndex(p) && !Uid(p).isEmpty()) r.Headers[Uid(p)] = FList[size_t(p - 1)].Headers;
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
