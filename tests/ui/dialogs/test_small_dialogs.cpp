// The download, properties, about and error dialogs, and what every dialog shares.
#include <QDesktopServices>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "DialogTest.h"
#include "ui/dialogs/FormAbout.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/FormDownload.h"
#include "ui/dialogs/FormError.h"
#include "ui/dialogs/FormOptions.h"
#include "ui/dialogs/FormProperties.h"
#include "ui/dialogs/FormUser.h"
#include "ui/dialogs/FormUsers.h"

TEST(Dialogs, CaptionsAndSizes) {
  TFormOptions options;
  TFormDialog account;
  TFormUser editor;
  TFormDownload download;
  TFormProperties properties;
  TFormAbout about(nullptr, "", "");
  TFormUsers shares(nullptr, "x.test");
  TFormError error;
  const struct {
    QDialog* Form;
    QString Caption;
    QSize Size;
    bool Fixed;
  } cases[] = {
      {&options, "Options", {398, 265}, true},       {&account, "GMail Configuration", {424, 0}, true},
      {&editor, "New Friend", {389, 140}, true},     {&download, "Download...", {389, 90}, true},
      {&properties, "Properties", {389, 404}, true}, {&about, "About Kestro", {332, 274}, true},
      {&shares, "Share Folders", {360, 472}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Caption.toStdString());
    c.Form->show();
    EXPECT_EQ(c.Form->windowTitle(), c.Caption);
    if (c.Size.height() > 0)
      EXPECT_EQ(c.Form->size(), c.Size);
    else  // as tall as its hint needs
      EXPECT_EQ(c.Form->width(), c.Size.width());
    EXPECT_EQ(c.Form->minimumSize() == c.Form->maximumSize(), c.Fixed);
    EXPECT_TRUE(c.Form->isModal());
    c.Form->hide();
  }
  EXPECT_EQ(error.windowTitle(), "Error");
}

// The folder is trimmed and checked; a failed check leaves the dialog open,
// OK hands back the trimmed text, Cancel hands back nothing.
TEST(DownloadDialog, ChecksTheFolder) {
  QTemporaryDir dir;
  QFile file(dir.path() + "/file");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const struct {
    QString Typed;
    QString Message;  // empty: accepted
  } cases[] = {
      {"", "Folder is empty."},
      {" \t ", "Folder is empty."},
      {dir.path() + "/missing", "Folder not exists or is inaccessible."},
      {dir.path() + "/file", "Folder not exists or is inaccessible."},
      {"  " + dir.path() + " ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Typed.toStdString());
    QString folder = "/before";
    std::shared_ptr<MessageCapture> message;
    WhenModal<TFormDownload>([&](TFormDownload* form) {
      EXPECT_EQ(form->edDownloadFolder->text(), "/before");
      form->edDownloadFolder->setText(c.Typed);
      if (!c.Message.isEmpty()) message = AnswerMessageBox();
      form->findChild<QPushButton*>("btOk")->click();
      if (!c.Message.isEmpty()) {
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(form->edDownloadFolder->text(), c.Typed.trimmed());
        form->findChild<QPushButton*>("btCancel")->click();
      }
    });
    const bool ok = RunDownloadDialog(nullptr, folder);
    if (c.Message.isEmpty()) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(folder, dir.path());
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(folder, "/before");
      ASSERT_TRUE(message && message->Shown);
      EXPECT_EQ(message->Text, c.Message);
      EXPECT_EQ(message->Icon, QMessageBox::Critical);
    }
  }
}

TEST(PropertiesDialog, ShowsTheRowAndAFailureInRed) {
  JobRowView failed{"20240102030405006", "?_download", "amy@x.test", "03:04:05", "03:05:00",
                    0, "download", "a.txt\nb.txt", "Error: Time out error."};
  TFormProperties form;
  const QColor normalText = form.edState->palette().color(QPalette::Text);
  form.Fill(failed);
  EXPECT_EQ(form.windowTitle(), "Thread Properties");
  EXPECT_EQ(form.edThreadID->text(), "20240102030405006");
  EXPECT_EQ(form.edState->text(), "Error: Time out error.");
  EXPECT_EQ(form.edState->palette().color(QPalette::Text), QColor(255, 0, 0));
  EXPECT_EQ(form.edStarted->text(), "03:04:05");
  EXPECT_EQ(form.edFinished->text(), "03:05:00");
  EXPECT_EQ(form.edAction->text(), "download");
  EXPECT_EQ(form.edAddress->text(), "amy@x.test");
  EXPECT_EQ(form.edSubject->text(), "?_download");
  EXPECT_EQ(form.edText->toPlainText(), "a.txt\nb.txt");
  EXPECT_TRUE(form.edState->isReadOnly());
  EXPECT_TRUE(form.edText->isReadOnly());

  JobRowView stopped{"20240102030405007", "?_list", "bob@x.test", "04:00:00", "04:00:09", 3, "list", "", "Stopped"};
  WhenModal<TFormProperties>([&](TFormProperties* shown) {
    EXPECT_EQ(shown->edState->text(), "Stopped");
    EXPECT_EQ(shown->edState->palette().color(QPalette::Text), normalText);
    EXPECT_EQ(shown->edFinished->text(), "04:00:09");
    EXPECT_TRUE(shown->findChild<QPushButton*>("btOk")->hasFocus());
    QTest::keyClick(shown, Qt::Key_Return);
  });
  RunPropertiesDialog(nullptr, stopped);
}

// At start-up the box closes itself after 2 s with OK; from the menu it stays.
TEST(AboutBox, ClosesItselfOnlyAtStartUp) {
  QElapsedTimer clock;
  clock.start();
  // A box that does not close itself is closed here after a minute, and fails the test.
  bool closedByTest = false;
  WhenModal<TFormAbout>([&](TFormAbout* box) {
    QTimer::singleShot(60000, box, [&, box] {
      closedByTest = true;
      box->reject();
    });
  });
  EXPECT_EQ(RunAboutDialog(nullptr, "https://kestro.example.org", "", 1), QDialog::Accepted);
  EXPECT_FALSE(closedByTest);
  EXPECT_GE(clock.elapsed(), 1900);

  bool stillOpen = false;
  WhenModal<TFormAbout>([&](TFormAbout* box) {
    QTimer::singleShot(2600, box, [&, box] {
      stillOpen = box->isVisible();
      box->findChild<QPushButton*>("btOk")->click();
    });
  });
  EXPECT_EQ(RunAboutDialog(nullptr, "https://kestro.example.org", "", 0), QDialog::Accepted);
  EXPECT_TRUE(stillOpen);
}

// A receiver for the addresses the about box asks the desktop to open.
class TUrlCatcher : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Opened;
public slots:
  void Open(const QUrl& url) { Opened << url; }
};

TEST(AboutBox, TextsLinksAndTheSpanishCredit) {
  TUrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "Open");
  {
    TFormAbout box(nullptr, "https://kestro.example.org/home", "EN");
    box.SetStartupForm(0);
    box.show();
    EXPECT_EQ(box.lbVersion->text(), "Version 1.0.3.15");
    EXPECT_TRUE(box.lbVersion->font().bold());
    EXPECT_EQ(box.lbWelcome->text(), "Please visit Kestro Homepage on the web:");
    EXPECT_EQ(box.lbHomePage->text(), "https://kestro.example.org/home");
    EXPECT_TRUE(box.lbHomePage->font().underline());
    EXPECT_FALSE(box.lbLocalization->isVisible());
    EXPECT_FALSE(box.lbLocalizationHomePage->isVisible());
    EXPECT_EQ(box.height(), 274);
    EXPECT_FALSE(box.aTimer->isActive());
    QTest::mouseClick(box.lbHomePage, Qt::LeftButton);
  }
  {
    TFormAbout box(nullptr, "https://kestro.example.org/home", "ES");
    box.SetStartupForm(0);
    box.show();
    EXPECT_TRUE(box.lbLocalization->isVisible());
    EXPECT_TRUE(box.lbLocalizationHomePage->isVisible());
    EXPECT_EQ(box.height(), 300);
    QPushButton* ok = box.findChild<QPushButton*>("btOk");
    EXPECT_LE(ok->geometry().bottom(), box.height());
    EXPECT_GT(ok->geometry().top(), box.lbLocalizationHomePage->geometry().bottom());
    QTest::mouseClick(box.lbLocalizationHomePage, Qt::LeftButton);
  }
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(catcher.Opened.size(), 2);
  EXPECT_EQ(catcher.Opened[0], QUrl("https://kestro.example.org/home"));
  EXPECT_EQ(catcher.Opened[1], QUrl(kSpanishTranslatorPage));
}

// "Details >>" shows the log lines and becomes "<< Details"; again hides them.
// Escape does what that button does and leaves the dialog open.
TEST(ErrorDialog, DetailsButtonAndEscape) {
  TFormError form;
  form.SetMessage("Connection failed: 3");
  form.SetDetails({"S: +OK ready", "C: USER me"});
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const int collapsed = form.height();
  EXPECT_FALSE(form.pnDetails->isVisible());
  EXPECT_EQ(form.btDetails->text(), "Details >>");
  EXPECT_GE(collapsed, form.btDetails->geometry().bottom());
  EXPECT_EQ(form.lbMessage->text(), "Connection failed: 3");
  EXPECT_TRUE(form.findChild<QPushButton*>("btOk")->isDefault());
  EXPECT_TRUE(form.edDetails->isReadOnly());

  const int opened = collapsed + form.pnDetails->height() + 16;
  for (const bool byEscape : {false, true}) {
    SCOPED_TRACE(byEscape ? "Escape" : "button");
    auto press = [&] {
      if (byEscape)
        QTest::keyClick(&form, Qt::Key_Escape);
      else
        form.btDetails->click();
    };
    press();
    EXPECT_TRUE(form.pnDetails->isVisible());
    EXPECT_EQ(form.btDetails->text(), "<< Details");
    EXPECT_EQ(form.height(), opened);
    EXPECT_EQ(form.edDetails->toPlainText(), "S: +OK ready\nC: USER me");
    press();
    EXPECT_FALSE(form.pnDetails->isVisible());
    EXPECT_EQ(form.btDetails->text(), "Details >>");
    EXPECT_EQ(form.height(), collapsed);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.result(), 0);
  }
  EXPECT_EQ(form.pnDetails->size(), QSize(331, 166));
}

TEST(ErrorDialog, ALongMessageIsShownWhole) {
  TFormError form;
  const int shortHeight = form.height();
  form.SetMessage("Unable to connect POP3 Server.\r\nCheck your POP3 server configuration.\r\nError code: 104\r\n"
                  "The server refused the account name or password.");
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_GE(form.lbMessage->height(), form.lbMessage->heightForWidth(form.lbMessage->width()));
  EXPECT_GT(form.btDetails->y(), form.lbMessage->geometry().bottom());
  EXPECT_GT(form.height(), shortHeight);
  EXPECT_GE(form.height(), form.btDetails->geometry().bottom());
  form.btDetails->click();
  EXPECT_GT(form.pnDetails->y(), form.btDetails->geometry().bottom());
  EXPECT_GE(form.height(), form.pnDetails->geometry().bottom());
}

TEST(ErrorDialog, ShowsALogLessItsFirstLine) {
  QTemporaryDir dir;
  const QString log = dir.path() + "/pop3.log";
  QFile file(log);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("session 2024-01-02 03:04:05\r\nS: +OK ready\r\nC: USER me\r\nS: -ERR denied\r\n");
  file.close();

  QStringList lines;
  ASSERT_TRUE(ReadLogDetails(log, lines));
  EXPECT_EQ(lines, (QStringList{"S: +OK ready", "C: USER me", "S: -ERR denied"}));
  EXPECT_FALSE(ReadLogDetails(dir.path() + "/missing.log", lines));
  EXPECT_TRUE(lines.isEmpty());

  WhenModal<TFormError>([](TFormError* form) {
    EXPECT_EQ(form->lbMessage->text(), "Authentication failed.");
    EXPECT_EQ(form->edDetails->toPlainText(), "S: +OK ready\nC: USER me\nS: -ERR denied");
    QTest::keyClick(form, Qt::Key_Return);
  });
  ASSERT_TRUE(ReadLogDetails(log, lines));
  ShowErrorDialog(nullptr, "Authentication failed.", lines);
}

#include "test_small_dialogs.moc"
