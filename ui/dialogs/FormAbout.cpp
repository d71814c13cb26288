#include "ui/dialogs/FormAbout.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "platform/Version.h"
#include "ui/dialogs/DialogImages.h"

namespace {
constexpr int kWidth = 332, kHeight = 274, kCreditHeight = 26, kTextX = 15, kTextWidth = 302;

// A centred line of text; links are blue, underlined, with a hand cursor, and
// a click asks the desktop to open the address they show.
QLabel* AddLine(QWidget* parent, const char* name, int y, bool link) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setGeometry(kTextX, y, kTextWidth, 16);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  if (link) {
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
    // Clicks reach the label's own mouse handling through an event filter.
    label->installEventFilter(parent);
  }
  return label;
}
}  // namespace

QString KestroVersion() { return QStringLiteral(KESTRO_VERSION); }

TFormAbout::TFormAbout(QWidget* parent, const QString& homePage, const QString& localizerExt)
    : TDialogBase(parent, tr("About Kestro"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter),
      FHomePage(homePage),
      FLocalizerExt(localizerExt) {
  setObjectName("TFormAbout");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  SetClientSize(kWidth, kHeight);

  auto* band = new QLabel(this);
  band->setObjectName("imLogo");
  band->setGeometry(0, 0, kWidth, 76);
  band->setAutoFillBackground(true);
  QPalette white = band->palette();
  white.setColor(QPalette::Window, Qt::white);
  band->setPalette(white);
  band->setAlignment(Qt::AlignCenter);
  band->setPixmap(AboutLogo());

  lbVersion = AddLine(this, "lbVersion", 96, false);
  QFont bold = lbVersion->font();
  bold.setBold(true);
  lbVersion->setFont(bold);
  lbWelcome = AddLine(this, "lbWelcome", 128, false);
  lbHomePage = AddLine(this, "lbHomePage", 148, true);
  lbLocalization = AddLine(this, "lbLocalization", 180, false);
  lbLocalizationHomePage = AddLine(this, "lbLocalizationHomePage", 198, true);
  lbLocalization->hide();
  lbLocalizationHomePage->hide();

  FOk = AddOkButton((kWidth - 75) / 2, 236);

  aTimer = new QTimer(this);
  aTimer->setObjectName("aTimer");
  aTimer->setInterval(2000);
  aTimer->setSingleShot(true);
  connect(aTimer, &QTimer::timeout, this, &QDialog::accept);
}

void TFormAbout::SetStartupForm(int flag) {
  lbVersion->setText(tr("Version ") + KestroVersion());
  lbWelcome->setText(tr("Please visit Kestro Homepage on the web:"));
  lbHomePage->setText(FHomePage);
  if (FLocalizerExt == QLatin1String("ES")) {
    lbLocalization->setText(tr(kSpanishCredit));
    lbLocalizationHomePage->setText(QString::fromLatin1(kSpanishTranslatorPage));
    lbLocalization->show();
    lbLocalizationHomePage->show();
    SetClientSize(kWidth, kHeight + kCreditHeight);
    FOk->move(FOk->x(), 236 + kCreditHeight);
  }
  if (flag != 0)
    aTimer->start();
  else
    aTimer->stop();
}

bool TFormAbout::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && (watched == lbHomePage || watched == lbLocalizationHomePage)) {
    const QString address = static_cast<QLabel*>(watched)->text();
    if (!address.isEmpty()) QDesktopServices::openUrl(QUrl::fromUserInput(address));
    return true;
  }
  return TDialogBase::eventFilter(watched, event);
}

int RunAboutDialog(QWidget* parent, const QString& homePage, const QString& localizerExt, int startupFlag) {
  TFormAbout form(parent, homePage, localizerExt);
  form.SetStartupForm(startupFlag);
  return form.exec();
}
