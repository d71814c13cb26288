// Saves the configuration over and over, each time with content derived from
// a counter, and reports every completed save on stdout. The crash-safety test
// kills it at random moments.
#include "main/ClassMain.h"
#include "MainTestEnv.h"

#include <QCoreApplication>
#include <cstdio>

// The content of generation k; the test checks a loaded configuration against it.
void Fill(TClassMain& main, int k) {
  main.Options().SetPop3AccelTime(k);
  main.Options().SetDownloadFolder(QString("/downloads/%1").arg(k));
  main.Addresses().Clear();
  for (int i = 0; i <= k % 5; ++i) main.Addresses().Remember(QString("peer%1-%2@example.org").arg(k).arg(i));
  main.SetRemoteHost(QString("peer%1-0@example.org").arg(k));
  main.Users().Clear();
  for (int i = 0; i < 3; ++i) {
    TClassUser* u = main.Users().Add();
    u->SetAddress(QString("friend%1-%2@example.org").arg(k).arg(i));
    u->SetFolder(QString("/share/%1/%2").arg(k).arg(i));
  }
  main.Anonymous().SetFolder(QString("/anonymous/%1").arg(k));
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  MainTestEnv env(QString::fromLocal8Bit(argv[1]));
  TClassMain main(nullptr);
  for (int k = main.Options().Pop3AccelTime() + 1;; ++k) {
    Fill(main, k);
    main.Save();
    std::printf("%d\n", k);
    std::fflush(stdout);
  }
}
