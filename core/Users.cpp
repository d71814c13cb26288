#include "core/Users.h"

#include "core/TextUtils.h"

void TClassUser::ReadRow(const TTable& table) {
  FAddress = table.AsString("USER_ADDRESS");
  FChangeDir = table.AsBoolean("USER_CHANGE_DIR");
  FDownload = table.AsBoolean("USER_DOWNLOAD");
  FCmdLine = table.AsBoolean("USER_CMD_LINE");
  FAuthent = table.AsBoolean("USER_AUTHENT");
  FFolder = table.AsString("USER_FOLDER");
}

void TClassUser::WriteRow(TTable& table) const {
  table.SetString("USER_ADDRESS", FAddress);
  table.SetBoolean("USER_CHANGE_DIR", FChangeDir);
  table.SetBoolean("USER_DOWNLOAD", FDownload);
  table.SetBoolean("USER_CMD_LINE", FCmdLine);
  table.SetBoolean("USER_AUTHENT", FAuthent);
  table.SetString("USER_FOLDER", FFolder);
  table.Post();
}

void TClassAnonymous::ReadRow(const TTable& table) {
  FEnabled = table.AsBoolean("ANONYMOUS_ON");
  FCmdLine = table.AsBoolean("ANONYMOUS_CMD_LINE");
  FChangeDir = table.AsBoolean("ANONYMOUS_CHANGE_DIR");
  FDownload = table.AsBoolean("ANONYMOUS_DOWNLOAD");
  FFolder = table.AsString("ANONYMOUS_FOLDER");
}

void TClassAnonymous::WriteRow(TTable& table) const {
  table.SetBoolean("ANONYMOUS_ON", FEnabled);
  table.SetBoolean("ANONYMOUS_CMD_LINE", FCmdLine);
  table.SetBoolean("ANONYMOUS_CHANGE_DIR", FChangeDir);
  table.SetBoolean("ANONYMOUS_DOWNLOAD", FDownload);
  table.SetString("ANONYMOUS_FOLDER", FFolder);
  table.Post();
}

void TClassUserList::LoadFrom(TTable& table) {
  while (!table.Eof()) {
    Add()->ReadRow(table);
    table.Next();
  }
}

void TClassUserList::StoreTo(TTable& table) const {
  for (int i = 0; i < Count(); ++i) {
    table.Append();
    Items(i)->WriteRow(table);
  }
}

QString NormalizeAddress(const QString& address) { return TrimText(address).toLower(); }

TClassUser* TClassUserList::Find(const QString& address) const {
  const QString wanted = NormalizeAddress(address);
  for (int i = 0; i < Count(); ++i)
    if (NormalizeAddress(Items(i)->Address()) == wanted) return Items(i);
  return nullptr;
}

std::shared_ptr<const ShareSnapshot> ShareSnapshot::From(const TClassUserList& users,
                                                         const TClassAnonymous& anonymous) {
  auto snapshot = std::make_shared<ShareSnapshot>();
  for (int i = 0; i < users.Count(); ++i)
    snapshot->Friends.push_back({users.Items(i)->Address(), users.Items(i)->Folder(), users.Items(i)->ChangeDir()});
  snapshot->AnonymousEnabled = anonymous.Enabled();
  snapshot->AnonymousFolder = anonymous.Folder();
  snapshot->AnonymousChangeDir = anonymous.ChangeDir();
  return snapshot;
}

ShareLookup LookupSender(const ShareSnapshot& shares, const QString& sender) {
  ShareLookup result;
  const QString wanted = NormalizeAddress(sender);
  for (const auto& user : shares.Friends) {
    if (NormalizeAddress(user.Address) == wanted) {
      result.Granted = true;
      result.Folder = user.Folder;
      result.KeyAddress = user.Address;
      result.ChangeDir = user.ChangeDir;
      return result;
    }
  }
  if (shares.AnonymousEnabled) {
    result.Granted = true;
    result.Anonymous = true;
    result.Folder = shares.AnonymousFolder;
    result.KeyAddress = sender;
    result.ChangeDir = shares.AnonymousChangeDir;
  }
  return result;
}

void ShareDirectory::Publish(std::shared_ptr<const ShareSnapshot> snapshot) {
  std::lock_guard lock(FMutex);
  FSnapshot = std::move(snapshot);
}

std::shared_ptr<const ShareSnapshot> ShareDirectory::Current() const {
  std::lock_guard lock(FMutex);
  return FSnapshot;
}
