#include <gtest/gtest.h>

#include "core/Jobs.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"

using namespace peer;

namespace {
const QString kOnline = "20260301120000000";
const QString kFresh = "20260301130000000";
}  // namespace

TEST(PeerMessage, ReceivedSubjectsAreTakenApartAndJudged) {
  struct Case {
    const char* subject;
    const char* stopJobId;
    const char *prefix, *ident, *identBase, *rest;
    bool taken;
  } cases[] = {
      // requests of the program: newer than the online stamp only
      {"$_20260301120000001_Zm9vYg==", "", "$_", "20260301120000001", "20260301120000001", "Zm9vYg==", true},
      {"$_20260301120000000_Zm9vYg==", "", "$_", "20260301120000000", "20260301120000000", "Zm9vYg==", false},
      {"$_20260301115959999_x", "", "$_", "20260301115959999", "20260301115959999", "x", false},
      // only the first two underscores split; a dot ends IdentBase
      {"$_A.B_C_D", "", "$_", "A.B", "A", "C_D", true},
      // replies: newer than both the online stamp and the stopped job
      {"!_20260301120000005.300.3_Zm9v_Done", "", "!_", "20260301120000005.300.3", "20260301120000005", "Zm9v_Done", true},
      {"!_20260301120000005_Zm9v_Done", "20260301120000005", "!_", "20260301120000005", "20260301120000005", "Zm9v_Done", false},
      {"!_20260301120000005_Zm9v_Done", "20260301120000009", "!_", "20260301120000005", "20260301120000005", "Zm9v_Done", false},
      {"!_20260301120000005_Zm9v_Done", "20260301120000004", "!_", "20260301120000005", "20260301120000005", "Zm9v_Done", true},
      // a prefix and text without a second underscore: empty Ident, never taken as "$_" or "!_"
      {"$_list", "", "$_", "", "", "list", false},
      {"!_whatever", "", "!_", "", "", "whatever", false},
      // plain requests always, with a fresh stamp
      {"?_list", "", "?_", "20260301130000000", "20260301130000000", "list", true},
      {"?_LIST", "", "?_", "20260301130000000", "20260301130000000", "LIST", true},
      {"?_x_download", "", "?_", "20260301130000000", "20260301130000000", "download", true},
      {"?_download_x", "", "?_", "20260301130000000", "20260301130000000", "x", true},
      // not ours
      {"Re: lunch", "", "Re", "", "", "", false},
      {"$", "", "$", "", "", "", false},
      {"", "", "", "", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    const ReceivedSubject s = ParseSubject(QString::fromUtf8(c.subject), kFresh);
    EXPECT_EQ(s.Prefix, c.prefix);
    EXPECT_EQ(s.Ident, c.ident);
    EXPECT_EQ(s.IdentBase, c.identBase);
    EXPECT_EQ(s.SubjectRest, c.rest);
    EXPECT_EQ(s.Ours && Accepts(s, kOnline, c.stopJobId), c.taken);
  }
  // A reply older than the online stamp is taken only for a request still
  // open from before going online, and not once that request was stopped;
  // requests of others never come in through that door.
  const QStringList open = {"20260301110000000"};
  const struct {
    const char *subject, *stopJobId;
    bool taken;
  } older[] = {
      {"!_20260301110000000.300.3_Zm9v_Done", "", true},
      {"!_20260301110000000_Zm9v_Done", "20260301110000000", false},
      {"!_20260301110000001_Zm9v_Done", "", false},
      {"$_20260301110000000_Zm9v", "", false},
  };
  for (const auto& c : older) {
    SCOPED_TRACE(c.subject);
    EXPECT_EQ(Accepts(ParseSubject(QString::fromUtf8(c.subject)), kOnline, c.stopJobId, open), c.taken);
  }
  // Without a given stamp, a plain request gets a new one each time.
  const QString a = ParseSubject("?_list").Ident, b = ParseSubject("?_list").Ident;
  EXPECT_EQ(a.size(), 17);
  EXPECT_LT(a, b);
}

TEST(PeerMessage, SubjectsAreComposedAndRepliesDivided) {
  MessageCipher cipher;
  SetPeerKey(cipher, "bob@example.test");
  const QString encList = cipher.EncryptText("list");
  EXPECT_EQ(RequestSubject("20260301120000001", encList), "$_20260301120000001_" + encList);
  EXPECT_EQ(ReplySubject("20260301120000001", encList, "Done"), "!_20260301120000001_" + encList + "_Done");
  EXPECT_EQ(VolumeSubject("20260301120000001", 25000000, 3, encList),
            "!_20260301120000001.25000000.3_" + encList + "_Done");

  struct {
    const char *rest, *payload, *status;
  } replies[] = {
      {"Zm9v_Done", "Zm9v", "Done"},
      {"Zm9v_Error: User forbidden.", "Zm9v", "Error: User forbidden."},
      {"Zm9v_Error: x_Done", "Zm9v_Error: x", "Done"},  // "_Done" wins wherever it is
      {"Zm9v", "Zm9v", ""},
      {"_Done", "", "Done"},
  };
  for (const auto& r : replies) {
    const ReplyRest parts = SplitReplyRest(r.rest);
    EXPECT_EQ(parts.EncPayload, r.payload) << r.rest;
    EXPECT_EQ(parts.Status, r.status) << r.rest;
  }

  // A received reply decrypts back to the payload; a volume mail's Ident gives its numbers.
  const ReceivedSubject s = ParseSubject(VolumeSubject("20260301120000001", 25000000, 3, encList));
  const JobTag tag = SplitJobTag(s.Ident);
  EXPECT_EQ(tag.Id, "20260301120000001");
  EXPECT_EQ(tag.First, 25000000);
  EXPECT_EQ(tag.Second, 3);
  EXPECT_EQ(cipher.DecryptText(SplitReplyRest(s.SubjectRest).EncPayload), "list");

  EXPECT_EQ(CommandOf("LIST"), "list");
  EXPECT_EQ(CommandOf("Download_more"), "download");
  EXPECT_EQ(PeerKeyText(" Alice@Example.Test "), "alice@example.testt7hm3kqp");
}
