#include "ui/FormKestro.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QRegularExpression>
#include <QUrl>
#include <QVBoxLayout>

#include "core/Jobs.h"
#include "main/ClassMain.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "platform/Settings.h"
#include "platform/Version.h"
#include "ui/ImageLists.h"
#include "ui/ServedList.h"
#include "ui/dialogs/FormAbout.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/FormDownload.h"
#include "ui/dialogs/FormError.h"
#include "ui/dialogs/FormOptions.h"
#include "ui/dialogs/FormProperties.h"
#include "ui/dialogs/FormUsers.h"

namespace {

const QString kVersionTitle = QStringLiteral("Kestro " KESTRO_VERSION);

// Images of the MAIN strip.
enum MainImage {
  imgRefresh = 8, imgStop = 9, imgCollapse = 10, imgExpand = 11, imgProperties = 12, imgRemove = 14,
  imgRemoveAll = 15, imgJobRow = 16, imgActive = 18, imgDone = 19, imgStopped = 20, imgError = 21
};

int StateImage(int state) {
  switch (state) {
    case jsActive: return imgActive;
    case jsDone: return imgDone;
    case jsStopped: return imgStopped;
    default: return imgError;
  }
}

}  // namespace

// The State list as the window shows it: the row image in front of the subject,
// the state image in front of the state's name.
class StateListModel : public QIdentityProxyModel {
public:
  StateListModel(const QList<QIcon>& images, QObject* parent) : QIdentityProxyModel(parent), FImages(images) {}
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DecorationRole && index.isValid()) {
      const int image = index.column() == JobRowModel::colSubject ? imgJobRow
                        : index.column() == JobRowModel::colState
                            ? StateImage(QIdentityProxyModel::data(index, JobRowModel::StateRole).toInt())
                            : -1;
      if (image >= 0 && image < FImages.size()) return FImages[image];
    }
    return QIdentityProxyModel::data(index, role);
  }

private:
  QList<QIcon> FImages;
};

namespace {

// Images of the TREE strip.
enum TreeImage { imgFolder = 0, imgFolderUp = 1, imgDocument = 2 };

// What a row of the file tree stands for (its data under Qt::UserRole).
enum FileRowKind { frUp = 0, frFolder = 1, frFile = 2 };

FileRowKind KindOf(const QTreeWidgetItem& item) {
  const QVariant kind = item.data(0, Qt::UserRole);
  return kind.isValid() ? FileRowKind(kind.toInt()) : frFile;
}

// A row of the file tree: the ".." row first, then the folders, then the
// files, in either sort order; within each, names compare without case and
// sizes by length, then as text.
class FileItem : public QTreeWidgetItem {
public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    const FileRowKind mine = KindOf(*this), theirs = KindOf(other);
    if (mine != theirs) {
      const bool ascending = !treeWidget() || treeWidget()->header()->sortIndicatorOrder() == Qt::AscendingOrder;
      return ascending ? mine < theirs : mine > theirs;
    }
    const QString a = text(column), b = other.text(column);
    if (column == 1 && a.size() != b.size()) return a.size() < b.size();
    return a.compare(b, Qt::CaseInsensitive) < 0;
  }
};

}  // namespace

TFormKestro::TFormKestro(std::unique_ptr<Engine> engine, QWidget* parent)
    : QMainWindow(parent), FEngine(std::move(engine)) {
  setObjectName(QStringLiteral("TFormKestro"));
  QFont font(QStringLiteral("Tahoma"));
  font.setPointSize(8);
  setFont(font);

  // 1. size (the engine has lowered the exit flag).
  resize(kWidth, kHeight);
  // 2. images, the application icon and the status picture.
  LoadImageLists();
  CreateActions();
  CreateControls();
  CreateMenus();
  CreateTray();
  setWindowIcon(FIconOffline);
  QApplication::setWindowIcon(FIconOffline);

  // 4. the online cycle's timer; what the exchange reports is shown.
  tmTimer = &Cycle().Timer();
  tmTimer->setObjectName(QStringLiteral("tmTimer"));
  // New mail is pushed while the online cycle's watcher waits in IDLE.
  connect(&Cycle(), &TOnlineCycle::PushChanged, this, [this] {
    if (!Online()) return;
    ShowOnlineState(true);
    // The online text follows, unless a job's text replaced it since.
    if (sbPanel1->text() == FOnlineStateText) SayOnlineState();
  });
  TExchange* exchange = &Exchange();
  connect(exchange, &TExchange::ListingFolder, this, &TFormKestro::SetListingPlace);
  connect(exchange, &TExchange::ShowListing, this, [this](const QList<ListingRow>& rows) {
    QList<QPair<QString, QString>> files;
    for (const ListingRow& r : rows) files.append({r.Name, r.Size});
    FillFileTree(files);
  });
  connect(exchange, &TExchange::JobStatus, this, [this](int row, qint32 state, const QString& text) {
    ShowJobStatus(state, text);
    // A row that leaves the Active state loses its selection; the focus stays.
    if (state != jsActive && row >= 0)
      tlState->selectionModel()->select(FStateModel->index(row, 0),
                                        QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  });
  connect(exchange, &TExchange::JobStatus, this, [this](int row, qint32 state) { NoteJobEnd(row, state); });
  connect(exchange, &TExchange::ShowJobError, this, &TFormKestro::ShowJobError, Qt::QueuedConnection);
  connect(exchange, &TExchange::AddressRemembered, this, &TFormKestro::FillAddressBox);
  connect(exchange, &TExchange::ServingJobOpened, FServedModel, &ServedListModel::Opened);
  connect(exchange, &TExchange::ServingJobChanged, FServedModel,
          [this](const QString& number, qint32 state, double progress, const QString& info) {
            FServedModel->Changed(number, state, progress, info);
          });
  connect(this, &TFormKestro::SharesChanged, exchange, &TExchange::PublishShares);

  if (const QScreen* screen = QApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kWidth / 2, kHeight / 2));
  }
  setWindowTitle(kVersionTitle);
  sbPanel0->setText(QStringLiteral(" Offline"));
  aCheckSessionExecute();
  // 6. the State panel starts collapsed; 7. the address box.
  aState->trigger();
  FillAddressBox(Main().RemoteHost());
  cbAddress->setFocus();
  // A request that went on from the last run is the current row, so that it
  // can be stopped, and the status bar shows how far it is.
  for (int i = 0; i < JobRows().Count(); ++i)
    if (JobRows().Row(i).State == jsActive) {
      tlState->setCurrentIndex(FStateModel->index(i, JobRowModel::colSubject));
      ShowJobStatus(jsActive, JobRowModel::ProgressText(JobRows().Row(i).Progress));
      break;
    }

  FIdleTimer = new QTimer(this);
  FIdleTimer->setInterval(100);
  connect(FIdleTimer, &QTimer::timeout, this, [this] {
    if (isVisible() && !QApplication::activeModalWidget()) CheckState();
  });
  FIdleTimer->start();
  // The bars are laid out whenever their panels change size.
  pnState->installEventFilter(this);
  tbAddress->installEventFilter(this);
}

TFormKestro::~TFormKestro() {
  if (FBusyCursor) QApplication::restoreOverrideCursor();
  FIdleTimer->stop();
  // The State list shows rows of the engine: it lets go of them first.
  FStateModel->setSourceModel(nullptr);
  // Exit: the engine, freed with the window, goes offline, stops its threads
  // and saves, unless its owner has shut it down already.
  FEngine.reset();
}

// --- creation ---------------------------------------------------------------

void TFormKestro::LoadImageLists() {
  ilMain = LoadImageStrip(QStringLiteral("MAIN"));
  ilTree = LoadImageStrip(QStringLiteral("TREE"));
  ilState = LoadPixmapStrip(QStringLiteral("STATUS"));
  FIconOnline = LoadAppIcon(QStringLiteral("ONLINE"));
  FIconOffline = LoadAppIcon(QStringLiteral("OFFLINE"));
}

QAction* TFormKestro::NewAction(const char* name, const QString& caption, const QString& hint, int image) {
  auto* action = new QAction(caption.isEmpty() ? QString::fromLatin1(name) : caption, this);
  action->setObjectName(QString::fromLatin1(name));
  action->setStatusTip(hint);
  action->setToolTip(hint.isEmpty() ? action->text().remove('&') : hint);
  if (image >= 0 && image < ilMain.size()) action->setIcon(ilMain[image]);
  addAction(action);
  return action;
}

void TFormKestro::CreateActions() {
  aDownload = NewAction("aDownload", "&Download", "Download command");
  aOnline = NewAction("aOnline", "&Online", "Start Kestro");
  aOffline = NewAction("aOffline", "&Offline", "Stop Kestro");
  aList = NewAction("aList", "Go", "List command");
  aExit = NewAction("aExit", "&Exit", "Exit Kestro");
  aExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
  aState = NewAction("aState", "&State", "State", imgCollapse);
  aState->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));
  aState->setData(1);  // expanded; creation runs it once, so the panel starts collapsed
  aCancel = NewAction("aCancel", "&Stop", "Stop thread", imgStop);
  aCheckState = NewAction("aCheckState", "");
  aProperties = NewAction("aProperties", "&Properties...", "Thread properties", imgProperties);
  aClear = NewAction("aClear", "&Remove All", "Remove all threads", imgRemoveAll);
  aCheckSession = NewAction("aCheckSession", "");
  aHelp = NewAction("aHelp", "Online &Help", "Kestro online help");
  aAbout = NewAction("aAbout", "&About...", "About Kestro");
  aUsers = NewAction("aUsers", "&Share...", "Shared Folders");
  aOptions = NewAction("aOptions", "&Options...", "Options");
  aShow = NewAction("aShow", "&Show");
  aConfiguration = NewAction("aConfiguration", "&Config...", "gMail Configuration");
  aMinimize = NewAction("aMinimize", "");
  aClean = NewAction("aClean", "");
  aDelete = NewAction("aDelete", "&Remove", "Remove slected thread", imgRemove);
  aRefresh = NewAction("aRefresh", "&Refresh", "Refresh thread", imgRefresh);
  aEnterListener = NewAction("aEnterListener", "");
  aHome = NewAction("aHome", "Home &Page", "Kestro home page");
  FShortcutActions = {aExit, aState, aEnterListener};
  // Enter is bound from the first showing on.
  aEnterListener->setEnabled(false);

  connect(aOnline, &QAction::triggered, this, [this] { SetOnline(true); });
  connect(aOffline, &QAction::triggered, this, [this] {
    RunAction(aCancel);
    SetOnline(false);
  });
  connect(aExit, &QAction::triggered, this, &TFormKestro::aExitExecute);
  connect(aState, &QAction::triggered, this, &TFormKestro::aStateExecute);
  connect(aCancel, &QAction::triggered, this, &TFormKestro::aCancelExecute);
  connect(aCheckState, &QAction::triggered, this, &TFormKestro::CheckState);
  connect(aProperties, &QAction::triggered, this, &TFormKestro::aPropertiesExecute);
  connect(aClear, &QAction::triggered, this, &TFormKestro::aClearExecute);
  connect(aDelete, &QAction::triggered, this, &TFormKestro::aDeleteExecute);
  connect(aCheckSession, &QAction::triggered, this, &TFormKestro::aCheckSessionExecute);
  connect(aHelp, &QAction::triggered, this, [this] { QDesktopServices::openUrl(QUrl::fromUserInput(Main().QuickStart())); });
  connect(aHome, &QAction::triggered, this, [this] { QDesktopServices::openUrl(QUrl::fromUserInput(Main().HomePage())); });
  connect(aAbout, &QAction::triggered, this, &TFormKestro::aAboutExecute);
  connect(aList, &QAction::triggered, this,
          [this] { IssueRequest(QStringLiteral("list"), SplitPlace(cbAddress->currentText()).Folder); });
  connect(aDownload, &QAction::triggered, this, &TFormKestro::aDownloadExecute);
  connect(aRefresh, &QAction::triggered, this, [this] {
    const int row = CurrentJobRow();
    if (row >= 0) IssueRequest(JobRows().Row(row).Action, JobRows().Row(row).Text);
  });
  connect(aUsers, &QAction::triggered, this, &TFormKestro::aUsersExecute);
  connect(aOptions, &QAction::triggered, this, &TFormKestro::aOptionsExecute);
  connect(aConfiguration, &QAction::triggered, this, [this] { aConfigurationExecute(); });
  connect(aShow, &QAction::triggered, this, &TFormKestro::aShowExecute);
  connect(aMinimize, &QAction::triggered, this, &TFormKestro::aMinimizeExecute);
  connect(aClean, &QAction::triggered, this, &TFormKestro::Clean);
  connect(aEnterListener, &QAction::triggered, this, &TFormKestro::aEnterListenerExecute);
}

void TFormKestro::CreateControls() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  setCentralWidget(central);

  // The address bar: its children are placed by FormResize.
  tbAddress = new QWidget(central);
  tbAddress->setObjectName(QStringLiteral("tbAddress"));
  tbAddress->setFixedHeight(kAddressBarHeight);
  pnAddress = new QLabel(QStringLiteral("Address"), tbAddress);
  pnAddress->setObjectName(QStringLiteral("pnAddress"));
  pnAddress->setAlignment(Qt::AlignCenter);
  cbAddress = new QComboBox(tbAddress);
  cbAddress->setObjectName(QStringLiteral("cbAddress"));
  cbAddress->setEditable(true);
  cbAddress->setInsertPolicy(QComboBox::NoInsert);
  cbAddress->setFrame(false);
  spAddress = new QWidget(tbAddress);
  spAddress->setObjectName(QStringLiteral("spAddress"));
  btList = new QToolButton(tbAddress);
  btList->setObjectName(QStringLiteral("btList"));
  btList->setDefaultAction(aList);
  btList->setAutoRaise(true);
  layout->addWidget(tbAddress);

  pnMain = new QWidget(central);
  pnMain->setObjectName(QStringLiteral("pnMain"));
  auto* mainLayout = new QVBoxLayout(pnMain);
  mainLayout->setContentsMargins(0, 0, 0, 0);
  spBottom = new QSplitter(Qt::Vertical, pnMain);
  spBottom->setObjectName(QStringLiteral("spBottom"));
  spBottom->setHandleWidth(2);
  spBottom->setChildrenCollapsible(false);
  mainLayout->addWidget(spBottom);
  layout->addWidget(pnMain, 1);

  pnFiles = new QWidget(spBottom);
  pnFiles->setObjectName(QStringLiteral("pnFiles"));
  pnFiles->setMinimumHeight(kFilesMinHeight);
  auto* filesLayout = new QVBoxLayout(pnFiles);
  filesLayout->setContentsMargins(0, 0, 0, 0);
  tlFiles = new QTreeWidget(pnFiles);
  tlFiles->setObjectName(QStringLiteral("tlFiles"));
  tlFiles->setColumnCount(2);
  tlFiles->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
  tlFiles->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  tlFiles->setColumnWidth(0, 300);
  tlFiles->setRootIsDecorated(false);
  tlFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tlFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  tlFiles->setSortingEnabled(true);
  tlFiles->sortByColumn(0, Qt::AscendingOrder);
  tlFiles->header()->setStretchLastSection(true);
  tlFiles->header()->setSectionsMovable(true);
  tlFiles->setContextMenuPolicy(Qt::CustomContextMenu);
  filesLayout->addWidget(tlFiles);
  connect(tlFiles, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { OpenFileRow(item); });
  connect(tlFiles, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { pmFile->popup(tlFiles->viewport()->mapToGlobal(at)); });

  pnState = new QWidget(spBottom);
  pnState->setObjectName(QStringLiteral("pnState"));
  tbState = new QWidget(pnState);
  tbState->setObjectName(QStringLiteral("tbState"));
  tbState->setGeometry(0, 0, kWidth, kStateBarHeight);
  auto stateButton = [this](const char* name, QAction* action) {
    auto* b = new QToolButton(tbState);
    b->setObjectName(QString::fromLatin1(name));
    b->setDefaultAction(action);
    b->setAutoRaise(true);
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    return b;
  };
  btRefresh = stateButton("btRefresh", aRefresh);
  btCancel = stateButton("btCancel", aCancel);
  btProperties = stateButton("btProperties", aProperties);
  btDelete = stateButton("btDelete", aDelete);
  btClear = stateButton("btClear", aClear);
  pnStateGap = new QWidget(tbState);
  pnStateGap->setObjectName(QStringLiteral("pnStateGap"));
  btState = stateButton("btState", aState);

  // The two lists of the State panel: one row selected at a time, read-only,
  // the State menu on the right button.
  auto listView = [this](const char* name, QAbstractItemModel* model) {
    auto* view = new QTreeView(pnState);
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSortingEnabled(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->header()->setStretchLastSection(true);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& at) { pmState->popup(view->viewport()->mapToGlobal(at)); });
    return view;
  };
  FStateModel = new StateListModel(ilMain, this);
  FStateModel->setSourceModel(&JobRows());
  tlState = listView("tlState", FStateModel);
  tlState->header()->setSectionsMovable(true);
  const int widths[JobRowModel::ColumnCount] = {80, 80, 125, 52, 52, 50, 64, 60, 60, 60, 58, 58};
  for (int c = 0; c < JobRowModel::ColumnCount; ++c) tlState->setColumnWidth(c, widths[c]);
  for (int hidden : {JobRowModel::colNumber, JobRowModel::colAction, JobRowModel::colText, JobRowModel::colInfo,
                     JobRowModel::colSplit, JobRowModel::colSize})
    tlState->setColumnHidden(hidden, true);
  tlState->header()->setMinimumSectionSize(16);
  connect(tlState, &QTreeView::doubleClicked, this, [this] { RunAction(aProperties); });

  FServedModel = new ServedListModel(this);
  tlShared = listView("tlShared", FServedModel);
  const int sharedWidths[ServedListModel::ColumnCount] = {125, 110, 52, 52, 80};
  for (int c = 0; c < ServedListModel::ColumnCount; ++c) tlShared->setColumnWidth(c, sharedWidths[c]);
  tlShared->hide();
  tbLists = new QTabBar(tbState);
  tbLists->setObjectName(QStringLiteral("tbLists"));
  tbLists->setDocumentMode(true);
  tbLists->setDrawBase(false);
  tbLists->setExpanding(false);
  tbLists->addTab(QStringLiteral("State"));
  tbLists->addTab(QStringLiteral("Shared"));
  tbLists->setTabToolTip(1, QStringLiteral("What your friends asked of you, and how it went"));
  connect(tbLists, &QTabBar::currentChanged, this, [this](int index) {
    tlState->setVisible(index == 0);
    tlShared->setVisible(index == 1);
    CheckState();
  });

  spBottom->addWidget(pnFiles);
  spBottom->addWidget(pnState);
  spBottom->setStretchFactor(0, 1);
  spBottom->setStretchFactor(1, 0);

  // The status bar: the online state, the current job's picture and text.
  auto* status = new QStatusBar(this);
  status->setObjectName(QStringLiteral("sbStatus"));
  status->setFixedHeight(kStatusHeight);
  status->setSizeGripEnabled(true);
  setStatusBar(status);
  sbPanel0 = new QLabel(status);
  sbPanel0->setObjectName(QStringLiteral("sbPanel0"));
  // Wide enough for the longest of its texts.
  const int panel0Width =
      std::max(kPanel0Width, sbPanel0->fontMetrics().horizontalAdvance(QStringLiteral(" Online (push)")) + 6);
  sbPanel0->setFixedWidth(panel0Width);
  sbPanel1 = new QLabel(status);
  sbPanel1->setObjectName(QStringLiteral("sbPanel1"));
  sbPanel1->setMinimumWidth(kPanel1Width);
  status->addWidget(sbPanel0);
  status->addWidget(sbPanel1, 1);
  imState = new QLabel(status);
  imState->setObjectName(QStringLiteral("imState"));
  imState->setFixedSize(16, 16);
  imState->setAttribute(Qt::WA_TranslucentBackground);
  imState->move(panel0Width + 4, 4);
  imState->raise();
  btOnline = new QToolButton(status);
  btOnline->setObjectName(QStringLiteral("btOnline"));
  btOnline->setAutoRaise(true);
  btOnline->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  btOnline->setFixedHeight(kStatusHeight - 2);
  status->addPermanentWidget(btOnline);
  connect(btOnline, &QToolButton::clicked, this, &TFormKestro::ToggleOnline);
}

void TFormKestro::CreateMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("mmMain"));
  auto changeStatus = [this](QMenu* parent) {
    QMenu* m = parent->addMenu(QStringLiteral("Change Status"));
    m->menuAction()->setStatusTip(QStringLiteral("Change Status"));
    m->addAction(aOnline);
    m->addAction(aOffline);
    connect(m, &QMenu::aboutToShow, this, &TFormKestro::aCheckSessionExecute);
  };
  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  changeStatus(file);
  file->addSeparator();
  file->addAction(aExit);
  QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
  tools->addAction(aConfiguration);
  tools->addSeparator();
  tools->addAction(aUsers);
  tools->addSeparator();
  tools->addAction(aOptions);
  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  help->addAction(aHelp);
  help->addSeparator();
  help->addAction(aHome);
  help->addSeparator();
  help->addAction(aAbout);

  pmFile = new QMenu(this);
  pmFile->setObjectName(QStringLiteral("pmFile"));
  pmFile->addAction(aDownload);
  pmState = new QMenu(this);
  pmState->setObjectName(QStringLiteral("pmState"));
  pmState->addAction(aRefresh);
  pmState->addSeparator();
  pmState->addAction(aProperties);
  pmState->addSeparator();
  pmState->addAction(aDelete);
  pmState->addAction(aClear);
  pmTray = new QMenu(this);
  pmTray->setObjectName(QStringLiteral("pmTray"));
  QAction* show = pmTray->addAction(QStringLiteral("&Show Kestro"));
  connect(show, &QAction::triggered, aShow, &QAction::trigger);
  QFont bold = show->font();
  bold.setBold(true);
  show->setFont(bold);
  pmTray->setDefaultAction(show);
  pmTray->addSeparator();
  changeStatus(pmTray);
  pmTray->addSeparator();
  pmTray->addAction(aExit);
}

void TFormKestro::CreateTray() {
  tiTray = new QSystemTrayIcon(FIconOffline, this);
  tiTray->setObjectName(QStringLiteral("tiTray"));
  tiTray->setToolTip(QStringLiteral("Kestro"));
  tiTray->setContextMenu(pmTray);
  connect(tiTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick && aShow->isEnabled()) aShow->trigger();
  });
}

// --- layout -----------------------------------------------------------------

void TFormKestro::FormResize() {
  // The address box fills the bar; "Go" stays at its right end.
  const int barWidth = tbAddress->width();
  const int boxWidth = std::max(
      20, barWidth - 2 * kAddressIndent - kAddressLabelWidth - kSeparatorWidth - kGoWidth - 1);
  int x = kAddressIndent;
  pnAddress->setGeometry(x, 0, kAddressLabelWidth, kAddressBarHeight);
  x += kAddressLabelWidth;
  cbAddress->setGeometry(x, (kAddressBarHeight - kGoHeight) / 2, boxWidth, kGoHeight);
  x += boxWidth;
  spAddress->setGeometry(x, 0, kSeparatorWidth, kAddressBarHeight);
  x += kSeparatorWidth;
  btList->setGeometry(x, (kAddressBarHeight - kGoHeight) / 2, kGoWidth, kGoHeight);

  // The State toggle button stays at the right end of the State tool bar.
  const int stateWidth = pnState->width();
  tbState->setGeometry(0, 0, stateWidth, kStateBarHeight);
  const int gap = std::max(0, stateWidth - 2 * kStateIndent - 6 * kStateButtonWidth - 16);
  const int h = kStateBarHeight - 2 * kStateIndent;
  x = kStateIndent;
  for (QWidget* w : {static_cast<QWidget*>(btRefresh), static_cast<QWidget*>(btCancel)}) {
    w->setGeometry(x, kStateIndent, kStateButtonWidth, h);
    x += kStateButtonWidth;
  }
  x += 8;
  btProperties->setGeometry(x, kStateIndent, kStateButtonWidth, h);
  x += kStateButtonWidth + 8;
  for (QWidget* w : {static_cast<QWidget*>(btDelete), static_cast<QWidget*>(btClear)}) {
    w->setGeometry(x, kStateIndent, kStateButtonWidth, h);
    x += kStateButtonWidth;
  }
  pnStateGap->setGeometry(x, kStateIndent, gap, h);
  tbLists->setGeometry(x + 4, kStateIndent, std::min(gap - 4, tbLists->sizeHint().width()), h);
  x += gap;
  btState->setGeometry(x, kStateIndent, kStateButtonWidth, h);
  tlState->setGeometry(0, kStateBarHeight, stateWidth, std::max(0, pnState->height() - kStateBarHeight));
  tlShared->setGeometry(tlState->geometry());
}

void TFormKestro::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

bool TFormKestro::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Resize && (watched == pnState || watched == tbAddress)) FormResize();
  return QMainWindow::eventFilter(watched, event);
}

void TFormKestro::aStateExecute() {
  QList<int> sizes = spBottom->sizes();
  const int total = sizes.value(0) + sizes.value(1);
  if (aState->data().toInt() == 1) {
    pnState->setFixedHeight(kStateBarHeight - 1);
    aState->setData(0);
    aState->setIcon(ilMain.value(imgExpand));
    spBottom->handle(1)->setEnabled(false);
  } else {
    pnState->setMinimumHeight(kStateBarHeight - 1);
    pnState->setMaximumHeight(QWIDGETSIZE_MAX);
    aState->setData(1);
    aState->setIcon(ilMain.value(imgCollapse));
    spBottom->handle(1)->setEnabled(true);
    spBottom->setSizes({std::max(kFilesMinHeight, total - kStateExpanded), kStateExpanded});
    pnState->resize(pnState->width(), kStateExpanded);
  }
  FormResize();
}

// --- hidden and shown state --------------------------------------------------

void TFormKestro::FormHide() {
  FHidden = true;
  for (QAction* a : FShortcutActions) a->setEnabled(false);
  aExit->setEnabled(true);
}

void TFormKestro::FormShow() {
  FHidden = false;
  aEnterListener->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  for (QAction* a : FShortcutActions) a->setEnabled(true);
}

void TFormKestro::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  FormShow();
  FormResize();
}

void TFormKestro::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) QTimer::singleShot(0, this, [this] { RunAction(aMinimize); });
}

void TFormKestro::aMinimizeExecute() {
  if (tiTray->isVisible()) {
    hide();
    FormHide();
  } else if (!QSystemTrayIcon::isSystemTrayAvailable() && !isMinimized()) {
    // Without a tray a hidden window could not be found again: the task bar keeps it.
    showMinimized();
  }
}

void TFormKestro::aShowExecute() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  showNormal();
  raise();
  activateWindow();
  FormShow();
}

void TFormKestro::BringToFront() {
  aShowExecute();
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

void TFormKestro::closeEvent(QCloseEvent* event) {
  event->ignore();  // the window is destroyed only at exit
  if (!Main().CloseOn() && (tiTray->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable())) {
    RunAction(aMinimize);
    return;
  }
  aExitExecute();
}

void TFormKestro::aExitExecute() {
  if (!ConfirmExit()) return;
  SetClosing(true);
  QApplication::exit(0);
}

int TFormKestro::ActiveRequests() const {
  int active = 0;
  for (int i = 0; i < FEngine->Rows().Count(); ++i)
    if (FEngine->Rows().Row(i).State == jsActive) ++active;
  return active;
}

bool TFormKestro::ConfirmExit() {
  const int active = ActiveRequests();
  if (active == 0) return true;
  const QString text = active == 1 ? QStringLiteral("1 request is still running. Exit anyway?")
                                   : QStringLiteral("%1 requests are still running. Exit anyway?").arg(active);
  QMessageBox box(QMessageBox::Question, QStringLiteral("Kestro"), text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);  // Enter keeps the program running
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void TFormKestro::Notify(const QString& title, const QString& text) {
  emit Notified(title, text);
  if (tiTray->isVisible())
    tiTray->showMessage(title, text, Online() ? FIconOnline : FIconOffline);
  else
    QApplication::alert(this);
}

void TFormKestro::NoteJobEnd(int row, qint32 state) {
  if ((state != jsDone && state != jsError) || row < 0 || row >= JobRows().Count()) return;
  const JobRow& r = JobRows().Row(row);
  if (FEndedJobs.contains(r.Number)) return;
  if (FEndedJobs.size() > 2 * JobRowModel::kMaxRows) {
    // Only the rows still listed can end again.
    QSet<QString> listed;
    for (int i = 0; i < JobRows().Count(); ++i) listed.insert(JobRows().Row(i).Number);
    FEndedJobs.intersect(listed);
  }
  FEndedJobs.insert(r.Number);
  if (isVisible() && !isMinimized() && isActiveWindow()) return;  // the State list shows it
  const bool download = r.Action == QLatin1String("download");
  QString text;
  if (state == jsDone) {
    text = download ? QStringLiteral("The download from %1 is done.").arg(r.Address)
                    : QStringLiteral("The listing from %1 has arrived.").arg(r.Address);
  } else {
    QString reason = r.Info;
    if (reason.startsWith(QLatin1String("Error: "), Qt::CaseInsensitive)) reason.remove(0, 7);
    text = (download ? QStringLiteral("The download from %1 failed") : QStringLiteral("The list request to %1 failed"))
               .arg(r.Address) +
           (reason.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + reason);
  }
  Notify(QStringLiteral("Kestro"), text);
}

void TFormKestro::ShowAtStart() {
  // Without a tray there is no way back to a hidden window: show it then.
  if (Main().Options().StartupTray() && QSystemTrayIcon::isSystemTrayAvailable()) {
    FormHide();
    return;
  }
  show();
}

// --- actions ------------------------------------------------------------------

bool TFormKestro::RunAction(QAction* action) {
  if (action == aOnline || action == aOffline) aCheckSessionExecute();
  if (action == aCancel || action == aList || action == aDownload || action == aRefresh ||
      action == aProperties || action == aDelete || action == aClear)
    CheckState();
  if (!action->isEnabled()) return false;
  action->trigger();
  return true;
}

bool TFormKestro::Online() const { return FEngine && FEngine->Cycle().Online(); }

void TFormKestro::aCheckSessionExecute() {
  aOnline->setEnabled(!Online() && !Cycle().GoingOnline());
  aOffline->setEnabled(Online());
  QAction* next = Online() ? aOffline : aOnline;
  btOnline->setText(Online() ? QStringLiteral("Go offline") : QStringLiteral("Go online"));
  btOnline->setIcon(Online() ? FIconOffline : FIconOnline);
  btOnline->setToolTip(next->toolTip());
  btOnline->setEnabled(next->isEnabled());
}

void TFormKestro::ToggleOnline() {
  if (Online()) {
    RunAction(aOffline);
    return;
  }
  if (RunAction(aOnline)) SayOnlineState();
}

void TFormKestro::SayOnlineState() {
  imState->clear();
  QString text;
  if (Online()) {
    text = Cycle().PushActive()
               ? QStringLiteral("Online: the account works; new mail is pushed, and Kestro checks the mailbox "
                                "every %1 s as well.")
                     .arg(Cycle().PollInterval() / 1000)
               : QStringLiteral("Online: the account works; Kestro checks the mailbox every %1 s.")
                     .arg(Cycle().PollInterval() / 1000);
  } else {
    text = FLastOnlineFailure.isEmpty() ? QStringLiteral("Offline.")
                                        : QStringLiteral("Offline: ") + FLastOnlineFailure.simplified();
  }
  sbPanel1->setText(text);
  sbPanel1->setToolTip(text);
  FOnlineStateText = text;
}

void TFormKestro::aEnterListenerExecute() {
  QWidget* focus = QApplication::focusWidget();
  while (focus && focus != cbAddress && focus != tlFiles && focus != tlState) focus = focus->parentWidget();
  if (focus == cbAddress)
    RunAction(aList);
  else if (focus == tlFiles)
    OpenFileRow(tlFiles->currentItem());
  else if (focus == tlState)
    RunAction(aProperties);
}

int TFormKestro::CurrentJobRow() const {
  const QModelIndex current = tlState->currentIndex();
  return current.isValid() ? current.row() : -1;
}

void TFormKestro::CheckState() {
  const int s = JobRows().JobListState();
  bool selected = false;  // something to download: the ".." row is nothing
  for (const QTreeWidgetItem* item : tlFiles->selectedItems()) selected = selected || KindOf(*item) != frUp;
  const bool busy = s == 1;
  if (busy != FBusyCursor) {
    busy ? QApplication::setOverrideCursor(Qt::BusyCursor) : QApplication::restoreOverrideCursor();
    FBusyCursor = busy;
  }
  const bool shared = SharedShown();
  aProperties->setEnabled(s == 0 && !shared);
  aDelete->setEnabled(shared ? tlShared->currentIndex().isValid() : s == 0);
  aClear->setEnabled(shared ? FServedModel->Count() > 0 : s == 0);
  aCancel->setEnabled(s == 1);
  aRefresh->setEnabled(s == 0 && Online());
  aList->setEnabled(s < 1 && Online());
  aDownload->setEnabled(s < 1 && selected && Online());
  tlState->setEnabled(s < 1);
  aCheckSessionExecute();
  Cycle().AdjustPollTimer();
}

void TFormKestro::ShowJobStatus(int state, const QString& text) {
  imState->setPixmap(ilState.value(state));
  sbPanel1->setText(text);
}

void TFormKestro::aCancelExecute() {
  const int row = CurrentJobRow();
  const QString jobId = JobRows().Stop(row);
  if (jobId.isEmpty()) return;
  Main().SetStopJobId(jobId);
  FEndedJobs.insert(jobId);  // the user ended it: later reports tell nothing
  ShowJobStatus(jsStopped, QStringLiteral("      Stopped"));
}

bool TFormKestro::SharedShown() const { return tbLists->currentIndex() == 1; }

void TFormKestro::aDeleteExecute() {
  if (SharedShown())
    FServedModel->Remove(tlShared->currentIndex().row());
  else
    JobRows().RemoveRow(CurrentJobRow());
}

void TFormKestro::aClearExecute() {
  if (SharedShown())
    FServedModel->Clear();
  else
    JobRows().Clear();
}

void TFormKestro::aPropertiesExecute() {
  const int row = CurrentJobRow();
  if (row < 0) return;
  const JobRow& r = JobRows().Row(row);
  RunPropertiesDialog(this, {r.Number, r.Subject, r.Address, r.Started, r.Finished, r.State, r.Action, r.Text, r.Info});
}

void TFormKestro::aAboutExecute() { RunAboutDialog(this, Main().HomePage(), Main().LocalizerExt(), 0); }

void TFormKestro::SaveConfiguration() {
  try {
    Main().Save();
  } catch (const std::exception& e) {
    QMessageBox::critical(this, QStringLiteral("Error"), QString::fromUtf8(e.what()));
  }
}

bool TFormKestro::aConfigurationExecute() {
  if (!RunConfigurationDialog(this, Main().Options())) return false;
  SaveConfiguration();
  return true;
}

void TFormKestro::aOptionsExecute() {
  if (!RunOptionsDialog(this, Main().Options())) return;
  SaveConfiguration();
  // The new period takes effect at once, online or not.
  Cycle().RestartTimer();
}

void TFormKestro::aUsersExecute() {
  if (!RunShareDialog(this, Main().Users(), Main().Anonymous(), Main().Options().Provider().Domain)) return;
  emit SharesChanged();
  SaveConfiguration();
}

void TFormKestro::FillAddressBox(const QString& address) {
  cbAddress->clear();
  cbAddress->addItems(Main().Addresses().Addresses());
  cbAddress->setEditText(address);
}

QString TFormKestro::SelectedFileList(bool withSizes) const {
  // Names inside a subfolder are asked for with its path.
  const QString path = FListFolder == QLatin1String("/") ? QString() : FListFolder.mid(1) + u'/';
  QString list;
  for (const QTreeWidgetItem* item : tlFiles->selectedItems()) {
    if (KindOf(*item) == frUp) continue;
    list += path + item->text(0) + (withSizes ? '\t' + item->text(1) : QString()) + QStringLiteral("\r\n");
  }
  return list;
}

TFormKestro::Place TFormKestro::SplitPlace(const QString& text) {
  // A mail domain holds no "/": the first one after the "@" starts the folder.
  const QString trimmed = text.trimmed();
  const int at = trimmed.indexOf(u'@');
  const int slash = at < 0 ? -1 : trimmed.indexOf(u'/', at);
  if (slash < 0) return {trimmed, QStringLiteral("/")};
  return {trimmed.left(slash).trimmed(), TExchange::ListFolderText(trimmed.mid(slash))};
}

QString TFormKestro::PlaceText(const QString& address, const QString& folder) {
  const QString path = TExchange::ListFolderText(folder);
  return path == QLatin1String("/") ? address : address + path;
}

void TFormKestro::SetListingPlace(const QString& address, const QString& folder) {
  FListAddress = address;
  FListFolder = TExchange::ListFolderText(folder);
  cbAddress->setEditText(PlaceText(address, FListFolder));
}

QString TFormKestro::RowFolder(const QTreeWidgetItem* item) const {
  if (!item) return {};
  switch (KindOf(*item)) {
    case frUp: {
      const int slash = FListFolder.lastIndexOf(u'/');
      return slash <= 0 ? QStringLiteral("/") : FListFolder.left(slash);
    }
    case frFolder:
      return (FListFolder == QLatin1String("/") ? QString() : FListFolder) + u'/' + item->text(0);
    default:
      return {};
  }
}

bool TFormKestro::OpenFileRow(QTreeWidgetItem* item) {
  const QString folder = RowFolder(item);
  if (folder.isEmpty()) return RunAction(aDownload);
  CheckState();
  if (!aList->isEnabled()) return false;
  const QString address = FListAddress.isEmpty() ? SplitPlace(cbAddress->currentText()).Address : FListAddress;
  cbAddress->setEditText(PlaceText(address, folder));
  return RunAction(aList);
}

void TFormKestro::IssueRequest(const QString& command, const QString& fileList) {
  const QString typed = cbAddress->currentText();
  const Place place = SplitPlace(typed);
  const TExchange::Issued issued = Exchange().IssueRequest(command, fileList, place.Address);
  if (!issued.Error.isEmpty()) {
    QMessageBox::critical(this, QStringLiteral("Error"), issued.Error);
    return;
  }
  if (issued.JobId.isEmpty()) return;
  // The box keeps showing the folder (remembering the address refilled it).
  if (place.Folder != QLatin1String("/")) cbAddress->setEditText(PlaceText(place.Address, place.Folder));
  // The new row is the current and selected one.
  tlState->setCurrentIndex(FStateModel->index(0, JobRowModel::colSubject));
  ShowJobStatus(jsActive, JobRowModel::ProgressText(JobRows().Row(0).Progress));
}

void TFormKestro::aDownloadExecute() {
  QString folder = Main().Options().DownloadFolder();
  if (!RunDownloadDialog(this, folder)) return;
  Main().Options().SetDownloadFolder(folder);
  SaveConfiguration();
  IssueRequest(QStringLiteral("download"), SelectedFileList(false));
}

void TFormKestro::ShowJobError(const QString& text, bool smtpFailure, const QString& smtpLog) {
  if (!smtpFailure) {
    QMessageBox::critical(this, QStringLiteral("Error"), text);
    return;
  }
  ShowErrorDialog(this, text, smtpLog.split(QRegularExpression(QStringLiteral("\r\n|\n"))));
  aConfiguration->trigger();
}

void TFormKestro::FillFileTree(const QList<QPair<QString, QString>>& files) {
  tlFiles->setUpdatesEnabled(false);
  tlFiles->clear();
  if (FListFolder != QLatin1String("/")) {
    auto* up = new FileItem(tlFiles, {QStringLiteral(".."), QString()});
    up->setIcon(0, ilTree.value(imgFolderUp));
    up->setData(0, Qt::UserRole, int(frUp));
    up->setToolTip(0, QStringLiteral("Up to %1").arg(PlaceText(FListAddress, RowFolder(up))));
  }
  for (const auto& [name, size] : files) {
    const bool folder = name.size() > 1 && name.endsWith(u'/') && size == QLatin1String("DIR");
    auto* item = new FileItem(tlFiles, {folder ? name.chopped(1) : name, folder ? QString() : size});
    item->setIcon(0, ilTree.value(folder ? imgFolder : imgDocument));
    item->setData(0, Qt::UserRole, int(folder ? frFolder : frFile));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  tlFiles->setUpdatesEnabled(true);
  // The first entry of the folder, else the ".." row.
  QTreeWidgetItem* first = tlFiles->topLevelItem(0);
  if (first && KindOf(*first) == frUp && tlFiles->topLevelItemCount() > 1) first = tlFiles->topLevelItem(1);
  if (first) {
    tlFiles->setCurrentItem(first);
    first->setSelected(true);
  }
}

// --- start-up -------------------------------------------------------------------

void TFormKestro::Clean() { Main().CleanTempFolders(); }

void TFormKestro::StartupDecisions() {
  FormHide();
  try {
    if (Main().Options().StartupAbout()) RunAboutDialog(this, Main().HomePage(), Main().LocalizerExt(), 1);
    bool triedOnline = false;
    if (!Main().SecondStart()) {
      const bool confirmed = aConfigurationExecute();
      Main().SetSecondStart(true);
      // A confirmed account is put to use at once.
      if (confirmed) {
        triedOnline = true;
        aOnline->trigger();
        SayOnlineState();
      }
    }
    if (Main().Options().StartupRun() && !triedOnline) aOnline->trigger();
  } catch (...) {
    LogDropped("start-up decisions");  // an error on the way must not keep the program out of reach
  }
  if (QSystemTrayIcon::isSystemTrayAvailable()) tiTray->show();
  aEnterListener->setEnabled(true);
}

// --- online cycle ------------------------------------------------------------------

void TFormKestro::SetOnline(bool goOnline) {
  QApplication::setOverrideCursor(Qt::BusyCursor);
  sbPanel0->setText(goOnline ? QStringLiteral(" Online...") : QStringLiteral(" Offline..."));
  aCheckSessionExecute();
  if (goOnline) {
    const TOnlineCycle::Failure failure = Cycle().GoOnline();
    FLastOnlineFailure = failure.Message;
    if (failure.Code != 0) {
      QApplication::restoreOverrideCursor();
      ShowOnlineState(false);  // offline while the error and the account dialog are up
      QStringList details;
      ReadLogDetails(failure.LogFile, details);
      ShowErrorDialog(this, failure.Message, details);
      aConfiguration->trigger();
      QApplication::setOverrideCursor(Qt::BusyCursor);
    }
  } else {
    Cycle().GoOffline();
  }
  QApplication::restoreOverrideCursor();
  const bool state = Online();
  ShowOnlineState(state);
  aCheckSessionExecute();
  emit OnlineChanged(state);
}

void TFormKestro::ShowOnlineState(bool online) {
  tiTray->setIcon(online ? FIconOnline : FIconOffline);
  sbPanel0->setText(!online                  ? QStringLiteral(" Offline")
                    : Cycle().PushActive() ? QStringLiteral(" Online (push)")
                                           : QStringLiteral(" Online"));
  setWindowIcon(online ? FIconOnline : FIconOffline);
}
