// Number syntax, number text and the integer-text rules.
#include "script/numbers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvelle::script {
namespace {

TEST(NumberTextTest, FifteenSignificantDigitsPlainOrScientific) {
  struct Case {
    long double x;
    const char* text;
  } cases[] = {
      {3, "3"},
      {0.1L + 0.2L, "0.3"},
      {1.0L / 3, "0.333333333333333"},
      {1e15L, "1E15"},
      {0.00001L, "1E-5"},
      {-2.5L, "-2.5"},
      {0, "0"},
      {-0.0L, "0"},
      {0.0001L, "0.0001"},
      {123456789012345, "123456789012345"},
      {1234567890123456, "1.23456789012346E15"},
      {2.0L / 3, "0.666666666666667"},
      {-1e-7L, "-1E-7"},
      {1e300L, "1E300"},
      {999999999999999.9L, "1E15"},
  };
  for (const Case& c : cases) EXPECT_EQ(NumberText(c.x), c.text) << static_cast<double>(c.x);
}

TEST(NumberSyntaxTest, CompleteNumbersAndPartialValues) {
  struct Case {
    const char* text;
    bool is_number;
    double value;
  } cases[] = {
      {"12", true, 12},     {" -1.5e2", true, -150}, {".", true, 0},      {"e5", true, 0},
      {"12abc", false, 12}, {"-5x", false, 5},       {"1.5V", false, 15}, {"5 ", true, 5},
      {"", false, 0},       {"abc", false, 0},       {"+", false, 0},     {"-", false, 0},
      {"1e", false, 1},     {"007", true, 7},        {"1e3", true, 1000}, {"+.5", true, 0.5},
      {"   ", false, 0},    {"1.5e2x", false, 152},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNumber(c.text), c.is_number) << '"' << c.text << '"';
    EXPECT_EQ(NumberValue(c.text), c.value) << '"' << c.text << '"';
  }
  // "5 " is a number once trimmed, but the untrimmed text is not complete.
  bool complete = true;
  EXPECT_EQ(ParseNumber("5 ", complete), 5);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(IsNumber(std::string("5\0xyz", 5)));  // a NUL ends the text
}

TEST(IntegerTextTest, DecimalAndHexadecimalForms) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  } cases[] = {
      {"0", 0},
      {" 5", 5},
      {"+5", 5},
      {"-2147483648", INT32_MIN},
      {"2147483647", INT32_MAX},
      {"2147483648", {}},
      {"5 ", {}},
      {"", {}},
      {"1.5", {}},
      {"1e3", {}},
      {"$FFFFFFFF", -1},
      {"x1A", 26},
      {"0x1a", 26},
      {"0X10", 16},
      {"-$1", {}},
      {"$100000000", {}},
      {"$000000001", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseIntegerText(c.text), c.value) << c.text;
}

TEST(VariantToIntegerTest, RoundsFractionsAndRejectsOtherText) {
  EXPECT_EQ(VariantToInteger("3"), 3);
  EXPECT_EQ(VariantToInteger(" 7 "), 7);
  EXPECT_EQ(VariantToInteger("2.6"), 3);
  EXPECT_EQ(VariantToInteger("-2.6"), -3);
  EXPECT_EQ(VariantToInteger("1e3"), 1000);
  EXPECT_FALSE(VariantToInteger("abc"));
  EXPECT_FALSE(VariantToInteger(""));
  EXPECT_FALSE(VariantToInteger("."));
  EXPECT_FALSE(VariantToInteger("1e10"));
}

}  // namespace
}  // namespace orvelle::script
