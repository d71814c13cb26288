// The options dialog and the account configuration dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>

#include "DialogTest.h"
#include "core/Options.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/FormOptions.h"
#include "ui/dialogs/NumberEdit.h"

namespace {

ProviderSettings TestProvider() {
  ProviderSettings p;
  p.Pop3Server = "pop.example.test";
  p.Pop3Port = 995;
  p.Imap4Server = "imap.example.test";
  p.Imap4Port = 993;
  p.Domain = "example.test";
  return p;
}

// Options as a loaded configuration holds them, all within the limits.
void SetTypical(TClassOptions& o) {
  o.SetStartupSystem(false);
  o.SetStartupRun(true);
  o.SetStartupTray(false);
  o.SetDownloadFolder("/home/me/Downloads");
  o.SetPop3AccelTime(30);
  o.SetAttachCompress(3);
  o.SetAttachVolume(10000000);
  o.SetTimeoutClient(3600);
}

struct OptionValues {
  bool System, Run, Tray;
  QString Folder;
  qint32 Accel, Compress, Volume, Timeout;
  bool operator==(const OptionValues&) const = default;
};
OptionValues ValuesOf(const TClassOptions& o) {
  return {o.StartupSystem(), o.StartupRun(),     o.StartupTray(),  o.DownloadFolder(),
          o.Pop3AccelTime(), o.AttachCompress(), o.AttachVolume(), o.TimeoutClient()};
}
std::ostream& operator<<(std::ostream& os, const OptionValues& v) {
  return os << v.System << v.Run << v.Tray << ' ' << v.Folder << ' ' << v.Accel << ' ' << v.Compress << ' '
            << v.Volume << ' ' << v.Timeout;
}

// Changes every control of the dialog.
void EditEverything(TFormOptions* form) {
  form->cbRunAtStart->setChecked(true);
  form->cbActivateAtRun->setChecked(false);
  form->cbRunInTray->setChecked(true);
  form->edDownloadFolder->setText("  /srv/in  ");
  form->edPOP3AcceleratorTime->setText("60");
  form->edCompressionMethod->setCurrentText("best");
  form->edVolumeSize->setText("2000000");
  form->edDownloadTimeout->setText("7200");
}

}  // namespace

TEST(OptionsDialog, OkWritesEveryControlAndCancelNothing) {
  TClassOptions options(nullptr, TestProvider());
  SetTypical(options);
  const OptionValues before = ValuesOf(options);

  WhenModal<TFormOptions>([](TFormOptions* form) {
    EditEverything(form);
    form->findChild<QPushButton*>("btCancel")->click();
  });
  EXPECT_FALSE(RunOptionsDialog(nullptr, options));
  EXPECT_EQ(ValuesOf(options), before);

  WhenModal<TFormOptions>([](TFormOptions* form) {
    EditEverything(form);
    form->findChild<QPushButton*>("btOk")->click();
  });
  EXPECT_TRUE(RunOptionsDialog(nullptr, options));
  // The folder is taken as typed: neither trimmed nor checked.
  EXPECT_EQ(ValuesOf(options), (OptionValues{true, false, true, "  /srv/in  ", 60, 9, 2000000, 7200}));
}

TEST(OptionsDialog, FillShowsTheOptions) {
  TClassOptions options(nullptr, TestProvider());
  SetTypical(options);
  options.SetStartupTray(true);
  TFormOptions form;
  form.Fill(options);
  EXPECT_FALSE(form.cbRunAtStart->isChecked());
  EXPECT_TRUE(form.cbActivateAtRun->isChecked());
  EXPECT_TRUE(form.cbRunInTray->isChecked());
  EXPECT_EQ(form.edDownloadFolder->text(), "/home/me/Downloads");
  EXPECT_EQ(form.edPOP3AcceleratorTime->text(), "30");
  EXPECT_EQ(form.edCompressionMethod->currentText(), "Fast");
  EXPECT_EQ(form.edVolumeSize->text(), "10,000,000");
  EXPECT_EQ(form.edDownloadTimeout->text(), "3600");
}

// Each name stands for its level; a level that is none of them shows "Normal"
// and confirming without touching the list stores 6; a typed text that is none
// of the names keeps the level.
TEST(OptionsDialog, CompressionNamesAndLevels) {
  const struct {
    qint32 Stored;
    QString Shown;
    QString Typed;  // empty: leave the box alone
    qint32 Confirmed;
  } cases[] = {
      {0, "Store", "", 0},     {1, "Fastest", "", 1},    {3, "Fast", "", 3},      {6, "Normal", "", 6},
      {8, "Good", "", 8},      {9, "Best", "", 9},       {5, "Normal", "", 6},    {-1, "Normal", "", 6},
      {3, "Fast", "GOOD", 8},  {3, "Fast", "fastest", 1}, {3, "Fast", "Ultra", 3}, {5, "Normal", "Normal ", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Stored << " " << c.Typed);
    TClassOptions options(nullptr, TestProvider());
    SetTypical(options);
    options.SetAttachCompress(c.Stored);
    TFormOptions form;
    EXPECT_EQ(form.edCompressionMethod->currentText(), "Normal");
    EXPECT_EQ(form.edCompressionMethod->count(), 6);
    form.Fill(options);
    EXPECT_EQ(form.edCompressionMethod->currentText(), c.Shown);
    if (!c.Typed.isEmpty()) form.edCompressionMethod->setCurrentText(c.Typed);
    form.Apply(options);
    EXPECT_EQ(options.AttachCompress(), c.Confirmed);
  }
}

// The number boxes take only digits, no more than their length, and give a
// value within their limits whatever was typed.
TEST(OptionsDialog, NumberBoxesKeepTheirLimits) {
  TFormOptions form;
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  const struct {
    TNumberEdit* Box;
    const char* Typed;
    const char* Shown;  // after the box is left
    qint64 Value;
  } cases[] = {
      {form.edPOP3AcceleratorTime, "5", "10", 10},
      {form.edPOP3AcceleratorTime, "600", "600", 600},
      {form.edPOP3AcceleratorTime, "12x3", "123", 123},        // the letter is refused
      {form.edPOP3AcceleratorTime, "24192001", "241920", 241920},  // 6 characters at most
      {form.edPOP3AcceleratorTime, "", "10", 10},
      {form.edDownloadTimeout, "100", "360", 360},
      {form.edDownloadTimeout, "999999", "999999", 999999},
      {form.edDownloadTimeout, "-5", "360", 360},
      {form.edVolumeSize, "999", "1,000,000", 1000000},
      {form.edVolumeSize, "99999999", "25,000,000", 25000000},
      {form.edVolumeSize, "123456789", "12,345,678", 12345678},  // 8 characters at most
      {form.edVolumeSize, "5,000,000", "5,000,000", 5000000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Box->objectName().toStdString() << " " << c.Typed);
    c.Box->clear();
    c.Box->setFocus();
    QTest::keyClicks(c.Box, c.Typed);
    EXPECT_EQ(c.Box->Value(), c.Value);
    form.edDownloadFolder->setFocus();  // leaving the box shows the value taken
    EXPECT_EQ(c.Box->text(), c.Shown);
  }
  EXPECT_EQ(form.edPOP3AcceleratorTime->MinValue(), 10);
  EXPECT_EQ(form.edPOP3AcceleratorTime->MaxValue(), 2419200);
  EXPECT_EQ(form.edDownloadTimeout->MinValue(), 360);
  EXPECT_EQ(form.edDownloadTimeout->MaxValue(), 2419200);
  EXPECT_EQ(form.edVolumeSize->MinValue(), 1000000);
  EXPECT_EQ(form.edVolumeSize->MaxValue(), 25000000);
}

// Without a configuration file the numbers read 0; a stored number outside
// the limits is no better. The dialog shows the values in effect, the presets,
// and OK without touching anything stores those, not the lower limits.
TEST(OptionsDialog, NumbersNotWithinTheLimitsShowAndStoreThePresets) {
  const struct {
    qint32 Accel, Volume, Timeout;
  } stored[] = {{0, 0, 0}, {9, 999999, 359}, {2419201, 25000001, 2419201}, {-1, -1, -1}};
  for (const auto& c : stored) {
    SCOPED_TRACE(testing::Message() << c.Accel << ' ' << c.Volume << ' ' << c.Timeout);
    TClassOptions options(nullptr, TestProvider());
    options.SetPop3AccelTime(c.Accel);
    options.SetAttachVolume(c.Volume);
    options.SetTimeoutClient(c.Timeout);
    QString shownAccel, shownVolume, shownTimeout;
    WhenModal<TFormOptions>([&](TFormOptions* form) {
      shownAccel = form->edPOP3AcceleratorTime->text();
      shownVolume = form->edVolumeSize->text();
      shownTimeout = form->edDownloadTimeout->text();
      form->findChild<QPushButton*>("btOk")->click();
    });
    EXPECT_TRUE(RunOptionsDialog(nullptr, options));
    EXPECT_EQ(shownAccel, "10");
    EXPECT_EQ(shownVolume, "10,000,000");
    EXPECT_EQ(shownTimeout, "3600");
    EXPECT_EQ(options.Pop3AccelTime(), 10);
    EXPECT_EQ(options.AttachVolume(), 10000000);
    EXPECT_EQ(options.TimeoutClient(), 3600);
  }
}

TEST(OptionsDialog, PageListSwitchesThePages) {
  TFormOptions form;
  ASSERT_EQ(form.tlOptions->topLevelItemCount(), 2);
  EXPECT_EQ(form.tlOptions->topLevelItem(0)->text(0), "General");
  EXPECT_EQ(form.tlOptions->topLevelItem(1)->text(0), "Messages");
  EXPECT_EQ(form.nbOptions->currentIndex(), 0);
  EXPECT_TRUE(form.nbOptions->currentWidget()->isAncestorOf(form.cbRunAtStart));
  form.tlOptions->setCurrentItem(form.tlOptions->topLevelItem(1));
  EXPECT_EQ(form.nbOptions->currentIndex(), 1);
  EXPECT_TRUE(form.nbOptions->currentWidget()->isAncestorOf(form.edVolumeSize));
  form.tlOptions->setCurrentItem(form.tlOptions->topLevelItem(0));
  EXPECT_EQ(form.nbOptions->currentIndex(), 0);
}

// "..." opens the folder browser at the folder in the box; a confirmed folder
// replaces the text, a cancelled browser leaves it.
TEST(OptionsDialog, FolderBrowserFillsTheBox) {
  QTemporaryDir start, chosen;
  TFormOptions form;
  form.show();
  form.edDownloadFolder->setText(start.path());
  auto* select = form.findChild<QPushButton*>("btSelect");
  ASSERT_TRUE(select);

  QString shownText, startedAt;
  WhenModal<QFileDialog>([&](QFileDialog* browser) {
    shownText = browser->windowTitle();
    startedAt = browser->directory().absolutePath();
    browser->reject();
  });
  select->click();
  EXPECT_EQ(shownText, "Please specify a directory");
  EXPECT_EQ(startedAt, QDir(start.path()).absolutePath());
  EXPECT_EQ(form.edDownloadFolder->text(), start.path());

  WhenModal<QFileDialog>([&](QFileDialog* browser) {
    browser->setDirectory(chosen.path());
    static_cast<QDialog*>(browser)->accept();
  });
  select->click();
  EXPECT_EQ(QDir(form.edDownloadFolder->text()).absolutePath(), QDir(chosen.path()).absolutePath());
}

TEST(AccountDialog, ShowsTheAccountAndTheServerType) {
  TClassOptions options(nullptr, TestProvider());
  options.SetPop3Account("someone");
  options.SetPop3Password("secret");
  options.SetPop3Type(1);
  TFormDialog form;
  EXPECT_TRUE(form.rbPOP3->isChecked());
  form.Fill(options);
  EXPECT_EQ(form.edPOP3Account->text(), "someone");
  EXPECT_EQ(form.edPOP3Password->text(), "secret");
  EXPECT_EQ(form.edPOP3Password->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(form.rbIMAP->isChecked());
  EXPECT_FALSE(form.rbPOP3->isChecked());
  options.SetPop3Type(2);
  form.Fill(options);
  EXPECT_TRUE(form.rbIMAP->isChecked());
}

TEST(AccountDialog, OkSetsAccountAddressAndServerCancelNothing) {
  TClassOptions options(nullptr, TestProvider());
  options.SetPop3Account("old");
  options.SetPop3Password("oldpw");
  options.SetPop3Type(1);
  auto edit = [](TFormDialog* form) {
    form->edPOP3Account->setText("New.Name@elsewhere.org");
    form->edPOP3Password->setText("pw");
    form->rbPOP3->setChecked(true);
  };

  WhenModal<TFormDialog>([&](TFormDialog* form) {
    edit(form);
    QTest::keyClick(form, Qt::Key_Escape);
  });
  EXPECT_FALSE(RunConfigurationDialog(nullptr, options));
  EXPECT_EQ(options.Pop3Account(), "old");
  EXPECT_EQ(options.Pop3Password(), "oldpw");
  EXPECT_EQ(options.Pop3Type(), 1);
  EXPECT_EQ(options.Pop3Server(), "imap.example.test");

  WhenModal<TFormDialog>([&](TFormDialog* form) {
    edit(form);
    form->findChild<QPushButton*>("btOk")->click();
  });
  EXPECT_TRUE(RunConfigurationDialog(nullptr, options));
  EXPECT_EQ(options.Pop3Account(), "New.Name@elsewhere.org");
  // An address of another domain than the installation's is the own address.
  EXPECT_EQ(options.SmtpAddress(), "New.Name@elsewhere.org");
  EXPECT_EQ(options.Pop3Password(), "pw");
  EXPECT_EQ(options.Pop3Type(), 0);
  EXPECT_EQ(options.Pop3Port(), 995);
  EXPECT_EQ(options.Pop3Server(), "pop.example.test");

  // Empty texts are accepted; IMAP stores type 1.
  WhenModal<TFormDialog>([&](TFormDialog* form) {
    form->edPOP3Account->clear();
    form->edPOP3Password->clear();
    form->rbIMAP->setChecked(true);
    QTest::keyClick(form->edPOP3Account, Qt::Key_Return);
  });
  EXPECT_TRUE(RunConfigurationDialog(nullptr, options));
  EXPECT_EQ(options.Pop3Account(), "");
  EXPECT_EQ(options.SmtpAddress(), "@example.test");
  EXPECT_EQ(options.Pop3Type(), 1);
  EXPECT_EQ(options.Pop3Port(), 993);
}
