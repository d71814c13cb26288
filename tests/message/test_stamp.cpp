#include <QDateTime>
#include <gtest/gtest.h>

#include "message/Stamp.h"

TEST(Stamp, NewStampIsStrictlyIncreasing) {
  QString previous = NewStamp();
  ASSERT_TRUE(IsStamp(previous)) << qPrintable(previous);
  EXPECT_TRUE(previous.startsWith(QDateTime::currentDateTime().toString("yyyyMM")));
  for (int i = 0; i < 5000; ++i) {
    const QString next = NewStamp();
    ASSERT_EQ(next.size(), 17);
    ASSERT_GT(next, previous);
    previous = next;
  }
}

TEST(Stamp, IsStampTakesSeventeenDigitsOnly) {
  EXPECT_TRUE(IsStamp("20261210120000000"));
  for (const char* text : {"2026121012000000", "2026121012000000x", "202612101200000000", "../../../../../..x", ""})
    EXPECT_FALSE(IsStamp(text)) << text;
}
