// The file tree's rows from a listing, and its order by size.
#include <gtest/gtest.h>

#include "exchange/Exchange.h"

TEST(Listing, FillFileTreeTakesLinesApartAtTheirFirstTab) {
  EXPECT_TRUE(TExchange::FillFileTree("").isEmpty());
  const QList<ListingRow> rows = TExchange::FillFileTree("a.txt\t1KB\r\nb c\t1,234KB\nno tab\rd\te\tf\r\n");
  const QList<ListingRow> expected = {{"a.txt", "1KB"}, {"b c", "1,234KB"}, {"", "no tab"}, {"d", "e\tf"}};
  EXPECT_EQ(rows, expected);
}

TEST(Listing, SizeTextOrdersShorterFirst) {
  struct Case {
    const char *A, *B;
    int Sign;
  } cases[] = {{"999KB", "1,000KB", -1}, {"2KB", "10KB", -1}, {"10KB", "2KB", 1}, {"5KB", "5kb", 0}, {"7KB", "6KB", 1}};
  for (const Case& c : cases) {
    const int r = TExchange::CompareSizeText(c.A, c.B);
    EXPECT_EQ((r > 0) - (r < 0), c.Sign) << c.A << " " << c.B;
  }
}
