// One QApplication for all dialog tests, on the offscreen platform.
#include <QApplication>
#include <QLocale>

#include "DialogTest.h"

namespace {
class TQtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Number boxes show the locale's thousands separator; the tests use ",".
    QLocale::setDefault(QLocale::c());
    static int argc = 1;
    static char name[] = "test_dialogs";
    static char* argv[] = {name, nullptr};
    FApp = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { FApp.reset(); }

private:
  std::unique_ptr<QApplication> FApp;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);
}  // namespace
