#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include "platform/Settings.h"

QString AutostartFile() { return XdgConfigHome() + "/autostart/kestro.desktop"; }

bool WriteAutostartEntry(const QString& command) {
  const QString path = AutostartFile();
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
  QString exec = command;
  exec.replace('\n', ' ').replace('\r', ' ');
  const QByteArray text = "[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Kestro\n"
                          "Comment=Share folders with friends over e-mail\n"
                          "Exec=" + exec.toUtf8() + "\n"
                          "X-GNOME-Autostart-enabled=true\n";
  file.write(text);
  return file.commit();
}

bool RemoveAutostartEntry() {
  QFile file(AutostartFile());
  return !file.exists() || file.remove();
}

QString ReadAutostartEntry() {
  QFile file(AutostartFile());
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  bool inEntry = false;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.startsWith('[')) {
      inEntry = line == QLatin1String("[Desktop Entry]");
    } else if (inEntry && line.startsWith(QLatin1String("Exec="))) {
      return line.mid(5).trimmed();
    }
  }
  return {};
}
