// Renders the main window, online, with the State panel expanded and a row in
// each state, and a listing in the file tree, into OUTPUT_FOLDER/main-window.png;
// then the Shared list with what a friend and a stranger asked for into
// OUTPUT_FOLDER/main-window-shared.png; then a listing with folders, opened
// one folder down, into OUTPUT_FOLDER/main-window-folders.png.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTabBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "core/Jobs.h"
#include "platform/Settings.h"
#include "ui/FormKestro.h"
#include "ui/ServedList.h"

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
  const QString who = QStringLiteral("bob@example.test");
  form.FillAddressBox(who);
  const struct {
    const char* name;
    const char* size;
  } files[] = {{"Holiday photos.zip", "48,213KB"}, {"notes.txt", "3KB"}, {"Quarterly report.pdf", "1,024KB"},
               {"recipes.odt", "87KB"}, {"song.ogg", "4,310KB"}};
  QList<QPair<QString, QString>> listing;
  for (const auto& f : files) listing.append({QString::fromUtf8(f.name), QString::fromLatin1(f.size)});
  form.FillFileTree(listing);

  JobRowModel& rows = form.JobRows();
  rows.AddJobRow("20261210101500001", "$_list", "", "list", who);
  rows.UpdateJobRow("20261210101500001", jsDone, "Done", false, 100);
  rows.AddJobRow("20261210102000002", "$_download", "song.ogg\r\n", "download", who);
  rows.UpdateJobRow("20261210102000002", jsError, "Error: User forbidden.", false, 0);
  rows.AddJobRow("20261210102500003", "$_download", "notes.txt\r\n", "download", who);
  rows.Stop(0);
  rows.AddJobRow("20261210103000004", "$_download", "Holiday photos.zip\r\n", "download", who);
  rows.UpdateJobRow("20261210103000004.30000000.3", jsActive, "Done", false, 67);
  form.ShowJobStatus(jsActive, JobRowModel::ProgressText(67));

  ServedListModel& served = form.ServedList();
  served.Opened("20261210094500001", "alice@example.test", "download", "Quarterly report.pdf\r\nnotes.txt\r\n");
  served.Changed("20261210094500001", jsDone, 100, "Done");
  served.Opened("20261210095000002", "carol@example.test", "list", "");
  served.Changed("20261210095000002", jsError, 0, "Error: User forbidden.");
  served.Opened("20261210101000003", "alice@example.test", "download", "song.ogg\r\n");
  served.Changed("20261210101000003", jsActive, 50, "Done");

  form.show();
  form.ShowOnlineState(false);  // a picture cannot be online: say so, and offer the switch
  form.aState->trigger();  // expanded
  QTimer::singleShot(500, [&] {
    bool ok = form.grab().save(out + "/main-window.png");
    form.tbLists->setCurrentIndex(1);
    QTimer::singleShot(300, [&, ok]() mutable {
      ok = form.grab().save(out + "/main-window-shared.png") && ok;
      // bob's "Holiday" folder: its subfolders first, the ".." row up to the top.
      form.tbLists->setCurrentIndex(0);
      form.SetListingPlace(who, QStringLiteral("/Holiday"));
      form.FillFileTree({{QStringLiteral("Beach/"), QStringLiteral("DIR")},
                         {QStringLiteral("Mountains/"), QStringLiteral("DIR")},
                         {QStringLiteral("map.png"), QStringLiteral("412KB")},
                         {QStringLiteral("route.gpx"), QStringLiteral("38KB")},
                         {QStringLiteral("tickets.pdf"), QStringLiteral("96KB")}});
      QTimer::singleShot(300, [&, ok]() mutable {
        ok = form.grab().save(out + "/main-window-folders.png") && ok;
        QApplication::exit(ok ? 0 : 1);
      });
    });
  });
  return QApplication::exec();
}
