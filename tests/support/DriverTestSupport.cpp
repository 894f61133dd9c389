#include "DriverTestSupport.h"

#include <algorithm>
#include <bit>

namespace DriverTest {

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Addr(std::uint16_t addr)
{
    return {static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr)};
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Single(float v, bool bigEndian)
{
    const auto u = std::bit_cast<std::uint32_t>(v);
    Bytes b{static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
    if (bigEndian) std::reverse(b.begin(), b.end());
    return b;
}

Bytes Singles(std::initializer_list<float> values, bool bigEndian)
{
    Bytes b;
    for (float v : values)
        b = Concat(b, Single(v, bigEndian));
    return b;
}

std::uint32_t Unscramble(Bytes b)
{
    auto unxor = [&](int at, std::uint32_t key) {
        std::uint32_t w = b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
        w ^= key;
        for (int k = 0; k < 4; ++k)
            b[at + k] = static_cast<std::uint8_t>(w >> (8 * k));
    };
    unxor(0, 0x5C3E91A7u);
    unxor(4, 0x2B7D04F6u);
    auto lo = [&](int k) { return static_cast<std::uint32_t>(b[k] & 0x0F); };
    auto hi = [&](int k) { return static_cast<std::uint32_t>(b[k] >> 4); };
    return lo(0) << 24 | hi(1) << 4 | hi(2) << 20 | lo(3) << 12 | hi(4) << 8 | lo(5) << 16 | lo(6) << 28 | lo(7);
}

const char* TableName(Table t)
{
    return t == Table::K ? "K" : "Obr";
}

std::uint16_t CellIn(const Layout& l, Table t, std::uint8_t i, std::uint16_t step)
{
    if (i == 0) return l.k0;
    if (i == 1) return l.ku;
    return static_cast<std::uint16_t>((t == Table::K ? l.kPoint1 : l.obrPoint1) + step * (i - 2));
}

float Distinct(Table t, std::uint8_t ch, std::uint8_t i)
{
    const std::uint32_t sign = t == Table::K ? 0u : 0x80000000u;
    return std::bit_cast<float>(sign | 0x3F000000u | (0x80u + i) << 16 | (0x10u + ch) << 8 | 0xC5u);
}

void PrintTo(const ResetCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<ResetWrite> PlainReset(const Layout& l, bool bigEndian)
{
    std::vector<ResetWrite> w;
    for (int pair = 0; pair < 4; ++pair) {
        const Bytes two = Singles({Factory[2 + 2 * pair], Factory[3 + 2 * pair]}, bigEndian);
        w.push_back({static_cast<std::uint16_t>(l.kPoint1 + 8 * pair), two});
        w.push_back({static_cast<std::uint16_t>(l.obrPoint1 + 8 * pair), two});
    }
    w.push_back({l.k0, Singles({0.0f, 1.0f}, bigEndian)});
    return w;
}

std::vector<ResetWrite> ScrambledReset(const Layout& l, bool twice)
{
    std::vector<ResetWrite> w;
    for (int p = 0; p < 8; ++p) {
        w.push_back({static_cast<std::uint16_t>(l.kPoint1 + 4 * p), {}, Factory[2 + p]});
        w.push_back({static_cast<std::uint16_t>(l.obrPoint1 + 4 * p), {}, Factory[2 + p]});
    }
    for (int n = 0; n < (twice ? 2 : 1); ++n) {
        w.push_back({l.k0, {}, 0.0f});
        w.push_back({l.ku, {}, 1.0f});
    }
    return w;
}

namespace Plain6x {

Bytes WithChecksum(Bytes b)
{
    std::uint8_t sum = 0;
    for (auto x : b)
        sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

Bytes Request(std::uint8_t group, std::uint8_t command, const Bytes& data)
{
    Bytes b{0x55, 0x03, 0xFC, group, command, static_cast<std::uint8_t>(data.size())};
    b.insert(b.end(), data.begin(), data.end());
    return WithChecksum(b);
}

Bytes Reply(std::uint8_t group, std::uint8_t command, const Bytes& data)
{
    Bytes b{0xAA, 0x03, 0xFC, group, command, static_cast<std::uint8_t>(data.size())};
    b.insert(b.end(), data.begin(), data.end());
    return WithChecksum(b);
}

std::string ReadRequest(std::uint16_t addr, std::uint8_t count)
{
    return ToHex(Request(0x0F, 0x01, Concat(Addr(addr), {count})));
}

std::string RamRequest(std::uint16_t addr)
{
    return ToHex(Request(0x0C, 0x01, Concat(Addr(addr), {4})));
}

std::string WriteRequest(std::uint16_t addr, const Bytes& data)
{
    return ToHex(Request(0x0F, 0x81, Concat(Addr(addr), data)));
}

Bytes ReadReply(const Bytes& data)
{
    return Reply(0x0F, 0x01, data);
}

Bytes Ack()
{
    return Reply(0x0F, 0x81, {});
}

Bytes Ram(float v, bool bigEndian)
{
    return Reply(0x0C, 0x01, Single(v, bigEndian));
}

Bytes DataOf(const Bytes& frame)
{
    return Bytes(frame.begin() + 6, frame.end() - 1);
}

std::uint16_t AddrOf(const Bytes& frame)
{
    return static_cast<std::uint16_t>(frame[6] << 8 | frame[7]);
}

} // namespace Plain6x

} // namespace DriverTest
