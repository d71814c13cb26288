#include "ui/dialogs/FormError.h"

#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>
#include <QVBoxLayout>

#include "ui/dialogs/DialogImages.h"

namespace {
constexpr int kWidth = 347, kFullHeight = 277, kGap = 16;
}

TFormError::TFormError(QWidget* parent)
    : TDialogBase(parent, tr("Error"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter) {
  setObjectName("TFormError");
  auto* picture = new QLabel(this);
  picture->setObjectName("imError");
  picture->setGeometry(8, 8, 32, 32);
  picture->setPixmap(ErrorPicture());

  lbMessage = new QLabel(this);
  lbMessage->setObjectName("lbMessage");
  lbMessage->setGeometry(52, 8, 285, 46);
  lbMessage->setWordWrap(true);
  lbMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lbMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);

  btDetails = new QPushButton(tr("Details >>"), this);
  btDetails->setObjectName("btDetails");
  btDetails->setGeometry(180, 62, 75, 25);
  btDetails->setAutoDefault(false);
  connect(btDetails, &QPushButton::clicked, this, &TFormError::btDetailsClick);
  AddOkButton(262, 62);

  pnDetails = new QWidget(this);
  pnDetails->setObjectName("pnDetails");
  pnDetails->setGeometry(8, 95, 331, 166);
  auto* layout = new QVBoxLayout(pnDetails);
  layout->setContentsMargins(0, 0, 0, 0);
  edDetails = new QPlainTextEdit(pnDetails);
  edDetails->setObjectName("edDetails");
  edDetails->setReadOnly(true);
  edDetails->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  layout->addWidget(edDetails);
  pnDetails->hide();

  // The details panel starts outside the window.
  FClientHeight = kFullHeight - pnDetails->height() - kGap;
  SetClientSize(kWidth, FClientHeight);
}

void TFormError::SetMessage(const QString& message) { lbMessage->setText(message); }

void TFormError::SetDetails(const QStringList& lines) { edDetails->setPlainText(lines.join('\n')); }

void TFormError::btDetailsClick() {
  if (pnDetails->isVisible()) {
    btDetails->setText(tr("Details >>"));
    FClientHeight -= pnDetails->height() + kGap;
    pnDetails->hide();
  } else {
    btDetails->setText(tr("<< Details"));
    FClientHeight += pnDetails->height() + kGap;
    pnDetails->show();
  }
  SetClientSize(kWidth, FClientHeight);
}

void TFormError::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    btDetails->click();
    return;
  }
  TDialogBase::keyPressEvent(event);
}

bool ReadLogDetails(const QString& logFile, QStringList& lines) {
  lines.clear();
  QFile file(logFile);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&file);
  bool first = true;
  while (!in.atEnd()) {
    const QString line = in.readLine();
    if (!first) lines << line;
    first = false;
  }
  return true;
}

void ShowErrorDialog(QWidget* parent, const QString& message, const QStringList& details) {
  TFormError form(parent);
  form.SetMessage(message);
  form.SetDetails(details);
  form.exec();
}
