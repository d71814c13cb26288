#include "ui/dialogs/FormProperties.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "core/Jobs.h"

namespace {
constexpr int kBoxX = 82, kBoxWidth = 299, kRowStep = 28;

// A flat, read-only box.
void MakeFlat(QWidget* box) {
  QPalette palette = box->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  box->setPalette(palette);
}
}  // namespace

TFormProperties::TFormProperties(QWidget* parent)
    : TDialogBase(parent, tr("Properties"), QStringLiteral("MS Sans Serif"), DialogPlacement::OwnerCenter) {
  setObjectName("TFormProperties");
  SetClientSize(389, 404);
  int y = 8;
  auto addRow = [this, &y](const QString& label, const char* name) {
    AddLabel(this, label, 8, y, 72, 21)->setAlignment(Qt::AlignVCenter);
    QLineEdit* box = AddEdit(this, name, kBoxX, y, kBoxWidth);
    box->setReadOnly(true);
    box->setFrame(false);
    MakeFlat(box);
    y += kRowStep;
    return box;
  };
  edThreadID = addRow(tr("Thread ID:"), "edThreadID");
  edState = addRow(tr("State:"), "edState");
  edStarted = addRow(tr("Started:"), "edStarted");
  edFinished = addRow(tr("Finished:"), "edFinished");
  edAction = addRow(tr("Action:"), "edAction");
  edAddress = addRow(tr("Address:"), "edAddress");
  edSubject = addRow(tr("Subject:"), "edSubject");
  AddLabel(this, tr("Text:"), 8, y, 72, 21)->setAlignment(Qt::AlignVCenter);
  edText = new QPlainTextEdit(this);
  edText->setObjectName("edText");
  edText->setGeometry(kBoxX, y, kBoxWidth, 129);
  edText->setReadOnly(true);
  edText->setFrameStyle(QFrame::NoFrame);
  edText->setLineWrapMode(QPlainTextEdit::NoWrap);
  edText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MakeFlat(edText);
  AddOkButton(306, 370)->setFocus();
}

void TFormProperties::Fill(const JobRowView& row) {
  setWindowTitle(tr("Thread ") + windowTitle());
  edThreadID->setText(row.Number);
  edState->setText(StateName(row.State));
  edStarted->setText(row.Started);
  edFinished->setText(row.Finished);
  edAction->setText(row.Action);
  edAddress->setText(row.Address);
  edSubject->setText(row.Subject);
  edText->setPlainText(row.Text);
  if (row.State == jsError) {
    QPalette palette = edState->palette();
    palette.setColor(QPalette::Text, QColor(255, 0, 0));
    edState->setPalette(palette);
    edState->setText(row.Info);
  }
  for (QLineEdit* box : {edThreadID, edState, edStarted, edFinished, edAction, edAddress, edSubject})
    box->setCursorPosition(0);
}

void RunPropertiesDialog(QWidget* parent, const JobRowView& row) {
  TFormProperties form(parent);
  form.Fill(row);
  form.exec();
}
