#include "ui/dialogs/FormUser.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "core/Users.h"

bool IsKnownAddress(const QString& knownAddresses, const QString& address) {
  const QString wanted = NormalizeAddress(address);
  const QStringList known = knownAddresses.split('>', Qt::SkipEmptyParts);
  for (const QString& entry : known)
    if (NormalizeAddress(entry) == wanted) return true;
  return false;
}

TFormUser::TFormUser(QWidget* parent)
    : TDialogBase(parent, tr("New Friend"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter) {
  setObjectName("TFormUser");
  SetClientSize(389, 140);
  AddLabel(this, tr("Address:"), 8, 12, 64, 21)->setAlignment(Qt::AlignVCenter);
  edAddress = AddEdit(this, "edAddress", 75, 12, 306);
  AddLabel(this, tr("Folder:"), 8, 44, 64, 21)->setAlignment(Qt::AlignVCenter);
  edFolder = AddEdit(this, "edFolder", 75, 44, 282);
  btSelect = AddFolderButton(this, edFolder, "btSelect", 359, 44);
  chChangeDir = new QCheckBox(tr("May open subfolders"), this);
  chChangeDir->setObjectName("chChangeDir");
  chChangeDir->setChecked(true);  // the preset right
  chChangeDir->setGeometry(75, 74, 282, 21);
  connect(AddOkButton(226, 106, false), &QPushButton::clicked, this, &TFormUser::btOkClick);
  AddCancelButton(306, 106);
}

QString TFormUser::CheckMessage() {
  const QString address = TrimBox(edAddress);
  const QString folder = TrimBox(edFolder);
  if (address.isEmpty()) return tr(kMsgAddressEmpty);
  const bool keepsOwnAddress = !IsNew && NormalizeAddress(address) == NormalizeAddress(OldAddress);
  if (!keepsOwnAddress && IsKnownAddress(KnownAddresses, address)) return tr(kMsgAddressDuplicate);
  return FolderCheckMessage(folder);
}

void TFormUser::btOkClick() {
  const QString message = CheckMessage();
  if (!message.isEmpty()) {
    ShowCheckError(this, message);
    return;
  }
  accept();
}
