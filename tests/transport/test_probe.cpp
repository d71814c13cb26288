#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "transport/MailProbe.h"

TEST(MailProbe, TheMailComponentCanBeMadeAndNothingIsRegistered) {
  QString error;
  EXPECT_TRUE(MailComponentAvailable(&error)) << error;
  QTemporaryDir program;
  EXPECT_TRUE(ProbeMailComponent(program.path()).isEmpty());
}
