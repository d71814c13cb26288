// The main window: the address bar, the file tree of the last listing, the
// State list of the user's requests, the status bar, the menus, the tray icon
// and every action of the user. It receives a started engine (application
// object, job rows, exchange, online cycle) and keeps it; it adds only what
// is seen.
#pragma once

#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QPixmap>
#include <QSet>
#include <memory>

#include "core/JobRows.h"
#include "exchange/Engine.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QSplitter;
class QSystemTrayIcon;
class QTabBar;
class QTimer;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class TClassMain;
class StateListModel;
class ServedListModel;
class TOnlineCycle;
class TExchange;

class TFormKestro : public QMainWindow {
  Q_OBJECT
public:
  // Creates the window on a started engine, which it keeps. Freeing the
  // window frees the engine, which shuts down unless its Shutdown has run.
  explicit TFormKestro(std::unique_ptr<Engine> engine, QWidget* parent = nullptr);
  ~TFormKestro() override;

  Engine& TheEngine() { return *FEngine; }
  TClassMain& Main() { return FEngine->Main(); }
  JobRowModel& JobRows() { return FEngine->Rows(); }
  bool Online() const;
  QTimer& PollTimer() { return *tmTimer; }
  TOnlineCycle& Cycle() { return FEngine->Cycle(); }
  TExchange& Exchange() { return FEngine->Exchange(); }

  // The steps of start-up after the window exists, in order.
  // aClean: empty the temporary folders. (The archive settings need no step
  // of their own: every build reads the pack level and volume size from the options.)
  void Clean();
  void StartupDecisions();  // about box, first-run dialog, hidden start, going online, tray icon

  // Shows the window, unless it starts hidden in the tray.
  void ShowAtStart();

  // Online cycle: the engine does the work, the window shows it.
  void SetOnline(bool goOnline);
  // The tray icon, status panel and window icon of the online state (the
  // panel says " Online (push)" while new mail is pushed).
  void ShowOnlineState(bool online);

  // The address box.
  void FillAddressBox(const QString& address);
  // The names of the selected rows as a download asks for them (with the
  // path of the folder shown, a folder without its trailing "/"; the ".."
  // row left out), each followed (withSizes) by TAB and its size, then CR LF,
  // in selection order.
  QString SelectedFileList(bool withSizes) const;
  // Issues a request to the address in the address box; a refusal is shown.
  void IssueRequest(const QString& command, const QString& fileList);

  // Where the address box points: a friend's address, optionally followed by
  // a folder of the friend's share ("bob@example.com/photos/2024"). The
  // folder is "/" for the top, else "/" and its path.
  struct Place {
    QString Address;
    QString Folder;
  };
  static Place SplitPlace(const QString& text);
  // The text of the address box for a place: the address alone at the top.
  static QString PlaceText(const QString& address, const QString& folder);

  // Whose listing and which folder the file tree shows (set when a listing
  // arrives, before its rows).
  void SetListingPlace(const QString& address, const QString& folder);
  QString ListingFolder() const { return FListFolder; }

  // The file tree: replaces its rows by (name, size text) pairs; a name
  // ending in "/" with the size "DIR" is a folder, shown first with the
  // folder image. Below the top, a ".." row leads up. The first row in the
  // sort order becomes selected.
  void FillFileTree(const QList<QPair<QString, QString>>& files);
  // A folder row or the ".." row: lists that folder (when "Go" is enabled);
  // any other row: the download, as a double click does. True when a request went out.
  bool OpenFileRow(QTreeWidgetItem* item);
  // The folder that a folder row or the ".." row leads to; empty for a file row.
  QString RowFolder(const QTreeWidgetItem* item) const;

  // The idle-time check: enabled states, busy cursor, polling interval.
  void CheckState();
  // Runs an action the way a key or menu would: update handler first, then the
  // action only when it is enabled.
  bool RunAction(QAction* action);

  // Entering the hidden and the shown state.
  void FormHide();
  void FormShow();
  // A second start asked for the window: shown, restored and in front, from
  // the tray, from hiding or from the task bar.
  void BringToFront();

  // The user's requests still Active.
  int ActiveRequests() const;
  // Tells the user something that happened out of sight: the tray's message,
  // or without a tray the task bar's alert.
  void Notify(const QString& title, const QString& text);

  // The status bar's job part.
  void ShowJobStatus(int state, const QString& text);

  // Actions, by their names.
  QAction *aDownload, *aOnline, *aOffline, *aList, *aExit, *aState, *aCancel, *aCheckState, *aProperties, *aClear,
      *aCheckSession, *aHelp, *aAbout, *aUsers, *aOptions, *aShow, *aConfiguration, *aMinimize, *aClean, *aDelete,
      *aRefresh, *aEnterListener, *aHome;

  // Controls, by their names.
  QWidget *tbAddress, *pnMain, *pnFiles, *pnState, *tbState, *pnStateGap;
  QLabel *pnAddress, *imState, *sbPanel0, *sbPanel1;
  QComboBox* cbAddress;
  QWidget* spAddress;
  QToolButton *btList, *btRefresh, *btCancel, *btProperties, *btDelete, *btClear, *btState;
  // The status bar's Online/Offline switch (runs aOnline or aOffline).
  QToolButton* btOnline;
  QTreeWidget* tlFiles;
  QTreeView* tlState;
  // The "Shared" list beside the State list (what this program served or
  // refused), and the tabs in the State bar that switch between the two.
  QTreeView* tlShared;
  QTabBar* tbLists;
  ServedListModel& ServedList() { return *FServedModel; }
  bool SharedShown() const;
  QSplitter* spBottom;
  QSystemTrayIcon* tiTray;
  QTimer* tmTimer;
  QMenu *pmFile, *pmState, *pmTray;

  static constexpr int kWidth = 420, kHeight = 610;
  static constexpr int kAddressBarHeight = 25, kAddressIndent = 2, kAddressLabelWidth = 51, kSeparatorWidth = 2,
                       kGoWidth = 23, kGoHeight = 21;
  static constexpr int kStateBarHeight = 28, kStateIndent = 1, kStateButtonWidth = 23, kStateExpanded = 128,
                       kFilesMinHeight = 102;
  static constexpr int kStatusHeight = 21, kPanel0Width = 60, kPanel1Width = 50;

signals:
  // The online state changed (after SetOnline).
  void OnlineChanged(bool online);
  // The share dialog changed the friends or the anonymous share.
  void SharesChanged();
  // Notify told the user something (whether a tray shows it or not).
  void Notified(const QString& title, const QString& text);

protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void CreateActions();
  void CreateControls();
  void CreateMenus();
  void CreateTray();
  void LoadImageLists();
  void FormResize();
  QAction* NewAction(const char* name, const QString& caption, const QString& hint = {}, int image = -1);

  // Action handlers.
  void aStateExecute();
  void aCancelExecute();
  void aDeleteExecute();
  void aClearExecute();
  void aPropertiesExecute();
  void aMinimizeExecute();
  void aShowExecute();
  void aExitExecute();
  void aCheckSessionExecute();
  void aEnterListenerExecute();
  bool aConfigurationExecute();  // whether the dialog was confirmed
  void aOptionsExecute();
  void aUsersExecute();
  void aAboutExecute();
  void aDownloadExecute();
  void ShowJobError(const QString& text, bool smtpFailure, const QString& smtpLog);

  int CurrentJobRow() const;
  void SaveConfiguration();
  // A request of the user's ended (Done or Error): told once, when the window is out of sight.
  void NoteJobEnd(int row, qint32 state);
  // Asks before an exit that would end running requests; true: exit.
  bool ConfirmExit();
  // The switch: online or offline, and the status bar says how it went.
  void ToggleOnline();
  void SayOnlineState();

  std::unique_ptr<Engine> FEngine;
  StateListModel* FStateModel = nullptr;
  ServedListModel* FServedModel = nullptr;
  QList<QIcon> ilMain, ilTree;
  QList<QPixmap> ilState;
  QIcon FIconOnline, FIconOffline;
  bool FHidden = false;
  bool FBusyCursor = false;
  QTimer* FIdleTimer = nullptr;
  QList<QAction*> FShortcutActions;
  QSet<QString> FEndedJobs;     // JobIds whose end was told or seen (stopped)
  QString FLastOnlineFailure;   // why the last attempt to go online failed
  QString FOnlineStateText;     // what SayOnlineState showed last
  QString FListAddress;         // whose listing the file tree shows
  QString FListFolder = QStringLiteral("/");  // and of which folder
};
