// The account dialog's "Servers" section: filled from the address as it is
// typed, hand edits kept, the caption and hint of the provider, and what OK
// stores, through the application object's save and load.
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "DialogTest.h"
#include "main/ClassMain.h"
#include "ui/dialogs/FormDialog.h"
#include "ui/dialogs/NumberEdit.h"

namespace {

ProviderSettings Installation() {
  ProviderSettings p;
  p.Pop3Server = "pop.example.test";
  p.Imap4Server = "imap.example.test";
  p.SmtpServer = "smtp.example.test";
  p.Domain = "example.test";
  return p;
}

void Type(QLineEdit* box, const QString& text) { QTest::keyClicks(box, text); }
void Retype(QLineEdit* box, const QString& text) {
  box->selectAll();
  QTest::keyClick(box, Qt::Key_Delete);
  QTest::keyClicks(box, text);
}

// "host:port:mode" of the incoming and outgoing rows.
QString Row(QLineEdit* host, TNumberEdit* port, QComboBox* security) {
  return host->text() + ':' + QString::number(port->Value()) + ':' + security->currentText();
}
QString Incoming(TFormDialog& f) { return Row(f.edIncomingServer, f.edIncomingPort, f.cbIncomingSecurity); }
QString Outgoing(TFormDialog& f) { return Row(f.edOutgoingServer, f.edOutgoingPort, f.cbOutgoingSecurity); }

}  // namespace

TEST(AccountServers, TypingTheAddressFillsTheCollapsedSectionCaptionAndHint) {
  TClassOptions options(nullptr, Installation());
  options.SetPop3Account("someone");
  TFormDialog form;
  form.Fill(options);
  form.show();
  EXPECT_FALSE(form.ServersVisible());
  EXPECT_FALSE(form.gbServers->isVisible());
  const QSize collapsed = form.size();
  form.btServers->click();
  EXPECT_TRUE(form.gbServers->isVisible());
  EXPECT_GT(form.height(), collapsed.height());

  // No domain: the installation's servers, neutral caption.
  EXPECT_EQ(Incoming(form), "pop.example.test:995:TLS");
  EXPECT_EQ(form.windowTitle(), "Mail Account Configuration");

  Retype(form.edPOP3Account, "someone@gmx.de");
  EXPECT_EQ(Incoming(form), "pop.gmx.net:995:TLS");
  EXPECT_EQ(Outgoing(form), "mail.gmx.net:587:STARTTLS");
  EXPECT_EQ(form.windowTitle(), "GMX Configuration");
  EXPECT_TRUE(form.lbHint->text().contains("IMAP access")) << form.lbHint->text().toStdString();
  EXPECT_TRUE(form.lbHint->isVisible());
  form.rbIMAP->click();
  EXPECT_EQ(Incoming(form), "imap.gmx.net:993:TLS");

  // Gmail keeps its caption exactly; the hint asks for an app password.
  Retype(form.edPOP3Account, "someone@gmail.com");
  EXPECT_EQ(form.windowTitle(), "GMail Configuration");
  EXPECT_EQ(Incoming(form), "imap.gmail.com:993:TLS");
  EXPECT_TRUE(form.lbHint->text().contains("app password"));

  // Outlook.com: the plain statement that its logins need OAuth2.
  Retype(form.edPOP3Account, "someone@hotmail.com");
  EXPECT_EQ(form.windowTitle(), "Outlook.com Configuration");
  EXPECT_TRUE(form.lbHint->text().contains("OAuth2"));

  // A domain nobody knows: guessed servers, neutral caption, no hint.
  Retype(form.edPOP3Account, "me@mail.example.org");
  EXPECT_EQ(Incoming(form), "imap.mail.example.org:993:TLS");
  EXPECT_EQ(Outgoing(form), "smtp.mail.example.org:587:STARTTLS");
  EXPECT_EQ(form.windowTitle(), "Mail Account Configuration");
  EXPECT_TRUE(form.lbHint->text().isEmpty());
  // The installation's domain: its servers.
  Retype(form.edPOP3Account, "me@example.test");
  EXPECT_EQ(Incoming(form), "imap.example.test:993:TLS");
}

TEST(AccountServers, FieldsEditedByHandSurviveFurtherTyping) {
  TClassOptions options(nullptr, Installation());
  TFormDialog form;
  form.Fill(options);
  form.show();
  form.btServers->click();
  Type(form.edPOP3Account, "me@example.org");
  EXPECT_EQ(Incoming(form), "pop.example.org:995:TLS");
  Retype(form.edIncomingServer, "mx.example.org");
  Retype(form.edOutgoingPort, "2525");
  form.cbOutgoingSecurity->setCurrentIndex(2);
  emit form.cbOutgoingSecurity->activated(2);  // as a choice of the user
  Type(form.edPOP3Account, ".uk");
  EXPECT_EQ(Incoming(form), "mx.example.org:995:TLS");
  EXPECT_EQ(Outgoing(form), "smtp.example.org.uk:2525:None");
  form.rbIMAP->click();  // the other protocol: the hand-edited server stays too
  EXPECT_EQ(Incoming(form), "mx.example.org:993:TLS");

  // Choosing a provider is a choice of every field.
  form.cbProvider->setCurrentIndex(form.cbProvider->findText("Microsoft 365"));
  emit form.cbProvider->activated(form.cbProvider->currentIndex());
  EXPECT_EQ(Incoming(form), "outlook.office365.com:993:TLS");
  EXPECT_EQ(Outgoing(form), "smtp.office365.com:587:STARTTLS");
  EXPECT_EQ(form.windowTitle(), "Microsoft 365 Configuration");
  Type(form.edPOP3Account, "x");  // the chosen provider stays
  EXPECT_EQ(form.windowTitle(), "Microsoft 365 Configuration");

  TClassOptions applied(nullptr, Installation());
  form.Apply(applied);
  EXPECT_TRUE(applied.ServersChosen());
  EXPECT_EQ(applied.Pop3Server(), "outlook.office365.com");
  EXPECT_EQ(applied.SmtpAddress(), "me@example.org.ukx");
  // Opened again, the dialog shows the chosen provider.
  TFormDialog again;
  again.Fill(applied);
  EXPECT_EQ(again.cbProvider->currentText(), "Microsoft 365");
  EXPECT_EQ(again.windowTitle(), "Microsoft 365 Configuration");
  EXPECT_EQ(Incoming(again), "outlook.office365.com:993:TLS");
}

// OK stores the section; the configuration written by Save brings it back.
// A configuration without servers keeps the installation's after OK, as before.
TEST(AccountServers, OkStoresTheServersAndALoadKeepsThem) {
  QTemporaryDir conf;
  {
    TClassMain main(nullptr, conf.path(), false);
    main.Options().SetPop3Account("someone");
    WhenModal<TFormDialog>([](TFormDialog* form) {
      EXPECT_EQ(form->windowTitle(), "GMail Configuration");  // the default installation is Gmail's
      form->findChild<QPushButton*>("btOk")->click();
    });
    ASSERT_TRUE(RunConfigurationDialog(nullptr, main.Options()));
    EXPECT_FALSE(main.Options().ServersChosen());
    EXPECT_EQ(main.Options().SmtpAddress(), "someone@gmail.com");

    WhenModal<TFormDialog>([](TFormDialog* form) {
      Retype(form->edPOP3Account, "Someone@posteo.net");
      form->edPOP3Password->setText("pw");
      form->rbIMAP->click();
      form->btServers->click();
      Retype(form->edOutgoingPort, "587");
      form->cbOutgoingSecurity->setCurrentIndex(1);
      emit form->cbOutgoingSecurity->activated(1);
      form->findChild<QPushButton*>("btOk")->click();
    });
    ASSERT_TRUE(RunConfigurationDialog(nullptr, main.Options()));
    main.Save();
  }
  TClassMain main(nullptr, conf.path(), false);
  const TClassOptions& o = main.Options();
  ASSERT_TRUE(o.ServersChosen());
  EXPECT_EQ(o.Pop3Type(), 1);
  EXPECT_EQ(o.Pop3Server(), "posteo.de");
  EXPECT_EQ(o.Pop3Port(), 993);
  EXPECT_EQ(o.Pop3Security(), MailSecurity::Tls);
  EXPECT_EQ(o.SmtpServer(), "posteo.de");
  EXPECT_EQ(o.SmtpPort(), 587);
  EXPECT_EQ(o.SmtpSecurity(), MailSecurity::StartTls);
  EXPECT_EQ(o.SmtpAddress(), "Someone@posteo.net");
  TFormDialog form;
  form.Fill(o);
  EXPECT_EQ(form.windowTitle(), "Posteo Configuration");
  EXPECT_EQ(Outgoing(form), "posteo.de:587:STARTTLS");
}
