#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "common/number_format.h"

namespace tovel {
namespace {

TEST(NumberFormat, PositionalWithAtLeastOneFractionalDigit) {
  EXPECT_EQ(formatNumber(3), "3.0");
  EXPECT_EQ(formatNumber(-2.5), "-2.5");
  EXPECT_EQ(formatNumber(-0.0), "-0.0");
  EXPECT_EQ(formatNumber(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(formatNumber(1e-4), "0.0001");
  EXPECT_EQ(formatNumber(9999999999999998.0), "9999999999999998.0");
}

TEST(NumberFormat, ExponentFormAndSpecialValues) {
  EXPECT_EQ(formatNumber(9.9999e-5), "9.9999e-05");
  EXPECT_EQ(formatNumber(1e16), "1e+16");
  EXPECT_EQ(formatNumber(-1.25e300), "-1.25e+300");
  EXPECT_EQ(formatNumber(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(formatNumber(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(formatNumber(-std::nan("")), "nan");
}

TEST(NumberFormat, ReadsBackToTheSameValue) {
  for (double v : {1.0 / 3, -2.0 / 7, 9007199254740993.0, 3e-4, 6.02214076e23,
                   std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}) {
    const std::string text = formatNumber(v);
    double back = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_TRUE(result.ptr == text.data() + text.size() && back == v) << text;
  }
}

TEST(NumberFormat, Lists) {
  EXPECT_EQ(formatNumberList({}), "[]");
  EXPECT_EQ(formatNumberList({640, 480, 2.5}), "[640.0, 480.0, 2.5]");
}

} // namespace
} // namespace tovel
