// Friends, the anonymous share, and the lookup of a request's sender.
#pragma once

#include <QString>
#include <memory>
#include <mutex>
#include <vector>

#include "core/ClassCustom.h"
#include "core/Table.h"

// One friend: an address and the folder shared with it.
class TClassUser : public TClassCustom {
  Q_OBJECT
public:
  explicit TClassUser(QObject* owner = nullptr) : TClassCustom(owner) {}

  QString Address() const { return FAddress; }
  bool Authent() const { return FAuthent; }
  bool CmdLine() const { return FCmdLine; }
  bool ChangeDir() const { return FChangeDir; }
  bool Download() const { return FDownload; }
  QString Folder() const { return FFolder; }
  void SetAddress(const QString& v) { FAddress = v; }
  void SetAuthent(bool v) { FAuthent = v; }
  void SetCmdLine(bool v) { FCmdLine = v; }
  void SetChangeDir(bool v) { FChangeDir = v; }
  void SetDownload(bool v) { FDownload = v; }
  void SetFolder(const QString& v) { FFolder = v; }

  void ReadRow(const TTable& table);
  // Writes into the current row, which is in editing, and posts it.
  void WriteRow(TTable& table) const;

private:
  QString FAddress;
  bool FAuthent = true;
  bool FCmdLine = true;
  bool FChangeDir = true;
  bool FDownload = true;
  QString FFolder;
};

// The share granted to every sender that is no friend.
class TClassAnonymous : public TClassCustom {
  Q_OBJECT
public:
  explicit TClassAnonymous(QObject* owner = nullptr) : TClassCustom(owner) {}

  QString Address() const { return FAddress; }
  bool Enabled() const { return FEnabled; }
  bool CmdLine() const { return FCmdLine; }
  bool ChangeDir() const { return FChangeDir; }
  bool Download() const { return FDownload; }
  QString Folder() const { return FFolder; }
  void SetAddress(const QString& v) { FAddress = v; }
  void SetEnabled(bool v) { FEnabled = v; }
  void SetCmdLine(bool v) { FCmdLine = v; }
  void SetChangeDir(bool v) { FChangeDir = v; }
  void SetDownload(bool v) { FDownload = v; }
  void SetFolder(const QString& v) { FFolder = v; }

  void ReadRow(const TTable& table);
  void WriteRow(TTable& table) const;

private:
  QString FAddress = QStringLiteral("All Anonymous");
  bool FEnabled = true;
  bool FCmdLine = true;
  bool FChangeDir = true;
  bool FDownload = true;
  QString FFolder;
};

class TClassUserList : public TClassCustomList<TClassUser> {
public:
  using TClassCustomList::TClassCustomList;
  // From the table's current row to its end: Add, ReadRow, Next.
  void LoadFrom(TTable& table);
  // Appends one row per friend, in list order.
  void StoreTo(TTable& table) const;
  // The first friend whose normalised address equals the normalised address.
  TClassUser* Find(const QString& address) const;
};

// Trimmed and lower-cased: two addresses are the same peer when these are equal.
QString NormalizeAddress(const QString& address);

// An immutable copy of the friends and the anonymous share, as serving threads see them.
struct ShareSnapshot {
  struct Friend {
    QString Address;
    QString Folder;
    bool ChangeDir = true;  // may list and download below the folder's top
  };
  std::vector<Friend> Friends;
  bool AnonymousEnabled = false;
  QString AnonymousFolder;
  bool AnonymousChangeDir = true;

  static std::shared_ptr<const ShareSnapshot> From(const TClassUserList& users, const TClassAnonymous& anonymous);
};

// Who serves a sender: a friend, the anonymous share, or nobody.
struct ShareLookup {
  bool Granted = false;
  bool Anonymous = false;
  QString Folder;      // the share
  QString KeyAddress;  // the address the message key is built from
  bool ChangeDir = true;  // may reach below the share's top (its subfolders)
};
ShareLookup LookupSender(const ShareSnapshot& shares, const QString& sender);

// Holds the snapshot that serving threads read. The main thread publishes a
// new one whenever the friends or the anonymous share change; a reader keeps
// the whole old snapshot alive for as long as it uses it.
class ShareDirectory {
public:
  void Publish(std::shared_ptr<const ShareSnapshot> snapshot);
  std::shared_ptr<const ShareSnapshot> Current() const;
  ShareLookup Lookup(const QString& sender) const { return LookupSender(*Current(), sender); }

private:
  mutable std::mutex FMutex;
  std::shared_ptr<const ShareSnapshot> FSnapshot = std::make_shared<ShareSnapshot>();
};
