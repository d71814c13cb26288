// The about box: version and home page; at start-up it closes itself after 2 s.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QLabel;
class QTimer;

class TFormAbout : public TDialogBase {
  Q_OBJECT
public:
  TFormAbout(QWidget* parent, const QString& homePage, const QString& localizerExt);

  // Fills the texts, applies the language credit, and arms aTimer (2000 ms,
  // closes the box with OK) when flag is not 0.
  void SetStartupForm(int flag);

  QLabel* lbVersion;
  QLabel* lbWelcome;
  QLabel* lbHomePage;
  QLabel* lbLocalization;
  QLabel* lbLocalizationHomePage;
  QTimer* aTimer;

protected:
  // A click on a link line opens its address.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QString FHomePage, FLocalizerExt;
  QPushButton* FOk;
};

// The version the program shows.
QString KestroVersion();

// The credit shown for the "ES" translation and its translator's web address.
inline const char* const kSpanishCredit = "Spanish translation of the user interface:";
inline const char* const kSpanishTranslatorPage = "https://kestro.example.org/es/";

// Shows the about box modally; startupFlag is the tag of the about action (1 at
// start-up: the box closes by itself after 2 s; 0 from the menu). Returns the result.
int RunAboutDialog(QWidget* parent, const QString& homePage, const QString& localizerExt, int startupFlag);
