// A private installation for application-object tests: settings file, CONF
// folder and autostart folder inside one temporary folder.
#pragma once

#include "platform/Settings.h"

#include <QFile>
#include <QString>
#include <cstdlib>

struct MainTestEnv {
  QString Root;
  QString Conf() const { return Root + "/conf"; }
  QString Xdg() const { return Root + "/xdg"; }

  // Points this process (and its children) at an installation under root.
  explicit MainTestEnv(const QString& root) : Root(root) {
    QFile ini(Root + "/settings.ini");
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
      ini.write(("[Options]\n"
                 "HOME=https://example.org/home\n"
                 "NAME=/opt/kestro/bin/kestro --from-autostart\n"
                 "QSTART=/opt/kestro/quickstart.pdf\n"
                 "LOG=" + Root + "/log\n"
                 "LocalizerExt=ES\n"
                 "TEMP_INPUT=" + Root + "/in\n"
                 "TEMP_OUTPUT=" + Root + "/out\n"
                 "CONF=" + Conf() + "\n")
                    .toUtf8());
    ini.close();
    ::setenv("KESTRO_SETTINGS", QFile::encodeName(Root + "/settings.ini").constData(), 1);
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(Xdg()).constData(), 1);
    InstallSettings::Reload();
  }
};
