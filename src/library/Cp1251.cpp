#include "Cp1251.h"

#include <array>
#include <cstdint>

namespace {

// Unicode of the bytes 0x80..0xBF; 0 marks the undefined byte 0x98.
// 0xC0..0xFF are the contiguous letters U+0410..U+044F.
constexpr std::array<char32_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

char32_t Decode(unsigned char b)
{
    if (b < 0x80) return b;
    if (b >= 0xC0) return 0x0410 + (b - 0xC0);
    return kHigh[b - 0x80];
}

void AppendUtf8(std::string& s, char32_t c)
{
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

int Encode(char32_t c)
{
    if (c < 0x80) return static_cast<int>(c);
    if (c >= 0x0410 && c <= 0x044F) return static_cast<int>(0xC0 + (c - 0x0410));
    for (int i = 0; i < 64; ++i)
        if (kHigh[i] == c && c != 0) return 0x80 + i;
    return -1;
}

// Next code point of a UTF-8 text; false on a malformed sequence.
bool NextCodePoint(std::string_view s, size_t& i, char32_t& c)
{
    auto b0 = static_cast<unsigned char>(s[i]);
    int extra;
    if (b0 < 0x80) {
        c = b0;
        extra = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
        c = b0 & 0x1F;
        extra = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
        c = b0 & 0x0F;
        extra = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
        c = b0 & 0x07;
        extra = 3;
    } else {
        return false;
    }
    if (i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return false;
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += extra + 1;
    return true;
}

} // namespace

std::string Cp1251ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        char32_t c = Decode(static_cast<unsigned char>(ch));
        AppendUtf8(out, c == 0 && ch != 0 ? char32_t(0xFFFD) : c);
    }
    return out;
}

bool Cp1251ToUtf8Strict(std::string_view bytes, std::string& out)
{
    for (char ch : bytes)
        if (static_cast<unsigned char>(ch) == 0x98) return false;
    out = Cp1251ToUtf8(bytes);
    return true;
}

bool Utf8ToCp1251(std::string_view utf8, std::string& out)
{
    std::string r;
    r.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c;
        if (!NextCodePoint(utf8, i, c)) return false;
        int b = Encode(c);
        if (b < 0) return false;
        r += static_cast<char>(b);
    }
    out = std::move(r);
    return true;
}

std::string Utf8ToCp1251Lossy(std::string_view utf8)
{
    std::string r;
    for (size_t i = 0; i < utf8.size();) {
        char32_t c;
        if (!NextCodePoint(utf8, i, c)) {
            r += '?';
            ++i;
            continue;
        }
        int b = Encode(c);
        r += b < 0 ? '?' : static_cast<char>(b);
    }
    return r;
}

bool IsUtf8(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        char32_t c;
        if (!NextCodePoint(bytes, i, c)) return false;
    }
    return true;
}
