// The account configuration dialog: login of the mail account, POP3 or IMAP,
// and in its "Servers" section (collapsed at first) the incoming and outgoing
// servers. Typing the address fills the section: from the provider table by
// the address's domain, else the installation's provider when its domain
// matches (or the account has no domain), else the guessed servers of the
// domain; a server field edited by hand keeps its text. The caption names the
// provider and the hint under the fields says what its login needs.
#pragma once

#include "core/Options.h"
#include "ui/dialogs/DialogSupport.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TNumberEdit;

class TFormDialog : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormDialog(QWidget* parent = nullptr);

  // The account, the protocol and the servers in effect; the caption and
  // hint of the account's provider.
  void Fill(const TClassOptions& options);
  // SetPop3Account (which derives the own address), the password, SetPop3Type
  // (1 for IMAP, 0 for POP3), then the section's servers (ChooseServers: kept
  // when they are not simply the installation's).
  void Apply(TClassOptions& options) const;

  // Opens or closes the "Servers" section.
  void SetServersVisible(bool visible);
  bool ServersVisible() const;

  QLineEdit* edPOP3Account;
  QLineEdit* edPOP3Password;
  QRadioButton* rbPOP3;
  QRadioButton* rbIMAP;
  QLabel* lbHint;
  QPushButton* btServers;
  QGroupBox* gbServers;
  QComboBox* cbProvider;  // "From the address", then the table's providers
  QLineEdit* edIncomingServer;
  TNumberEdit* edIncomingPort;
  QComboBox* cbIncomingSecurity;
  QLineEdit* edOutgoingServer;
  TNumberEdit* edOutgoingPort;
  QComboBox* cbOutgoingSecurity;

private:
  enum Field { InServer, InPort, InSecurity, OutServer, OutPort, OutSecurity, FieldCount };
  // The setup that the address (or the chosen provider) gives now.
  AccountSetup CurrentSetup() const;
  // Fills the section from setup; fields edited by hand keep their values unless force.
  void ShowSetup(const AccountSetup& setup, bool force);
  void ShowServer(const MailServer& server, QLineEdit* host, TNumberEdit* port, QComboBox* security, Field first,
                  bool force);
  MailServer ServerOf(QLineEdit* host, TNumberEdit* port, QComboBox* security) const;
  void Arrange();

  ProviderSettings FInstallation;
  AccountSetup FSetup;  // what the section was last filled from
  bool FEdited[FieldCount] = {};
  bool FFilling = false;
  QPushButton* FOk = nullptr;
  QPushButton* FCancel = nullptr;
};

// Fills the account dialog, shows it modally and, with OK, writes it into the
// options. True on OK; the caller then saves. The account is not tested here.
bool RunConfigurationDialog(QWidget* parent, TClassOptions& options);
