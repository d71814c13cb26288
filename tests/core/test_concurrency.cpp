#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

#include "core/Users.h"

// Serving threads look senders up while the main thread rebuilds the friends
// from scratch: every lookup sees one whole generation of the list.
TEST(ShareDirectory, LookupsSeeWholeSnapshotsWhileTheListIsRebuilt) {
  ShareDirectory directory;
  TClassUserList users(nullptr);
  TClassAnonymous anonymous;
  anonymous.SetEnabled(false);
  std::atomic<bool> stop{false};
  std::atomic<int> lookups{0}, torn{0};

  auto rebuild = [&](int generation) {
    users.Clear();
    for (int i = 0; i < 20; ++i) {
      TClassUser* u = users.Add();
      u->SetAddress(QStringLiteral("friend%1@example.test").arg(i));
      u->SetFolder(QStringLiteral("/srv/gen%1").arg(generation));
    }
    directory.Publish(ShareSnapshot::From(users, anonymous));
  };
  rebuild(0);

  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      while (!stop.load()) {
        const auto snapshot = directory.Current();
        const ShareLookup first = LookupSender(*snapshot, "friend0@example.test");
        const ShareLookup last = LookupSender(*snapshot, QStringLiteral("FRIEND19@example.test "));
        if (!first.Granted || !last.Granted || first.Folder != last.Folder) ++torn;
        if (directory.Lookup(QStringLiteral("friend%1@example.test").arg(t)).Folder.isEmpty()) ++torn;
        ++lookups;
      }
    });
  }
  // Rebuild while the readers run, until they have looked up many times.
  int generation = 0;
  while (++generation <= 300 || lookups.load() < 2000) rebuild(generation);
  --generation;
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(directory.Lookup("friend5@example.test").Folder, QStringLiteral("/srv/gen%1").arg(generation));
}
