#include "Bytes.h"

#include <charconv>
#include <stdexcept>

namespace metersim {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

Bytes ParseHex(std::string_view text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (IsBlank(c)) {
            if (high >= 0) throw std::invalid_argument("hex byte split by a blank in \"" + std::string(text) + "\"");
            continue;
        }
        int d = HexDigit(c);
        if (d < 0)
            throw std::invalid_argument("not a hex digit '" + std::string(1, c) + "' in \"" + std::string(text) + "\"");
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits in \"" + std::string(text) + "\"");
    return out;
}

std::string FormatHex(const std::uint8_t* data, std::size_t count, bool spaced)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (spaced && i > 0) out.push_back(' ');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

std::uint64_t ParseUnsigned(std::string_view text, std::uint64_t max)
{
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
        throw std::invalid_argument("not a number: \"" + std::string(text) + "\"");
    if (value > max) throw std::invalid_argument("number " + std::string(text) + " is above " + std::to_string(max));
    return value;
}

} // namespace metersim
