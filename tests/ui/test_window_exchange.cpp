// The window as the user drives it, against a Kestro of a friend running as a
// process of its own on the test mail servers: "Go" lists the friend's share
// into the file tree, "Download" brings the selected files into the download folder.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QMap>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "Peers.h"
#include "core/Jobs.h"
#include "main/ClassMain.h"
#include "platform/Closing.h"
#include "platform/Settings.h"
#include "ui/FormKestro.h"
#include "ui/ServedList.h"

namespace {
int gArgc = 1;
char gName[] = "test_window_exchange";
char* gArgv[] = {gName, nullptr};

// Clicks "OK" of every modal dialog that opens while body runs.
void ConfirmModals(const std::function<void()>& body) {
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [] {
    if (QWidget* modal = QApplication::activeModalWidget())
      if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("btOk"))) ok->click();
  });
  watcher.start(50);
  body();
}

// The peer's Kestro with its window, shown, unpaced, its temporary folders emptied.
std::unique_ptr<TFormKestro> OpenWindow(const PeerDir& peer, const QString& root) {
  qputenv("KESTRO_SETTINGS", peer.Settings().toUtf8());
  qputenv("KESTRO_RUNTIME_DIR", peer.Runtime().toUtf8());
  qputenv("XDG_CONFIG_HOME", (root + "/xdg").toUtf8());
  InstallSettings::Reload();
  SetPaceFactor(0);
  auto form = std::make_unique<TFormKestro>(std::make_unique<Engine>(peer.Conf()));
  form->Clean();
  form->show();
  return form;
}

QStringList FileNames(const QTreeWidget* tree) {
  QStringList names;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) names << tree->topLevelItem(i)->text(0);
  return names;
}
}  // namespace

TEST(WindowExchange, GoListsTheFriendsShareAndDownloadBringsTheFiles) {
  REQUIRE_MAILSTACK();
  QApplication app(gArgc, gArgv);
  QTemporaryDir root;
  MailStack::Get().Clear("alice");
  MailStack::Get().Clear("bob");

  // Bob shares a folder with alice and runs Kestro without a window.
  const PeerDir bob = PeerDir::Make(root.path(), "bob", false);
  const QString share = root.path() + "/bob-share";
  QDir().mkpath(share);
  const QByteArray report = RandomBytes(300000, 1), notes = "Buy milk.\r\n";
  ASSERT_TRUE(WriteFile(share + "/report.bin", report));
  ASSERT_TRUE(WriteFile(share + "/notes.txt", notes));
  ASSERT_TRUE(WriteFile(share + "/skipped.txt", "not asked for"));
  const PeerDir alice = PeerDir::Make(root.path(), "alice", true);
  CtlOk(bob, {"friend", "add", bob.Conf(), alice.Address(), share});
  RunningPeer bobRuns(bob);
  ASSERT_TRUE(bobRuns.Online());

  // Alice's window, over IMAP4.
  auto form = OpenWindow(alice, root.path());
  const QString downloads = root.path() + "/downloads";
  QDir().mkpath(downloads);
  form->Main().Options().SetDownloadFolder(downloads);
  form->RunAction(form->aOnline);
  ASSERT_TRUE(form->Online());

  form->cbAddress->setEditText(bob.Address());
  form->CheckState();
  form->cbAddress->setFocus();
  QTest::keyClick(form->cbAddress, Qt::Key_Return);  // Enter in the address box is "Go"
  ASSERT_EQ(form->JobRows().Count(), 1);
  EXPECT_EQ(form->JobRows().Row(0).State, jsActive);
  form->CheckState();
  EXPECT_FALSE(form->aList->isEnabled());  // one request at a time
  ASSERT_TRUE(WaitUntil([&] { return form->JobRows().Row(0).State != jsActive; }, 120000));
  EXPECT_EQ(form->JobRows().Row(0).State, jsDone) << form->JobRows().Row(0).Info.toStdString();
  QStringList names = FileNames(form->tlFiles);
  names.sort();
  EXPECT_EQ(names, QStringList({"notes.txt", "report.bin", "skipped.txt"}));
  EXPECT_EQ(form->cbAddress->currentText(), bob.Address());
  EXPECT_EQ(form->cbAddress->count(), 1);  // the address went into the history

  form->tlFiles->clearSelection();
  for (int i = 0; i < form->tlFiles->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = form->tlFiles->topLevelItem(i);
    if (item->text(0) != "skipped.txt") item->setSelected(true);
  }
  form->CheckState();
  ConfirmModals([&] { ASSERT_TRUE(form->RunAction(form->aDownload)); });
  ASSERT_EQ(form->JobRows().Count(), 2);
  EXPECT_EQ(form->JobRows().Row(0).Action, "download");
  ASSERT_TRUE(WaitUntil([&] { return form->JobRows().Row(0).State != jsActive; }, 180000));
  EXPECT_EQ(form->JobRows().Row(0).State, jsDone) << form->JobRows().Row(0).Info.toStdString();
  EXPECT_EQ(form->JobRows().Row(0).Progress, 100);
  EXPECT_EQ(ReadFile(downloads + "/report.bin"), report);
  EXPECT_EQ(ReadFile(downloads + "/notes.txt"), notes);
  EXPECT_FALSE(QFile::exists(downloads + "/skipped.txt"));
  EXPECT_EQ(form->sbPanel1->text(), "      Done");

  form.reset();
  EXPECT_EQ(bobRuns.Stop(), 0);
}

// A double click as a user makes it on the row named name: a click, then the second press.
void DoubleClickRow(QTreeWidget* tree, const QString& name) {
  const QList<QTreeWidgetItem*> found = tree->findItems(name, Qt::MatchExactly, 0);
  ASSERT_EQ(found.size(), 1) << name.toStdString();
  const QPoint at = tree->visualItemRect(found[0]).center();
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}

TEST(WindowExchange, FolderRowsOpenGoUpAndDownloadWithWhatTheyHold) {
  REQUIRE_MAILSTACK();
  QApplication app(gArgc, gArgv);
  QTemporaryDir root;
  MailStack::Get().Clear("alice");
  MailStack::Get().Clear("bob");
  const PeerDir bob = PeerDir::Make(root.path(), "bob", false);
  const QString share = root.path() + "/bob-share";
  ASSERT_TRUE(WriteFile(share + "/notes.txt", "Buy milk.\r\n"));
  ASSERT_TRUE(WriteFile(share + "/Trips/map.txt", "north is up\n"));
  ASSERT_TRUE(WriteFile(share + "/Trips/Beach/shell.txt", "a shell\n"));
  const PeerDir alice = PeerDir::Make(root.path(), "alice", false);
  CtlOk(bob, {"friend", "add", bob.Conf(), alice.Address(), share});
  RunningPeer bobRuns(bob);
  ASSERT_TRUE(bobRuns.Online());

  auto form = OpenWindow(alice, root.path());
  const QString downloads = root.path() + "/downloads";
  QDir().mkpath(downloads);
  form->Main().Options().SetDownloadFolder(downloads);
  form->RunAction(form->aOnline);
  ASSERT_TRUE(form->Online());
  // Runs a step that lists, and waits for the listing to be shown.
  const auto listed = [&](const std::function<void()>& step) {
    const int before = form->JobRows().Count();
    form->CheckState();
    step();
    EXPECT_EQ(form->JobRows().Count(), before + 1);
    EXPECT_TRUE(WaitUntil([&] { return form->JobRows().Row(0).State != jsActive; }, 120000));
    EXPECT_EQ(form->JobRows().Row(0).State, jsDone) << form->JobRows().Row(0).Info.toStdString();
    return FileNames(form->tlFiles);
  };

  // The top: the folder first, with the folder image, and no way up.
  form->cbAddress->setEditText(bob.Address());
  ASSERT_EQ(listed([&] { form->RunAction(form->aList); }), QStringList({"Trips", "notes.txt"}));
  EXPECT_EQ(form->tlFiles->topLevelItem(0)->text(1), "");
  EXPECT_NE(form->tlFiles->topLevelItem(0)->icon(0).pixmap(16).toImage(),
            form->tlFiles->topLevelItem(1)->icon(0).pixmap(16).toImage());
  // The other order keeps the folders first.
  form->tlFiles->sortByColumn(0, Qt::DescendingOrder);
  EXPECT_EQ(FileNames(form->tlFiles), QStringList({"Trips", "notes.txt"}));
  form->tlFiles->sortByColumn(0, Qt::AscendingOrder);

  // A double click opens the folder; the address box says where we are.
  EXPECT_EQ(listed([&] { DoubleClickRow(form->tlFiles, "Trips"); }), QStringList({"..", "Beach", "map.txt"}));
  EXPECT_EQ(form->cbAddress->currentText(), bob.Address() + "/Trips");
  EXPECT_EQ(form->ListingFolder(), "/Trips");
  // Enter on a folder opens it too.
  form->tlFiles->setCurrentItem(form->tlFiles->findItems("Beach", Qt::MatchExactly)[0]);
  form->tlFiles->setFocus();
  EXPECT_EQ(listed([&] { QTest::keyClick(form->tlFiles, Qt::Key_Return); }), QStringList({"..", "shell.txt"}));
  EXPECT_EQ(form->cbAddress->currentText(), bob.Address() + "/Trips/Beach");
  // ".." goes up.
  EXPECT_EQ(listed([&] { DoubleClickRow(form->tlFiles, ".."); }), QStringList({"..", "Beach", "map.txt"}));
  EXPECT_EQ(form->cbAddress->currentText(), bob.Address() + "/Trips");

  // Downloading a folder row: the folder with what it holds, and a file beside it.
  form->tlFiles->clearSelection();
  for (const char* name : {"Beach", "map.txt", ".."}) form->tlFiles->findItems(name, Qt::MatchExactly)[0]->setSelected(true);
  form->CheckState();
  ConfirmModals([&] { ASSERT_TRUE(form->RunAction(form->aDownload)); });
  EXPECT_EQ(form->JobRows().Row(0).Text, "Trips/Beach\r\nTrips/map.txt\r\n");
  ASSERT_TRUE(WaitUntil([&] { return form->JobRows().Row(0).State != jsActive; }, 180000));
  EXPECT_EQ(form->JobRows().Row(0).State, jsDone) << form->JobRows().Row(0).Info.toStdString();
  EXPECT_EQ(ReadFile(downloads + "/Beach/shell.txt"), "a shell\n");
  EXPECT_EQ(ReadFile(downloads + "/map.txt"), "north is up\n");

  // A place typed into the address box, then Enter.
  form->cbAddress->setEditText(bob.Address() + "/Trips/Beach/");
  form->activateWindow();  // back from the download dialog
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->cbAddress->setFocus();
  EXPECT_EQ(listed([&] { QTest::keyClick(form->cbAddress, Qt::Key_Return); }), QStringList({"..", "shell.txt"}));
  EXPECT_EQ(form->JobRows().Row(0).Address, bob.Address());

  form.reset();
  EXPECT_EQ(bobRuns.Stop(), 0);
}

TEST(WindowExchange, SharedListShowsWhatWasServedAndRefused) {
  REQUIRE_MAILSTACK();
  QApplication app(gArgc, gArgv);
  QTemporaryDir root;
  for (const char* user : {"alice", "bob", "carol"}) MailStack::Get().Clear(user);

  // Bob's window serves a folder to alice; carol is no friend.
  const PeerDir bob = PeerDir::Make(root.path(), "bob", false);
  const QString share = root.path() + "/bob-share";
  ASSERT_TRUE(WriteFile(share + "/notes.txt", "Buy milk.\r\n"));
  CtlOk(bob, {"friend", "add", bob.Conf(), "alice@example.test", share});
  auto form = OpenWindow(bob, root.path());
  form->RunAction(form->aOnline);
  ASSERT_TRUE(form->Online());

  MailStack::Get().Drop("bob", RawMail("alice@example.test", "?_list", "<shared-1@test>"));
  MailStack::Get().Drop("bob", RawMail("carol@example.test", "?_download", "<shared-2@test>",
                                       "Content-Type: text/plain\r\n\r\nnotes.txt\r\n"));
  ServedListModel& served = form->ServedList();
  ASSERT_TRUE(WaitUntil([&] {
    if (served.Count() < 2) return false;
    for (int i = 0; i < served.Count(); ++i)
      if (served.At(i).State == jsActive) return false;
    return true;
  }, 120000));
  QMap<QString, ServedListModel::Row> byAddress;
  for (int i = 0; i < served.Count(); ++i) byAddress[served.At(i).Address] = served.At(i);
  ASSERT_EQ(byAddress.size(), 2);
  EXPECT_EQ(byAddress["alice@example.test"].Request, "list");
  EXPECT_EQ(byAddress["alice@example.test"].Result, "Done");
  EXPECT_EQ(byAddress["carol@example.test"].Request, "download");
  EXPECT_EQ(byAddress["carol@example.test"].Result, "Error: User forbidden.");

  // The list is a tab beside the State list; Remove All clears the one shown.
  EXPECT_FALSE(form->tlShared->isVisible());
  form->tbLists->setCurrentIndex(1);
  EXPECT_TRUE(form->tlShared->isVisible());
  EXPECT_FALSE(form->tlState->isVisible());
  form->CheckState();
  ASSERT_TRUE(form->RunAction(form->aClear));
  EXPECT_EQ(served.Count(), 0);

  form.reset();
}
