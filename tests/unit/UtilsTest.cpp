// Codecs shared by every protocol and driver.
#include "Cp1251.h"
#include "UlvUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iconv.h>
#include <limits>

namespace {

std::string M4(float x)
{
    std::uint8_t b[4];
    EncodeM4Float(b, x);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X", b[0], b[1], b[2], b[3]);
    return buf;
}

TEST(M4Float, EncodesTheWorkedExamples)
{
    EXPECT_EQ(M4(0.0f), "40 00 00 40");
    EXPECT_EQ(M4(-0.0f), "40 00 00 40");
    EXPECT_EQ(M4(1.0f), "41 80 00 C1");
    EXPECT_EQ(M4(0.5f), "40 80 00 C0");
    EXPECT_EQ(M4(-2.5f), "C2 A0 00 62");
    EXPECT_EQ(M4(100.0f), "47 C8 00 0F");
}

TEST(M4Float, DecodesWithoutLookingAtTheCheckByte)
{
    std::uint8_t b[4] = {0x41, 0x80, 0x00, 0x00}; // check byte wrong
    float x = -1;
    DecodeM4Float(b, x);
    EXPECT_EQ(x, 1.0f);
    std::uint8_t n[4] = {0xC2, 0xA0, 0x00, 0x62};
    DecodeM4Float(n, x);
    EXPECT_EQ(x, -2.5f);
}

TEST(M4Float, RoundTripsCalibrationValuesToSixteenBitPrecision)
{
    for (float v : {0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f, 1.0f, 30.0f, -3.7f, 1234.5f}) {
        std::uint8_t b[4];
        EncodeM4Float(b, v);
        float back = 0;
        DecodeM4Float(b, back);
        EXPECT_NEAR(back, v, std::fabs(v) / 65536.0 * 1.01) << v;
        EXPECT_EQ(static_cast<std::uint8_t>(b[0] + b[1] + b[2]), b[3]);
    }
}

TEST(ByteToBcd, PacksTwoDigitsAndRefusesLarger)
{
    EXPECT_EQ(ByteToBcd(0), 0x00);
    EXPECT_EQ(ByteToBcd(7), 0x07);
    EXPECT_EQ(ByteToBcd(59), 0x59);
    EXPECT_EQ(ByteToBcd(99), 0x99);
    EXPECT_EQ(ByteToBcd(100), 0xFF);
    EXPECT_EQ(ByteToBcd(255), 0xFF);
}

TEST(Crc16, MatchesTheModbusCheckValue)
{
    const char* digits = "123456789"; // CRC-16/MODBUS check value 0x4B37
    EXPECT_EQ(Crc16Update(0xFFFF, digits, 9), 0x4B37);
    EXPECT_EQ(Crc16Update(0xFFFF, digits, 0), 0xFFFF);
    EXPECT_EQ(Crc16Update(0x1234, nullptr, 5), 0x1234);
    EXPECT_EQ(Crc16Update(0x1234, digits, -1), 0x1234);
    // Continuing over a split buffer gives the same value.
    EXPECT_EQ(Crc16Update(Crc16Update(0xFFFF, digits, 4), digits + 4, 5), 0x4B37);
    const std::uint8_t req[2] = {0x01, 0x11}; // report slave ID at address 1: CRC sent as C0 2C
    EXPECT_EQ(Crc16Update(0xFFFF, req, 2), 0x2CC0);
}

TEST(SwapBytes, ReversesInPlace)
{
    std::uint8_t four[4] = {1, 2, 3, 4};
    SwapBytes4(four);
    EXPECT_EQ(std::memcmp(four, "\x04\x03\x02\x01", 4), 0);
    std::uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SwapBytes8(eight);
    EXPECT_EQ(std::memcmp(eight, "\x08\x07\x06\x05\x04\x03\x02\x01", 8), 0);
}

struct FormatCase {
    float x;
    const char* text;
};

class FormatValueTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatValueTest, GivesSixSignificantCharacters)
{
    EXPECT_EQ(FormatValue(6, GetParam().x), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Width6, FormatValueTest,
    ::testing::Values(FormatCase{0.0f, "0.00000"}, FormatCase{1.2345678f, "1.23457"}, FormatCase{123.456f, "123.456"},
                      FormatCase{123456.7f, "123457"}, FormatCase{1234567.5f, "1234567.50"},
                      FormatCase{-0.5f, "-0.50000"}, FormatCase{-1.5f, "-1.5000"},
                      FormatCase{std::numeric_limits<float>::quiet_NaN(), "error"},
                      FormatCase{std::numeric_limits<float>::infinity(), "error"},
                      FormatCase{1e19f, "error"}, FormatCase{30.0f, "30.0000"}));

TEST(FormatValue, IgnoresTheProcessLocale)
{
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.1f", 1.5);
    ASSERT_STREQ(printed, "1,5") << "the locale in force writes a decimal comma";
    EXPECT_EQ(FormatValue(6, 1.5f), "1.50000");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

// Gathers the value nibbles back out of a scrambled block, as a meter would.
std::uint32_t Unscramble(std::uint64_t block)
{
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(block >> (8 * i));
    std::uint32_t w0 = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    std::uint32_t w1 = b[4] | b[5] << 8 | b[6] << 16 | static_cast<std::uint32_t>(b[7]) << 24;
    w0 ^= 0x5C3E91A7u;
    w1 ^= 0x2B7D04F6u;
    for (int i = 0; i < 4; ++i) {
        b[i] = static_cast<std::uint8_t>(w0 >> (8 * i));
        b[4 + i] = static_cast<std::uint8_t>(w1 >> (8 * i));
    }
    auto lo = [&](int i) { return static_cast<std::uint32_t>(b[i] & 0x0F); };
    auto hi = [&](int i) { return static_cast<std::uint32_t>(b[i] >> 4); };
    return lo(0) << 24 | hi(1) << 4 | hi(2) << 20 | lo(3) << 12 | hi(4) << 8 | lo(5) << 16 | lo(6) << 28 | lo(7);
}

TEST(ScrambleValue8, CarriesTheValueUnderFreshFiller)
{
    for (std::uint32_t v : {0x00000000u, 0xFFFFFFFFu, 0x3F800000u, 0x3A83126Fu, 0x12345678u}) {
        std::uint64_t a = ScrambleValue8(v);
        std::uint64_t b = ScrambleValue8(v);
        EXPECT_EQ(Unscramble(a), v);
        EXPECT_EQ(Unscramble(b), v);
        EXPECT_NE(a, b) << "two blocks of one value must differ in their filler";
    }
}

TEST(ProtocolErrorText, HasATextPerCode)
{
    EXPECT_EQ(ProtocolErrorText(0), "Операция выполнена успешно");
    EXPECT_EQ(ProtocolErrorText(2), "Ошибка чтения из последовательного порта");
    EXPECT_EQ(ProtocolErrorText(6), "Последовательный порт недоступен или не существует");
    EXPECT_EQ(ProtocolErrorText(7), "Ошибка целостности пакета данных");
    EXPECT_EQ(ProtocolErrorText(8), "");
    EXPECT_EQ(ProtocolErrorText(10), "");
    EXPECT_EQ(ProtocolErrorText(1000), "");
}

TEST(VirtualTime, RealClockSleepsAtLeastTheTime)
{
    auto t0 = RealClock().NowMs();
    SleepMs(20);
    EXPECT_GE(RealClock().NowMs() - t0, 19u);
}

// The code page table checked against the C library's independent converter.
TEST(Cp1251, AgreesWithIconvOnEveryDefinedByte)
{
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int b = 1; b < 256; ++b) {
        if (b == 0x98) continue;
        char in[1] = {static_cast<char>(b)};
        char out[8] = {};
        char* ip = in;
        char* op = out;
        size_t il = 1, ol = sizeof out;
        ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << b;
        std::string expected(out, op);
        std::string bytes(1, static_cast<char>(b));
        EXPECT_EQ(Cp1251ToUtf8(bytes), expected) << "byte " << b;
        std::string back;
        ASSERT_TRUE(Utf8ToCp1251(expected, back)) << b;
        EXPECT_EQ(back, bytes);
    }
    iconv_close(cd);
}

TEST(Cp1251, RefusesWhatItCannotRepresent)
{
    std::string out = "unchanged";
    EXPECT_FALSE(Cp1251ToUtf8Strict("\x98", out));
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(Cp1251ToUtf8("A\x98"), "A\xEF\xBF\xBD");
    EXPECT_FALSE(Utf8ToCp1251("日本", out));       // not in the code page
    EXPECT_FALSE(Utf8ToCp1251("\xD0", out));       // truncated sequence
    EXPECT_FALSE(Utf8ToCp1251("\xC0\xAF", out));   // overlong
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(Utf8ToCp1251Lossy("КВТ日"), "\xCA\xC2\xD2?");
    ASSERT_TRUE(Utf8ToCp1251("КВТ-64M", out));
    EXPECT_EQ(out, "\xCA\xC2\xD2-64M");
}

} // namespace
