// One QApplication for all dialog tests, on the offscreen platform.
#include <QApplication>
#include <QLocale>
#include <QTemporaryDir>

#include "platform/Settings.h"

#include "DialogTest.h"

namespace {
class TQtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The autostart entry and the installation settings of a scratch home:
    // no settings file, so the defaults of a default installation.
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", (FHome->path() + "/config").toLocal8Bit());
    qputenv("KESTRO_SETTINGS", (FHome->path() + "/settings.ini").toLocal8Bit());
    InstallSettings::Reload();
    // Number boxes show the locale's thousands separator; the tests use ",".
    QLocale::setDefault(QLocale::c());
    static int argc = 1;
    static char name[] = "test_dialogs";
    static char* argv[] = {name, nullptr};
    FApp = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    FApp.reset();
    FHome.reset();
  }

private:
  std::unique_ptr<QTemporaryDir> FHome;
  std::unique_ptr<QApplication> FApp;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);
}  // namespace
