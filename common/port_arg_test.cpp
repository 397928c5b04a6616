// Port numbers from a command line: the whole text must be a number in range.

#include "common/port_arg.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

TEST(PortArg, WholeDecimalNumbersInRangeOnly) {
  uint16_t port = 1234;
  EXPECT_TRUE(ParsePortArg("0", port));
  EXPECT_EQ(0, port);
  EXPECT_TRUE(ParsePortArg("65535", port));
  EXPECT_EQ(65535, port);
  EXPECT_TRUE(ParsePortArg("08006", port));  // decimal, not octal
  EXPECT_EQ(8006, port);
  for (const char* bad : {"", "-1", "+80", " 80", "80 ", "8o", "65536", "99999999999999999999", "0x50"}) {
    port = 7;
    EXPECT_FALSE(ParsePortArg(bad, port)) << bad;
    EXPECT_EQ(7, port) << bad;
  }
  EXPECT_FALSE(ParsePortArg(nullptr, port));
}

}  // namespace
}  // namespace nuv
