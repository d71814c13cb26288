#include "ui/dialogs/FormDownload.h"

#include <QLineEdit>
#include <QPushButton>

TFormDownload::TFormDownload(QWidget* parent)
    : TDialogBase(parent, tr("Download..."), QStringLiteral("MS Sans Serif"), DialogPlacement::OwnerCenter) {
  setObjectName("TFormDownload");
  SetClientSize(389, 90);
  AddLabel(this, tr("Download to:"), 8, 12, 84, 21)->setAlignment(Qt::AlignVCenter);
  edDownloadFolder = AddEdit(this, "edDownloadFolder", 94, 12, 261);
  AddFolderButton(this, edDownloadFolder, "btSelect", 359, 12);
  connect(AddOkButton(226, 56, false), &QPushButton::clicked, this, &TFormDownload::btOkClick);
  AddCancelButton(306, 56);
}

void TFormDownload::btOkClick() {
  const QString message = FolderCheckMessage(TrimBox(edDownloadFolder), true);
  if (!message.isEmpty()) {
    ShowCheckError(this, message);
    return;
  }
  accept();
}

bool RunDownloadDialog(QWidget* parent, QString& folder) {
  TFormDownload form(parent);
  form.edDownloadFolder->setText(folder);
  if (form.exec() != QDialog::Accepted) return false;
  folder = form.edDownloadFolder->text();
  return true;
}
