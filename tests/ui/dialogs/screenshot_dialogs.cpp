// Renders every dialog, filled with sample data, into PNG files of a folder:
//   screenshot_dialogs OUTPUT_FOLDER
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>

#include "core/Options.h"
#include "core/Users.h"
#include "ui/dialogs/FormAbout.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/FormDownload.h"
#include "ui/dialogs/FormError.h"
#include "ui/dialogs/FormOptions.h"
#include "ui/dialogs/FormProperties.h"
#include "ui/dialogs/FormUser.h"
#include "ui/dialogs/FormUsers.h"

namespace {

QString gOut;
bool gOk = true;

void Shoot(QWidget& w, const QString& name) {
  w.show();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  const QString file = gOut + '/' + name + ".png";
  const bool saved = w.grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
  gOk &= saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: screenshot_dialogs OUTPUT_FOLDER\n");
    return 2;
  }
  gOut = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(gOut);

  TClassOptions options;
  options.SetStartupRun(true);
  options.SetDownloadFolder(QDir::homePath() + "/Downloads");
  options.SetPop3AccelTime(60);
  options.SetAttachCompress(6);
  options.SetAttachVolume(10000000);
  options.SetTimeoutClient(3600);
  options.SetPop3Account("someone");
  options.SetPop3Password("secret");

  {
    TFormOptions form;
    form.Fill(options);
    Shoot(form, "options-general");
    form.tlOptions->setCurrentItem(form.tlOptions->topLevelItem(1));
    Shoot(form, "options-messages");
  }
  {
    TFormDialog form;
    form.Fill(options);
    Shoot(form, "account");
  }
  {
    // Another provider: the address typed fills the "Servers" section.
    TFormDialog form;
    form.Fill(options);
    form.show();
    form.edPOP3Account->selectAll();
    form.edPOP3Account->insert("someone@gmx.de");  // as typed: the section follows
    form.rbIMAP->setChecked(true);
    form.SetServersVisible(true);
    Shoot(form, "account-servers");
  }
  {
    QObject main;
    TClassUserList users(&main);
    for (const auto& [address, folder] : {std::pair{"amy@example.org", "/home/me/Photos"},
                                          std::pair{"bob@example.org", "/home/me/Music"},
                                          std::pair{"cat@example.org", "/srv/share/projects"}}) {
      TClassUser* user = users.Add();
      user->SetAddress(address);
      user->SetFolder(folder);
    }
    TClassAnonymous anonymous;
    anonymous.SetFolder("/srv/share/public");
    TFormUsers form(nullptr, options.Provider().Domain);
    form.FillShareDialog(users, anonymous);
    form.tlFriends->setCurrentItem(form.tlFriends->topLevelItem(1));
    Shoot(form, "shares-friends");
    form.pcShares->setCurrentIndex(1);
    Shoot(form, "shares-anonymous");
    form.aDisableAnonymous->trigger();
    Shoot(form, "shares-anonymous-off");
  }
  {
    TFormUser form;
    form.setWindowTitle("New Friend");
    form.edAddress->setText("dan@" + options.Provider().Domain);
    form.edFolder->setText("/home/me/Shared");
    Shoot(form, "friend-editor");
  }
  {
    TFormDownload form;
    form.edDownloadFolder->setText(options.DownloadFolder());
    Shoot(form, "download");
  }
  {
    TFormProperties form;
    form.Fill({"20240102030405006", "?_download", "amy@example.org", "03:04:05", "03:05:00", 0, "download",
               "Photos\\beach.jpg\nPhotos\\hills.jpg", "Error: Time out error."});
    Shoot(form, "properties-error");
  }
  {
    TFormAbout form(nullptr, "https://kestro.example.org", "");
    form.SetStartupForm(0);
    Shoot(form, "about");
  }
  {
    TFormAbout form(nullptr, "https://kestro.example.org", "ES");
    form.SetStartupForm(0);
    Shoot(form, "about-es");
  }
  {
    TFormError form;
    // Going online with a wrong password, as the window shows it.
    form.SetMessage("Unable to connect POP3 Server.\r\nCheck your POP3 server configuration.\r\nError code: 104\r\n"
                    "The server refused the account name or password.");
    form.SetDetails({"S: +OK ready.", "C: USER someone", "C: PASS ********", "S: -ERR [AUTH] Authentication failed."});
    Shoot(form, "error");
    form.btDetailsClick();
    Shoot(form, "error-details");
  }
  return gOk ? 0 : 1;
}
