// The drivers on the M4 protocol (КВТ-09M4, ДЛН-08.07, ДЛН-08.05) and on ModBus
// (ДЛН-08.08) on the scripted port: every calibration cell of every channel
// with its request and its M4 float or register layout, the writes (read-modify-
// write, or the setting command before the write), the refusal of a reply with
// the wrong reply code, the resets, the live values and the argument checks.
//
// The expected addresses and registers are written here from the meters' maps,
// not taken from the drivers' tables. M4 frames are built by M4() below (0,
// address 3, letter or reply code, two address or parameter bytes, 8 data
// bytes, the plain byte sum); golden frames were summed by hand, e.g. the read
// of 0x0148: 00 + 03 + 52 + 01 + 48 = 9E; the reset command (99, 0):
// 00 + 03 + 53 + 63 = B9. ModBus frames carry the CRC-16/MODBUS, low byte first
// (the CRC itself is checked against its check value in the protocol's tests).
#include "DriverTestSupport.h"
#include "ScriptedPort.h"
#include "TulvDln0805.h"
#include "TulvDln0807.h"
#include "TulvDln0808.h"
#include "TulvKvt09M4.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace DriverTest;

// --- M4 frames ----------------------------------------------------------------

const Bytes Zeros(8, 0);

Bytes M4(std::uint8_t code, std::uint16_t addr, const Bytes& data)
{
    Bytes b{0x00, 0x03, code, static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr)};
    b = Concat(b, data);
    std::uint8_t sum = 0;
    for (auto x : b)
        sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(sum);
    return b;
}
std::uint16_t Params(std::uint8_t p1, std::uint8_t p2)
{
    return static_cast<std::uint16_t>(p1 << 8 | p2);
}

std::string ReadMemRequest(std::uint16_t addr)
{
    return ToHex(M4('R', addr, Zeros));
}
Bytes ReadMemReply(std::uint16_t addr, const Bytes& block)
{
    return M4(0xD2, addr, block);
}
std::string WriteMemRequest(std::uint16_t addr, const Bytes& block)
{
    return ToHex(M4('W', addr, block));
}
Bytes WriteMemReply(std::uint16_t addr)
{
    return M4(0xD7, addr, Zeros);
}
std::string SettingRequest(std::uint8_t p1, std::uint8_t p2)
{
    return ToHex(M4('S', Params(p1, p2), Zeros));
}
Bytes SettingReply(std::uint8_t p1, std::uint8_t p2)
{
    return M4(0xD3, Params(p1, p2), Zeros);
}
Bytes BadChecksum(Bytes b)
{
    b.back() ^= 0x01;
    return b;
}

// An M4 float made by hand: sign and exponent byte, 16-bit mantissa, check byte.
struct M4Value {
    Bytes bytes;
    float value;
};

M4Value MakeM4(std::uint8_t signExponent, std::uint16_t mantissa)
{
    const auto hi = static_cast<std::uint8_t>(mantissa >> 8);
    const auto lo = static_cast<std::uint8_t>(mantissa);
    const double magnitude = mantissa / 65536.0 * std::ldexp(1.0, (signExponent & 0x7F) - 64);
    return {{signExponent, hi, lo, static_cast<std::uint8_t>(signExponent + hi + lo)},
            static_cast<float>((signExponent & 0x80) ? -magnitude : magnitude)};
}

// The M4 bytes of a value as the library encodes it (the encoder has its own tests).
Bytes Encoded(float v)
{
    std::uint8_t b[4];
    EncodeM4Float(b, v);
    return Bytes(b, b + 4);
}

// A value per cell, exact in M4 form, that differs from cell to cell.
M4Value DistinctM4(Table t, std::uint8_t ch, std::uint8_t i)
{
    const auto exponent = static_cast<std::uint8_t>((0x41 + i % 4) | (t == Table::Obr ? 0x80 : 0));
    return MakeM4(exponent, static_cast<std::uint16_t>(0x8000 | i << 10 | ch << 6 | 0x15));
}

// Bytes 4..7 of a block as a meter might hold them.
Bytes Tail(std::uint8_t ch, std::uint8_t i)
{
    return {static_cast<std::uint8_t>(0xB0 + i), static_cast<std::uint8_t>(0xC0 + ch), 0xD0, 0xE0};
}

// --- The three M4 drivers as rows --------------------------------------------------

enum class WriteStyle {
    ReadModifyWrite, // read the block, replace bytes 0..3, write it back
    EnableThenWrite, // setting command (5, 0), then the value and four zero bytes
};

struct M4Map {
    const char* name;
    bool sameCells; // channel 2 uses channel 1's cells
    std::vector<Layout> layout;
    std::uint16_t step;
    WriteStyle style;
};

struct M4Case : M4Map {
    std::function<std::unique_ptr<TulvM4Protocol>()> make;
    std::function<bool(TulvM4Protocol&, Table, std::uint8_t, std::uint8_t, float&)> read;
    std::function<bool(TulvM4Protocol&, Table, std::uint8_t, std::uint8_t, float)> write;
    std::function<void(TulvM4Protocol&, std::string&)> deviceNumber;
    std::function<void(TulvM4Protocol&, std::string_view)> setSignature;
    std::function<std::string(TulvM4Protocol&)> signature;
    std::function<bool(TulvM4Protocol&)> signatureSet, writeSignature;
};

template <class D> M4Case Bind(const M4Map& map)
{
    M4Case c;
    static_cast<M4Map&>(c) = map;
    c.make = [] { return std::unique_ptr<TulvM4Protocol>(new D); };
    c.read = [](TulvM4Protocol& p, Table t, std::uint8_t ch, std::uint8_t i, float& v) {
        D& d = static_cast<D&>(p);
        return t == Table::K ? d.ClbReadK(ch, i, v) : d.ClbReadObr(ch, i, v);
    };
    c.write = [](TulvM4Protocol& p, Table t, std::uint8_t ch, std::uint8_t i, float v) {
        D& d = static_cast<D&>(p);
        return t == Table::K ? d.ClbWriteK(ch, i, v) : d.ClbWriteObr(ch, i, v);
    };
    c.deviceNumber = [](TulvM4Protocol& p, std::string& s) { static_cast<D&>(p).GetDeviceNumber(s); };
    c.setSignature = [](TulvM4Protocol& p, std::string_view s) { static_cast<D&>(p).SetSignature(s); };
    c.signature = [](TulvM4Protocol& p) { return static_cast<D&>(p).Signature(); };
    c.signatureSet = [](TulvM4Protocol& p) { return static_cast<D&>(p).SignatureSet(); };
    c.writeSignature = [](TulvM4Protocol& p) { return static_cast<D&>(p).ClbWriteSignature(); };
    return c;
}

void PrintTo(const M4Case& c, std::ostream* os)
{
    *os << c.name;
}

const std::vector<M4Case>& M4Drivers()
{
    static const std::vector<M4Case> rows = {
        Bind<TulvKvt09M4>({"Kvt09M4",
                           false,
                           {{0x0148, 0x014C, 0x01A0, 0x0160}, {0x0248, 0x024C, 0x02A0, 0x0260}},
                           4,
                           WriteStyle::ReadModifyWrite}),
        Bind<TulvDln0807>({"Dln0807", false, {{8, 9, 32, 16}, {13, 14, 64, 48}}, 1, WriteStyle::EnableThenWrite}),
        Bind<TulvDln0805>({"Dln0805", true, {{13, 14, 32, 16}}, 1, WriteStyle::EnableThenWrite}),
    };
    return rows;
}

std::uint16_t CellOf(const M4Case& c, Table t, std::uint8_t ch, std::uint8_t i)
{
    return CellIn(c.layout[c.sameCells ? 0 : ch - 1], t, i, c.step);
}

template <class P> std::unique_ptr<P> Connected(std::unique_ptr<P> d, ScriptedPort& port, std::uint8_t netAddr)
{
    port.opened = true;
    d->SetComPort(&port);
    d->SetNetAddr(netAddr);
    d->SetEWrite(true);
    return d;
}

class M4Driver : public ::testing::TestWithParam<M4Case> {
protected:
    void SetUp() override { d = Connected(GetParam().make(), port, 3); }
    std::string Sent(size_t k) const { return k < port.requests.size() ? ToHex(port.requests[k].bytes) : "(none)"; }

    ScriptedPort port;
    std::unique_ptr<TulvM4Protocol> d;
};

TEST_P(M4Driver, ReadsEveryCellAsAnM4Float)
{
    const M4Case& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : {1, 2})
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const std::uint16_t cell = CellOf(c, t, ch, i);
                const M4Value stored = DistinctM4(t, ch, i);
                port.QueueReply(ReadMemReply(cell, Concat(stored.bytes, Tail(ch, i))));
                const size_t k = port.requests.size();
                float v = 99.0f;
                EXPECT_TRUE(c.read(*d, t, ch, i, v));
                EXPECT_EQ(v, stored.value);
                EXPECT_EQ(Sent(k), ReadMemRequest(cell));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
}

TEST_P(M4Driver, WritesEveryCellInTheMetersWay)
{
    const M4Case& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : {1, 2})
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const std::uint16_t cell = CellOf(c, t, ch, i);
                const M4Value value = DistinctM4(t, ch, i);
                const size_t k = port.requests.size();
                if (c.style == WriteStyle::ReadModifyWrite) {
                    // The block as the meter holds it: another value, and bytes 4..7 that stay.
                    port.QueueReply(ReadMemReply(cell, Concat(Hex("41 80 00 C1"), Tail(ch, i))));
                    port.QueueReply(WriteMemReply(cell));
                    EXPECT_TRUE(c.write(*d, t, ch, i, value.value));
                    EXPECT_EQ(Sent(k), ReadMemRequest(cell));
                    EXPECT_EQ(Sent(k + 1), WriteMemRequest(cell, Concat(value.bytes, Tail(ch, i))));
                } else {
                    port.QueueReply(SettingReply(5, 0));
                    port.QueueReply(WriteMemReply(cell));
                    EXPECT_TRUE(c.write(*d, t, ch, i, value.value));
                    EXPECT_EQ(Sent(k), SettingRequest(5, 0));
                    EXPECT_EQ(Sent(k + 1), WriteMemRequest(cell, Concat(value.bytes, Hex("00 00 00 00"))));
                }
                EXPECT_EQ(port.requests.size(), k + 2);
            }
}

TEST_P(M4Driver, AReadWithoutTheRightAnswerStoresZero)
{
    const M4Case& c = GetParam();
    const std::uint16_t cell = CellOf(c, Table::K, 1, 4);
    struct Failure {
        const char* what;
        Bytes reply; // empty: no answer
        ProtocolErrorCode code;
    };
    const Failure failures[] = {
        // The protocol ignores a reply with the wrong reply code; the driver
        // does not take the stale bytes for a value.
        {"reply code of the request's letter", M4('R', cell, Hex("41 80 00 C1 00 00 00 00")), 7},
        {"reply code of another operation", M4(0xD7, cell, Hex("41 80 00 C1 00 00 00 00")), 7},
        {"wrong checksum", BadChecksum(ReadMemReply(cell, Hex("41 80 00 C1 00 00 00 00"))), 5},
        {"no answer", {}, 2},
    };
    d->SetRepeatCount(1);
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        if (f.reply.empty())
            port.QueueSilence();
        else
            port.QueueReply(f.reply);
        float v = 5.0f;
        EXPECT_FALSE(c.read(*d, Table::K, 1, 4, v));
        EXPECT_EQ(v, 0.0f);
        EXPECT_EQ(d->LastError(), f.code);
    }
}

TEST_P(M4Driver, RejectsBadArgumentsBeforeAnyTransaction)
{
    const M4Case& c = GetParam();
    d->SetRepeatCount(1);
    port.QueueSilence();
    float v = 0.0f;
    c.read(*d, Table::K, 1, 0, v);
    ASSERT_EQ(d->LastError(), 2u);
    const size_t before = port.requests.size();
    const std::pair<std::uint8_t, std::uint8_t> bad[] = {{1, 10}, {2, 255}, {0, 0}, {3, 5}, {255, 9}};
    for (auto [ch, i] : bad) {
        SCOPED_TRACE(testing::Message() << "ch " << int(ch) << " i " << int(i));
        for (Table t : {Table::K, Table::Obr}) {
            v = 42.0f;
            EXPECT_FALSE(c.read(*d, t, ch, i, v));
            EXPECT_EQ(v, 42.0f) << "the out value stays untouched";
            EXPECT_FALSE(c.write(*d, t, ch, i, 1.0f));
        }
    }
    EXPECT_EQ(port.requests.size(), before) << "nothing sent";
    EXPECT_EQ(d->LastError(), 2u) << "LastError unchanged";
}

TEST_P(M4Driver, FactoryNumberIsTheEightBytesAtAddressZeroUntrimmed)
{
    const M4Case& c = GetParam();
    port.QueueReply(ReadMemReply(0, Hex("20 CA 31 32 33 34 35 20"))); // code page 1251 К
    std::string s = "old";
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, " \u041A12345 ");
    EXPECT_EQ(Sent(0), ReadMemRequest(0));

    port.QueueReply(M4('R', 0, Hex("31 32 33 34 35 36 37 38")));
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "") << "a reply with the wrong reply code";
    EXPECT_EQ(d->LastError(), 7u);

    d->SetRepeatCount(1);
    port.QueueSilence();
    s = "old";
    c.deviceNumber(*d, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(d->LastError(), 2u);
}

TEST_P(M4Driver, KeepsNoStampInTheMeter)
{
    const M4Case& c = GetParam();
    EXPECT_TRUE(c.writeSignature(*d));
    c.setSignature(*d, "C132");
    EXPECT_TRUE(c.signatureSet(*d));
    EXPECT_EQ(c.signature(*d), "");
    c.setSignature(*d, "C13200421234");
    EXPECT_EQ(c.signature(*d), "C1320042");
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_TRUE(port.requests.empty());
}

INSTANTIATE_TEST_SUITE_P(Drivers, M4Driver, ::testing::ValuesIn(M4Drivers()), RowName);

// --- Live values and Gmax ------------------------------------------------------------

struct LiveCase {
    const char* name;
    std::function<std::unique_ptr<TulvM4Protocol>()> make;
    std::function<float(TulvM4Protocol&)> read;
    std::string request;
    Bytes reply; // an M4 float 1.0 = 41 80 00 C1 at bytes 0..3
};

void PrintTo(const LiveCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> std::function<std::unique_ptr<TulvM4Protocol>()> Make()
{
    return [] { return std::unique_ptr<TulvM4Protocol>(new D); };
}
template <class D, class F> std::function<float(TulvM4Protocol&)> Value(F f)
{
    return [f](TulvM4Protocol& p) { return f(static_cast<D&>(p)); };
}

class M4Live : public ::testing::TestWithParam<LiveCase> {};

TEST_P(M4Live, IsReadFromItsAddressAndIsZeroOnFailure)
{
    const LiveCase& lc = GetParam();
    ScriptedPort port;
    auto d = Connected(lc.make(), port, 3);
    port.QueueReply(lc.reply);
    EXPECT_EQ(lc.read(*d), 1.0f);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), lc.request);

    Bytes wrongCode = lc.reply;
    wrongCode[2] &= 0x7F; // the letter itself
    wrongCode.back() = static_cast<std::uint8_t>(wrongCode.back() - 0x80);
    port.QueueReply(wrongCode);
    EXPECT_EQ(lc.read(*d), 0.0f) << "a reply with the wrong reply code";
    EXPECT_EQ(d->LastError(), 7u);

    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_EQ(lc.read(*d), 0.0f);
    EXPECT_EQ(d->LastError(), 2u);
}

const Bytes One = Hex("41 80 00 C1 00 00 00 00");

Bytes RamReply(std::uint8_t code, std::uint16_t addr)
{
    return M4(code, addr, One);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, M4Live,
    ::testing::Values(
        // Any channel other than 1 selects channel 2.
        LiveCase{"Kvt09M4FlowChannel1", Make<TulvKvt09M4>(), Value<TulvKvt09M4>([](auto& d) { return d.ClbReadG(1); }),
                 ToHex(M4('G', 0x044D, Zeros)), RamReply(0xC7, 0x044D)},
        LiveCase{"Kvt09M4FlowChannel2", Make<TulvKvt09M4>(), Value<TulvKvt09M4>([](auto& d) { return d.ClbReadG(2); }),
                 ToHex(M4('G', 0x048D, Zeros)), RamReply(0xC7, 0x048D)},
        LiveCase{"Kvt09M4FlowChannel0IsChannel2", Make<TulvKvt09M4>(),
                 Value<TulvKvt09M4>([](auto& d) { return d.ClbReadG(0); }), ToHex(M4('G', 0x048D, Zeros)),
                 RamReply(0xC7, 0x048D)},
        LiveCase{"Kvt09M4GmaxChannel1", Make<TulvKvt09M4>(),
                 Value<TulvKvt09M4>([](auto& d) { return d.ClbReadGmax(1); }), ReadMemRequest(0x0150),
                 ReadMemReply(0x0150, One)},
        LiveCase{"Kvt09M4GmaxChannel7IsChannel2", Make<TulvKvt09M4>(),
                 Value<TulvKvt09M4>([](auto& d) { return d.ClbReadGmax(7); }), ReadMemRequest(0x0250),
                 ReadMemReply(0x0250, One)},
        LiveCase{"Dln0807FlowChannel1", Make<TulvDln0807>(), Value<TulvDln0807>([](auto& d) { return d.ClbReadG(1); }),
                 ToHex(M4('M', 121, Zeros)), RamReply(0xCD, 121)},
        LiveCase{"Dln0807FlowChannel2", Make<TulvDln0807>(), Value<TulvDln0807>([](auto& d) { return d.ClbReadG(2); }),
                 ToHex(M4('M', 133, Zeros)), RamReply(0xCD, 133)},
        LiveCase{"Dln0807SecondFlowChannel1", Make<TulvDln0807>(),
                 Value<TulvDln0807>([](auto& d) { return d.ClbReadGFlow(1); }), ToHex(M4('M', 115, Zeros)),
                 RamReply(0xCD, 115)},
        LiveCase{"Dln0807SecondFlowChannel3IsChannel2", Make<TulvDln0807>(),
                 Value<TulvDln0807>([](auto& d) { return d.ClbReadGFlow(3); }), ToHex(M4('M', 127, Zeros)),
                 RamReply(0xCD, 127)},
        LiveCase{"Dln0807GmaxChannel1", Make<TulvDln0807>(),
                 Value<TulvDln0807>([](auto& d) { return d.ClbReadGmax(1); }), ReadMemRequest(10),
                 ReadMemReply(10, One)},
        LiveCase{"Dln0807GmaxChannel0IsChannel2", Make<TulvDln0807>(),
                 Value<TulvDln0807>([](auto& d) { return d.ClbReadGmax(0); }), ReadMemRequest(15),
                 ReadMemReply(15, One)},
        LiveCase{"Dln0805Gmax", Make<TulvDln0805>(), Value<TulvDln0805>([](auto& d) { return d.ClbReadGmax(); }),
                 ReadMemRequest(15), ReadMemReply(15, One)},
        // The flow comes with the parameter query (4, 0), sent with zero data.
        LiveCase{"Dln0805Flow", Make<TulvDln0805>(), Value<TulvDln0805>([](auto& d) { return d.ClbReadG(); }),
                 "00 03 50 04 00 00 00 00 00 00 00 00 00 57", M4(0xD0, Params(4, 0), One)}),
    RowName);

// --- КВТ-09M4: read-modify-write ------------------------------------------------

class Kvt09M4 : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        d.SetComPort(&port);
        d.SetNetAddr(3);
        d.SetEWrite(true);
    }
    std::string Sent(size_t k) const { return k < port.requests.size() ? ToHex(port.requests[k].bytes) : "(none)"; }

    ScriptedPort port;
    TulvKvt09M4 d;
};

TEST_F(Kvt09M4, WritingK0ZeroReplacesTheFirstFourBytesOfTheBlock)
{
    port.QueueReply(ReadMemReply(0x0148, Hex("41 80 00 C1 11 22 33 44")));
    port.QueueReply(WriteMemReply(0x0148));
    EXPECT_TRUE(d.ClbWriteK(1, 0, 0.0f));
    ASSERT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(Sent(0), "00 03 52 01 48 00 00 00 00 00 00 00 00 9E");
    EXPECT_EQ(Sent(1), "00 03 57 01 48 40 00 00 40 11 22 33 44 CD");
    EXPECT_EQ(ToHex(Bytes(d.ExchangeBuffer().begin(), d.ExchangeBuffer().end())), "40 00 00 40 11 22 33 44");
}

// The protocol leaves LastError 0 for a read reply with the wrong reply code and
// copies nothing: writing back would put the previous block into the meter.
TEST_F(Kvt09M4, NothingIsWrittenBackWithoutTheBlockOfTheCell)
{
    // A block read before, for another cell: what a blind write-back would send.
    port.QueueReply(ReadMemReply(0x0150, Hex("47 C8 00 0F AA BB CC DD")));
    EXPECT_EQ(d.ClbReadGmax(1), 100.0f);

    struct Failure {
        const char* what;
        Bytes reply;
        ProtocolErrorCode code;
    };
    const Failure failures[] = {
        {"echoed letter", M4('R', 0x01A4, Hex("41 80 00 C1 11 22 33 44")), 7},
        {"reply code of a write", M4(0xD7, 0x01A4, Zeros), 7},
        {"wrong checksum", BadChecksum(ReadMemReply(0x01A4, Hex("41 80 00 C1 11 22 33 44"))), 5},
        {"no answer", {}, 2},
    };
    d.SetRepeatCount(1);
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        const size_t k = port.requests.size();
        if (f.reply.empty())
            port.QueueSilence();
        else
            port.QueueReply(f.reply);
        EXPECT_FALSE(d.ClbWriteK(1, 3, 0.5f));
        EXPECT_EQ(d.LastError(), f.code);
        ASSERT_EQ(port.requests.size(), k + 1) << "the read only, no write";
        EXPECT_EQ(Sent(k), ReadMemRequest(0x01A4));
    }
}

TEST_F(Kvt09M4, WithWritingDisabledTheBlockIsReadAndTheWriteSuppressed)
{
    d.SetEWrite(false);
    port.QueueReply(ReadMemReply(0x0260, Hex("41 80 00 C1 11 22 33 44")));
    EXPECT_TRUE(d.ClbWriteObr(2, 2, 0.5f));
    EXPECT_EQ(d.LastError(), 0u);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(0), ReadMemRequest(0x0260));
}

TEST_F(Kvt09M4, GmaxIsWrittenByReadModifyWriteOfItsChannel)
{
    port.QueueReply(ReadMemReply(0x0250, Hex("41 80 00 C1 11 22 33 44")));
    port.QueueReply(WriteMemReply(0x0250));
    EXPECT_TRUE(d.ClbWriteGmax(2, 100.0f));
    EXPECT_EQ(Sent(0), ReadMemRequest(0x0250));
    EXPECT_EQ(Sent(1), WriteMemRequest(0x0250, Hex("47 C8 00 0F 11 22 33 44")));

    d.SetRepeatCount(1);
    port.QueueReply(M4('R', 0x0150, Zeros));
    EXPECT_FALSE(d.ClbWriteGmax(1, 100.0f));
    EXPECT_EQ(d.LastError(), 7u);
    EXPECT_EQ(port.requests.size(), 3u);
    EXPECT_EQ(Sent(2), ReadMemRequest(0x0150));
}

TEST_F(Kvt09M4, ResetSendsTheFourSettingCommandsInOrder)
{
    for (auto [p1, p2] : {std::pair{1, 1}, {2, 1}, {17, 1}, {18, 1}})
        port.QueueReply(SettingReply(static_cast<std::uint8_t>(p1), static_cast<std::uint8_t>(p2)));
    d.ResetK();
    ASSERT_EQ(port.requests.size(), 4u);
    EXPECT_EQ(Sent(0), SettingRequest(1, 1));
    EXPECT_EQ(Sent(1), SettingRequest(2, 1));
    EXPECT_EQ(Sent(2), SettingRequest(17, 1));
    EXPECT_EQ(Sent(3), SettingRequest(18, 1));

    // Failures do not stop it; with writing disabled nothing goes out.
    d.SetRepeatCount(1);
    d.ResetK();
    EXPECT_EQ(port.requests.size(), 8u);
    EXPECT_EQ(d.LastError(), 2u);
    d.SetEWrite(false);
    d.ResetK();
    EXPECT_EQ(port.requests.size(), 8u);
    EXPECT_EQ(d.LastError(), 0u);
}

// --- ДЛН-08.07 ---------------------------------------------------------------------

TEST(Dln0807Write, StopsWhenTheSettingCommandFails)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvDln0807>(), port, 3);
    auto& d = static_cast<TulvDln0807&>(*p);
    d.SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(d.ClbWriteK(1, 4, 0.5f));
    EXPECT_EQ(d.LastError(), 2u);
    port.QueueReply(M4(0xD2, Params(5, 0), Zeros)); // not the answer to "S"
    EXPECT_FALSE(d.ClbWriteObr(2, 4, 0.5f));
    EXPECT_EQ(d.LastError(), 7u);
    ASSERT_EQ(port.requests.size(), 2u) << "no block written";
    EXPECT_EQ(ToHex(port.requests[1].bytes), SettingRequest(5, 0));

    // With writing disabled both are suppressed and the write looks done.
    d.SetEWrite(false);
    EXPECT_TRUE(d.ClbWriteK(1, 4, 0.5f));
    EXPECT_EQ(port.requests.size(), 2u);
}

TEST(Dln0807Reset, RestoresItsOwnFactoryValuesChannelByChannel)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvDln0807>(), port, 3);
    auto& d = static_cast<TulvDln0807&>(*p);
    struct Cell {
        std::uint16_t addr;
        float value;
    };
    const float points[8] = {0.003f, 0.01f, 0.02f, 0.04f, 0.2f, 0.45f, 0.9f, 1.2f};
    std::vector<std::vector<Cell>> channels(2);
    const std::uint16_t zero[2] = {8, 13}, gain[2] = {9, 14}, kFirst[2] = {32, 64}, obrFirst[2] = {16, 48};
    for (int c = 0; c < 2; ++c) {
        channels[c] = {{zero[c], 0.0f}, {gain[c], 1.0f}};
        for (int k = 0; k < 8; ++k) {
            channels[c].push_back({static_cast<std::uint16_t>(kFirst[c] + k), points[k]});
            channels[c].push_back({static_cast<std::uint16_t>(obrFirst[c] + k), points[k]});
        }
    }
    // The Obr cell of point 5 on channel 2 answers with the wrong reply code:
    // it is skipped, and the reset goes on.
    const std::uint16_t unread = 52;
    for (int c = 0; c < 2; ++c) {
        port.QueueReply(SettingReply(5, 0));
        for (const Cell& cell : channels[c]) {
            if (cell.addr == unread) {
                port.QueueReply(M4('R', cell.addr, Zeros));
                continue;
            }
            port.QueueReply(ReadMemReply(cell.addr, Concat(Hex("41 80 00 C1"), Tail(1, cell.addr & 0x0F))));
            port.QueueReply(WriteMemReply(cell.addr));
        }
    }
    d.ResetK();

    size_t k = 0;
    auto next = [&] { return k < port.requests.size() ? ToHex(port.requests[k++].bytes) : std::string("(none)"); };
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(testing::Message() << "channel " << c + 1);
        EXPECT_EQ(next(), SettingRequest(5, 0));
        for (const Cell& cell : channels[c]) {
            SCOPED_TRACE(testing::Message() << "address " << cell.addr);
            EXPECT_EQ(next(), ReadMemRequest(cell.addr));
            if (cell.addr == unread) continue;
            EXPECT_EQ(next(), WriteMemRequest(cell.addr, Concat(Encoded(cell.value), Tail(1, cell.addr & 0x0F))));
        }
    }
    EXPECT_EQ(k, port.requests.size()) << "nothing more";
    EXPECT_EQ(port.requests.size(), 2u * (1 + 2 * 18) - 1);
}

// --- ДЛН-08.05 ---------------------------------------------------------------------

TEST(Dln0805Reset, IsSentWithSetDeviceEvenWithWritingDisabled)
{
    for (bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "writing enabled" : "writing disabled");
        ScriptedPort port;
        auto p = Connected(std::make_unique<TulvDln0805>(), port, 3);
        p->SetEWrite(enabled);
        port.QueueReply(M4(0xD3, Params(5, 0), Hex("01 02 03 04 05 06 07 08")));
        port.QueueReply(M4(0xD3, Params(99, 0), Zeros));
        static_cast<TulvDln0805&>(*p).ResetK();
        ASSERT_EQ(port.requests.size(), 2u);
        // Zero data in both, whatever the first reply carried.
        EXPECT_EQ(ToHex(port.requests[0].bytes), "00 03 53 05 00 00 00 00 00 00 00 00 00 5B");
        EXPECT_EQ(ToHex(port.requests[1].bytes), "00 03 53 63 00 00 00 00 00 00 00 00 00 B9");
        EXPECT_EQ(p->LastError(), 0u);
    }
}

TEST(Dln0805Adc, CarriesTwoPackedValues)
{
    ScriptedPort port;
    auto p = Connected(std::make_unique<TulvDln0805>(), port, 3);
    auto& d = static_cast<TulvDln0805&>(*p);
    // 1.0 in bytes 0..2 (41 80 00), 0.5 in bytes 3..5 (40 80 00); byte 3 is
    // also the place of the first value's check byte.
    const Bytes data = Hex("41 80 00 40 80 00 77 66");
    for (std::uint8_t ch : {0, 1, 2, 9}) {
        SCOPED_TRACE(testing::Message() << "ch " << int(ch));
        const size_t k = port.requests.size();
        port.QueueReply(M4(0xD0, Params(2, 0), data));
        float second = 9.0f;
        EXPECT_EQ(d.ClbReadADCCur(ch, second), 1.0f);
        EXPECT_EQ(second, 0.5f);
        EXPECT_EQ(ToHex(port.requests.at(k).bytes), "00 03 50 02 00 00 00 00 00 00 00 00 00 55");
    }

    d.SetRepeatCount(1);
    float second = 9.0f;
    port.QueueReply(M4('P', Params(2, 0), data)); // not the answer
    EXPECT_EQ(d.ClbReadADCCur(1, second), 0.0f);
    EXPECT_EQ(second, 9.0f);
    EXPECT_EQ(d.LastError(), 7u);
    port.QueueSilence();
    EXPECT_EQ(d.ClbReadADCCur(1, second), 0.0f);
    EXPECT_EQ(second, 9.0f);
    EXPECT_EQ(d.LastError(), 2u);
}

// --- ДЛН-08.08 on ModBus -------------------------------------------------------------

Bytes WithCrc(Bytes b)
{
    const std::uint16_t crc = Crc16Update(0xFFFF, b.data(), static_cast<int>(b.size()));
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    return b;
}

Bytes Reg(std::uint16_t r)
{
    return {static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r)};
}

std::string ReadRegisters(std::uint16_t start, std::uint16_t count)
{
    return ToHex(WithCrc(Concat(Concat({0x01, 0x03}, Reg(start)), Reg(count))));
}
Bytes RegistersReply(const Bytes& data)
{
    return WithCrc(Concat({0x01, 0x03, static_cast<std::uint8_t>(data.size())}, data));
}
std::string WriteRegisters(std::uint16_t start, const Bytes& data)
{
    const auto count = static_cast<std::uint16_t>(data.size() / 2);
    Bytes b = Concat(Concat({0x01, 0x10}, Reg(start)), Reg(count));
    b.push_back(static_cast<std::uint8_t>(data.size()));
    return ToHex(WithCrc(Concat(b, data)));
}
Bytes WriteReply(std::uint16_t start, std::uint16_t count)
{
    return WithCrc(Concat(Concat({0x01, 0x10}, Reg(start)), Reg(count)));
}

// First register of coefficient i, from the meter's register map.
std::uint16_t RegisterOf(Table t, std::uint8_t i)
{
    if (i == 0) return 370;
    if (i == 1) return 371;
    return static_cast<std::uint16_t>((t == Table::K ? 352 : 368) - 2 * (i - 2));
}

class Dln0808 : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        d.SetComPort(&port);
        d.SetNetAddr(1);
        d.SetEWrite(true);
    }
    std::string Sent(size_t k) const { return k < port.requests.size() ? ToHex(port.requests[k].bytes) : "(none)"; }

    ScriptedPort port;
    TulvDln0808 d;
};

TEST_F(Dln0808, ReadsEveryRegisterOfBothChannelsAlike)
{
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : {1, 2})
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                // K0: the low byte of its register, signed; the high byte and the
                // second register are not part of it.
                const auto low = static_cast<std::uint8_t>(0xF0 + 2 * ch + (t == Table::K ? 0 : 1));
                const float single = -std::bit_cast<float>(0x3F800000u | (0x10u + i) << 16 | (0x20u + ch) << 8 | 0x07);
                const Bytes data = i == 0 ? Bytes{0x5A, low, 0x12, 0x34} : BigEndian(single);
                const float expected = i == 0 ? static_cast<float>(static_cast<std::int8_t>(low)) : single;
                port.QueueReply(RegistersReply(data));
                const size_t k = port.requests.size();
                float v = 99.0f;
                EXPECT_TRUE(t == Table::K ? d.ClbReadK(ch, i, v) : d.ClbReadObr(ch, i, v));
                EXPECT_EQ(v, expected);
                EXPECT_EQ(Sent(k), ReadRegisters(RegisterOf(t, i), 2));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
}

TEST_F(Dln0808, WritesEveryRegisterOfBothChannelsAlike)
{
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : {1, 2})
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const float value =
                    i == 0 ? -(2.0f * ch + (t == Table::K ? 0 : 1)) - 0.75f
                           : std::bit_cast<float>(0x3F800000u | (0x10u + i) << 16 | (0x20u + ch) << 8 | 0x07);
                const Bytes data = i == 0 ? Bytes{0xFF, static_cast<std::uint8_t>(-(2 * ch + (t == Table::K ? 0 : 1)))}
                                          : BigEndian(value);
                port.QueueReply(WriteReply(RegisterOf(t, i), static_cast<std::uint16_t>(data.size() / 2)));
                const size_t k = port.requests.size();
                EXPECT_TRUE(t == Table::K ? d.ClbWriteK(ch, i, value) : d.ClbWriteObr(ch, i, value));
                EXPECT_EQ(Sent(k), WriteRegisters(RegisterOf(t, i), data));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
}

struct ZeroCase {
    const char* name;
    float value;
    const char* reg; // nullptr: refused, nothing sent
};

void PrintTo(const ZeroCase& c, std::ostream* os)
{
    *os << c.name;
}

class Dln0808Zero : public Dln0808, public ::testing::WithParamInterface<ZeroCase> {};

TEST_P(Dln0808Zero, IsWrittenTruncatedToOneSignedRegister)
{
    const ZeroCase& zc = GetParam();
    d.SetRepeatCount(1);
    port.QueueSilence();
    std::string s;
    d.GetDeviceNumber(s);
    ASSERT_EQ(d.LastError(), 2u);
    const size_t before = port.requests.size();

    port.QueueReply(WriteReply(370, 1));
    EXPECT_EQ(d.ClbWriteK(1, 0, zc.value), zc.reg != nullptr);
    if (zc.reg == nullptr) {
        EXPECT_EQ(port.requests.size(), before) << "nothing sent";
        EXPECT_EQ(d.LastError(), 2u) << "LastError unchanged";
        return;
    }
    ASSERT_EQ(port.requests.size(), before + 1);
    EXPECT_EQ(Sent(before), WriteRegisters(370, Hex(zc.reg)));

    // Read back from the register as written.
    port.QueueReply(RegistersReply(Concat(Hex(zc.reg), Hex("3F 80"))));
    float v = 99.0f;
    EXPECT_TRUE(d.ClbReadK(1, 0, v));
    EXPECT_EQ(v, std::trunc(zc.value));
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, Dln0808Zero,
    ::testing::Values(ZeroCase{"MinusThreePointSeven", -3.7f, "FF FD"}, ZeroCase{"ThreePointSeven", 3.7f, "00 03"},
                      ZeroCase{"MinusAHalfIsZero", -0.5f, "00 00"}, ZeroCase{"LargestKept", 127.9f, "00 7F"},
                      ZeroCase{"SmallestKept", -128.9f, "FF 80"},
                      // Beyond the register: refused rather than wrapped.
                      ZeroCase{"OneAboveIsRefused", 128.0f, nullptr}, ZeroCase{"OneBelowIsRefused", -129.0f, nullptr},
                      ZeroCase{"HugeIsRefused", 1e10f, nullptr},
                      ZeroCase{"InfinityIsRefused", std::numeric_limits<float>::infinity(), nullptr},
                      ZeroCase{"NotANumberIsRefused", std::numeric_limits<float>::quiet_NaN(), nullptr}),
    RowName);

TEST_F(Dln0808, LiveValuesAreSignedIntegersAndGmaxASingle)
{
    port.QueueReply(RegistersReply(Hex("FF FF FF FE")));
    EXPECT_EQ(d.ClbReadG(1), -2.0f);
    EXPECT_EQ(Sent(0), ReadRegisters(0, 2));
    port.QueueReply(RegistersReply(Hex("00 01 00 00")));
    EXPECT_EQ(d.ClbReadSFR(2), 65536.0f);
    EXPECT_EQ(Sent(1), ReadRegisters(107, 2));
    port.QueueReply(RegistersReply(Hex("42 C8 00 00")));
    EXPECT_EQ(d.ClbReadGmax(2), 100.0f);
    EXPECT_EQ(Sent(2), ReadRegisters(299, 2));

    // A channel outside 1..2: 0 without a transaction.
    for (std::uint8_t ch : {0, 3}) {
        EXPECT_EQ(d.ClbReadG(ch), 0.0f);
        EXPECT_EQ(d.ClbReadSFR(ch), 0.0f);
        EXPECT_EQ(d.ClbReadGmax(ch), 0.0f);
    }
    EXPECT_EQ(port.requests.size(), 3u);

    d.SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_EQ(d.ClbReadG(1), 0.0f);
    EXPECT_EQ(d.LastError(), 2u);
    port.QueueReply(WithCrc(Hex("01 83 02"))); // exception: illegal data address
    EXPECT_EQ(d.ClbReadGmax(1), 0.0f);
    EXPECT_EQ(d.LastError(), 7u);
}

TEST_F(Dln0808, FactoryNumberAndSoftwareVersionTexts)
{
    struct TextCase {
        bool version;
        const char* data;
        const char* text;
    };
    const TextCase cases[] = {
        {false, "00 BC 61 4E", "12345678"}, {false, "FF FF FF FF", "4294967295"},
        {false, "00 00 00 00", "0"},        {true, "01 05", "01.05"},
        {true, "0C 22", "12.34"},           {true, "FF 00", "255.00"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.data);
        const size_t k = port.requests.size();
        port.QueueReply(RegistersReply(Hex(tc.data)));
        std::string s = "old";
        if (tc.version)
            d.GetSoftVer(s);
        else
            d.GetDeviceNumber(s);
        EXPECT_EQ(s, tc.text);
        EXPECT_EQ(Sent(k), tc.version ? ReadRegisters(318, 1) : ReadRegisters(315, 2));
    }
    d.SetRepeatCount(1);
    for (bool version : {false, true}) {
        port.QueueSilence();
        std::string s = "old";
        if (version)
            d.GetSoftVer(s);
        else
            d.GetDeviceNumber(s);
        EXPECT_EQ(s, "") << "a failed read";
        EXPECT_EQ(d.LastError(), 2u);
    }
}

TEST_F(Dln0808, ResetWritesTheFactoryValuesThroughTheKAndObrRegisters)
{
    // K0 as one register, Ku as this meter keeps its factory value (the single
    // of bit pattern 34 20 00 00), then the K points and the Obr points.
    const float points[8] = {0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
    std::vector<std::pair<std::uint16_t, Bytes>> writes = {{370, Hex("00 00")}, {371, Hex("34 20 00 00")}};
    for (int p = 0; p < 8; ++p)
        writes.push_back({static_cast<std::uint16_t>(352 - 2 * p), BigEndian(points[p])});
    for (int p = 0; p < 8; ++p)
        writes.push_back({static_cast<std::uint16_t>(368 - 2 * p), BigEndian(points[p])});
    std::vector<std::string> expected;
    for (const auto& [reg, data] : writes) {
        expected.push_back(WriteRegisters(reg, data));
        port.QueueReply(WriteReply(reg, static_cast<std::uint16_t>(data.size() / 2)));
    }
    d.ResetK();
    ASSERT_EQ(port.requests.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(Sent(k), expected[k]) << "write " << k;
}

TEST_F(Dln0808, RejectsBadArgumentsAndHonoursTheWriteGate)
{
    d.SetRepeatCount(1);
    port.QueueSilence();
    float v = 0.0f;
    d.ClbReadK(1, 2, v);
    ASSERT_EQ(d.LastError(), 2u);
    const std::pair<std::uint8_t, std::uint8_t> bad[] = {{1, 10}, {0, 0}, {3, 5}, {255, 9}};
    for (auto [ch, i] : bad) {
        v = 42.0f;
        EXPECT_FALSE(d.ClbReadK(ch, i, v));
        EXPECT_FALSE(d.ClbReadObr(ch, i, v));
        EXPECT_EQ(v, 42.0f);
        EXPECT_FALSE(d.ClbWriteK(ch, i, 1.0f));
        EXPECT_FALSE(d.ClbWriteObr(ch, i, 1.0f));
    }
    EXPECT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(d.LastError(), 2u);

    d.SetEWrite(false);
    EXPECT_TRUE(d.ClbWriteK(1, 3, 1.0f));
    EXPECT_TRUE(d.ClbWriteK(1, 0, -3.7f));
    EXPECT_EQ(port.requests.size(), 1u) << "writes suppressed";
    EXPECT_EQ(d.LastError(), 0u);
}

TEST_F(Dln0808, StampIsOnlyMarkedNeverSent)
{
    EXPECT_FALSE(d.ClbWriteSignature()) << "no Signature assigned";
    d.SetSignature("C132");
    EXPECT_FALSE(d.ClbWriteSignature()) << "fewer than 8 characters";
    d.SetSignature("C1320042");
    EXPECT_TRUE(d.ClbWriteSignature());
    EXPECT_TRUE(d.SignatureWritten());
    EXPECT_TRUE(d.ClbWriteSignature());

    // After a failed operation the marking reports that failure.
    d.ClearSignature();
    EXPECT_FALSE(d.SignatureWritten());
    d.SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_EQ(d.ClbReadG(1), 0.0f);
    EXPECT_FALSE(d.ClbWriteSignature());
    EXPECT_TRUE(d.SignatureWritten());
    EXPECT_EQ(port.requests.size(), 1u) << "only the failed read went out";
}

} // namespace
