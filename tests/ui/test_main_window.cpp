// The main window on the offscreen platform: actions and their enabled rules,
// the State list commands, the panels, the hidden state, and the online cycle
// against the test mail servers.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <functional>
#include <QDateTime>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "WaitUntil.h"
#include "WindowTestEnvironment.h"
#include "core/Jobs.h"
#include "core/Providers.h"
#include "main/ClassMain.h"
#include "platform/Closing.h"
#include "platform/Settings.h"
#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "ui/FormKestro.h"
#include "ui/ServedList.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/NumberEdit.h"

namespace {

const auto* gEnvironment = ::testing::AddGlobalTestEnvironment(new WindowTestEnvironment("test_main_window"));

// Answers the modal dialogs that open while body runs: each is recorded by its
// title and texts, then closed.
struct ModalLog {
  QStringList Titles;
  QStringList Texts;
  QStringList Status;  // the status panel's text while each was up
};

ModalLog AnswerModals(const std::function<void()>& body, const QLabel* status = nullptr) {
  ModalLog log;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      log.Titles << modal->windowTitle();
      if (status) log.Status << status->text();
      QString texts;
      for (QLabel* l : modal->findChildren<QLabel*>()) texts += l->text() + '\n';
      for (QWidget* w : modal->findChildren<QWidget*>())
        if (w->metaObject()->indexOfProperty("plainText") >= 0) texts += w->property("plainText").toString() + '\n';
      log.Texts << texts;
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      else modal->close();
    }
  });
  watcher.start(50);
  body();
  watcher.stop();
  return log;
}

class MainWindow : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(conf.isValid());
    form = std::make_unique<TFormKestro>(std::make_unique<Engine>(conf.path()));
    form->Main().SetSecondStart(true);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  void TearDown() override { form.reset(); }

  // The enabled states of the State actions and the request actions, as "PRDCF LDR" letters.
  QString Enabled() {
    form->CheckState();
    QString s;
    for (QAction* a : {form->aProperties, form->aDelete, form->aClear, form->aCancel, form->aRefresh, form->aList,
                       form->aDownload})
      s += a->isEnabled() ? '1' : '0';
    return s;
  }

  void SetAccount(const QString& user, bool imap, const QString& password = {}) {
    TClassOptions& o = form->Main().Options();
    o.SetPop3Account(MailStack::Address(user));
    o.SetPop3Password(password.isEmpty() ? MailStack::Get().Password(user) : password);
    o.SetPop3Type(imap ? 1 : 0);
    o.SetPop3AccelTime(10);
  }

  QTemporaryDir conf;
  std::unique_ptr<TFormKestro> form;
};

}  // namespace

TEST_F(MainWindow, OpensAtItsSizeWithTitleAndCollapsedStatePanel) {
  EXPECT_EQ(form->size(), QSize(420, 610));
  EXPECT_EQ(form->windowTitle(), "Kestro 1.0.3.15");
  EXPECT_EQ(form->sbPanel0->text(), " Offline");
  EXPECT_EQ(form->pnState->height(), TFormKestro::kStateBarHeight - 1);
  EXPECT_FALSE(form->spBottom->handle(1)->isEnabled());
  EXPECT_TRUE(form->tlState->isColumnHidden(JobRowModel::colNumber));
  EXPECT_FALSE(form->tlState->isColumnHidden(JobRowModel::colState));
  EXPECT_EQ(form->aList->text(), "Go");
  EXPECT_EQ(form->aExit->shortcut(), QKeySequence("Alt+F4"));
  EXPECT_EQ(form->aState->shortcut(), QKeySequence("Shift+F1"));
}

TEST_F(MainWindow, EnabledStatesFollowTheRowsOffline) {
  // P R C S F L D: properties, remove, remove all, stop, refresh, go, download
  EXPECT_EQ(Enabled(), "0000000");
  form->JobRows().AddJobRow("20260301120000001", "$_list", "", "list", "bob@example.test");
  EXPECT_EQ(Enabled(), "0001000");  // an Active row: only Stop
  EXPECT_FALSE(form->tlState->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor,
            Qt::BusyCursor);
  form->JobRows().UpdateJobRow("20260301120000001", jsDone, "Done", false, 100);
  EXPECT_EQ(Enabled(), "1110000");  // finished rows only; offline: no Refresh, Go or Download
  EXPECT_TRUE(form->tlState->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindow, StopWritesTheFinishTimeAndStopped) {
  form->JobRows().AddJobRow("20260301120000001", "$_list", "", "list", "bob@example.test");
  form->tlState->setCurrentIndex(form->tlState->model()->index(0, 1));
  EXPECT_TRUE(form->RunAction(form->aCancel));
  const JobRow& row = form->JobRows().Row(0);
  EXPECT_EQ(row.State, jsStopped);
  EXPECT_FALSE(row.Finished.isEmpty());
  EXPECT_EQ(form->Main().StopJobId(), "20260301120000001");
  EXPECT_EQ(form->sbPanel1->text(), "      Stopped");
  // A row that is not Active is not stopped again.
  form->Main().SetStopJobId("");
  EXPECT_FALSE(form->RunAction(form->aCancel));
  EXPECT_EQ(form->Main().StopJobId(), "");
  // Remove, then remove all.
  form->JobRows().AddJobRow("20260301120000002", "$_list", "", "list", "bob@example.test");
  form->JobRows().UpdateJobRow("20260301120000002", jsDone, "Done", false, 100);
  form->tlState->setCurrentIndex(form->tlState->model()->index(1, 1));
  EXPECT_TRUE(form->RunAction(form->aDelete));
  ASSERT_EQ(form->JobRows().Count(), 1);
  EXPECT_EQ(form->JobRows().Row(0).Number, "20260301120000002");
  EXPECT_TRUE(form->RunAction(form->aClear));
  EXPECT_EQ(form->JobRows().Count(), 0);
}

TEST_F(MainWindow, ARequestThatWentOnFromTheLastRunIsTheCurrentRowAndCanBeStopped) {
  form.reset();
  {
    TClassMain main(nullptr, conf.path(), false);
    main.SetRequests({{"20260301120000001", "bob@example.test", "me@example.test", "list", "", 50, 0, 0, "12:00:00",
                       QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), ""}});
  }
  form = std::make_unique<TFormKestro>(std::make_unique<Engine>(conf.path()));
  ASSERT_EQ(form->JobRows().Count(), 1);
  EXPECT_EQ(form->JobRows().Row(0).State, jsActive);
  EXPECT_EQ(form->sbPanel1->text(), "      Progress: 50%");
  EXPECT_EQ(Enabled(), "0001000");
  EXPECT_TRUE(form->RunAction(form->aCancel));
  EXPECT_EQ(form->JobRows().Row(0).State, jsStopped);
  EXPECT_TRUE(form->Main().Requests().isEmpty());
}

TEST_F(MainWindow, StatePanelCollapsesAndExpands) {
  QTest::keyClick(form.get(), Qt::Key_F1, Qt::ShiftModifier);
  QApplication::processEvents();
  EXPECT_EQ(form->pnState->height(), TFormKestro::kStateExpanded);
  EXPECT_EQ(form->tlState->height(), TFormKestro::kStateExpanded - TFormKestro::kStateBarHeight);
  EXPECT_TRUE(form->spBottom->handle(1)->isEnabled());
  QTest::keyClick(form.get(), Qt::Key_F1, Qt::ShiftModifier);
  QApplication::processEvents();
  EXPECT_EQ(form->pnState->height(), TFormKestro::kStateBarHeight - 1);
  EXPECT_FALSE(form->spBottom->handle(1)->isEnabled());
}

TEST_F(MainWindow, ResizingKeepsGoAndTheStateButtonAtTheRightEnds) {
  form->aState->trigger();  // expanded, so the State bar is laid out in full
  for (int width : {420, 640, 300, 900}) {
    form->resize(width, 610);
    QApplication::processEvents();
    EXPECT_EQ(form->btList->geometry().right() + 1, form->tbAddress->width() - TFormKestro::kAddressIndent - 1) << width;
    EXPECT_EQ(form->cbAddress->geometry().right() + 1 + TFormKestro::kSeparatorWidth, form->btList->x()) << width;
    EXPECT_EQ(form->btState->geometry().right() + 1, form->tbState->width() - TFormKestro::kStateIndent) << width;
  }
}

TEST_F(MainWindow, HiddenStateDisablesShortcutsButAltF4) {
  form->FormHide();
  EXPECT_FALSE(form->aState->isEnabled());
  EXPECT_FALSE(form->aEnterListener->isEnabled());
  EXPECT_TRUE(form->aExit->isEnabled());
  const int before = form->pnState->height();
  form->RunAction(form->aState);
  EXPECT_EQ(form->pnState->height(), before);
  form->FormShow();
  EXPECT_TRUE(form->aState->isEnabled());
  EXPECT_TRUE(form->aEnterListener->isEnabled());
  EXPECT_TRUE(form->aEnterListener->shortcuts().contains(QKeySequence(Qt::Key_Return)));
}

TEST_F(MainWindow, EnterRunsTheActionOfTheFocusedControl) {
  int lists = 0, downloads = 0, properties = 0;
  QObject::connect(form->aList, &QAction::triggered, [&] { ++lists; });
  QObject::connect(form->aDownload, &QAction::triggered, [&] { ++downloads; });
  QObject::connect(form->aProperties, &QAction::triggered, [&] { ++properties; });
  // Offline, Go and Download are disabled: Enter does nothing in their controls.
  form->cbAddress->setFocus();
  QTest::keyClick(form->cbAddress, Qt::Key_Return);
  EXPECT_EQ(lists, 0);
  // A finished row: Enter in the State list opens its properties.
  form->JobRows().AddJobRow("20260301120000001", "$_list", "", "list", "bob@example.test");
  form->JobRows().UpdateJobRow("20260301120000001", jsDone, "Done", false, 100);
  form->CheckState();
  form->tlState->setFocus();
  form->tlState->setCurrentIndex(form->tlState->model()->index(0, 1));
  AnswerModals([&] { QTest::keyClick(form->tlState, Qt::Key_Return); });
  EXPECT_EQ(properties, 1);
  auto* item = new QTreeWidgetItem(form->tlFiles, QStringList{"a.txt", "1KB"});
  item->setSelected(true);
  form->tlFiles->setFocus();
  QTest::keyClick(form->tlFiles, Qt::Key_Return);
  EXPECT_EQ(downloads, 0);
}

TEST_F(MainWindow, GoingOnlineArmsTheTimerOverPop3AndImap4) {
  REQUIRE_MAILSTACK();
  for (bool imap : {false, true}) {
    SetAccount("alice", imap);
    const ModalLog modals = AnswerModals([&] { form->RunAction(form->aOnline); });
    EXPECT_TRUE(modals.Titles.isEmpty()) << modals.Titles.join(", ").toStdString();
    EXPECT_TRUE(form->Online()) << imap;
    EXPECT_TRUE(form->PollTimer().isActive());
    EXPECT_EQ(form->PollTimer().interval(), 10000);
    EXPECT_EQ(form->sbPanel0->text(), " Online");
    EXPECT_FALSE(form->aOnline->isEnabled());
    EXPECT_TRUE(form->aOffline->isEnabled());
    EXPECT_EQ(Enabled(), "0000010");  // online with an empty list: Go
    form->RunAction(form->aOffline);
    EXPECT_FALSE(form->Online());
    EXPECT_FALSE(form->PollTimer().isActive());
    EXPECT_EQ(form->sbPanel0->text(), " Offline");
  }
}

TEST_F(MainWindow, WrongPasswordShowsTheErrorAndTheAccountDialogAndStaysOffline) {
  REQUIRE_MAILSTACK();
  for (bool imap : {false, true}) {
    SetAccount("alice", imap, "Wrong-Secret-77");
    const QString stamp = form->Main().OnlineStamp();
    const ModalLog modals = AnswerModals([&] { form->RunAction(form->aOnline); }, form->sbPanel0);
    EXPECT_FALSE(form->Online());
    EXPECT_FALSE(form->PollTimer().isActive());
    EXPECT_GT(form->Main().OnlineStamp(), stamp);  // the attempt took a stamp
    ASSERT_EQ(modals.Titles.size(), 2) << modals.Titles.join(", ").toStdString();
    EXPECT_EQ(modals.Titles[0], "Error");
    EXPECT_EQ(modals.Status, QStringList({" Offline", " Offline"}));  // the error and the account dialog
    const QString server = imap ? "IMAP" : "POP3";
    EXPECT_TRUE(modals.Texts[0].contains("Unable to connect " + server + " Server.")) << modals.Texts[0].toStdString();
    // The code, and under it what it means.
    EXPECT_TRUE(modals.Texts[0].contains(QRegularExpression("Error code: 104\\r?\\nThe server refused the account name or password.")))
        << modals.Texts[0].toStdString();
    // The details are the session log without its first line.
    EXPECT_TRUE(modals.Texts[0].contains(imap ? "S: * OK" : "S: +OK")) << modals.Texts[0].toStdString();
    EXPECT_FALSE(modals.Texts[0].contains("session log,"));
    EXPECT_FALSE(modals.Texts[0].contains("Wrong-Secret-77"));
    const QString log = form->Main().LogFolder() + (imap ? "/imap4.log" : "/pop3.log");
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << log.toStdString();
    EXPECT_FALSE(file.readAll().contains("Wrong-Secret-77"));
  }
}

TEST_F(MainWindow, FirstStartOffersTheAccountDialogOnceAndStaysOffline) {
  form.reset();
  QTemporaryDir fresh;
  form = std::make_unique<TFormKestro>(std::make_unique<Engine>(fresh.path()));
  EXPECT_FALSE(form->Main().SecondStart());
  const ModalLog first = AnswerModals([&] { form->StartupDecisions(); });
  // The account dialog, named after the installation's provider ("GMail
  // Configuration" for a default installation); no about box, no error.
  const QString caption = ConfigurationCaption(FindMailProvider(InstallSettings::Current().Provider.Domain));
  EXPECT_EQ(first.Titles, QStringList{caption});
  if (!InstallSettings::Current().FileExists) {
    EXPECT_EQ(caption, "GMail Configuration");
  }
  EXPECT_TRUE(form->Main().SecondStart());  // also when the dialog was cancelled
  EXPECT_FALSE(form->Online());
  EXPECT_EQ(form->PollTimer().interval(), 10000);  // no stored options: the preset period
  form.reset();  // the exit writes the configuration

  form = std::make_unique<TFormKestro>(std::make_unique<Engine>(fresh.path()));
  const ModalLog second = AnswerModals([&] { form->StartupDecisions(); });
  EXPECT_TRUE(second.Titles.isEmpty()) << second.Titles.join(", ").toStdString();
  EXPECT_TRUE(form->aEnterListener->isEnabled() || !form->isVisible());
}

// The number of threads of this process now.
int ThreadCount() {
  QFile status("/proc/self/status");
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("Threads:")) return line.mid(8).trimmed().toInt();
  return -1;
}

// A configuration made only by the first start (the account dialog, no
// options stored): online, the timer polls at the preset period and never
// runs more than one pass at a time.
TEST_F(MainWindow, SharedListKeepsAtMostItsLimitOfRows) {
  ServedListModel& served = form->ServedList();
  served.Opened("20260101000000000", "friend@example.test", "download", "big.bin\r\n");  // still running
  for (int i = 1; i <= ServedListModel::kMaxRows + 50; ++i) {
    const QString number = QString("2026010100000%1").arg(i, 4, 10, QChar('0'));
    served.Opened(number, "stranger@example.test", "list", "");
    served.Changed(number, jsError, 0, "Error: User forbidden.");
  }
  ASSERT_EQ(served.Count(), ServedListModel::kMaxRows);
  EXPECT_EQ(served.At(0).Address, "friend@example.test");  // the running one stays
  EXPECT_EQ(served.At(served.Count() - 1).Number,
            QString("2026010100000%1").arg(ServedListModel::kMaxRows + 50, 4, 10, QChar('0')));
}

TEST_F(MainWindow, FirstStartThenOnlinePollsOnePassAtATime) {
  REQUIRE_MAILSTACK();
  MailStack::Get().Clear("alice");
  MailStack::Get().Clear("bob");
  form.reset();
  QTemporaryDir fresh;
  form = std::make_unique<TFormKestro>(std::make_unique<Engine>(fresh.path()));
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<TFormDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    dialog->edPOP3Account->setText(MailStack::Address("alice"));
    dialog->edPOP3Password->setText(MailStack::Get().Password("alice"));
    dialog->findChild<QPushButton*>("btOk")->click();
  });
  answer.start(50);
  form->StartupDecisions();
  answer.stop();
  ASSERT_EQ(form->Main().Options().Pop3AccelTime(), 0);
  if (!form->Online()) AnswerModals([&] { form->RunAction(form->aOnline); });
  ASSERT_TRUE(form->Online());
  EXPECT_EQ(form->PollTimer().interval(), 10000);

  // A few ticks of the timer (30 s), each waited for by its poller, and a
  // plain request from someone without Kestro is answered meanwhile.
  MailStack::Get().Drop("alice", RawMail("bob@example.test", "?_list", "<first-list@test>"));
  const int threadsBefore = ThreadCount();
  int mostRunning = 0, mostThreads = 0;
  const int started = form->Cycle().PollersStarted();
  EXPECT_TRUE(WaitUntil([&] {
    mostRunning = std::max(mostRunning, form->Cycle().RunningPollers());
    mostThreads = std::max(mostThreads, ThreadCount());
    return form->Cycle().PollersStarted() >= started + 3 && Subjects("bob").size() == 1;
  }, 120000));
  EXPECT_LE(mostRunning, 1);
  EXPECT_LE(mostThreads, threadsBefore + 10);
  EXPECT_LT(mostThreads, 30);
  ASSERT_EQ(Subjects("bob").size(), 1);
  EXPECT_TRUE(Subjects("bob")[0].startsWith("!_")) << Subjects("bob")[0].toStdString();
  form->RunAction(form->aOffline);
}

TEST_F(MainWindow, TicksOnlineStartPassesThatRemovePeerMailsAndLeaveTheOthers) {
  REQUIRE_MAILSTACK();
  const MailStack& stack = MailStack::Get();
  for (bool imap : {false, true}) {
    stack.Clear("alice");
    SetAccount("alice", imap);
    form->Cycle().SetPushEnabled(false);  // the timer's ticks alone start passes here
    AnswerModals([&] { form->RunAction(form->aOnline); });
    ASSERT_TRUE(form->Online());
    // A request older than this session, and an ordinary mail.
    stack.Drop("alice", RawMail("bob@example.test", "$_20000101000000000_Zm9vYg==", "<old-request@example.test>"));
    stack.Drop("alice", RawMail("bob@example.test", "Lunch on Friday?", "<lunch@example.test>"));
    // One pass at a time: the tick starts its poller once the last has ended.
    ASSERT_TRUE(WaitUntil([&] { return form->Cycle().RunningPollers() == 0; }));
    const int started = form->Cycle().PollersStarted();
    form->Cycle().Tick();
    EXPECT_EQ(form->Cycle().PollersStarted(), started + 1);
    WaitUntil([&] { return stack.Mails("alice").size() == 1; });
    const auto left = stack.Mails("alice");
    EXPECT_EQ(left.keys(), QStringList{"<lunch@example.test>"}) << imap;
    form->RunAction(form->aOffline);
    form->Cycle().Tick();  // offline ticks start nothing
    EXPECT_EQ(form->Cycle().PollersStarted(), started + 1);
  }
}

TEST_F(MainWindow, FileTreeSortsNamesWithoutCaseAndSizesByLength) {
  form->FillFileTree({{"b.txt", "1,000KB"}, {"A.txt", "999KB"}, {"c.txt", "2KB"}});
  auto names = [&] {
    QStringList list;
    for (int i = 0; i < form->tlFiles->topLevelItemCount(); ++i) list << form->tlFiles->topLevelItem(i)->text(0);
    return list;
  };
  EXPECT_EQ(names(), QStringList({"A.txt", "b.txt", "c.txt"}));
  EXPECT_TRUE(form->tlFiles->topLevelItem(0)->isSelected());
  form->tlFiles->sortByColumn(1, Qt::AscendingOrder);
  EXPECT_EQ(names(), QStringList({"c.txt", "A.txt", "b.txt"}));  // 999KB before 1,000KB
  form->FillFileTree({{"z", "0KB"}});  // a new listing replaces the old one
  EXPECT_EQ(names(), QStringList({"z"}));
}

TEST_F(MainWindow, FolderRowsComeFirstAndLeadInAndUp) {
  const QList<QPair<QString, QString>> listing = {
      {"b.txt", "1KB"}, {"Zoo/", "DIR"}, {"a/", "DIR"}, {"DIR", "2KB"}, {"c.txt/", "3KB"}};
  auto names = [&] {
    QStringList list;
    for (int i = 0; i < form->tlFiles->topLevelItemCount(); ++i) list << form->tlFiles->topLevelItem(i)->text(0);
    return list;
  };
  // At the top: no way up; a name is a folder only with "/" and "DIR".
  form->SetListingPlace("bob@example.test", "/");
  form->FillFileTree(listing);
  EXPECT_EQ(names(), QStringList({"a", "Zoo", "b.txt", "c.txt/", "DIR"}));
  EXPECT_EQ(form->cbAddress->currentText(), "bob@example.test");
  EXPECT_TRUE(form->tlFiles->topLevelItem(0)->isSelected());
  EXPECT_EQ(form->RowFolder(form->tlFiles->topLevelItem(1)), "/Zoo");
  EXPECT_EQ(form->RowFolder(form->tlFiles->topLevelItem(2)), "");
  form->tlFiles->sortByColumn(1, Qt::DescendingOrder);
  QStringList first = names().mid(0, 2);
  first.sort();
  EXPECT_EQ(first, QStringList({"Zoo", "a"}));  // folders first in either order
  form->tlFiles->sortByColumn(0, Qt::AscendingOrder);

  // Below the top: the ".." row leads up, and names are asked for with the path.
  form->SetListingPlace("bob@example.test", "/Trips/Beach");
  form->FillFileTree(listing);
  EXPECT_EQ(names(), QStringList({"..", "a", "Zoo", "b.txt", "c.txt/", "DIR"}));
  EXPECT_EQ(form->cbAddress->currentText(), "bob@example.test/Trips/Beach");
  EXPECT_TRUE(form->tlFiles->topLevelItem(1)->isSelected());  // the first entry, not the way up
  EXPECT_EQ(form->RowFolder(form->tlFiles->topLevelItem(0)), "/Trips");
  EXPECT_EQ(form->RowFolder(form->tlFiles->topLevelItem(1)), "/Trips/Beach/a");
  form->tlFiles->selectAll();
  EXPECT_EQ(form->SelectedFileList(false).split("\r\n", Qt::SkipEmptyParts).size(), 5);  // ".." is nothing to download
  form->tlFiles->clearSelection();
  form->tlFiles->topLevelItem(1)->setSelected(true);
  form->tlFiles->topLevelItem(3)->setSelected(true);
  EXPECT_EQ(form->SelectedFileList(true), "Trips/Beach/a\t\r\nTrips/Beach/b.txt\t1KB\r\n");
  form->SetListingPlace("bob@example.test", "/Trips");
  form->FillFileTree({});
  EXPECT_EQ(form->RowFolder(form->tlFiles->topLevelItem(0)), "/");
}

TEST(MainWindowPlace, AddressBoxTextIsAnAddressAndAFolder) {
  const struct {
    QString Text, Address, Folder, Shown;
  } cases[] = {
      {"bob@x.test", "bob@x.test", "/", "bob@x.test"},
      {" bob@x.test/Trips/Beach/ ", "bob@x.test", "/Trips/Beach", "bob@x.test/Trips/Beach"},
      {"bob@x.test/", "bob@x.test", "/", "bob@x.test"},
      {"a/b@x.test/c", "a/b@x.test", "/c", "a/b@x.test/c"},  // the folder starts after the domain
      {"nobody/x", "nobody/x", "/", "nobody/x"},
      {"", "", "/", ""},
  };
  for (const auto& c : cases) {
    const TFormKestro::Place place = TFormKestro::SplitPlace(c.Text);
    EXPECT_EQ(place.Address, c.Address) << c.Text.toStdString();
    EXPECT_EQ(place.Folder, c.Folder) << c.Text.toStdString();
    EXPECT_EQ(TFormKestro::PlaceText(place.Address, place.Folder), c.Shown) << c.Text.toStdString();
  }
}

TEST_F(MainWindow, ClosingWithoutATrayMinimisesAndKeepsRunning) {
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "this platform has a tray";
  form->StartupDecisions();  // the end of start-up, where a tray icon would be shown
  form->show();
  form->close();
  EXPECT_FALSE(IsClosing());
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(form->isVisible());  // on the task bar, not hidden
  // Minimising by the program's own command does the same.
  form->showNormal();
  form->RunAction(form->aMinimize);
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(IsClosing());
}

// Answers each question box that opens while body runs with key (Enter takes
// the default button), recording its text.
QStringList AnswerQuestions(Qt::Key key, QMessageBox::StandardButton click, const std::function<void()>& body) {
  QStringList texts;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    texts << box->text();
    if (click != QMessageBox::NoButton) box->button(click)->click();
    else QTest::keyClick(box, key);
  });
  watcher.start(50);
  body();
  watcher.stop();
  return texts;
}

TEST_F(MainWindow, ExitWithRunningRequestsAsksAndEnterKeepsTheProgramRunning) {
  // The tray menu's Exit is the same command.
  EXPECT_TRUE(form->pmTray->actions().contains(form->aExit));
  form->JobRows().AddJobRow("20260301120000001", "$_list", "", "list", "bob@example.test");
  QStringList asked = AnswerQuestions(Qt::Key_Return, QMessageBox::NoButton, [&] { form->RunAction(form->aExit); });
  EXPECT_EQ(asked, QStringList{"1 request is still running. Exit anyway?"});
  EXPECT_FALSE(IsClosing());

  form->JobRows().AddJobRow("20260301120000002", "$_download", "a.txt\r\n", "download", "carol@example.test");
  asked = AnswerQuestions(Qt::Key_Escape, QMessageBox::NoButton, [&] { form->RunAction(form->aExit); });
  EXPECT_EQ(asked, QStringList{"2 requests are still running. Exit anyway?"});
  EXPECT_FALSE(IsClosing());

  // Yes ends the program's event loop, as does Exit with nothing running.
  for (const bool running : {true, false}) {
    if (!running) form->JobRows().Clear();
    QTimer::singleShot(0, [&] {
      asked = AnswerQuestions(Qt::Key_unknown, QMessageBox::Yes, [&] { form->RunAction(form->aExit); });
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(asked.size(), running ? 1 : 0);
    EXPECT_TRUE(IsClosing());
    SetClosing(false);
  }
}

TEST_F(MainWindow, ARequestThatEndsOutOfSightIsTold) {
  QStringList told;
  QObject::connect(form.get(), &TFormKestro::Notified,
                   [&](const QString& title, const QString& text) { told << title + ": " + text; });
  form->hide();
  form->FormHide();
  // A failure also shows its own message box (posted): it is waited for and closed.
  int boxes = 0;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      ++boxes;
      box->reject();
    }
  });
  closer.start(20);
  auto report = [&](const QString& jobId, qint32 state, const QString& message) {
    const int before = boxes;
    form->Exchange().UpdateJobRow(jobId, state, message, false, 100);
    if (state == jsError) {
      EXPECT_TRUE(WaitUntil([&] { return boxes > before; }));
    }
  };
  struct Case {
    const char* JobId;
    const char* Command;
    qint32 State;
    const char* Message;
    const char* Told;  // empty: nothing
  };
  const Case cases[] = {
      {"20260301120000001", "download", jsDone, "Done", "Kestro: The download from bob@example.test is done."},
      {"20260301120000002", "list", jsError, "Error: Request timed out.",
       "Kestro: The list request to bob@example.test failed: Request timed out."},
      {"20260301120000003", "list", jsActive, "", ""},  // still running
  };
  for (const Case& c : cases) {
    told.clear();
    form->JobRows().AddJobRow(c.JobId, QString("$_") + c.Command, "", c.Command, "bob@example.test");
    report(c.JobId, c.State, c.Message);
    EXPECT_EQ(told, QString(c.Told).isEmpty() ? QStringList{} : QStringList{c.Told}) << c.JobId;
  }
  // A later report of an ended request is not told again.
  told.clear();
  report("20260301120000001", jsDone, "Done");
  EXPECT_TRUE(told.isEmpty());
  // Nor one that the user stopped.
  form->show();
  form->tlState->setCurrentIndex(form->tlState->model()->index(0, 1));  // the newest, Active
  ASSERT_TRUE(form->RunAction(form->aCancel));
  form->hide();
  report("20260301120000003", jsError, "Error: Stopped.");
  EXPECT_TRUE(told.isEmpty()) << told.join(", ").toStdString();
}

TEST_F(MainWindow, TheStatusBarSwitchChangesTheStateAndSaysHowItWent) {
  int code = 0;
  form->Cycle().SetAccountTest([&](const IncomingAccount&, bool, const QString&) { return code; });
  ASSERT_TRUE(form->statusBar()->isAncestorOf(form->btOnline));
  form->CheckState();
  EXPECT_EQ(form->btOnline->text(), "Go online");
  form->btOnline->click();
  EXPECT_TRUE(form->Online());
  EXPECT_EQ(form->sbPanel0->text(), " Online");
  EXPECT_TRUE(form->sbPanel1->text().startsWith("Online: ")) << form->sbPanel1->text().toStdString();
  EXPECT_EQ(form->btOnline->text(), "Go offline");
  form->btOnline->click();
  EXPECT_FALSE(form->Online());
  EXPECT_EQ(form->btOnline->text(), "Go online");

  // A failed test: the error and the account dialog, then the status bar says why.
  code = 104;
  const ModalLog modals = AnswerModals([&] { form->btOnline->click(); });
  EXPECT_EQ(modals.Titles.size(), 2);
  EXPECT_FALSE(form->Online());
  EXPECT_EQ(form->sbPanel0->text(), " Offline");
  EXPECT_TRUE(form->sbPanel1->text().startsWith("Offline: Unable to connect")) << form->sbPanel1->text().toStdString();
  EXPECT_TRUE(form->sbPanel1->text().contains("104"));
}

// The first start as a person makes it: the account dialog, then online at
// once when the account works; otherwise offline, and the status bar says why.
TEST_F(MainWindow, FirstStartGoesOnlineAfterTheAccountDialog) {
  REQUIRE_MAILSTACK();
  for (const bool rightPassword : {true, false}) {
    form.reset();
    QTemporaryDir fresh;
    form = std::make_unique<TFormKestro>(std::make_unique<Engine>(fresh.path()));
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* dialog = qobject_cast<TFormDialog*>(modal);
      if (!dialog) {
        if (auto* other = qobject_cast<QDialog*>(modal)) other->reject();  // the error of a failed test
        return;
      }
      dialog->edPOP3Account->setText(MailStack::Address("alice"));
      dialog->edPOP3Password->setText(rightPassword ? MailStack::Get().Password("alice") : "Wrong-Secret-77");
      dialog->findChild<QPushButton*>("btOk")->click();
    });
    answer.start(50);
    form->StartupDecisions();
    answer.stop();
    EXPECT_EQ(form->Online(), rightPassword);
    EXPECT_EQ(form->sbPanel0->text(), rightPassword ? " Online" : " Offline");
    const QString said = form->sbPanel1->text();
    EXPECT_TRUE(said.startsWith(rightPassword ? "Online: " : "Offline: Unable to connect")) << said.toStdString();
    if (form->Online()) form->RunAction(form->aOffline);
  }
}

// The first start with servers typed into the account dialog's "Servers"
// section: the installation names servers that answer nothing, the section
// points at the test stack (IMAP4 over TLS), and the program goes online with
// what was typed. The configuration keeps the servers for the next start.
TEST_F(MainWindow, FirstStartWithServersTypedIntoTheDialogGoesOnline) {
  REQUIRE_MAILSTACK();
  const MailStack& stack = MailStack::Get();
  const QByteArray before = qgetenv("KESTRO_SETTINGS");
  QTemporaryDir home;
  {
    QFile in(QString::fromLocal8Bit(before));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QStringList lines;
    for (const QString& line : QString::fromUtf8(in.readAll()).split('\n'))
      lines << (line.contains("_PORT=") ? line.section('=', 0, 0) + "=1" : line);  // nothing listens on port 1
    QFile out(home.path() + "/settings.ini");
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(lines.join('\n').toUtf8());
    qputenv("KESTRO_SETTINGS", out.fileName().toUtf8());
    InstallSettings::Reload();
  }
  struct Restore {
    QByteArray File;
    ~Restore() {
      qputenv("KESTRO_SETTINGS", File);
      InstallSettings::Reload();
    }
  } restore{before};
  ASSERT_EQ(InstallSettings::Current().Provider.Imap4Port, 1);

  form.reset();
  QTemporaryDir fresh;
  form = std::make_unique<TFormKestro>(std::make_unique<Engine>(fresh.path()));
  QStringList captions;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    auto* dialog = qobject_cast<TFormDialog*>(modal);
    if (!dialog) {
      if (auto* other = qobject_cast<QDialog*>(modal)) other->reject();
      return;
    }
    captions << dialog->windowTitle();
    QTest::keyClicks(dialog->edPOP3Account, MailStack::Address("alice"));
    dialog->edPOP3Password->setText(stack.Password("alice"));
    dialog->rbIMAP->click();
    dialog->btServers->click();
    auto retype = [](QLineEdit* box, const QString& text) {
      box->selectAll();
      QTest::keyClicks(box, text);
    };
    retype(dialog->edIncomingServer, "localhost");
    retype(dialog->edIncomingPort, QString::number(stack.Imap4Port()));
    retype(dialog->edOutgoingServer, "localhost");
    retype(dialog->edOutgoingPort, QString::number(stack.SmtpPort()));
    dialog->findChild<QPushButton*>("btOk")->click();
  });
  answer.start(50);
  form->StartupDecisions();
  answer.stop();
  ASSERT_EQ(captions.size(), 1) << captions.join('|').toStdString();
  EXPECT_TRUE(form->Online()) << form->sbPanel1->text().toStdString();
  const TClassOptions& o = form->Main().Options();
  EXPECT_TRUE(o.ServersChosen());
  EXPECT_EQ(o.Pop3Server(), "localhost");
  EXPECT_EQ(o.Pop3Port(), stack.Imap4Port());
  EXPECT_EQ(o.Pop3Security(), MailSecurity::Tls);
  EXPECT_EQ(o.SmtpServer(), "localhost");
  EXPECT_EQ(o.SmtpPort(), stack.SmtpPort());
  EXPECT_EQ(o.SmtpAddress(), MailStack::Address("alice"));
  if (form->Online()) form->RunAction(form->aOffline);
  form.reset();
  TClassMain again(nullptr, fresh.path(), false);
  EXPECT_EQ(again.Options().Pop3Server(), "localhost");
  EXPECT_EQ(again.Options().SmtpPort(), stack.SmtpPort());
}
