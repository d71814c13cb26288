// What the POP3 and IMAP4 mailboxes share (TMailReceiver): the connection
// settings, the list of the mailbox with the headers that earlier passes
// remembered, and the one message downloaded last. Every operation that can
// fail returns 0 or a MailResult code (MailResultText gives its text); no
// exception leaves an operation. An object belongs to one thread at a time.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <functional>
#include <iosfwd>
#include <memory>
#include <vector>

#include "platform/Settings.h"
#include "transport/MailResult.h"

namespace vmime::net {
class session;
class store;
class message;
}  // namespace vmime::net

namespace mail {
struct SessionState;
class ReceivedMessage;
}  // namespace mail

// A mail as the mailbox list shows it: from its headers only.
struct MailHeaders {
  QString Subject;
  QString FromAddr;
  qint64 Size = -1;      // bytes on the server (-1: not known)
  bool Deleted = false;  // IMAP4: flagged deleted
};

// What POP3 and IMAP4 have in common: the connection settings, the list of
// the mailbox, and the one message downloaded last.
class TMailReceiver {
public:
  virtual ~TMailReceiver();

  void SetMailServer(const QString& host) { FServer = host; }
  void SetMailPort(int port) { FPort = port; }
  void SetAccount(const QString& account) { FAccount = account; }
  void SetPassword(const QString& password) { FPassword = password; }
  void SetTimeOut(int seconds) { FTimeOut = seconds; }
  // Implicit TLS, STARTTLS, or none (loopback servers only); the certificate
  // is always verified.
  void SetSecurity(MailSecurity security) { FSecurity = security; }
  // Certificate authorities to trust besides the system's (PEM). Preset: CA_FILE
  // of the installation settings.
  void SetCaFile(const QString& path) { FCaFile = path; }
  // The session log; the file is started afresh when the object connects.
  void SetLogFile(const QString& path) { FLogFile = path; }
  // Where downloaded mails are kept while they are taken apart (preset: the system's temp folder).
  void SetWorkFolder(const QString& folder) { FWorkFolder = folder; }
  // The file that keeps what passes remember about the mailbox (the list
  // with the peer mails' headers, the taken mails) from one run of the
  // program to the next, so that the first pass after a start reads only new
  // mail. None: remembered while the process runs only.
  void SetMemoryFile(const QString& path) { FMemoryFile = path; }
  // Writes what is remembered into the memory file (nothing without one).
  void SaveMemory() const;

  // The mailbox list, 1-based, after DownloadHeaders / DownloadEnvelopes.
  int MessageCount() const { return int(FList.size()); }
  QString Subject(int i) const;
  QString FromAddr(int i) const;
  // The server's unique identifier of the message (POP3 UIDL, IMAP4 UID).
  QString Uid(int i) const;
  // The size on the server in bytes (-1 when not known).
  qint64 Size(int i) const;
  // IMAP4: whether the message is flagged deleted (by this or another client).
  bool Deleted(int i) const;

  // Remembers that message i was handed over, until it is gone from the
  // mailbox: a later pass (after a pass that ended before its deletions
  // became final) must not hand it over again. Kept in the memory file with
  // the next SaveMemory (the poller saves once per pass).
  void MarkTaken(int i);
  bool WasTaken(int i) const;

  // Downloads message i whole and takes it apart; it becomes the current
  // message. A mail larger than kMaxMailBytes (not downloaded when the server
  // says so first), or with parts nested deeper than kMaxMimeDepth or more
  // than kMaxMimeParts parts, is not parsed: mrOverLimits, and OverLimits
  // says which.
  virtual int DownloadMessage(int i) = 0;
  static constexpr int kMaxMimeDepth = 8;
  static constexpr int kMaxMimeParts = 16;
  // The largest volume a peer may send (25,000,000 bytes) in Base64 with its
  // line ends comes to 34.3 MB; the rest is room for headers, a text part
  // and peers that count a megabyte as 2^20 bytes.
  static constexpr qint64 kMaxMailBytes = 40'000'000;
  QString OverLimits() const { return FOverLimits; }
  // The current message.
  QString BodyText() const;
  int AttachmentCount() const;
  QString AttachmentFileName(int index) const;  // 1-based
  int SaveAttachment(int index, const QString& path) const;  // 1-based; 0 when saved byte for byte
  QString MessageId() const;

  // How many headers the last list operation read from the server (the
  // others came from what this account's earlier passes remembered).
  int HeadersFetched() const { return FHeadersFetched; }
  // Bytes received from the server since the object was made.
  qint64 BytesReceived() const;
  // The text of the last failing operation's code (empty after success); why
  // it failed goes to the session log.
  QString LastError() const { return FLastError; }

  // Forgets every header that passes remembered in this process (tests,
  // benchmarks); memory files are read again on their next use.
  static void ForgetHeaders();

protected:
  TMailReceiver(const QString& protocol);
  // Starts a session: fresh state and log. Call before Run, never inside it.
  std::shared_ptr<mail::SessionState> NewSession();
  // A store for the server with the session's socket, time-outs, log,
  // certificate check, security mode and login (plain or secure: the
  // protocol names).
  std::shared_ptr<vmime::net::store> NewStore(const char* plain, const char* secure);
  // Runs fn inside the object's error handling: its exceptions become the
  // returned code, and LastError follows it.
  int Run(const std::function<void()>& fn);
  bool ValidIndex(int i) const { return i >= 1 && i <= MessageCount(); }
  // Whether the server's size of message i is beyond kMaxMailBytes (then OverLimits says so).
  bool TooLarge(int i);
  // Downloads msg into a work file and parses it.
  void TakeApart(const std::shared_ptr<vmime::net::message>& msg);
  // Writes the raw message into a work file with write, then parses it.
  void TakeApart(const std::function<void(std::ostream&)>& write);
  // Parses a raw message already written to a work file (of NewWorkFile).
  void TakeApart(std::unique_ptr<QTemporaryFile> written);
  // A new empty work file in the work folder, open. Throws (LastError then
  // says why) when none can be made.
  std::unique_ptr<QTemporaryFile> NewWorkFile();
  // Fills FList for the given uids, reading from the server only the headers
  // that are not remembered for this account (key) and mailbox generation.
  void ResolveHeaders(const QString& key, const QStringList& uids,
                      const std::function<std::vector<MailHeaders>(const std::vector<int>&)>& fetch);
  void ClearCurrent();
  // Subject and sender of messages whose envelopes were fetched.
  static std::vector<MailHeaders> HeadersOf(const std::vector<std::shared_ptr<vmime::net::message>>& msgs);
  // IMAP4: the remembered mailbox order and next UID of key (false when unknown).
  static bool RememberedOrder(const QString& key, QStringList& order, quint32& uidNext);
  static void RememberUidNext(const QString& key, quint32 uidNext);
  static void ForgetUids(const QString& key, const QStringList& uids);
  // Marks uids of key as flagged deleted in what is remembered.
  static void RememberDeleted(const QString& key, const QStringList& uids);
  // Remembers the headers of the list at positions (1-based) after changes to FList.
  void RememberList(const QString& key, const std::vector<int>& positions) const;
  // The memory of this mailbox (FKey) that MarkTaken and WasTaken use.
  QString FKey;
  // Sets FKey, first reading the memory file when this process has not yet.
  void UseMemory(const QString& key);
  QString FMemoryFile;

  QString FProtocol;
  QString FServer;
  int FPort = 0;
  QString FAccount, FPassword;
  int FTimeOut = 60;
  MailSecurity FSecurity = MailSecurity::Tls;
  QString FCaFile;
  QString FLogFile;
  QString FWorkFolder;
  QString FLastError;
  int FLocalFailure = mrOk;  // why the running operation failed here, not at the server
  QString FOverLimits;       // which limit the current mail is beyond
  int FHeadersFetched = 0;
  struct Entry {
    QString Uid;
    MailHeaders Headers;
  };
  std::vector<Entry> FList;
  std::shared_ptr<mail::SessionState> FState;
  std::shared_ptr<vmime::net::session> FSession;
  std::unique_ptr<QTemporaryFile> FWorkFile;
  std::unique_ptr<mail::ReceivedMessage> FCurrent;
};
