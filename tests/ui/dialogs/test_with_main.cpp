// The dialogs on a real application object: what OK changes reaches the
// configuration with the Save that follows, and Cancel changes nothing.
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "DialogTest.h"
#include "main/ClassMain.h"
#include "platform/Autostart.h"
#include "ui/dialogs/FormOptions.h"
#include "ui/dialogs/FormUsers.h"

namespace {

void ConfirmOptions(TClassMain& main, bool runAtStart, bool ok) {
  WhenModal<TFormOptions>([=](TFormOptions* form) {
    form->cbRunAtStart->setChecked(runAtStart);
    form->findChild<QPushButton*>(ok ? "btOk" : "btCancel")->click();
  });
  if (RunOptionsDialog(nullptr, main.Options())) main.Save();
}

}  // namespace

// Changing only " Run Kestro at System start-up" and confirming writes or
// removes the autostart entry at once, through Save.
TEST(DialogsWithMain, OptionsDialogSwitchesAutostart) {
  QTemporaryDir conf;
  RemoveAutostartEntry();
  TClassMain main(nullptr, conf.path());
  main.SetExeName("/opt/kestro/kestro");
  ASSERT_FALSE(main.Options().StartupSystem());

  ConfirmOptions(main, true, false);
  EXPECT_EQ(ReadAutostartEntry(), "");
  ConfirmOptions(main, true, true);
  EXPECT_TRUE(main.Options().StartupSystem());
  EXPECT_EQ(ReadAutostartEntry(), "/opt/kestro/kestro");
  ConfirmOptions(main, false, true);
  EXPECT_EQ(ReadAutostartEntry(), "");
}

// Friends sorted by the address header and confirmed are stored in that order
// and come back so from the configuration files.
TEST(DialogsWithMain, ShareDialogResultSurvivesARestart) {
  QTemporaryDir conf, shares;
  {
    TClassMain main(nullptr, conf.path(), false);
    for (const char* address : {"cat@x.test", "Amy@x.test", "bob@x.test"}) {
      TClassUser* user = main.Users().Add();
      user->SetAddress(address);
      user->SetFolder(shares.path());
    }
    main.Save();
    WhenModal<TFormUsers>([](TFormUsers* form) {
      QHeaderView* header = form->tlFriends->header();
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(10, header->height() / 2));
      form->aDisableAnonymous->trigger();
      form->findChild<QPushButton*>("btOk")->click();
    });
    ASSERT_TRUE(RunShareDialog(nullptr, main.Users(), main.Anonymous(), "x.test"));
    main.Save();
  }
  TClassMain again(nullptr, conf.path(), false);
  ASSERT_EQ(again.Users().Count(), 3);
  EXPECT_EQ(again.Users()[0]->Address(), "Amy@x.test");
  EXPECT_EQ(again.Users()[1]->Address(), "bob@x.test");
  EXPECT_EQ(again.Users()[2]->Address(), "cat@x.test");
  EXPECT_FALSE(again.Anonymous().Enabled());
}
