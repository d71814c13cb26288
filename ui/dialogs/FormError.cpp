#include "ui/dialogs/FormError.h"

#include <QFile>
#include <algorithm>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>
#include <QVBoxLayout>

#include "ui/dialogs/DialogImages.h"

namespace {
constexpr int kWidth = 347, kFullHeight = 277, kGap = 16, kMessageHeight = 46;
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
  lbMessage->setGeometry(52, 8, 285, kMessageHeight);
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

void TFormError::SetMessage(const QString& message) {
  lbMessage->setText(message);
  // A message longer than the label's three lines makes room for itself: the
  // buttons and the details move down, the window grows (it never shrinks
  // below its first size).
  const int needed = std::max(kMessageHeight, lbMessage->heightForWidth(lbMessage->width()));
  const int grow = needed - lbMessage->height();
  if (grow == 0) return;
  lbMessage->resize(lbMessage->width(), needed);
  for (QWidget* w : {static_cast<QWidget*>(btDetails), static_cast<QWidget*>(findChild<QPushButton*>("btOk")), pnDetails})
    if (w) w->move(w->x(), w->y() + grow);
  FClientHeight += grow;
  SetClientSize(kWidth, FClientHeight);
}

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
