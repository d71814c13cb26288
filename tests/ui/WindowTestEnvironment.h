// The QApplication of a window test, in an installation of its own: the test
// mail stack's installation settings when a stack runs, with temporary folders
// of its own (the engine empties them at start); folders of its own in any case.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "MailStack.h"
#include "TestFiles.h"
#include "platform/Settings.h"

class WindowTestEnvironment : public ::testing::Environment {
public:
  explicit WindowTestEnvironment(const char* name) : FArgv{const_cast<char*>(name), nullptr} {}
  void SetUp() override {
    if (MailStack::Get().Ok()) {
      const QString settings = Home().path() + "/settings.ini";
      WriteFile(settings, MailStack::Get().SettingsWith({{"TEMP_INPUT", Home().path() + "/input"},
                                                         {"TEMP_OUTPUT", Home().path() + "/output"}}));
      qputenv("KESTRO_SETTINGS", settings.toUtf8());
    }
    qputenv("XDG_CONFIG_HOME", (Home().path() + "/config").toUtf8());
    qputenv("KESTRO_RUNTIME_DIR", (Home().path() + "/run").toUtf8());
    InstallSettings::Reload();
    FApp = new QApplication(FArgc, FArgv);
  }
  void TearDown() override { delete FApp; }
  static QTemporaryDir& Home() {
    static QTemporaryDir dir;
    return dir;
  }

private:
  int FArgc = 1;
  char* FArgv[2];
  QApplication* FApp = nullptr;
};
