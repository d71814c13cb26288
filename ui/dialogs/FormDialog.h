// The account configuration dialog: login of the mail account, POP3 or IMAP.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QLineEdit;
class QRadioButton;
class TClassOptions;

class TFormDialog : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormDialog(QWidget* parent = nullptr);

  void Fill(const TClassOptions& options);
  // SetPop3Account (which derives the own address), the password, SetPop3Type
  // (which sets the incoming server and port): 1 for IMAP, 0 for POP3.
  void Apply(TClassOptions& options) const;

  QLineEdit* edPOP3Account;
  QLineEdit* edPOP3Password;
  QRadioButton* rbPOP3;
  QRadioButton* rbIMAP;
};

// Fills the account dialog, shows it modally and, with OK, writes it into the
// options. True on OK; the caller then saves. The account is not tested here.
bool RunConfigurationDialog(QWidget* parent, TClassOptions& options);
