#include "ui/dialogs/FormDialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "core/TextUtils.h"
#include "ui/dialogs/NumberEdit.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr int kWidth = 424;
constexpr int kServersHeight = 112;
constexpr int kHostLength = 100;  // the configuration's server fields

QComboBox* AddSecurityBox(QWidget* parent, const char* name, int x, int y) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  box->setGeometry(x, y, 90, 21);
  box->addItem(QObject::tr("TLS"), int(MailSecurity::Tls));
  box->addItem(QObject::tr("STARTTLS"), int(MailSecurity::StartTls));
  box->addItem(QObject::tr("None"), int(MailSecurity::None));
  return box;
}

}  // namespace

TFormDialog::TFormDialog(QWidget* parent)
    : TDialogBase(parent, tr("GMail Configuration"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter),
      FInstallation(InstallSettings::Current().Provider) {
  setObjectName("TFormDialog");
  AddLabel(this, tr("Account name:"), 12, 14, 90, 21)->setAlignment(Qt::AlignVCenter);
  edPOP3Account = AddEdit(this, "edPOP3Account", 104, 14, kWidth - 116);
  AddLabel(this, tr("Password:"), 12, 44, 90, 21)->setAlignment(Qt::AlignVCenter);
  edPOP3Password = AddEdit(this, "edPOP3Password", 104, 44, kWidth - 116);
  edPOP3Password->setEchoMode(QLineEdit::Password);
  edPOP3Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // '*'

  rbPOP3 = new QRadioButton(tr("POP3"), this);
  rbPOP3->setObjectName("rbPOP3");
  rbPOP3->setGeometry(104, 76, 70, 18);
  rbIMAP = new QRadioButton(tr("IMAP"), this);
  rbIMAP->setObjectName("rbIMAP");
  rbIMAP->setGeometry(180, 76, 70, 18);
  auto* group = new QButtonGroup(this);
  group->addButton(rbPOP3);
  group->addButton(rbIMAP);
  rbPOP3->setChecked(true);

  lbHint = AddLabel(this, QString(), 12, 102, kWidth - 24, 0);
  lbHint->setObjectName("lbHint");
  lbHint->setWordWrap(true);
  lbHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  gbServers = new QGroupBox(tr("Servers"), this);
  gbServers->setObjectName("gbServers");
  AddLabel(gbServers, tr("Provider:"), 8, 20, 100, 21)->setAlignment(Qt::AlignVCenter);
  cbProvider = new QComboBox(gbServers);
  cbProvider->setObjectName("cbProvider");
  cbProvider->setGeometry(112, 20, 288, 21);
  cbProvider->addItem(tr("From the address"));
  for (const MailProvider& p : MailProviders())
    cbProvider->addItem(p.Domains.isEmpty() ? p.Name : p.Name + QStringLiteral(" (") + p.Domains.first() + u')');

  AddLabel(gbServers, tr("Incoming server:"), 8, 50, 100, 21)->setAlignment(Qt::AlignVCenter);
  edIncomingServer = AddEdit(gbServers, "edIncomingServer", 112, 50, 140);
  edIncomingPort = new TNumberEdit(gbServers, "edIncomingPort", 1, 65535, 5, false);
  edIncomingPort->setGeometry(256, 50, 50, 21);
  cbIncomingSecurity = AddSecurityBox(gbServers, "cbIncomingSecurity", 310, 50);
  AddLabel(gbServers, tr("Outgoing server:"), 8, 80, 100, 21)->setAlignment(Qt::AlignVCenter);
  edOutgoingServer = AddEdit(gbServers, "edOutgoingServer", 112, 80, 140);
  edOutgoingPort = new TNumberEdit(gbServers, "edOutgoingPort", 1, 65535, 5, false);
  edOutgoingPort->setGeometry(256, 80, 50, 21);
  cbOutgoingSecurity = AddSecurityBox(gbServers, "cbOutgoingSecurity", 310, 80);
  for (QLineEdit* host : {edIncomingServer, edOutgoingServer}) host->setMaxLength(kHostLength);

  btServers = new QPushButton(this);
  btServers->setObjectName("btServers");
  btServers->setAutoDefault(false);
  btServers->setCheckable(true);
  connect(btServers, &QPushButton::toggled, this, &TFormDialog::SetServersVisible);
  FOk = AddOkButton(0, 0);
  FCancel = AddCancelButton(0, 0);

  // What the user edits by hand stays; typing the address fills the rest.
  auto edited = [this](Field f) {
    return [this, f] {
      if (!FFilling) FEdited[f] = true;
    };
  };
  connect(edIncomingServer, &QLineEdit::textEdited, this, edited(InServer));
  connect(edIncomingPort, &QLineEdit::textEdited, this, edited(InPort));
  connect(cbIncomingSecurity, &QComboBox::activated, this, edited(InSecurity));
  connect(edOutgoingServer, &QLineEdit::textEdited, this, edited(OutServer));
  connect(edOutgoingPort, &QLineEdit::textEdited, this, edited(OutPort));
  connect(cbOutgoingSecurity, &QComboBox::activated, this, edited(OutSecurity));
  connect(edPOP3Account, &QLineEdit::textEdited, this, [this] { ShowSetup(CurrentSetup(), false); });
  // The other protocol's server of the same setup.
  connect(rbIMAP, &QRadioButton::toggled, this, [this] {
    if (!FFilling) ShowSetup(FSetup, false);
  });
  // Choosing a provider (or the address again) fills every field.
  connect(cbProvider, &QComboBox::activated, this, [this] { ShowSetup(CurrentSetup(), true); });

  ShowSetup(CurrentSetup(), true);
  SetServersVisible(false);
}

AccountSetup TFormDialog::CurrentSetup() const {
  const int chosen = cbProvider->currentIndex() - 1;
  if (chosen >= 0 && chosen < MailProviders().size()) return SetupForProvider(MailProviders()[chosen]);
  return SetupForAccount(edPOP3Account->text(), FInstallation);
}

void TFormDialog::ShowServer(const MailServer& server, QLineEdit* host, TNumberEdit* port, QComboBox* security,
                             Field first, bool force) {
  if (force || !FEdited[first]) host->setText(server.Host);
  if (force || !FEdited[first + 1]) port->SetValue(server.Port);
  if (force || !FEdited[first + 2]) security->setCurrentIndex(security->findData(int(server.Security)));
}

void TFormDialog::ShowSetup(const AccountSetup& setup, bool force) {
  FSetup = setup;
  FFilling = true;
  if (force) std::fill(std::begin(FEdited), std::end(FEdited), false);
  ShowServer(setup.Servers.Incoming(rbIMAP->isChecked()), edIncomingServer, edIncomingPort, cbIncomingSecurity,
             InServer, force);
  ShowServer(setup.Servers.Smtp, edOutgoingServer, edOutgoingPort, cbOutgoingSecurity, OutServer, force);
  setWindowTitle(setup.Caption);
  lbHint->setText(setup.Hint);
  FFilling = false;
  Arrange();
}

MailServer TFormDialog::ServerOf(QLineEdit* host, TNumberEdit* port, QComboBox* security) const {
  return {TrimText(host->text()), int(port->Value()), MailSecurity(security->currentData().toInt())};
}

void TFormDialog::SetServersVisible(bool visible) {
  if (btServers->isChecked() != visible) {
    btServers->setChecked(visible);  // comes back here through toggled
    return;
  }
  gbServers->setVisible(visible);
  btServers->setText(visible ? tr("Servers <<") : tr("Servers >>"));
  Arrange();
}

bool TFormDialog::ServersVisible() const { return btServers->isChecked(); }

void TFormDialog::Arrange() {
  int y = 102;
  const int hint = lbHint->text().isEmpty() ? 0 : lbHint->heightForWidth(kWidth - 24);
  lbHint->setGeometry(12, y, kWidth - 24, hint);
  y += hint + (hint ? 8 : 0);
  if (ServersVisible()) {
    gbServers->setGeometry(8, y, kWidth - 16, kServersHeight);
    y += kServersHeight + 8;
  }
  btServers->setGeometry(12, y, 90, 25);
  FOk->move(kWidth - 12 - 75 - 6 - 75, y);
  FCancel->move(kWidth - 12 - 75, y);
  SetClientSize(kWidth, y + 25 + 12);
}

void TFormDialog::Fill(const TClassOptions& options) {
  FInstallation = options.Provider();
  FFilling = true;
  edPOP3Account->setText(options.Pop3Account());
  edPOP3Password->setText(options.Pop3Password());
  (options.Pop3Type() != 0 ? rbIMAP : rbPOP3)->setChecked(true);
  FFilling = false;
  // Servers a table provider uses for an account of another domain (a
  // Microsoft 365 account): that provider stays chosen.
  const bool imap = options.Pop3Type() != 0;
  const MailProvider* byServers =
      options.ServersChosen() ? ProviderOfServers(imap, options.Pop3Server(), options.SmtpServer()) : nullptr;
  cbProvider->setCurrentIndex(0);
  if (byServers && byServers != SetupForAccount(options.Pop3Account(), FInstallation).Provider)
    cbProvider->setCurrentIndex(int(byServers - MailProviders().data()) + 1);
  // The section shows the servers in effect: without chosen ones, the
  // installation's, whatever the account's domain.
  ShowSetup(options.ServersChosen() ? CurrentSetup() : SetupForAccount(QString(), FInstallation), true);
  FFilling = true;
  ShowServer(options.IncomingServer(), edIncomingServer, edIncomingPort, cbIncomingSecurity, InServer, true);
  ShowServer(options.OutgoingServer(), edOutgoingServer, edOutgoingPort, cbOutgoingSecurity, OutServer, true);
  FFilling = false;
}

void TFormDialog::Apply(TClassOptions& options) const {
  options.SetPop3Account(edPOP3Account->text());
  options.SetPop3Password(edPOP3Password->text());
  options.SetPop3Type(rbIMAP->isChecked() ? 1 : 0);
  options.ChooseServers(ServerOf(edIncomingServer, edIncomingPort, cbIncomingSecurity),
                        ServerOf(edOutgoingServer, edOutgoingPort, cbOutgoingSecurity));
}

bool RunConfigurationDialog(QWidget* parent, TClassOptions& options) {
  return RunFillApply<TFormDialog>(parent, options);
}
