// Renders the main window with the State panel expanded and a row in each
// state, and a listing in the file tree, into OUTPUT_FOLDER/main-window.png.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "core/Jobs.h"
#include "platform/Settings.h"
#include "ui/FormKestro.h"

int main(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("KESTRO_SETTINGS", (home.path() + "/none.ini").toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
  qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toUtf8());
  qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());
  QApplication app(argc, argv);
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(out);

  TFormKestro form(std::make_unique<Engine>(home.path() + "/conf"));
  form.FillAddressBox(QStringLiteral("bob@example.test"));
  const struct {
    const char* name;
    const char* size;
  } files[] = {{"Holiday photos.zip", "48,213KB"}, {"notes.txt", "3KB"}, {"Quarterly report.pdf", "1,024KB"},
               {"recipes.odt", "87KB"}, {"song.ogg", "4,310KB"}};
  QList<QPair<QString, QString>> listing;
  for (const auto& f : files) listing.append({QString::fromUtf8(f.name), QString::fromLatin1(f.size)});
  form.FillFileTree(listing);

  JobRowModel& rows = form.JobRows();
  const QString who = QStringLiteral("bob@example.test");
  rows.AddJobRow("20261210101500001", "$_list", "", "list", who);
  rows.UpdateJobRow("20261210101500001", jsDone, "Done", false, 100);
  rows.AddJobRow("20261210102000002", "$_download", "song.ogg\r\n", "download", who);
  rows.UpdateJobRow("20261210102000002", jsError, "Error: User forbidden.", false, 0);
  rows.AddJobRow("20261210102500003", "$_download", "notes.txt\r\n", "download", who);
  rows.Stop(0);
  rows.AddJobRow("20261210103000004", "$_download", "Holiday photos.zip\r\n", "download", who);
  rows.UpdateJobRow("20261210103000004.30000000.3", jsActive, "Done", false, 67);
  form.ShowJobStatus(jsActive, JobRowModel::ProgressText(67));

  form.show();
  form.aState->trigger();  // expanded
  QTimer::singleShot(500, [&] {
    const bool ok = form.grab().save(out + "/main-window.png");
    QApplication::exit(ok ? 0 : 1);
  });
  return QApplication::exec();
}
