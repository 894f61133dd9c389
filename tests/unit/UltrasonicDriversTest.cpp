// The two ultrasonic drivers on the scripted port: every calibration cell
// through the relay in little-endian order, plain and scrambled writes, the
// relay frames byte for byte, the ultrasonic reads and buffers, the reset, the
// verification-mode switch, the stamp, the sound path length and the sensor
// divisors.
//
// The expected cells are written here from the meters' memory maps (K0, Ku,
// first K point, first Obr point per channel; points 4 bytes apart), not taken
// from the drivers' tables. Relay frames are built by Relay() below: start byte,
// the serial number least significant byte first, group, command, N, data, and
// the complement of the byte sum. The golden frames were worked by hand:
// 44412345 = 0x02A5ADB9 goes as B9 AD A5 02, 44499999 = 0x02A7041F as 1F 04 A7 02;
// e.g. the read of K0: 55 B9 AD A5 02 0F 01 03 00 90 04 sums to 0x309, so the
// checksum is ~0x09 = F6.
#include "DriverTestSupport.h"
#include "ScriptedPort.h"
#include "TulvGZU08.h"
#include "TulvKvt64KU.h"
#include "UltrasonicTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace DriverTest;

// --- Frames -------------------------------------------------------------------

constexpr std::uint32_t Serial = 44412345; // B9 AD A5 02 on the wire

Bytes Relay(std::uint8_t start, std::uint8_t group, std::uint8_t command, const Bytes& data)
{
    Bytes b{start, 0xB9, 0xAD, 0xA5, 0x02, group, command, static_cast<std::uint8_t>(data.size())};
    b = Concat(b, data);
    std::uint8_t sum = 0;
    for (auto x : b)
        sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

std::string Rtc2kRead(std::uint16_t addr, std::uint8_t count)
{
    return ToHex(Relay(0x55, 0x0F, 0x01, Concat(Addr(addr), {count})));
}
std::string RamRead(std::uint16_t addr, std::uint8_t count)
{
    return ToHex(Relay(0x55, 0x0C, 0x01, Concat(Addr(addr), {count})));
}
std::string Rtc2kWrite(std::uint16_t addr, const Bytes& data)
{
    return ToHex(Relay(0x55, 0x0F, 0x81, Concat(Addr(addr), data)));
}
Bytes Rtc2kReply(const Bytes& data)
{
    return Relay(0xAA, 0x0F, 0x01, data);
}
Bytes RamReply(const Bytes& data)
{
    return Relay(0xAA, 0x0C, 0x01, data);
}
// The meter echoes what it stored; the drivers do not use the echo.
Bytes WriteEcho(const Bytes& data)
{
    return Relay(0xAA, 0x0F, 0x81, data);
}

// The data bytes of a relay request frame.
Bytes DataOf(const Bytes& frame)
{
    return Bytes(frame.begin() + 8, frame.end() - 1);
}

std::unique_ptr<Tulv6xProtocol> Connected(std::unique_ptr<Tulv6xProtocol> d, ScriptedPort& port)
{
    port.opened = true;
    d->SetComPort(&port);
    d->SetNetAddr(3);
    d->SetGZU_NetAddr(Serial);
    d->SetEWrite(true);
    return d;
}

// --- The two drivers as rows ----------------------------------------------------

struct MemoryMap {
    const char* name;
    bool directions;            // (ch, i) with two directions; otherwise (i)
    std::vector<Layout> layout; // per channel
    std::uint16_t stampCell;
    std::uint8_t stampCommand[2]; // group and command of the stamp write
};

struct UltrasonicCase : MemoryMap {
    // Filled by Bind<Driver>. For the class without channel argument the ch
    // given here is not passed on.
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    ReadOperation read;
    WriteOperation write;
    WriteNewOperation writeNew;
    std::function<void(Tulv6xProtocol&)> reset;
    std::function<void(Tulv6xProtocol&, std::string&)> deviceNumber, devId;
    std::function<void(Tulv6xProtocol&, std::string_view)> setSignature;
    std::function<std::string(Tulv6xProtocol&)> signature;
    std::function<bool(Tulv6xProtocol&)> signatureWritten, writeSignature;
    std::function<void(Tulv6xProtocol&)> clearSignature;
};

template <class D> UltrasonicCase Bind(const MemoryMap& map)
{
    UltrasonicCase c;
    static_cast<MemoryMap&>(c) = map;
    c.make = [] { return std::unique_ptr<Tulv6xProtocol>(new D); };
    c.read = TableRead<D>();
    c.write = TableWrite<D>();
    c.writeNew = TableWriteNew<D>();
    c.reset = [](Tulv6xProtocol& p) { static_cast<D&>(p).ResetK(); };
    c.deviceNumber = [](Tulv6xProtocol& p, std::string& s) { static_cast<D&>(p).GetDeviceNumber(s); };
    c.devId = [](Tulv6xProtocol& p, std::string& s) { static_cast<D&>(p).GetDevID(s); };
    c.setSignature = [](Tulv6xProtocol& p, std::string_view s) { static_cast<D&>(p).SetSignature(s); };
    c.signature = [](Tulv6xProtocol& p) { return static_cast<D&>(p).Signature(); };
    c.signatureWritten = [](Tulv6xProtocol& p) { return static_cast<D&>(p).SignatureWritten(); };
    c.writeSignature = [](Tulv6xProtocol& p) { return static_cast<D&>(p).ClbWriteSignature(); };
    c.clearSignature = [](Tulv6xProtocol& p) { static_cast<D&>(p).ClearSignature(); };
    return c;
}

void PrintTo(const UltrasonicCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::vector<UltrasonicCase>& BothDrivers()
{
    static const std::vector<UltrasonicCase> rows = {
        Bind<TulvKvt64KU>({"Kvt64KU", false, {{0x0090, 0x0094, 0x00A0, 0x00C0}}, 0x0020, {0x0F, 0x81}}),
        // The two directions share K0 and Ku.
        Bind<TulvGZU08>({"GZU08",
                         true,
                         {{0x0300, 0x0304, 0x0310, 0x0350}, {0x0300, 0x0304, 0x0330, 0x0370}},
                         0x02D0,
                         {0x0A, 0x42}}),
    };
    return rows;
}

std::uint16_t CellOf(const UltrasonicCase& c, Table t, std::uint8_t ch, std::uint8_t i)
{
    return CellIn(c.layout[c.directions ? ch - 1 : 0], t, i);
}

std::vector<std::uint8_t> ChannelsOf(const UltrasonicCase& c)
{
    if (c.directions) return {1, 2};
    return {1};
}

class Ultrasonic : public ::testing::TestWithParam<UltrasonicCase> {
protected:
    void SetUp() override { d = Connected(GetParam().make(), port); }
    std::string Sent(size_t k) const { return k < port.requests.size() ? ToHex(port.requests[k].bytes) : "(none)"; }

    ScriptedPort port;
    std::unique_ptr<Tulv6xProtocol> d;
};

// --- Calibration cells --------------------------------------------------------------

TEST_P(Ultrasonic, ReadsEveryCellThroughTheRelayLittleEndian)
{
    const UltrasonicCase& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsOf(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const float stored = Distinct(t, ch, i);
                port.QueueReply(Rtc2kReply(LittleEndian(stored)));
                const size_t k = port.requests.size();
                float v = 99.0f;
                EXPECT_TRUE(c.read(*d, t, ch, i, v));
                EXPECT_EQ(v, stored);
                EXPECT_EQ(Sent(k), Rtc2kRead(CellOf(c, t, ch, i), 4));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
}

TEST_P(Ultrasonic, WritesEveryCellAsAPlainLittleEndianSingle)
{
    const UltrasonicCase& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsOf(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const float value = Distinct(t, ch, i);
                // An echo of 8 bytes goes into the driver's scratch, not anywhere it matters.
                port.QueueReply(WriteEcho(Hex("01 02 03 04 05 06 07 08")));
                const size_t k = port.requests.size();
                EXPECT_TRUE(c.write(*d, t, ch, i, value));
                EXPECT_EQ(Sent(k), Rtc2kWrite(CellOf(c, t, ch, i), LittleEndian(value)));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.write(*d, Table::K, 1, 4, 1.0f));
    EXPECT_EQ(d->LastError(), 2u);
}

TEST_P(Ultrasonic, WritesEveryCellAsAScrambledBlockInBlockOrderWithANinthZeroByte)
{
    const UltrasonicCase& c = GetParam();
    // Block byte 0 is the least significant byte: 11, then 22 ... 88.
    const std::uint64_t block = 0x8877665544332211u;
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsOf(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                port.QueueReply(WriteEcho({}));
                const size_t k = port.requests.size();
                EXPECT_TRUE(c.writeNew(*d, t, ch, i, block));
                EXPECT_EQ(Sent(k), Rtc2kWrite(CellOf(c, t, ch, i), Hex("11 22 33 44 55 66 77 88 00")));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.writeNew(*d, Table::Obr, 1, 9, block));
    EXPECT_EQ(d->LastError(), 2u);
}

TEST_P(Ultrasonic, AScrambledWriteCarriesTheValueOfItsBlock)
{
    const UltrasonicCase& c = GetParam();
    const float value = 0.0123f;
    port.QueueReply(WriteEcho({}));
    EXPECT_TRUE(c.writeNew(*d, Table::K, 1, 5, ScrambleValue8(std::bit_cast<std::uint32_t>(value))));
    ASSERT_EQ(port.requests.size(), 1u);
    const Bytes data = DataOf(port.requests[0].bytes);
    ASSERT_EQ(data.size(), 11u) << "address, 8 block bytes, a ninth byte";
    EXPECT_EQ(Unscramble(Bytes(data.begin() + 2, data.begin() + 10)), std::bit_cast<std::uint32_t>(value));
}

TEST_P(Ultrasonic, AFailedOrShortReadStoresZero)
{
    const UltrasonicCase& c = GetParam();
    d->SetRepeatCount(1);
    float v = 5.0f;
    port.QueueSilence();
    EXPECT_FALSE(c.read(*d, Table::K, 1, 2, v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(d->LastError(), 2u);

    // Two data bytes where four were asked (the other two would be stale), and
    // five (not the cell asked for).
    for (const Bytes& data : {Hex("00 00"), Hex("00 00 80 3F 00")}) {
        v = 5.0f;
        port.QueueReply(Rtc2kReply(data));
        EXPECT_FALSE(c.read(*d, Table::Obr, 1, 3, v));
        EXPECT_EQ(v, 0.0f);
        EXPECT_EQ(d->LastError(), 3u);
    }
}

TEST_P(Ultrasonic, RejectsBadArgumentsBeforeAnyTransaction)
{
    const UltrasonicCase& c = GetParam();
    d->SetRepeatCount(1);
    port.QueueSilence();
    float v = 0.0f;
    c.read(*d, Table::K, 1, 0, v);
    ASSERT_EQ(d->LastError(), 2u);
    const size_t before = port.requests.size();

    std::vector<std::pair<std::uint8_t, std::uint8_t>> bad = {{1, 10}, {1, 255}};
    if (c.directions) bad.insert(bad.end(), {{0, 0}, {3, 5}, {255, 9}});
    for (auto [ch, i] : bad) {
        SCOPED_TRACE(testing::Message() << "ch " << int(ch) << " i " << int(i));
        for (Table t : {Table::K, Table::Obr}) {
            v = 42.0f;
            EXPECT_FALSE(c.read(*d, t, ch, i, v));
            EXPECT_EQ(v, 42.0f) << "the out value stays untouched";
            EXPECT_FALSE(c.write(*d, t, ch, i, 1.0f));
            EXPECT_FALSE(c.writeNew(*d, t, ch, i, 0x1122334455667788u));
        }
    }
    EXPECT_EQ(port.requests.size(), before) << "nothing sent";
    EXPECT_EQ(d->LastError(), 2u) << "LastError unchanged";
}

// Relay transactions are not gated by EWrite: a driver with writing disabled
// still writes to the meter.
TEST_P(Ultrasonic, RelayWritesAreSentWhateverEWriteSays)
{
    const UltrasonicCase& c = GetParam();
    d->SetEWrite(false);
    port.QueueReply(WriteEcho({}));
    EXPECT_TRUE(c.write(*d, Table::K, 1, 1, 1.0f));
    EXPECT_EQ(Sent(0), Rtc2kWrite(CellOf(c, Table::K, 1, 1), Hex("00 00 80 3F")));
}

TEST_P(Ultrasonic, ResetKLetsTheMeterRestoreItsTablesWithOneRelayFrame)
{
    const UltrasonicCase& c = GetParam();
    port.QueueReply(Relay(0xAA, 0x0F, 0x64, {}));
    c.reset(*d);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(0), "55 B9 AD A5 02 0F 64 00 2A");
    EXPECT_EQ(d->LastError(), 0u);

    d->SetRepeatCount(1);
    port.QueueSilence();
    c.reset(*d);
    EXPECT_EQ(d->LastError(), 2u) << "the outcome of its transaction";
}

TEST_P(Ultrasonic, FactoryNumberIsALittleEndianDecimal)
{
    const UltrasonicCase& c = GetParam();
    port.QueueReply(Rtc2kReply(Hex("B9 AD A5 02")));
    std::string s = "old";
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "44412345");
    EXPECT_EQ(Sent(0), Rtc2kRead(0x0000, 4));

    port.QueueReply(Rtc2kReply(Hex("FF FF FF FF")));
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "4294967295");

    port.QueueReply(Rtc2kReply(Hex("B9 AD A5"))); // one byte short
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(d->LastError(), 3u);

    d->SetRepeatCount(1);
    port.QueueSilence();
    s = "old";
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(d->LastError(), 2u);
}

TEST_P(Ultrasonic, IdentityTextComesThroughTheRelay)
{
    const UltrasonicCase& c = GetParam();
    port.QueueReply(Relay(0xAA, 0x00, 0x00, Hex("C3 C7 D3 2D 30 38"))); // "ГЗУ-08" in code page 1251
    std::string s;
    c.devId(*d, s);
    EXPECT_EQ(Sent(0), "55 B9 AD A5 02 00 00 00 9D");
    EXPECT_EQ(s, "\u0413\u0417\u0423-08");

    d->SetRepeatCount(1);
    port.QueueSilence();
    c.devId(*d, s);
    EXPECT_EQ(s, "");
}

// --- Calibration stamp -----------------------------------------------------------

std::string StampWrite(const UltrasonicCase& c, const Bytes& image)
{
    return ToHex(Relay(0x55, c.stampCommand[0], c.stampCommand[1], Concat(Addr(c.stampCell), image)));
}

TEST_P(Ultrasonic, StampIsWrittenOnceUntilClearedAtTheMetersCell)
{
    const UltrasonicCase& c = GetParam();
    EXPECT_FALSE(c.writeSignature(*d)) << "no Signature assigned yet";
    c.setSignature(*d, "C1320042");
    port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30);
    // The meters echo more than was written; that changes nothing.
    port.QueueReply(Relay(0xAA, c.stampCommand[0], c.stampCommand[1], Bytes(20, 0x5A)));
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_TRUE(c.signatureWritten(*d));
    EXPECT_EQ(Sent(0), StampWrite(c, Hex("43 31 33 32 30 30 34 32 00 00 24 03 05 09 07 30")));

    EXPECT_TRUE(c.writeSignature(*d)) << "already written";
    EXPECT_EQ(port.requests.size(), 1u);

    c.clearSignature(*d);
    EXPECT_FALSE(c.signatureWritten(*d));
    port.clock.SetLocalTime(2031, 12, 24, 23, 59, 58);
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.writeSignature(*d)) << "a failed write";
    EXPECT_FALSE(c.signatureWritten(*d));
    port.QueueReply(Relay(0xAA, c.stampCommand[0], c.stampCommand[1], {}));
    EXPECT_TRUE(c.writeSignature(*d));
    ASSERT_EQ(port.requests.size(), 3u);
    EXPECT_EQ(Sent(2), StampWrite(c, Hex("43 31 33 32 30 30 34 32 00 00 31 12 24 23 59 58")));
}

TEST_P(Ultrasonic, SignatureKeepsEightCharactersOrNothing)
{
    const UltrasonicCase& c = GetParam();
    c.setSignature(*d, "C132");
    EXPECT_EQ(c.signature(*d), "");
    EXPECT_FALSE(c.writeSignature(*d));
    EXPECT_TRUE(port.requests.empty());

    c.setSignature(*d, "C13200421234");
    EXPECT_EQ(c.signature(*d), "C1320042");

    // Characters, not bytes: nine Cyrillic letters keep eight, sent in code page 1251.
    c.setSignature(*d, "\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417\u0418");
    EXPECT_EQ(c.signature(*d), "\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417");
    port.QueueReply(Relay(0xAA, c.stampCommand[0], c.stampCommand[1], {}));
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_EQ(Sent(0), StampWrite(c, Hex("C0 C1 C2 C3 C4 C5 C6 C7 00 00 24 03 05 07 30 00")));
}

INSTANTIATE_TEST_SUITE_P(Drivers, Ultrasonic, ::testing::ValuesIn(BothDrivers()), RowName);

// --- Golden relay frames ---------------------------------------------------------

struct FrameCase {
    const char* name;
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    std::uint32_t serial;
    std::function<void(Tulv6xProtocol&)> call;
    Bytes reply; // empty: nothing is read
    const char* frame;
};

void PrintTo(const FrameCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> std::function<std::unique_ptr<Tulv6xProtocol>()> Make()
{
    return [] { return std::unique_ptr<Tulv6xProtocol>(new D); };
}
template <class D, class F> std::function<void(Tulv6xProtocol&)> Call(F f)
{
    return [f](Tulv6xProtocol& p) { f(static_cast<D&>(p)); };
}

class GoldenFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(GoldenFrame, IsSentByteForByte)
{
    const FrameCase& fc = GetParam();
    ScriptedPort port;
    auto d = Connected(fc.make(), port);
    d->SetGZU_NetAddr(fc.serial);
    if (!fc.reply.empty()) port.QueueReply(fc.reply);
    fc.call(*d);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), fc.frame);
    EXPECT_EQ(d->LastError(), 0u);
    EXPECT_EQ(port.Pending(), 0u) << "the reply was read";
}

const Bytes AnyRelayReply = Relay(0xAA, 0x0F, 0x01, Hex("00 00 80 3F"));

INSTANTIATE_TEST_SUITE_P(
    Ultrasonic, GoldenFrame,
    ::testing::Values(FrameCase{"Kvt64KUReadsK0", Make<TulvKvt64KU>(), 44412345, Call<TulvKvt64KU>([](auto& d) {
                                    float v;
                                    d.ClbReadK(0, v);
                                }),
                                AnyRelayReply, "55 B9 AD A5 02 0F 01 03 00 90 04 F6"},
                      // 1.0 little-endian to the last K point of the reverse direction (0x034C).
                      FrameCase{"GZU08WritesKPoint8OfDirection2", Make<TulvGZU08>(), 44499999,
                                Call<TulvGZU08>([](auto& d) { d.ClbWriteK(2, 9, 1.0f); }), AnyRelayReply,
                                "55 1F 04 A7 02 0F 81 06 03 4C 00 00 80 3F 3A"},
                      FrameCase{"Kvt64KUWritesAScrambledKPoint2", Make<TulvKvt64KU>(), 44412345,
                                Call<TulvKvt64KU>([](auto& d) { d.ClbWriteK_new(3, 0x8877665544332211u); }),
                                AnyRelayReply, "55 B9 AD A5 02 0F 81 0B 00 A4 11 22 33 44 55 66 77 88 00 FA"},
                      // Gmax 100.0 (42 C8 00 00) in memory order with the relay's 0A 42.
                      FrameCase{"GZU08WriteRtc2kNewThroughTheRelay", Make<TulvGZU08>(), 44412345,
                                Call<TulvGZU08>([](auto& d) {
                                    const std::uint8_t gmax[4] = {0x00, 0x00, 0xC8, 0x42};
                                    d.WriteRtc2k_new(0x0023, gmax, 4);
                                }),
                                AnyRelayReply, "55 B9 AD A5 02 0A 42 06 00 23 00 00 C8 42 1E"},
                      // The same write as a plain 6x frame to NetAddr 3.
                      FrameCase{"Kvt64KUWriteRtc2kNewIsAPlainFrame", Make<TulvKvt64KU>(), 44412345,
                                Call<TulvKvt64KU>([](auto& d) {
                                    const std::uint8_t gmax[4] = {0x00, 0x00, 0xC8, 0x42};
                                    d.WriteRtc2k_new(0x0023, gmax, 4);
                                }),
                                Hex("AA 03 FC 0A 42 00 0A"), "55 03 FC 0A 42 06 00 23 00 00 C8 42 2C"},
                      // Verification mode: plain frames to address 0 for the heat meter,
                      // broadcasts to 44400000 for the flow meter; no reply is read.
                      FrameCase{"Kvt64KUStartPoverkaMode",
                                Make<TulvKvt64KU>(),
                                44412345,
                                Call<TulvKvt64KU>([](auto& d) { d.StartPoverkaMode(); }),
                                {},
                                "55 00 FF 31 7A 00 00"},
                      FrameCase{"Kvt64KUStopPoverkaMode",
                                Make<TulvKvt64KU>(),
                                44412345,
                                Call<TulvKvt64KU>([](auto& d) { d.StopPoverkaMode(); }),
                                {},
                                "55 00 FF A8 53 00 B0"},
                      FrameCase{"GZU08StartPoverkaMode",
                                Make<TulvGZU08>(),
                                44412345,
                                Call<TulvGZU08>([](auto& d) { d.StartPoverkaMode(); }),
                                {},
                                "55 80 7D A5 02 31 7A 00 5B"},
                      FrameCase{"GZU08StopPoverkaMode",
                                Make<TulvGZU08>(),
                                44412345,
                                Call<TulvGZU08>([](auto& d) { d.StopPoverkaMode(); }),
                                {},
                                "55 80 7D A5 02 A8 53 00 0B"}),
    RowName);

// --- Single live values ------------------------------------------------------------

struct ValueCase {
    const char* name;
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    std::function<float(Tulv6xProtocol&)> read;
    std::string request;
    Bytes replyData;
    float expected;
};

void PrintTo(const ValueCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D, class F> std::function<float(Tulv6xProtocol&)> Value(F f)
{
    return [f](Tulv6xProtocol& p) { return static_cast<float>(f(static_cast<D&>(p))); };
}

class LiveValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(LiveValue, IsReadFromItsRamCellAndIsZeroOnFailure)
{
    const ValueCase& vc = GetParam();
    ScriptedPort port;
    auto d = Connected(vc.make(), port);
    port.QueueReply(RamReply(vc.replyData));
    EXPECT_EQ(vc.read(*d), vc.expected);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), vc.request);

    Bytes shortData(vc.replyData.begin(), vc.replyData.end() - 1);
    port.QueueReply(RamReply(shortData));
    EXPECT_EQ(vc.read(*d), 0.0f) << "a short reply gives 0";
    EXPECT_EQ(d->LastError(), 3u);

    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_EQ(vc.read(*d), 0.0f) << "a failed read gives 0";
    EXPECT_EQ(d->LastError(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Ultrasonic, LiveValue,
    ::testing::Values(
        ValueCase{"Kvt64KUFlow", Make<TulvKvt64KU>(), Value<TulvKvt64KU>([](auto& d) { return d.ClbReadG(); }),
                  RamRead(0x001E, 4), LittleEndian(3.5f), 3.5f},
        ValueCase{"Kvt64KURawValue", Make<TulvKvt64KU>(), Value<TulvKvt64KU>([](auto& d) { return d.ClbReadSFR(); }),
                  RamRead(0x03A0, 4), LittleEndian(-1234.5f), -1234.5f},
        ValueCase{"Kvt64KUFirstAmplitude", Make<TulvKvt64KU>(),
                  Value<TulvKvt64KU>([](auto& d) { return d.ClbRead_AmpValue(0); }), RamRead(0x03AC, 4),
                  LittleEndian(0.25f), 0.25f},
        ValueCase{"Kvt64KUSecondAmplitude", Make<TulvKvt64KU>(),
                  Value<TulvKvt64KU>([](auto& d) { return d.ClbRead_AmpValue(1); }), RamRead(0x03B0, 4),
                  LittleEndian(0.75f), 0.75f},
        ValueCase{"Kvt64KUAnyOtherWhichIsTheSecondAmplitude", Make<TulvKvt64KU>(),
                  Value<TulvKvt64KU>([](auto& d) { return d.ClbRead_AmpValue(255); }), RamRead(0x03B0, 4),
                  LittleEndian(0.75f), 0.75f},
        ValueCase{"Kvt64KUErrorFlags", Make<TulvKvt64KU>(), Value<TulvKvt64KU>([](auto& d) { return d.ReadErrors(); }),
                  RamRead(0x03F0, 1), Hex("18"), 24.0f},
        ValueCase{"GZU08Flow", Make<TulvGZU08>(), Value<TulvGZU08>([](auto& d) { return d.ClbReadG(); }),
                  RamRead(0x0010, 4), LittleEndian(-7.25f), -7.25f},
        ValueCase{"GZU08RawValue", Make<TulvGZU08>(), Value<TulvGZU08>([](auto& d) { return d.ClbReadSFR(); }),
                  RamRead(0x03A0, 4), LittleEndian(1e6f), 1e6f},
        ValueCase{"GZU08ErrorFlags", Make<TulvGZU08>(), Value<TulvGZU08>([](auto& d) { return d.ReadErrors(); }),
                  RamRead(0x03F0, 1), Hex("FF"), 255.0f}),
    RowName);

TEST(Kvt64KUSoundTime, IsTheMeanOfTheTwoSoundTimesAndZeroWhenEitherFails)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvKvt64KU>(), port);
    auto& d = static_cast<TulvKvt64KU&>(*p);
    port.QueueReply(RamReply(LittleEndian(100000.0f)));
    port.QueueReply(RamReply(LittleEndian(100500.0f)));
    EXPECT_EQ(d.ClbRead_SoundTime(), 100250.0f);
    ASSERT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), RamRead(0x03A4, 4));
    EXPECT_EQ(ToHex(port.requests[1].bytes), RamRead(0x03A8, 4));

    d.SetRepeatCount(1);
    port.QueueReply(RamReply(LittleEndian(100000.0f)));
    port.QueueSilence();
    EXPECT_EQ(d.ClbRead_SoundTime(), 0.0f);
    EXPECT_EQ(d.LastError(), 2u);

    port.QueueSilence();
    EXPECT_EQ(d.ClbRead_SoundTime(), 0.0f);
    EXPECT_EQ(port.requests.size(), 5u) << "no second read after the first failed";
}

// --- Buffer reads ------------------------------------------------------------------

struct BufferCase {
    const char* name;
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    // Runs the read into buf; true when it reports success.
    std::function<bool(Tulv6xProtocol&, std::span<std::uint8_t>)> read;
    bool ram; // else Rtc2k
    std::uint16_t addr;
    std::uint8_t count;
    size_t bufferSize;
};

void PrintTo(const BufferCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D, class F> std::function<bool(Tulv6xProtocol&, std::span<std::uint8_t>)> Buffer(F f)
{
    return [f](Tulv6xProtocol& p, std::span<std::uint8_t> buf) { return f(static_cast<D&>(p), buf); };
}

class BufferRead : public ::testing::TestWithParam<BufferCase> {};

TEST_P(BufferRead, FillsTheBufferOrLeavesItUntouched)
{
    const BufferCase& bc = GetParam();
    ScriptedPort port;
    auto d = Connected(bc.make(), port);
    Bytes data(bc.count);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<std::uint8_t>(0xA0 + k);
    const std::string request = bc.ram ? RamRead(bc.addr, bc.count) : Rtc2kRead(bc.addr, bc.count);

    Bytes buf(bc.bufferSize, 0xEE);
    port.QueueReply(bc.ram ? RamReply(data) : Rtc2kReply(data));
    EXPECT_TRUE(bc.read(*d, buf));
    EXPECT_EQ(d->LastError(), 0u);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), request);
    Bytes expected = data;
    expected.resize(bc.bufferSize, 0xEE); // bytes beyond the count stay
    EXPECT_EQ(buf, expected);

    // A reply one byte short, one byte long, and none at all.
    for (size_t n : {data.size() - 1, data.size() + 1}) {
        Bytes other(n, 0x11);
        Bytes untouched(bc.bufferSize, 0xEE);
        port.QueueReply(bc.ram ? RamReply(other) : Rtc2kReply(other));
        EXPECT_FALSE(bc.read(*d, untouched));
        EXPECT_EQ(d->LastError(), 3u);
        EXPECT_EQ(untouched, Bytes(bc.bufferSize, 0xEE));
    }
    d->SetRepeatCount(1);
    port.QueueSilence();
    Bytes untouched(bc.bufferSize, 0xEE);
    EXPECT_FALSE(bc.read(*d, untouched));
    EXPECT_EQ(d->LastError(), 2u);
    EXPECT_EQ(untouched, Bytes(bc.bufferSize, 0xEE));
}

template <class D> auto ReadRtc2kAs(std::uint16_t addr, std::uint8_t count)
{
    return Buffer<D>([addr, count](D& d, std::span<std::uint8_t> b) {
        d.ReadRtc2k(addr, b, count);
        return d.LastError() == 0;
    });
}
template <class D> auto ReadRamAs(std::uint16_t addr, std::uint8_t count)
{
    return Buffer<D>([addr, count](D& d, std::span<std::uint8_t> b) {
        d.ReadRAM(addr, b, count);
        return d.LastError() == 0;
    });
}

INSTANTIATE_TEST_SUITE_P(
    Ultrasonic, BufferRead,
    ::testing::Values(
        BufferCase{"Kvt64KURawValues", Make<TulvKvt64KU>(),
                   Buffer<TulvKvt64KU>([](auto& d, auto b) { return d.ClbReadRawValues(b.template first<36>()); }),
                   true, 0x03A0, 36, 36},
        BufferCase{"Kvt64KUDataBuffer", Make<TulvKvt64KU>(),
                   Buffer<TulvKvt64KU>([](auto& d, auto b) { return d.ClbRead_Cons_SFR_SONIC_DATA(b, 20); }), true,
                   0x0800, 20, 32},
        BufferCase{"Kvt64KUChipSettings", Make<TulvKvt64KU>(), Buffer<TulvKvt64KU>([](auto& d, auto b) {
                       return d.ClbReadGP30_FHL_settings(b.template first<7>());
                   }),
                   false, 0x00F0, 7, 7},
        BufferCase{"Kvt64KUTableKFromTheK0Cell", Make<TulvKvt64KU>(),
                   Buffer<TulvKvt64KU>([](auto& d, auto b) { return d.ClbReadTableK(b.template first<40>()); }), false,
                   0x0090, 40, 40},
        // Gmax and the sensor index as the read-out takes them.
        BufferCase{"Kvt64KUReadRtc2kGmax", Make<TulvKvt64KU>(), ReadRtc2kAs<TulvKvt64KU>(0x0023, 4), false, 0x0023, 4,
                   8},
        BufferCase{"Kvt64KUReadRAM", Make<TulvKvt64KU>(), ReadRamAs<TulvKvt64KU>(0x0100, 12), true, 0x0100, 12, 12},
        BufferCase{"GZU08RawValues", Make<TulvGZU08>(),
                   Buffer<TulvGZU08>([](auto& d, auto b) { return d.ClbReadRawValues(b.template first<36>()); }), true,
                   0x03A0, 36, 36},
        BufferCase{"GZU08DataBuffer", Make<TulvGZU08>(),
                   Buffer<TulvGZU08>([](auto& d, auto b) { return d.Read_CLB_G_VALUES(b.template first<13>()); }), true,
                   0x0800, 13, 13},
        BufferCase{"GZU08ReadRtc2kGmax", Make<TulvGZU08>(), ReadRtc2kAs<TulvGZU08>(0x0023, 4), false, 0x0023, 4, 4},
        BufferCase{"GZU08ReadRtc2kSensorIndex", Make<TulvGZU08>(), ReadRtc2kAs<TulvGZU08>(0x0021, 2), false, 0x0021, 2,
                   2},
        BufferCase{"GZU08ReadRAM", Make<TulvGZU08>(), ReadRamAs<TulvGZU08>(0x0010, 4), true, 0x0010, 4, 4}),
    RowName);

TEST(GZU08Buffers, SFRsAreTheFirstTwelveBytesOfTheRawValueBlock)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvGZU08>(), port);
    auto& d = static_cast<TulvGZU08&>(*p);
    Bytes block(36);
    for (size_t k = 0; k < block.size(); ++k)
        block[k] = static_cast<std::uint8_t>(k + 1);
    port.QueueReply(RamReply(block));
    std::uint8_t buf[12] = {};
    EXPECT_TRUE(d.ClbReadSFRs(buf));
    EXPECT_EQ(ToHex(port.requests.at(0).bytes), RamRead(0x03A0, 36));
    EXPECT_EQ(Bytes(buf, buf + 12), Bytes(block.begin(), block.begin() + 12));

    std::fill(std::begin(buf), std::end(buf), 0xEE);
    port.QueueReply(RamReply(Bytes(12, 0x11))); // only 12 of the 36 bytes asked
    EXPECT_FALSE(d.ClbReadSFRs(buf));
    EXPECT_EQ(d.LastError(), 3u);
    EXPECT_EQ(Bytes(buf, buf + 12), Bytes(12, 0xEE));
}

TEST(GZU08Buffers, OffersNoWholeTableReads)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvGZU08>(), port);
    auto& d = static_cast<TulvGZU08&>(*p);
    std::uint8_t buf[40];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    EXPECT_FALSE(d.ClbReadTableK(buf));
    EXPECT_FALSE(d.ClbReadTableObr(buf));
    EXPECT_TRUE(port.requests.empty());
    EXPECT_EQ(Bytes(buf, buf + 40), Bytes(40, 0xEE));
}

TEST(Kvt64KUBuffers, TableObrIsK0KuAndTheEightObrPoints)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvKvt64KU>(), port);
    auto& d = static_cast<TulvKvt64KU&>(*p);
    const Bytes zeroAndGain = Concat(LittleEndian(0.0f), LittleEndian(1.0f));
    Bytes points;
    for (float v : {0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f})
        points = Concat(points, LittleEndian(v));
    port.QueueReply(Rtc2kReply(zeroAndGain));
    port.QueueReply(Rtc2kReply(points));
    std::uint8_t buf[40] = {};
    EXPECT_TRUE(d.ClbReadTableObr(buf));
    ASSERT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), Rtc2kRead(0x0090, 8));
    EXPECT_EQ(ToHex(port.requests[1].bytes), Rtc2kRead(0x00C0, 32));
    EXPECT_EQ(Bytes(buf, buf + 40), Concat(zeroAndGain, points));

    // The second read fails: nothing of the first reaches the buffer.
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    d.SetRepeatCount(1);
    port.QueueReply(Rtc2kReply(zeroAndGain));
    port.QueueSilence();
    EXPECT_FALSE(d.ClbReadTableObr(buf));
    EXPECT_EQ(d.LastError(), 2u);
    EXPECT_EQ(Bytes(buf, buf + 40), Bytes(40, 0xEE));
}

TEST(UltrasonicBuffers, ACountBeyondTheBufferIsAProgrammingErrorAndSendsNothing)
{
    ScriptedPort port;
    auto ku = Connected(std::make_unique<TulvKvt64KU>(), port);
    auto gzu = Connected(std::make_unique<TulvGZU08>(), port);
    auto& k = static_cast<TulvKvt64KU&>(*ku);
    auto& g = static_cast<TulvGZU08&>(*gzu);
    std::uint8_t buf[4] = {};
    EXPECT_THROW(k.ReadRtc2k(0x0023, buf, 5), std::invalid_argument);
    EXPECT_THROW(k.ReadRAM(0x0010, buf, 5), std::invalid_argument);
    EXPECT_THROW(k.ClbRead_Cons_SFR_SONIC_DATA(buf, 5), std::invalid_argument);
    EXPECT_THROW(k.WriteRtc2k_new(0x0023, buf, 5), std::invalid_argument);
    EXPECT_THROW(g.ReadRtc2k(0x0023, buf, 5), std::invalid_argument);
    EXPECT_THROW(g.ReadRAM(0x0010, buf, 5), std::invalid_argument);
    EXPECT_THROW(g.WriteRtc2k_new(0x0023, buf, 5), std::invalid_argument);
    EXPECT_TRUE(port.requests.empty());
}

TEST(UltrasonicWrites, WriteRtc2kNewOfTheHeatMeterIsGatedTheFlowMeterOnesAreNot)
{
    ScriptedPort port;
    auto ku = Connected(std::make_unique<TulvKvt64KU>(), port);
    auto gzu = Connected(std::make_unique<TulvGZU08>(), port);
    ku->SetEWrite(false);
    gzu->SetEWrite(false);
    const std::uint8_t gmax[4] = {0x00, 0x00, 0xC8, 0x42};
    static_cast<TulvKvt64KU&>(*ku).WriteRtc2k_new(0x0023, gmax, 4);
    EXPECT_EQ(ku->LastError(), 0u);
    EXPECT_TRUE(port.requests.empty()) << "a plain 6x write honours EWrite";

    // The relay write goes out, and an echo longer than the data does not fail it.
    port.QueueReply(Relay(0xAA, 0x0A, 0x42, Bytes(30, 0x77)));
    static_cast<TulvGZU08&>(*gzu).WriteRtc2k_new(0x0023, gmax, 4);
    EXPECT_EQ(gzu->LastError(), 0u);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), "55 B9 AD A5 02 0A 42 06 00 23 00 00 C8 42 1E");
}

// --- Sound path length and sensor divisors ------------------------------------

struct SoundPathCase {
    const char* name;
    float temperature; // °C
    float soundTime;   // ns
    float expected;    // m
};

void PrintTo(const SoundPathCase& c, std::ostream* os)
{
    *os << c.name;
}

class SoundPath : public ::testing::TestWithParam<SoundPathCase> {};

// Both classes hold their own table of the speed of sound.
TEST_P(SoundPath, FollowsTheSpeedOfSoundInWater)
{
    const SoundPathCase& sc = GetParam();
    EXPECT_FLOAT_EQ(TulvKvt64KU::clb_CalcSoundPathLength(sc.temperature, sc.soundTime), sc.expected);
    EXPECT_FLOAT_EQ(TulvGZU08::clb_CalcSoundPathLength(sc.temperature, sc.soundTime), sc.expected);
}

// With a sound time of 1e9 ns the length in metres is the speed in m/s.
constexpr float Second = 1e9f;
const float NaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Ultrasonic, SoundPath,
                         ::testing::Values(SoundPathCase{"At20DegreesOneHundredMicroseconds", 20.0f, 100000.0f,
                                                         0.14827f},
                                           SoundPathCase{"At25DegreesHalfwayBetween20And30", 25.0f, Second, 1496.05f},
                                           SoundPathCase{"At77_5DegreesTheEndOfItsSegment", 77.5f, Second, 1555.6f},
                                           SoundPathCase{"At78_75DegreesPastThePeak", 78.75f, Second, 1555.05f},
                                           SoundPathCase{"At10DegreesTheEndOfTheFirstSegment", 10.0f, Second, 1447.6f},
                                           SoundPathCase{"JustAboveZero", 0.5f, Second, 1404.945f},
                                           SoundPathCase{"At150DegreesTheLastPoint", 150.0f, Second, 1450.0f},
                                           SoundPathCase{"At0DegreesIsOutsideTheTable", 0.0f, Second, 0.0f},
                                           SoundPathCase{"At151DegreesIsOutsideTheTable", 151.0f, Second, 0.0f},
                                           SoundPathCase{"BelowZeroIsOutsideTheTable", -5.0f, Second, 0.0f},
                                           SoundPathCase{"NotANumberIsOutsideTheTable", NaN, Second, 0.0f},
                                           SoundPathCase{"ZeroSoundTime", 40.0f, 0.0f, 0.0f}),
                         RowName);

TEST(SensorDivisors, SevenEntriesAndNoneBeyond)
{
    const float expected[7] = {56.0f, 90.0f, 106.0f, 96.0f, 90.0f, 90.0f, 90.0f};
    ASSERT_EQ(SensorDivisorTable.size(), 7u);
    for (std::uint8_t k = 0; k < 7; ++k) {
        EXPECT_EQ(SensorDivisorTable[k], expected[k]);
        EXPECT_EQ(SensorDivisor(k), expected[k]);
    }
    EXPECT_FALSE(SensorDivisor(7).has_value());
    EXPECT_FALSE(SensorDivisor(255).has_value());
}

} // namespace
