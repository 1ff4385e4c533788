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

TEST(Format, FloatsIntegersAndTexts)
{
  std::setlocale(LC_NUMERIC, "C");
  // "%f" without precision means two decimals.
  EXPECT_EQ(Format("%f", {3.14159}), "3.14");
  EXPECT_EQ(Format("%f", {2.0f}), "2.00");
  EXPECT_EQ(Format("%f", {int64_t{7}}), "7.00");
  EXPECT_EQ(Format("%.3f", {2.0}), "2.000");
  EXPECT_EQ(Format("%5.2f tb(r)", {25.0}), "25.00 tb(r)");
  // Integers are 64-bit; a precision pads with zeros.
  EXPECT_EQ(Format("%d", {int64_t{9000000000}}), "9000000000");
  EXPECT_EQ(Format("%d", {std::numeric_limits<int64_t>::min()}), "-9223372036854775808");
  EXPECT_EQ(Format("%u", {-1}), "18446744073709551615");
  EXPECT_EQ(Format("%.3d", {7}), "007");
  EXPECT_EQ(Format("%.3d", {-7}), "-007");
  EXPECT_EQ(Format("%.2d:%.2d", {5, 123}), "05:123");
  EXPECT_EQ(Format("%6.3d", {7}), "   007");  // precision given: no zero padding to the width
  EXPECT_EQ(Format("%5d|%-5d|%05d", {42, 42, -42}), "   42|42   |-0042");
  EXPECT_EQ(Format("[0x%x]", {int64_t{0x1e0}}), "[0x1e0]");
  EXPECT_EQ(Format("%d", {2.9}), "2");
  // A float out of range for an integer conversion saturates instead of being undefined.
  EXPECT_EQ(Format("%d", {1e300}), "9223372036854775807");
  EXPECT_EQ(Format("%d", {std::nan("")}), "0");
  // Texts, percent signs and mismatched arguments.
  EXPECT_EQ(Format("%s: no such file or directory", {"a%d.flv"}), "a%d.flv: no such file or directory");
  EXPECT_EQ(Format("100%% of %s", {std::string("x")}), "100% of x");
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
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale installed";
  const std::string got = Format("%.2f", {1.5});
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(got, "1,50");
}

TEST(Rational, CompareIsExactWhere32BitProductsWrap)
{
  struct {
    AVRational A, B;
    int Want;
  } cases[] = {{{30000, 1001}, {24000, 1001}, 1}, {{24000, 1001}, {30000, 1001}, -1}, {{2, 4}, {1, 2}, 0},
               {{1000000, 1}, {1, 1000000}, 1},   {{1, 1000000}, {1000000, 1}, -1},  {{65536, 1}, {1, 65536}, 1},
               {{1, -2}, {0, 1}, -1},             {{-1, -2}, {1, 3}, 1},             {{1, 0}, {1000, 1}, 1},
               {{-1, 0}, {-1000, 1}, -1}};
  for (const auto &c : cases)
    EXPECT_EQ(avbind::CmpQ(c.A, c.B), c.Want) << c.A.num << "/" << c.A.den << " vs " << c.B.num << "/" << c.B.den;
  EXPECT_EQ(avbind::Q2D({1, 4}), 0.25);
  EXPECT_EQ(avbind::Clip(5, 0, 3), 3);
  EXPECT_EQ(avbind::Clip(-5, 0, 3), 0);
}

TEST(Rational, SubtractAndNearestRational)
{
  qvtest::LoadLibs();
  AVRational r = avbind::SubQ({1, 3}, {1, 2});
  EXPECT_EQ(r.num, -1);
  EXPECT_EQ(r.den, 6);
  // Products that overflow 32 bits must be widened before subtracting.
  r = avbind::SubQ({100000, 99991}, {99991, 100000});
  EXPECT_NEAR(av_q2d(r), 100000.0 / 99991 - 99991.0 / 100000, 1e-9);

  struct {
    double D;
    int Max, Num, Den;
  } cases[] = {{0.5, 255, 1, 2},    {-0.5, 255, -1, 2}, {30000.0 / 1001, 1001000, 30000, 1001},
               {29.97, 100000, 2997, 100}, {16.0 / 9, 255, 16, 9}, {48000, 1000000, 48000, 1},
               {0, 255, 0, 1},      {1.0 / 3, 255, 1, 3}};
  for (const auto &c : cases) {
    r = avbind::D2Q(c.D, c.Max);
    EXPECT_EQ(r.num, c.Num) << c.D;
    EXPECT_EQ(r.den, c.Den) << c.D;
  }
  r = avbind::D2Q(std::numeric_limits<double>::infinity(), 255);
  EXPECT_EQ(r.den, 0);
  EXPECT_GT(r.num, 0);
  EXPECT_EQ(avbind::D2Q(std::nan(""), 255).num, 0);
  // Far beyond the limit: the closest the limit allows, never a wrapped value.
  EXPECT_GT(av_q2d(avbind::D2Q(1e30, 255)), 254.0);
}

}  // namespace
