// The share dialog, the friend editor, and the snapshot that serving threads read.
#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <vector>

#include "DialogTest.h"
#include "core/Users.h"
#include "ui/dialogs/FormUser.h"
#include "ui/dialogs/FormUsers.h"

namespace {

// A double click as a user makes it: a click, then the second press.
void DoubleClick(QTreeWidget* list, const QPoint& at) {
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

using Rows = std::vector<std::pair<QString, QString>>;

Rows RowsOf(const QTreeWidget* list) {
  Rows rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    rows.emplace_back(list->topLevelItem(i)->text(0), list->topLevelItem(i)->text(1));
  return rows;
}
Rows RowsOf(const TClassUserList& users) {
  Rows rows;
  for (int i = 0; i < users.Count(); ++i) rows.emplace_back(users[i]->Address(), users[i]->Folder());
  return rows;
}

// The friends and the anonymous share of an application, with real folders.
class ShareDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(FRoot.isValid());
    for (const char* name : {"amy", "bob", "cat", "anon", "new"}) QDir(FRoot.path()).mkdir(name);
    for (const auto& [address, folder] : Rows{{"bob@x.test", Folder("bob")},
                                              {"Amy@x.test", Folder("amy")},
                                              {"cat@x.test", Folder("cat")}}) {
      TClassUser* user = Users.add();
      user->SetAddress(address);
      user->SetFolder(folder);
      user->SetDownload(false);  // the dialog recreates friends with the preset flags
    }
    Anonymous.SetFolder(Folder("anon"));
    Anonymous.SetEnabled(true);
  }
  QString Folder(const char* name) const { return FRoot.path() + '/' + name; }

  QTemporaryDir FRoot;
  QObject FMain;
  struct UserList : TClassUserList {
    using TClassUserList::TClassUserList;
    TClassUser* add() { return Add(); }
  } Users{&FMain};
  TClassAnonymous Anonymous;
};

// Opens the editor through action and answers it with address and folder
// (an empty text leaves that box as the editor shows it), then OK.
void EditThrough(QAction* action, const QString& address, const QString& folder, QString* caption = nullptr,
                 QString* shownAddress = nullptr) {
  WhenModal<TFormUser>([=](TFormUser* editor) {
    if (caption) *caption = editor->windowTitle();
    if (shownAddress) *shownAddress = editor->edAddress->text();
    if (!address.isEmpty()) editor->edAddress->setText(address);
    if (!folder.isEmpty()) editor->edFolder->setText(folder);
    editor->findChild<QPushButton*>("btOk")->click();
  });
  action->trigger();
}

}  // namespace

TEST_F(ShareDialogTest, FillAndApplyKeepTheListAndResetTheRightFlags) {
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(Users, Anonymous);
  EXPECT_EQ(RowsOf(form.tlFriends), RowsOf(Users));
  EXPECT_EQ(RowsOf(form.tlAnonymous), (Rows{{"All Anonymous", Folder("anon")}}));
  EXPECT_TRUE(form.AnonymousOn());
  EXPECT_EQ(form.KnownAddressList(), ">bob@x.test>Amy@x.test>cat@x.test>");

  const Rows before = RowsOf(Users);
  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_EQ(RowsOf(Users), before);
  for (int i = 0; i < Users.Count(); ++i) {
    EXPECT_TRUE(Users[i]->Download() && Users[i]->Authent() && Users[i]->CmdLine() && Users[i]->ChangeDir());
    EXPECT_EQ(Users[i]->parent(), &FMain);
  }
  EXPECT_TRUE(Anonymous.Enabled());
}

// "May open subfolders" is what the user chose, for each friend and the
// anonymous share, through moves and edits; a new friend starts with it on.
TEST_F(ShareDialogTest, MayOpenSubfoldersIsKeptAsChosen) {
  Users[1]->SetChangeDir(false);  // Amy
  Anonymous.SetChangeDir(false);
  WhenModal<TFormUsers>([this](TFormUsers* form) {
    // Amy moves to the top: her right goes with her row.
    form->tlFriends->setCurrentItem(form->tlFriends->topLevelItem(1));
    form->aMoveUpFriend->trigger();
    // bob, now second, is edited: the box shows his right, and he loses it.
    form->tlFriends->setCurrentItem(form->tlFriends->topLevelItem(1));
    WhenModal<TFormUser>([](TFormUser* editor) {
      EXPECT_TRUE(editor->chChangeDir->isChecked());
      editor->chChangeDir->setChecked(false);
      editor->findChild<QPushButton*>("btOk")->click();
    });
    form->aEditFriend->trigger();
    WhenModal<TFormUser>([](TFormUser* editor) {
      EXPECT_TRUE(editor->chChangeDir->isChecked());  // a new friend: the preset
      editor->edAddress->setText("dan@x.test");
      editor->edFolder->setText(QDir::tempPath());
      editor->findChild<QPushButton*>("btOk")->click();
    });
    form->aAddFriend->trigger();
    WhenModal<TFormUser>([](TFormUser* editor) {
      EXPECT_FALSE(editor->chChangeDir->isChecked());
      editor->chChangeDir->setChecked(true);
      editor->findChild<QPushButton*>("btOk")->click();
    });
    form->aEditAnonymous->trigger();
    form->findChild<QPushButton*>("btOk")->click();
  });
  ASSERT_TRUE(RunShareDialog(nullptr, Users, Anonymous, "x.test"));
  ASSERT_EQ(Users.Count(), 4);
  const std::vector<std::pair<QString, bool>> expected = {
      {"Amy@x.test", false}, {"bob@x.test", false}, {"cat@x.test", true}, {"dan@x.test", true}};
  for (int i = 0; i < Users.Count(); ++i) {
    EXPECT_EQ(Users[i]->Address(), expected[i].first);
    EXPECT_EQ(Users[i]->ChangeDir(), expected[i].second) << expected[i].first.toStdString();
    EXPECT_TRUE(Users[i]->Download() && Users[i]->Authent() && Users[i]->CmdLine());  // the others: preset
  }
  EXPECT_TRUE(Anonymous.ChangeDir());
}

// Every kind of change, then Cancel: the application's objects stay as they were.
TEST_F(ShareDialogTest, CancelDiscardsEverything) {
  const Rows before = RowsOf(Users);
  WhenModal<TFormUsers>([this](TFormUsers* form) {
    form->tlFriends->setCurrentItem(form->tlFriends->topLevelItem(1));
    form->aMoveUpFriend->trigger();
    form->aRemoveFriend->trigger();
    EditThrough(form->aAddFriend, "dan", Folder("new"));
    form->aClearFriends->trigger();
    EXPECT_EQ(form->tlFriends->topLevelItemCount(), 0);
    form->aDisableAnonymous->trigger();
    form->findChild<QPushButton*>("btCancel")->click();
  });
  EXPECT_FALSE(RunShareDialog(nullptr, Users, Anonymous, "x.test"));
  EXPECT_EQ(RowsOf(Users), before);
  EXPECT_TRUE(Anonymous.Enabled());
  EXPECT_EQ(Users[0]->Download(), false);  // not even recreated
}

TEST_F(ShareDialogTest, OkStoresAddedEditedAndRemovedFriends) {
  WhenModal<TFormUsers>([this](TFormUsers* form) {
    QString caption, shown;
    EditThrough(form->aAddFriend, "", Folder("new"), &caption, &shown);  // accepted as offered
    EXPECT_EQ(caption, "New Friend");
    EXPECT_EQ(shown, "@x.test");
    EXPECT_EQ(form->tlFriends->currentItem(), form->tlFriends->topLevelItem(3));

    form->tlFriends->setCurrentItem(form->tlFriends->topLevelItem(0));
    EditThrough(form->aEditFriend, "  BOB@x.test ", "", &caption, &shown);  // same friend, new capitals
    EXPECT_EQ(caption, "Edit Friend");
    EXPECT_EQ(shown, "bob@x.test");

    form->tlFriends->setCurrentItem(form->tlFriends->topLevelItem(2));
    form->aRemoveFriend->trigger();
    QTest::keyClick(form, Qt::Key_Return);  // OK is the default button
  });
  EXPECT_TRUE(RunShareDialog(nullptr, Users, Anonymous, "x.test"));
  EXPECT_EQ(RowsOf(Users), (Rows{{"BOB@x.test", Folder("bob")}, {"Amy@x.test", Folder("amy")}, {"@x.test", Folder("new")}}));
}

TEST_F(ShareDialogTest, MovingRowsKeepsTheCurrentRowAndTheLimits) {
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(Users, Anonymous);
  QTreeWidget* list = form.tlFriends;
  EXPECT_EQ(list->currentItem(), list->topLevelItem(0));
  EXPECT_FALSE(form.aMoveUpFriend->isEnabled());
  EXPECT_TRUE(form.aMoveDownFriend->isEnabled());

  form.aMoveDownFriend->trigger();
  EXPECT_EQ(list->currentItem()->text(0), "bob@x.test");
  EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 1);
  form.aMoveDownFriend->trigger();
  EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 2);
  EXPECT_FALSE(form.aMoveDownFriend->isEnabled());
  form.aMoveDownFriend->trigger();  // disabled: nothing happens
  EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 2);
  form.aMoveUpFriend->trigger();
  EXPECT_EQ(list->indexOfTopLevelItem(list->currentItem()), 1);

  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_EQ(RowsOf(Users), (Rows{{"Amy@x.test", Folder("amy")}, {"bob@x.test", Folder("bob")}, {"cat@x.test", Folder("cat")}}));

  // An empty list disables every friend action but "Add Friend...".
  form.aClearFriends->trigger();
  for (QAction* a : {form.aEditFriend, form.aRemoveFriend, form.aClearFriends, form.aMoveUpFriend, form.aMoveDownFriend})
    EXPECT_FALSE(a->isEnabled()) << a->objectName();
  EXPECT_TRUE(form.aAddFriend->isEnabled());
}

// A click on a header sorts by that column, without regard to letter case, a
// second click reverses; OK stores the order shown.
TEST_F(ShareDialogTest, SortingByAHeaderIsTheStoredOrder) {
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(Users, Anonymous);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QHeaderView* header = form.tlFriends->header();
  auto clickHeader = [header](int column) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + 10, header->height() / 2));
  };
  clickHeader(0);
  EXPECT_EQ(form.tlFriends->topLevelItem(0)->text(0), "Amy@x.test");
  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_EQ(RowsOf(Users), (Rows{{"Amy@x.test", Folder("amy")}, {"bob@x.test", Folder("bob")}, {"cat@x.test", Folder("cat")}}));
  clickHeader(0);
  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_EQ(Users[0]->Address(), "cat@x.test");
  EXPECT_EQ(Users[2]->Address(), "Amy@x.test");
}

TEST_F(ShareDialogTest, DoubleClickEditsAFriend) {
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(Users, Anonymous);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QTreeWidget* list = form.tlFriends;
  const QRect cat = list->visualItemRect(list->topLevelItem(2));
  WhenModal<TFormUser>([&](TFormUser* editor) {
    EXPECT_EQ(editor->edAddress->text(), "cat@x.test");
    editor->edFolder->setText(Folder("new"));
    editor->findChild<QPushButton*>("btOk")->click();
  });
  DoubleClick(list, cat.center());
  EXPECT_EQ(list->topLevelItem(2)->text(1), Folder("new"));
}

// Off: the list is greyed out, editing it does nothing, and OK stores it off.
// On again: its folder can be edited, the address cannot.
TEST_F(ShareDialogTest, AnonymousShareOnAndOff) {
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(Users, Anonymous);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.aDisableAnonymous->trigger();
  EXPECT_FALSE(form.AnonymousOn());
  EXPECT_FALSE(form.tlAnonymous->isEnabled());
  EXPECT_FALSE(form.aEditAnonymous->isEnabled());
  EXPECT_TRUE(form.aEnableAnonymous->isEnabled());
  form.pcShares->setCurrentIndex(1);
  const QRect row = form.tlAnonymous->visualItemRect(form.tlAnonymous->topLevelItem(0));
  DoubleClick(form.tlAnonymous, row.center());
  form.aEditAnonymous->trigger();
  FlushEvents();
  EXPECT_EQ(qobject_cast<TFormUser*>(QApplication::activeModalWidget()), nullptr);  // no editor opened
  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_FALSE(Anonymous.Enabled());

  form.aEnableAnonymous->trigger();
  EXPECT_TRUE(form.tlAnonymous->isEnabled());
  EXPECT_FALSE(form.aEnableAnonymous->isEnabled());
  WhenModal<TFormUser>([&](TFormUser* editor) {
    EXPECT_EQ(editor->windowTitle(), "Edit Anonymous");
    EXPECT_FALSE(editor->edAddress->isEnabled());
    EXPECT_EQ(editor->edAddress->text(), "All Anonymous");
    editor->edFolder->setText(" " + Folder("new") + "\t");
    editor->findChild<QPushButton*>("btOk")->click();
  });
  DoubleClick(form.tlAnonymous, row.center());
  form.ApplyShareDialog(Users, Anonymous);
  EXPECT_TRUE(Anonymous.Enabled());
  EXPECT_EQ(Anonymous.Folder(), Folder("new"));
  EXPECT_EQ(Anonymous.Address(), "All Anonymous");
}

// The editor's checks in their order; the boxes show the trimmed texts after
// any check, and nothing closes the editor but a passing check.
TEST_F(ShareDialogTest, FriendEditorChecks) {
  QFile file(Folder("a-file"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const QString known = ">bob@x.test>Amy@x.test>  cat@x.test >";
  const struct {
    bool IsNew;
    QString Old, Address, Folder;
    QString Message;  // empty: accepted
  } cases[] = {
      {true, "", "   \t", "", "Address is empty."},
      {true, "", "", Folder("new"), "Address is empty."},
      {true, "", " AMY@X.TEST ", Folder("new"), "User with the same Address is already exists."},
      {true, "", "cat@x.test", Folder("new"), "User with the same Address is already exists."},
      {true, "", "amy@x.test", "", "User with the same Address is already exists."},  // address first
      {false, "bob@x.test", "amy@x.test", Folder("new"), "User with the same Address is already exists."},
      {false, "bob@x.test", "Bob@X.test", Folder("new"), ""},  // keeps its own address
      {false, "bob@x.test", "bob@x.test", "  ", "Folder is empty."},
      {true, "", "dan@x.test", "", "Folder is empty."},
      {true, "", "dan@x.test", Folder("missing"), "Folder not exists or is inaccessible."},
      {true, "", "dan@x.test", Folder("a-file"), "Folder not exists or is inaccessible."},
      {true, "", "x.test>dan", Folder("new"), ""},  // no match across the separators
      {true, "", " dan@x.test\r\n", "\t" + Folder("new") + " ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Address << " | " << c.Folder);
    TFormUser editor;
    editor.IsNew = c.IsNew;
    editor.OldAddress = c.Old;
    editor.KnownAddresses = known;
    editor.edAddress->setText(c.Address);
    editor.edFolder->setText(c.Folder);
    editor.show();
    std::shared_ptr<MessageCapture> message;
    if (!c.Message.isEmpty()) message = AnswerMessageBox();
    editor.findChild<QPushButton*>("btOk")->click();
    if (message) {
      EXPECT_TRUE(message->Shown);
      EXPECT_EQ(message->Text, c.Message);
      EXPECT_EQ(message->Icon, QMessageBox::Critical);
      EXPECT_TRUE(editor.isVisible());
      EXPECT_NE(editor.result(), QDialog::Accepted);
    } else {
      EXPECT_EQ(editor.result(), QDialog::Accepted);
    }
    EXPECT_EQ(editor.edAddress->text(), c.Address.trimmed());
    EXPECT_EQ(editor.edFolder->text(), c.Folder.trimmed());
  }
}
