#include <gtest/gtest.h>

#include <climits>

#include "core/Addresses.h"
#include "core/Jobs.h"
#include "core/Options.h"
#include "core/Users.h"

namespace {
ProviderSettings TestProvider() {
  ProviderSettings p;
  p.Pop3Server = "pop.example.test";
  p.Pop3Port = 1995;
  p.Imap4Server = "imap.example.test";
  p.Imap4Port = 1993;
  p.Domain = "example.test";
  return p;
}
}  // namespace

TEST(Options, PresetsAndDerivedFields) {
  TClassOptions o(nullptr, TestProvider());
  EXPECT_EQ(o.AttachCompress(), 3);
  EXPECT_EQ(o.AttachVolume(), 10000000);
  EXPECT_EQ(o.Pop3AccelTime(), 10);
  EXPECT_EQ(o.TimeoutClient(), 3600);
  EXPECT_EQ(o.Pop3Folder(), "Inbox");
  EXPECT_EQ(o.Pop3Server(), "pop.example.test");
  EXPECT_EQ(o.Pop3Port(), 1995);
  EXPECT_TRUE(o.Pop3Ssl() && o.SmtpSsl() && o.SmtpAuthentOn() && o.SmtpPop3Authent());
  EXPECT_FALSE(o.StartupAbout() || o.StartupRun() || o.StartupTray() || o.StartupSystem());

  struct {
    const char *account, *address;
  } accounts[] = {
      {"alice", "alice@example.test"},
      {"alice@elsewhere.org", "alice@example.test"},
      {"RECENT:alice", "alice@example.test"},
      {"re Recent:cent:ali", "re cent:ali@example.test"},
      {" alice\t", "alice@example.test"},
      {"", "@example.test"},
  };
  for (const auto& a : accounts) {
    o.SetPop3Account(a.account);
    EXPECT_EQ(o.SmtpAddress(), a.address) << a.account;
    EXPECT_EQ(o.Pop3Account(), a.account);
  }

  for (int type : {1, 2, -1}) {
    o.SetPop3Type(type);
    EXPECT_EQ(o.Pop3Server(), "imap.example.test");
    EXPECT_EQ(o.Pop3Port(), 1993);
    EXPECT_EQ(o.Pop3Type(), type);
  }
  o.SetPop3Type(0);
  EXPECT_EQ(o.Pop3Server(), "pop.example.test");
  EXPECT_EQ(o.Pop3Port(), 1995);
}

// A stored number within the options dialog's limits is in effect as it is;
// 0 (nothing stored yet) or one outside the limits means its preset. The
// stored value itself stays.
TEST(Options, ValuesInEffect) {
  const struct {
    qint32 Accel, Volume, Timeout, Pack;
    qint32 WantAccel, WantVolume, WantTimeout, WantPack;
  } cases[] = {
      {0, 0, 0, 0, 10, 10000000, 3600, 0},
      {10, 1000000, 360, 9, 10, 1000000, 360, 9},
      {2419200, 25000000, 2419200, 5, 2419200, 25000000, 2419200, 5},
      {9, 999999, 359, 10, 10, 10000000, 3600, 3},
      {2419201, 25000001, 2419201, -1, 10, 10000000, 3600, 3},
      {-5, -5, -5, -5, 10, 10000000, 3600, 3},
  };
  for (const auto& c : cases) {
    TClassOptions o(nullptr, TestProvider());
    o.SetPop3AccelTime(c.Accel);
    o.SetAttachVolume(c.Volume);
    o.SetTimeoutClient(c.Timeout);
    o.SetAttachCompress(c.Pack);
    SCOPED_TRACE(testing::Message() << c.Accel << ' ' << c.Volume << ' ' << c.Timeout << ' ' << c.Pack);
    EXPECT_EQ(o.EffectivePollSeconds(), c.WantAccel);
    EXPECT_EQ(o.EffectiveVolumeSize(), c.WantVolume);
    EXPECT_EQ(o.EffectiveTimeoutSeconds(), c.WantTimeout);
    EXPECT_EQ(o.EffectivePackLevel(), c.WantPack);
    EXPECT_EQ(o.Pop3AccelTime(), c.Accel);
    EXPECT_EQ(o.AttachVolume(), c.Volume);
  }
  // The longest period in milliseconds does not fit an int: it is capped.
  TClassOptions o(nullptr, TestProvider());
  o.SetPop3AccelTime(2419200);
  EXPECT_EQ(o.EffectivePollMilliseconds(), INT_MAX);
  o.SetPop3AccelTime(0);
  EXPECT_EQ(o.EffectivePollMilliseconds(), 10000);
}

TEST(Friends, LookupOfTheSender) {
  TClassUserList users(nullptr);
  TClassAnonymous anonymous;
  EXPECT_EQ(anonymous.Address(), "All Anonymous");
  EXPECT_TRUE(anonymous.Enabled());
  anonymous.SetEnabled(false);
  anonymous.SetFolder("/srv/anon");
  TClassUser* first = users.Add();
  first->SetAddress(" Bob@Example.TEST");
  first->SetFolder("/srv/bob");
  TClassUser* twin = users.Add();
  twin->SetAddress("bob@example.test ");
  twin->SetFolder("/srv/twin");
  EXPECT_TRUE(first->Authent() && first->CmdLine() && first->ChangeDir() && first->Download());

  EXPECT_EQ(users.Find("bob@example.test"), first);
  auto shares = ShareSnapshot::From(users, anonymous);
  ShareLookup hit = LookupSender(*shares, "BOB@example.test");
  EXPECT_TRUE(hit.Granted && !hit.Anonymous);
  EXPECT_EQ(hit.Folder, "/srv/bob");  // the first of two equal friends serves
  EXPECT_EQ(hit.KeyAddress, " Bob@Example.TEST");
  EXPECT_FALSE(LookupSender(*shares, "carol@example.test").Granted);

  anonymous.SetEnabled(true);
  shares = ShareSnapshot::From(users, anonymous);
  ShareLookup anon = LookupSender(*shares, " Carol@example.test");
  EXPECT_TRUE(anon.Granted && anon.Anonymous);
  EXPECT_EQ(anon.Folder, "/srv/anon");
  EXPECT_EQ(anon.KeyAddress, " Carol@example.test");  // keyed with the sender's own address

  users.Clear();
  EXPECT_EQ(users.Count(), 0);
  EXPECT_TRUE(LookupSender(*ShareSnapshot::From(users, anonymous), "x@y").Anonymous);
}

TEST(Addresses, HistoryKeepsOrderAndCase) {
  TClassAddressList history(nullptr);
  EXPECT_TRUE(history.Remember("bob@example.test"));
  EXPECT_TRUE(history.Remember("carol@example.test"));
  EXPECT_TRUE(history.Remember("bob@example.test"));
  EXPECT_TRUE(history.Remember("Bob@example.test"));
  EXPECT_EQ(history.Addresses(), QStringList({"bob@example.test", "carol@example.test", "Bob@example.test"}));
  EXPECT_TRUE(history.Contains("Bob@example.test"));
  EXPECT_FALSE(history.Contains("BOB@example.test"));
}

TEST(ModelLists, ItemsFreedElsewhereDropOut) {
  QObject main;
  TClassAddressList history(&main);
  TClassAddress* a = history.Add();
  history.Add();
  EXPECT_EQ(a->parent(), &main);
  delete a;
  EXPECT_EQ(history.Count(), 1);
  history.Delete(0);
  EXPECT_EQ(history.Count(), 0);
  EXPECT_TRUE(main.children().isEmpty());  // removal frees the item
}

TEST(Jobs, OpenAndUpdateServingJob) {
  TClassThreadList jobs(nullptr);
  jobs.OpenServingJob("20260301120000001", "$_list", "bob@example.test", "list", "");
  TClassThread* r = jobs.OpenServingJob("20260301120000002", "?_download", "carol@example.test", "download", "a\r\n");
  ASSERT_EQ(jobs.Count(), 1);
  EXPECT_EQ(jobs[0], r);
  EXPECT_EQ(r->State(), jsActive);
  EXPECT_EQ(r->Progress(), 50);
  EXPECT_EQ(r->Info(), "");
  EXPECT_EQ(r->Split(), 0);

  jobs.UpdateServingJob("20260301120000002.25000000.3", jsActive, "", true, 10);
  EXPECT_EQ(r->Size(), 25000000);
  EXPECT_EQ(r->Split(), 3);
  EXPECT_EQ(r->Progress(), 60);
  jobs.UpdateServingJob("20260301120000002", jsActive, "", false, 75);  // not 135
  EXPECT_EQ(r->Progress(), 75);
  EXPECT_EQ(r->Size(), 0);
  EXPECT_EQ(r->Split(), 0);
  jobs.UpdateServingJob("20260301120000002", jsActive, "", true, 35);  // additive sums stay above 100
  EXPECT_EQ(r->Progress(), 110);
  jobs.UpdateServingJob("20260301120000002", jsError, "Error: x", false, 0);  // then any report caps it
  EXPECT_EQ(r->Progress(), 100);
  EXPECT_EQ(r->State(), jsError);
  EXPECT_EQ(r->Info(), "Error: x");

  // Unknown identifiers and bad tags change nothing.
  jobs.UpdateServingJob("20260301120000009", jsDone, "Done", false, 100);
  EXPECT_THROW(jobs.UpdateServingJob("20260301120000002.x.3", jsDone, "Done", false, 1), EConvertError);
  EXPECT_EQ(r->State(), jsError);
  EXPECT_EQ(r->Info(), "Error: x");
}

TEST(Jobs, IdentifiersCompareWithCase) {
  TClassThreadList jobs(nullptr);
  TClassThread* r = jobs.OpenServingJob("abc", "", "", "", "");
  jobs.UpdateServingJob("ABC", jsDone, "Done", false, 100);
  EXPECT_EQ(r->State(), jsActive);
  EXPECT_EQ(r->Progress(), 50);
}
