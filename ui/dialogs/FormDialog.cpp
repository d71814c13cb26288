#include "ui/dialogs/FormDialog.h"

#include <QButtonGroup>
#include <QLineEdit>
#include <QRadioButton>

#include "core/Options.h"

TFormDialog::TFormDialog(QWidget* parent)
    : TDialogBase(parent, tr("GMail Configuration"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter) {
  setObjectName("TFormDialog");
  SetClientSize(299, 149);
  AddLabel(this, tr("Account name:"), 12, 14, 90, 21)->setAlignment(Qt::AlignVCenter);
  edPOP3Account = AddEdit(this, "edPOP3Account", 104, 14, 183);
  AddLabel(this, tr("Password:"), 12, 44, 90, 21)->setAlignment(Qt::AlignVCenter);
  edPOP3Password = AddEdit(this, "edPOP3Password", 104, 44, 183);
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

  AddOkButton(132, 114);
  AddCancelButton(212, 114);
}

void TFormDialog::Fill(const TClassOptions& options) {
  edPOP3Account->setText(options.Pop3Account());
  edPOP3Password->setText(options.Pop3Password());
  (options.Pop3Type() != 0 ? rbIMAP : rbPOP3)->setChecked(true);
}

void TFormDialog::Apply(TClassOptions& options) const {
  options.SetPop3Account(edPOP3Account->text());
  options.SetPop3Password(edPOP3Password->text());
  options.SetPop3Type(rbIMAP->isChecked() ? 1 : 0);
}

bool RunConfigurationDialog(QWidget* parent, TClassOptions& options) {
  return RunFillApply<TFormDialog>(parent, options);
}
