// Numbers as people write them: the shortest text that reads back as the same single.
#include "NumberText.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

struct TextCase {
    float Value;
    const char* Text;
};

class ShortestNumberText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ShortestNumberText, IsTheShortestTextOfTheSameSingle)
{
    const TextCase& c = GetParam();
    const std::string text = ShortestText(c.Value);
    EXPECT_EQ(text, c.Text);
    if (std::isfinite(c.Value)) {
        float back = 0;
        std::from_chars(text.data(), text.data() + text.size(), back);
        EXPECT_EQ(back, c.Value) << text << " reads back as another single";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ShortestNumberText,
    ::testing::Values(TextCase{0.001f, "0.001"}, TextCase{3.111f, "3.111"},
                      // A meter's 7.0999999 is the same single as 7.1.
                      TextCase{7.0999999f, "7.1"}, TextCase{0.1f, "0.1"}, TextCase{1e-7f, "1e-07"},
                      TextCase{9.99999997e-7f, "1e-06"}, TextCase{-0.5f, "-0.5"}, TextCase{0.0f, "0"},
                      TextCase{-0.0f, "-0"}, TextCase{12.5f, "12.5"}, TextCase{3005.001f, "3005.001"},
                      TextCase{16777216.0f, "16777216"}, TextCase{123456792.0f, "123456792"},
                      TextCase{1e20f, "1e+20"}, TextCase{std::numeric_limits<float>::max(), "3.4028235e+38"},
                      TextCase{std::numeric_limits<float>::denorm_min(), "1e-45"},
                      TextCase{std::numeric_limits<float>::quiet_NaN(), "nan"},
                      TextCase{-std::numeric_limits<float>::infinity(), "-inf"}));

} // namespace
