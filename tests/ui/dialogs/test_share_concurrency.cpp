// The share dialog's result replaces the friends while serving threads look
// senders up through the published snapshot (also run under ThreadSanitizer).
#include <QAction>
#include <QTreeWidget>
#include <atomic>
#include <thread>
#include <vector>

#include "DialogTest.h"
#include "core/Users.h"
#include "ui/dialogs/FormUsers.h"

// Every lookup sees one whole generation, never a half-built list or a freed friend.
TEST(ShareDialogConcurrency, ApplyWhileServingThreadsLookUp) {
  QObject owner;
  TClassUserList users(&owner);
  for (const char* address : {"bob@x.test", "Amy@x.test", "cat@x.test"}) {
    TClassUser* user = users.Add();
    user->SetAddress(address);
    user->SetFolder("/srv/start");
  }
  TClassAnonymous anonymous;
  ShareDirectory directory;
  TFormUsers form(nullptr, "x.test");
  form.FillShareDialog(users, anonymous);

  // Each generation gives bob and the anonymous share the same folder, and
  // switches the anonymous share on or off.
  auto applyGeneration = [&](int generation) {
    const QString folder = QStringLiteral("/srv/gen%1").arg(generation);
    form.tlFriends->topLevelItem(0)->setText(1, folder);
    form.tlAnonymous->topLevelItem(0)->setText(1, folder);
    if (generation % 3 == 0)
      form.aDisableAnonymous->trigger();
    else
      form.aEnableAnonymous->trigger();
    form.ApplyShareDialog(users, anonymous);
    directory.Publish(ShareSnapshot::From(users, anonymous));
  };
  applyGeneration(0);

  std::atomic<bool> stop{false};
  std::atomic<int> lookups{0}, torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const auto snapshot = directory.Current();
        const ShareLookup bob = LookupSender(*snapshot, " BOB@x.test");
        const ShareLookup stranger = LookupSender(*snapshot, "nobody@else.test");
        const bool whole =
            bob.Granted && (stranger.Granted ? stranger.Folder == bob.Folder : !snapshot->AnonymousEnabled);
        if (!whole) ++torn;
        if (!directory.Lookup("cat@x.test").Granted) ++torn;
        ++lookups;
      }
    });
  }
  // The rebuilds start once every reader is looking up.
  while (lookups.load() < 30) std::this_thread::yield();
  for (int generation = 1; generation <= 300; ++generation) applyGeneration(generation);
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_EQ(directory.Lookup("bob@x.test").Folder, "/srv/gen300");
  EXPECT_FALSE(directory.Lookup("someone@else.test").Granted);  // generation 300 switched it off
}
