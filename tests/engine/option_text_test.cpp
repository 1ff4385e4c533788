// How option values are read as numbers: the accepted spellings, the
// bounds of each width, and the texts of a refusal.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "Errors.h"
#include "OptionText.h"

namespace {

// The EConvertError message AText raises when read by AFn, or empty.
template <typename TFn>
std::string Refusal(TFn AFn, const std::string &AText)
{
  try {
    AFn(AText);
  } catch (const EConvertError &e) {
    return e.what();
  }
  return {};
}

TEST(OptionTextTest, IntegersInDecimalAndHexWithinTheirWidth)
{
  const std::pair<const char *, int64_t> accepted32[] = {
      {"42", 42},      {"  -17", -17},         {"\t+5", 5},           {"$ff", 255},
      {"x1F", 31},     {"0X10", 16},           {"-0x10", -16},        {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"007", 7},
  };
  for (const auto &[text, value] : accepted32) {
    EXPECT_EQ(engine::StrToInt(text), value) << text;
    EXPECT_EQ(engine::StrToIntDef(text, -1), value) << text;
  }
  for (const char *text : {"2147483648", "-2147483649", "12 ", "", " ", "-", "0x", "$", "1.5", "abc", "1e3", "0x1G"}) {
    EXPECT_EQ(Refusal(engine::StrToInt, text), std::string("'") + text + "' is not a valid integer value") << text;
    EXPECT_EQ(engine::StrToIntDef(text, -1), -1) << text;
  }
  EXPECT_EQ(engine::StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(engine::StrToInt64("0x7FFFFFFFFFFFFFFF"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(engine::StrToInt64("5000000000"), 5000000000);
  for (const char *text : {"9223372036854775808", "-9223372036854775809", "0x8000000000000000"})
    EXPECT_FALSE(Refusal(engine::StrToInt64, text).empty()) << text;
}

TEST(OptionTextTest, FloatsInPlainDecimalOnly)
{
  const std::pair<const char *, double> accepted[] = {
      {"1.5", 1.5}, {" 2.5\t", 2.5}, {"-1e3", -1000}, {".5", 0.5}, {"5.", 5}, {"+7E-1", 0.7}, {"3e38", 3e38},
  };
  for (const auto &[text, value] : accepted) {
    EXPECT_DOUBLE_EQ(engine::StrToFloat(text), value) << text;
    EXPECT_DOUBLE_EQ(engine::StrToFloatDef(text, -1), value) << text;
  }
  for (const char *text : {"inf", "nan", "0x1p3", "1e", "e5", "", ".", "1.5.2", "1,5", "1e999"}) {
    EXPECT_EQ(Refusal(engine::StrToFloat, text), std::string("'") + text + "' is not a valid floating point value")
        << text;
    EXPECT_DOUBLE_EQ(engine::StrToFloatDef(text, -1), -1) << text;
  }
  // Beyond single precision is malformed for the float settings only.
  EXPECT_FLOAT_EQ(engine::StrToFloat32("3e38"), 3e38f);
  EXPECT_FALSE(Refusal(engine::StrToFloat32, "1e39").empty());
  EXPECT_DOUBLE_EQ(engine::StrToFloat("1e39"), 1e39);
}

TEST(OptionTextTest, TrimTakesWhiteSpaceFromBothEnds)
{
  const std::pair<const char *, const char *> cases[] = {
      {"\t a b \n", "a b"}, {"ab", "ab"}, {" \t\r\n", ""}, {"", ""},
  };
  for (const auto &[text, trimmed] : cases) {
    EXPECT_EQ(engine::Trim(text), trimmed);
    EXPECT_EQ(engine::IsBlankText(text), *trimmed == '\0');
  }
}

}  // namespace
