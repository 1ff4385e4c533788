// The message formatter's conventions and the rational helpers, where a
// plain printf or a 32-bit product would give a different answer.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "Rational.h"
#include "SysFormat.h"
#include "TestEnv.h"

namespace {

using avbind::Format;

TEST(Format, FloatDefaultsToTwoDecimalsOthersFollowPrintf)
{
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(Format("%f", {3.14159}), "3.14");
  EXPECT_EQ(Format("%f", {2.0f}), "2.00");
  EXPECT_EQ(Format("%.3f", {2.0}), "2.000");
  EXPECT_EQ(Format("%5.2f tb(r)", {25.0}), "25.00 tb(r)");
  EXPECT_EQ(Format("%6.2f|", {5.0}), "  5.00|");
  EXPECT_EQ(Format("%-6.1f|", {5.0}), "5.0   |");
  EXPECT_EQ(Format("%08.2f", {-3.14159}), "-0003.14");
  EXPECT_EQ(Format("%e", {1234.5}), "1.234500e+03");
  EXPECT_EQ(Format("%g", {123.456}), "123.456");
  EXPECT_EQ(Format("%.0f", {2.5}), "2");  // halves to even, as the C library rounds
  EXPECT_EQ(Format("%f", {int64_t{7}}), "7.00");
}

TEST(Format, IntegersAre64BitAndPrecisionPadsWithZeros)
{
  EXPECT_EQ(Format("%d", {int64_t{9000000000}}), "9000000000");
  EXPECT_EQ(Format("%d", {std::numeric_limits<int64_t>::min()}), "-9223372036854775808");
  EXPECT_EQ(Format("%.3d", {7}), "007");
  EXPECT_EQ(Format("%.3d", {-7}), "-007");
  EXPECT_EQ(Format("%.2d:%.2d", {5, 123}), "05:123");
  EXPECT_EQ(Format("%.6d", {0}), "000000");
  EXPECT_EQ(Format("%5d|%-5d|%05d", {42, 42, -42}), "   42|42   |-0042");
  EXPECT_EQ(Format("%6.3d", {7}), "   007");  // precision given: no zero padding to the width
  EXPECT_EQ(Format("%x %X", {255, 255}), "ff FF");
  EXPECT_EQ(Format("[0x%x]", {int64_t{0x1e0}}), "[0x1e0]");
  EXPECT_EQ(Format("%u", {-1}), "18446744073709551615");
  EXPECT_EQ(Format("%d", {2.9}), "2");
  // A float out of range for an integer conversion saturates instead of being undefined.
  EXPECT_EQ(Format("%d", {1e300}), "9223372036854775807");
  EXPECT_EQ(Format("%d", {std::nan("")}), "0");
}

TEST(Format, TextsPercentAndMismatchedArguments)
{
  EXPECT_EQ(Format("%s: no such file or directory", {"a%d.flv"}), "a%d.flv: no such file or directory");
  EXPECT_EQ(Format("100%% of %s", {std::string("x")}), "100% of x");
  EXPECT_EQ(Format("%.2s|%5s|%-5s|", {"abcdef", "ab", "ab"}), "ab|   ab|ab   |");
  EXPECT_EQ(Format("%s %s", {"only"}), "only ");
  EXPECT_EQ(Format("%s", {int64_t{12}}), "12");
  EXPECT_EQ(Format("%d", {"text"}), "text");
  EXPECT_EQ(Format("%c%c", {'o', "k"}), "ok");
  EXPECT_EQ(Format("%q", {1}), "%q");
  EXPECT_EQ(Format("trailing %"), "trailing ");
  EXPECT_EQ(Format(nullptr), "");
  // A runaway width is capped rather than overflowing.
  EXPECT_LE(Format("%99999999999999d", {1}).size(), 2048u);
  EXPECT_LE(Format("%.99999999999999f", {1.0}).size(), 2048u);
}

TEST(Format, DecimalSeparatorFollowsTheLocale)
{
  const char *de = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (!de) GTEST_SKIP() << "no German locale installed";
  const std::string got = Format("%.2f", {1.5});
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(got, "1,50");
}

class RationalTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

TEST(Rational, CompareIsExactWhere32BitProductsWrap)
{
  using avbind::CmpQ;
  EXPECT_EQ(CmpQ({30000, 1001}, {24000, 1001}), 1);
  EXPECT_EQ(CmpQ({24000, 1001}, {30000, 1001}), -1);
  EXPECT_EQ(CmpQ({2, 4}, {1, 2}), 0);
  // 10^6 * 10^6 does not fit 32 bits.
  EXPECT_EQ(CmpQ({1000000, 1}, {1, 1000000}), 1);
  EXPECT_EQ(CmpQ({1, 1000000}, {1000000, 1}), -1);
  EXPECT_EQ(CmpQ({65536, 1}, {1, 65536}), 1);
  // Negative denominators carry the sign.
  EXPECT_EQ(CmpQ({1, -2}, {0, 1}), -1);
  EXPECT_EQ(CmpQ({-1, -2}, {1, 3}), 1);
  EXPECT_EQ(CmpQ({1, 0}, {1000, 1}), 1);  // +infinity
  EXPECT_EQ(CmpQ({-1, 0}, {-1000, 1}), -1);
  EXPECT_EQ(avbind::Q2D({1, 4}), 0.25);
  EXPECT_EQ(avbind::Clip(5, 0, 3), 3);
  EXPECT_EQ(avbind::Clip(-5, 0, 3), 0);
  EXPECT_EQ(avbind::Clip(2, 0, 3), 2);
}

TEST_F(RationalTest, SubtractAndNearestRational)
{
  using avbind::D2Q;
  using avbind::SubQ;
  AVRational r = SubQ({1, 2}, {1, 3});
  EXPECT_EQ(r.num, 1);
  EXPECT_EQ(r.den, 6);
  // Products that overflow 32 bits must be widened before subtracting.
  r = SubQ({100000, 99991}, {99991, 100000});
  EXPECT_NEAR(av_q2d(r), 100000.0 / 99991 - 99991.0 / 100000, 1e-9);
  r = SubQ({1, 3}, {1, 2});
  EXPECT_EQ(r.num, -1);
  EXPECT_EQ(r.den, 6);

  struct TCase {
    double D;
    int Max, Num, Den;
  } cases[] = {{0.5, 255, 1, 2},
               {-0.5, 255, -1, 2},
               {30000.0 / 1001, 1001000, 30000, 1001},
               {29.97, 100000, 2997, 100},
               {16.0 / 9, 255, 16, 9},
               {48000, 1000000, 48000, 1},
               {0, 255, 0, 1},
               {1.0 / 3, 255, 1, 3}};
  for (const auto &c : cases) {
    r = D2Q(c.D, c.Max);
    EXPECT_EQ(r.num, c.Num) << c.D;
    EXPECT_EQ(r.den, c.Den) << c.D;
  }
  r = D2Q(std::numeric_limits<double>::infinity(), 255);
  EXPECT_EQ(r.den, 0);
  EXPECT_GT(r.num, 0);
  r = D2Q(std::nan(""), 255);
  EXPECT_EQ(r.num, 0);
  // Far beyond the limit: the closest the limit allows, never a wrapped value.
  r = D2Q(1e30, 255);
  EXPECT_GT(av_q2d(r), 254.0);
}

}  // namespace
