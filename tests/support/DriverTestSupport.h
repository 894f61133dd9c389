// Helpers of the driver tests on the scripted port: bytes and frames, a single
// as a meter stores it, the model of the calibration cells that the tests
// write from the meters' memory maps, the unscramble that checks scrambled
// blocks, the driver operations behind one shape, and the writes that a
// factory reset is expected to send.
//
// The helpers are written from the meters' memory maps and the frame layouts,
// not from the library: none of them calls the codecs that the tests check.
#pragma once

#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"

#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace DriverTest {

// --- Bytes -------------------------------------------------------------------

Bytes Concat(Bytes a, const Bytes& b);
// A 16-bit address or register number, most significant byte first.
Bytes Addr(std::uint16_t addr);
// The bytes of a text, as they are.
Bytes Text(const std::string& s);

// A single as a meter stores it: most significant byte first (BE) or last (LE).
constexpr bool BE = true;
constexpr bool LE = false;
Bytes Single(float v, bool bigEndian);
Bytes Singles(std::initializer_list<float> values, bool bigEndian);
inline Bytes BigEndian(float v)
{
    return Single(v, BE);
}
inline Bytes LittleEndian(float v)
{
    return Single(v, LE);
}

// The 32-bit pattern carried by a scrambled block (bytes in block order),
// undone from the encoding's nibble table and keys.
std::uint32_t Unscramble(Bytes b);

// --- Calibration tables and cells ---------------------------------------------

enum class Table { K, Obr };

const char* TableName(Table t);

// Cells of one channel: K0, Ku, K point 1 and Obr point 1; the points follow
// their first one step apart.
struct Layout {
    std::uint16_t k0, ku, kPoint1, obrPoint1;
};

// The cell of coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of table t in a
// channel's layout.
std::uint16_t CellIn(const Layout& l, Table t, std::uint8_t i, std::uint16_t step = 4);

// How a driver class takes the channel of its table operations.
enum class Channels {
    PerChannel, // (ch, i): channel 1 and 2 have their own cells
    SameCells,  // (ch, i): ch must be 1 or 2, both address the same cells
    Ignored,    // (ch, i): ch is not looked at
    None,       // (i): one channel
};

// A row of a driver table that gives its class's channel form and one layout
// per channel (one in all for a class that has no channels of its own).
template <class Row>
concept ChannelRow = requires(const Row& r)
{
    {
        r.channels
        } -> std::convertible_to<Channels>;
    {
        r.layout[0]
        } -> std::convertible_to<Layout>;
};

template <ChannelRow Row> std::uint16_t CellOf(const Row& c, Table t, std::uint8_t ch, std::uint8_t i)
{
    const bool perChannel = c.channels == Channels::PerChannel || c.channels == Channels::SameCells;
    return CellIn(c.layout[perChannel ? ch - 1 : 0], t, i);
}

// The channel numbers a table operation is called with: for a meter that does
// not look at the channel, numbers it would refuse if it did.
template <ChannelRow Row> std::vector<std::uint8_t> ChannelsToTry(const Row& c)
{
    switch (c.channels) {
    case Channels::PerChannel:
    case Channels::SameCells: return {1, 2};
    case Channels::Ignored: return {1, 2, 0, 7};
    case Channels::None: return {1};
    }
    return {};
}

// A value per cell whose four bytes all differ (3F/BF, 80+i, 10+ch, C5 from the
// most significant byte down), so that any other byte order gives another number.
float Distinct(Table t, std::uint8_t ch, std::uint8_t i);

// The name of a row of a parameterized test.
inline constexpr auto RowName = [](const auto& info) { return std::string(info.param.name); };

// --- The table operations of a 6x driver class behind one shape -------------

// For a class without channel argument the ch given here is not passed on.
using ReadOperation = std::function<bool(Tulv6xProtocol&, Table, std::uint8_t, std::uint8_t, float&)>;
using WriteOperation = std::function<bool(Tulv6xProtocol&, Table, std::uint8_t, std::uint8_t, float)>;
using WriteNewOperation = std::function<bool(Tulv6xProtocol&, Table, std::uint8_t, std::uint8_t, std::uint64_t)>;

// ClbReadK or ClbReadObr of D.
template <class D> ReadOperation TableRead()
{
    return [](Tulv6xProtocol& p, Table t, std::uint8_t ch, std::uint8_t i, float& v) {
        D& d = static_cast<D&>(p);
        if constexpr (requires { d.ClbReadK(ch, i, v); })
            return t == Table::K ? d.ClbReadK(ch, i, v) : d.ClbReadObr(ch, i, v);
        else
            return t == Table::K ? d.ClbReadK(i, v) : d.ClbReadObr(i, v);
    };
}

// ClbWriteK or ClbWriteObr of D.
template <class D> WriteOperation TableWrite()
{
    return [](Tulv6xProtocol& p, Table t, std::uint8_t ch, std::uint8_t i, float v) {
        D& d = static_cast<D&>(p);
        if constexpr (requires { d.ClbWriteK(ch, i, v); })
            return t == Table::K ? d.ClbWriteK(ch, i, v) : d.ClbWriteObr(ch, i, v);
        else
            return t == Table::K ? d.ClbWriteK(i, v) : d.ClbWriteObr(i, v);
    };
}

// ClbWriteK_new or ClbWriteObr_new of D; empty when D has no scrambled writes.
template <class D> WriteNewOperation TableWriteNew()
{
    if constexpr (requires(D & d, std::uint8_t n, std::uint64_t b) { d.ClbWriteK_new(n, n, b); }) {
        return [](Tulv6xProtocol& p, Table t, std::uint8_t ch, std::uint8_t i, std::uint64_t b) {
            D& d = static_cast<D&>(p);
            return t == Table::K ? d.ClbWriteK_new(ch, i, b) : d.ClbWriteObr_new(ch, i, b);
        };
    } else if constexpr (requires(D & d, std::uint8_t n, std::uint64_t b) { d.ClbWriteK_new(n, b); }) {
        return [](Tulv6xProtocol& p, Table t, std::uint8_t, std::uint8_t i, std::uint64_t b) {
            D& d = static_cast<D&>(p);
            return t == Table::K ? d.ClbWriteK_new(i, b) : d.ClbWriteObr_new(i, b);
        };
    } else {
        return {};
    }
}

// --- Factory resets -------------------------------------------------------------

// The factory values by index: K0, Ku, points 1..8.
inline constexpr float Factory[10] = {0.0f, 1.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};

// One write of a reset: to a cell, either plain bytes or a scrambled value.
struct ResetWrite {
    std::uint16_t cell;
    Bytes plain;         // empty: a scrambled write
    float scrambled = 0; // the value the block carries
};

struct ResetCase {
    const char* name;
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    std::function<void(Tulv6xProtocol&)> reset;
    bool bigEndian;
    std::vector<ResetWrite> writes;
};

void PrintTo(const ResetCase& c, std::ostream* os);

// Plain reset: points 1-2, 3-4, 5-6, 7-8 to the K and Obr cells of the first
// point of each pair, then K0 and Ku together.
std::vector<ResetWrite> PlainReset(const Layout& l, bool bigEndian);

// Scrambled reset of one channel: per point the K cell, then the Obr cell; then
// K0 and Ku, and with twice also again through the Obr table's rows (the same cells).
std::vector<ResetWrite> ScrambledReset(const Layout& l, bool twice);

template <class D, auto Reset>
ResetCase MakeReset(const char* name, bool bigEndian, std::vector<ResetWrite> writes)
{
    return {name, [] { return std::unique_ptr<Tulv6xProtocol>(new D); },
            [](Tulv6xProtocol& p) { (static_cast<D&>(p).*Reset)(); }, bigEndian, std::move(writes)};
}

// --- Plain 6x frames to and from the meter at address 3 -----------------------

// Start byte, address 3 and its complement, group, command, N, data, and the
// complement of the byte sum.
namespace Plain6x {

Bytes WithChecksum(Bytes b);
Bytes Request(std::uint8_t group, std::uint8_t command, const Bytes& data);
Bytes Reply(std::uint8_t group, std::uint8_t command, const Bytes& data);

std::string ReadRequest(std::uint16_t addr, std::uint8_t count); // Rtc2k
std::string RamRequest(std::uint16_t addr);                      // 4 bytes
std::string WriteRequest(std::uint16_t addr, const Bytes& data); // Rtc2k
Bytes ReadReply(const Bytes& data);                              // Rtc2k
Bytes Ack();                                                     // of an Rtc2k write
// The reply to a RAM read of a single.
Bytes Ram(float v, bool bigEndian);

// The data bytes of a request frame, and the address they start with.
Bytes DataOf(const Bytes& frame);
std::uint16_t AddrOf(const Bytes& frame);

} // namespace Plain6x

} // namespace DriverTest
