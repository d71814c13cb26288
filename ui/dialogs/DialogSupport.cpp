#include "ui/dialogs/DialogSupport.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "core/TextUtils.h"

TDialogBase::TDialogBase(QWidget* parent, const QString& caption, const QString& fontFamily,
                         DialogPlacement placement)
    : QDialog(parent), FPlacement(placement) {
  setWindowTitle(caption);
  QFont f(fontFamily);
  f.setPointSize(8);
  setFont(f);
  setModal(true);
}

void TDialogBase::SetClientSize(int width, int height) { setFixedSize(width, height); }

void TDialogBase::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (FPlaced) return;
  FPlaced = true;
  QRect area;
  if (FPlacement == DialogPlacement::OwnerCenter && parentWidget())
    area = parentWidget()->window()->frameGeometry();
  else if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
    area = screen->availableGeometry();
  if (area.isValid()) move(area.center() - rect().center());
}

QPushButton* TDialogBase::AddOkButton(int x, int y, bool closesAtOnce) {
  auto* ok = new QPushButton(tr("OK"), this);
  ok->setObjectName("btOk");
  ok->setGeometry(x, y, 75, 25);
  ok->setDefault(true);
  if (closesAtOnce) connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  return ok;
}

QPushButton* TDialogBase::AddCancelButton(int x, int y) {
  auto* cancel = new QPushButton(tr("Cancel"), this);
  cancel->setObjectName("btCancel");
  cancel->setGeometry(x, y, 75, 25);
  cancel->setAutoDefault(false);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  return cancel;
}

QLabel* AddLabel(QWidget* parent, const QString& text, int x, int y, int width, int height) {
  auto* label = new QLabel(text, parent);
  if (width < 0) width = label->sizeHint().width();
  label->setGeometry(x, y, width, height);
  return label;
}

QLineEdit* AddEdit(QWidget* parent, const char* name, int x, int y, int width, int height) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, width, height);
  return edit;
}

QPushButton* AddFolderButton(QWidget* parent, QLineEdit* box, const char* name, int x, int y) {
  auto* button = new QPushButton(QStringLiteral("..."), parent);
  button->setObjectName(name);
  button->setGeometry(x, y, 22, 21);
  button->setAutoDefault(false);
  QObject::connect(button, &QPushButton::clicked, box, [box] { BrowseFolder(box->window(), box); });
  return button;
}

void BrowseFolder(QWidget* parent, QLineEdit* box) {
  const QString chosen = QFileDialog::getExistingDirectory(parent, QObject::tr(kBrowseFolderText), box->text());
  if (!chosen.isEmpty() && chosen != box->text()) box->setText(chosen);
}

QString FolderCheckMessage(const QString& folder, bool forWriting) {
  if (folder.isEmpty()) return QObject::tr(kMsgFolderEmpty);
  const QFileInfo info(folder);
  const bool reachable = info.isDir() && info.isExecutable() && info.isReadable() && (!forWriting || info.isWritable());
  return reachable ? QString() : QObject::tr(kMsgFolderMissing);
}

QString TrimBox(QLineEdit* box) {
  const QString trimmed = TrimText(box->text());
  if (trimmed != box->text()) box->setText(trimmed);
  return trimmed;
}

void ShowCheckError(QWidget* parent, const QString& message) {
  QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), message, QMessageBox::Ok, parent);
  box.exec();
}
