#include "Cp1251.h"

#include <cstdio>
#include <stdexcept>

namespace metersim {

namespace {

// Code page 1251 puts А..Я at 0xC0..0xDF and а..я at 0xE0..0xFF in alphabetical order (without Ё/ё,
// which sit apart at 0xA8 and 0xB8).
constexpr char32_t kCapitalA = 0x0410;  // А
constexpr char32_t kSmallYa = 0x044F;   // я
constexpr char32_t kCapitalYo = 0x0401; // Ё
constexpr char32_t kSmallYo = 0x0451;   // ё

std::optional<std::uint8_t> Encode(char32_t cp)
{
    if (cp < 0x80) return static_cast<std::uint8_t>(cp);
    if (cp >= kCapitalA && cp <= kSmallYa) return static_cast<std::uint8_t>(0xC0 + (cp - kCapitalA));
    if (cp == kCapitalYo) return 0xA8;
    if (cp == kSmallYo) return 0xB8;
    return std::nullopt;
}

std::optional<char32_t> Decode(std::uint8_t b)
{
    if (b < 0x80) return b;
    if (b >= 0xC0) return kCapitalA + (b - 0xC0);
    if (b == 0xA8) return kCapitalYo;
    if (b == 0xB8) return kSmallYo;
    return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else { // the table holds nothing above U+07FF
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

Bytes Utf8ToCp1251(std::string_view utf8)
{
    Bytes out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t len = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            len = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            len = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4;
            cp = lead & 0x07;
        } else {
            throw std::invalid_argument("invalid UTF-8 in text \"" + std::string(utf8) + "\"");
        }
        if (i + len > utf8.size()) throw std::invalid_argument("truncated UTF-8 in text \"" + std::string(utf8) + "\"");
        for (std::size_t k = 1; k < len; ++k) {
            const auto cont = static_cast<unsigned char>(utf8[i + k]);
            if ((cont & 0xC0) != 0x80)
                throw std::invalid_argument("invalid UTF-8 in text \"" + std::string(utf8) + "\"");
            cp = (cp << 6) | (cont & 0x3F);
        }
        static constexpr char32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinForLength[len])
            throw std::invalid_argument("overlong UTF-8 in text \"" + std::string(utf8) + "\"");
        auto b = Encode(cp);
        if (!b) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(cp));
            throw std::invalid_argument(std::string("character ") + name + " in text \"" + std::string(utf8) +
                                        "\" has no code page 1251 byte in the simulator's table");
        }
        out.push_back(*b);
        i += len;
    }
    return out;
}

std::optional<std::string> Cp1251ToUtf8(const Bytes& bytes)
{
    std::string out;
    for (std::uint8_t b : bytes) {
        auto cp = Decode(b);
        if (!cp) return std::nullopt;
        AppendUtf8(out, *cp);
    }
    return out;
}

} // namespace metersim
