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
