// The application object: owns the configuration store and every model object,
// loads them at construction and writes them back on Save and at destruction.
#pragma once

#include "config/ClassData.h"
#include "core/Addresses.h"
#include "core/ClassCustom.h"
#include "core/Jobs.h"
#include "core/Options.h"
#include "core/Users.h"

#include <QString>
#include <memory>
#include <optional>

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
  // does not have yet).
  void CleanTempFolders() const;
  // Deletes every row of the nested tables "ADDRESSES" and "USERS".
  void ClearTables();
  // Writes the stored fields, the anonymous share, the address history and the
  // friends into the tables, and applies the autostart option.
  void Store();
  // With false, destruction writes nothing: for a change that was refused.
  void SetSaveOnDestroy(bool save) { FSaveOnDestroy = save; }
  // Writes or removes the autostart entry after the option StartupSystem.
  void WriteAutostart();
  // Whether the autostart entry exists with a command.
  bool ReadAutostart() const;

private:
  void Load();
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
  bool FApplyAutostart = true;
  bool FSaveOnDestroy = true;
};
