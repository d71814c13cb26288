// The application object: owns the configuration store and every model object,
// loads them at construction and writes them back on Save and at destruction.
#pragma once

#include "config/ClassData.h"
#include "core/Addresses.h"
#include "core/ClassCustom.h"
#include "core/Jobs.h"
#include "core/Options.h"
#include "core/Users.h"

#include <QList>
#include <QString>
#include <memory>
#include <optional>

// A request of the user that is still running, as the configuration keeps it
// so that a restart goes on with it: its row, the own address it went out
// under, its last sign of life and the folder that collects its volumes.
struct KeptRequest {
  QString Number;        // the JobId
  QString Address;       // where it went
  QString LocalAddress;  // the own address it was sealed with
  QString Action;        // "list" or "download"
  QString Text;          // the requested names, each followed by CR LF
  double Progress = 0;
  qint32 Split = 0;      // volumes announced, 0 before the first
  qint64 Size = 0;       // their total bytes
  QString Started;       // "hh:mm:ss"
  QString Alive;         // UTC, ISO 8601 with milliseconds: sent, or the last volume received
  QString Folder;        // the collection folder of its volumes
  bool operator==(const KeptRequest&) const = default;
};

class TClassMain : public TClassCustom {
  Q_OBJECT
public:
  // Creates the store (reading the configuration files of confFolder, or of
  // the installation's CONF folder), then the model objects, and loads them.
  // A damaged configuration raises EConfigFileError and no object is left.
  // Without applyAutostart (a configuration edited from outside the running
  // program) the autostart entry is neither read nor written: StartupSystem
  // keeps its stored value.
  explicit TClassMain(QObject* owner, const std::optional<QString>& confFolder = std::nullopt,
                      bool applyAutostart = true);
  // Saves, then frees the jobs, options, friends, anonymous share, address
  // history, and the store last (which writes the files once more).
  ~TClassMain() override;

  TClassAddressList& Addresses() { return *FAddresses; }
  TClassAnonymous& Anonymous() { return *FAnonymous; }
  TClassData& Data() { return *FData; }
  TClassOptions& Options() { return *FOptions; }
  TClassUserList& Users() { return *FUsers; }
  TClassThreadList& Jobs() { return *FJobs; }
  // The user's requests still running, kept in the configuration (nested
  // table "REQUESTS"; a file without it keeps none).
  const QList<KeptRequest>& Requests() const { return FRequests; }
  void SetRequests(const QList<KeptRequest>& v) { FRequests = v; }

  QString ExeName() const { return FExeName; }
  void SetExeName(const QString& v) { FExeName = v; }
  QString OnlineStamp() const { return FOnlineStamp; }
  void SetOnlineStamp(const QString& v) { FOnlineStamp = v; }
  QString StopJobId() const { return FStopJobId; }
  void SetStopJobId(const QString& v) { FStopJobId = v; }
  bool CloseOn() const { return FCloseOn; }
  void SetCloseOn(bool v) { FCloseOn = v; }
  QString LastError() const { return FLastError; }
  void SetLastError(const QString& v) { FLastError = v; }
  QString HomePage() const { return FHomePage; }
  void SetHomePage(const QString& v) { FHomePage = v; }
  QString LocalizerExt() const { return FLocalizerExt; }
  void SetLocalizerExt(const QString& v) { FLocalizerExt = v; }
  QString LogFolder() const { return FLogFolder; }
  void SetLogFolder(const QString& v) { FLogFolder = v; }
  QString QuickStart() const { return FQuickStart; }
  void SetQuickStart(const QString& v) { FQuickStart = v; }
  QString RemoteHost() const { return FRemoteHost; }
  void SetRemoteHost(const QString& v) { FRemoteHost = v; }
  QString KeySuffix() const { return FKeySuffix; }
  void SetKeySuffix(const QString& v) { FKeySuffix = v; }
  QString LocalAddress() const { return FLocalAddress; }
  void SetLocalAddress(const QString& v) { FLocalAddress = v; }
  bool SecondStart() const { return FSecondStart; }
  void SetSecondStart(bool v) { FSecondStart = v; }
  QString TempInput() const { return FTempInput; }
  void SetTempInput(const QString& v) { FTempInput = v; }
  QString TempOutput() const { return FTempOutput; }
  void SetTempOutput(const QString& v) { FTempOutput = v; }

  // Writes everything into the tables (ClearTables, then Store) and the
  // tables into the configuration files. Raises EConfigFileError.
  void Save();
  // Empties TempOutput and TempInput, deleting them with everything in them
  // and creating them again (with their parents, which a fresh installation
  // does not have yet). The collection folders of the kept requests stay.
  void CleanTempFolders() const;
  // Deletes every row of the nested tables "ADDRESSES", "USERS" and "REQUESTS".
  void ClearTables();
  // Writes the stored fields, the anonymous share, the address history, the
  // friends and the kept requests into the tables, and applies the autostart
  // option.
  void Store();
  // With false, destruction writes nothing: for a change that was refused.
  void SetSaveOnDestroy(bool save) { FSaveOnDestroy = save; }
  // Writes or removes the autostart entry after the option StartupSystem.
  void WriteAutostart();
  // Whether the autostart entry exists with a command.
  bool ReadAutostart() const;

private:
  void Load();
  void LoadServers(TTable& main);
  void StoreServers(TTable& main) const;
  void LoadRequests(TTable& table);
  void StoreRequests(TTable& table) const;
  void LoadRegistry();

  std::unique_ptr<TClassAddressList> FAddresses;
  TClassAnonymous* FAnonymous = nullptr;
  QString FExeName;
  QString FOnlineStamp;
  QString FStopJobId;
  bool FCloseOn = false;
  TClassData* FData = nullptr;
  QString FLastError;
  QString FHomePage;
  QString FLocalizerExt;
  QString FLogFolder;
  TClassOptions* FOptions = nullptr;
  QString FQuickStart;
  QString FRemoteHost;
  QString FKeySuffix;
  QString FLocalAddress;
  bool FSecondStart = false;
  QString FTempInput;
  QString FTempOutput;
  std::unique_ptr<TClassUserList> FUsers;
  std::unique_ptr<TClassThreadList> FJobs;
  QList<KeptRequest> FRequests;
  bool FApplyAutostart = true;
  bool FSaveOnDestroy = true;
};
