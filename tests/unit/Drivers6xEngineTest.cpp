// What every driver of a meter on the plain 6x protocol does alike, once for all
// eleven of them, on the scripted port: which cell each table operation reads or
// writes and in which byte order, the argument checks, the scrambled writes, the
// calibration stamp (one write or two halves), the factory number in its forms
// and the factory resets as sequences of writes. A row of a table is what a
// meter's memory map says; each meter's own operations (the checksum-guarded
// block, size codes, identity questions, live values) are tested in its
// family's file.
//
// The expected cells are written here from the meters' memory maps (K0, Ku,
// first K point, first Obr point per channel; points 4 bytes apart), not taken
// from the drivers' tables. Request frames are built by the driver test support.
#include "DriverTestSupport.h"
#include "ScriptedPort.h"
#include "TulvDln0803s.h"
#include "TulvDln0805s.h"
#include "TulvDln0807s.h"
#include "TulvDln0809.h"
#include "TulvKvt61.h"
#include "TulvKvt64.h"
#include "TulvKvt641.h"
#include "TulvKvt64M1.h"
#include "TulvKvt66.h"
#include "TulvKvt76.h"
#include "TulvKvt78.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace DriverTest;
using namespace DriverTest::Plain6x;

// --- The drivers as rows --------------------------------------------------------

// What the meter's memory map says about a driver class.
struct MemoryMap {
    const char* name;
    Channels channels;
    bool bigEndian;
    std::vector<Layout> layout; // per channel
    std::uint16_t stampCell;
    bool stampInHalves; // bytes 0..7 to the cell, then 8..15 to the cell + 8
    bool blockWrites;   // plain writes rewrite the checksum-guarded block (and ClbWriteAll exists)
    bool scrambled;     // ClbWriteK_new and ClbWriteObr_new exist
    bool liveChannel;   // ClbReadG takes and checks a channel
};

struct DriverCase : MemoryMap {
    // Filled by Bind<Driver>: the driver's operations behind one shape. For a
    // class without channel argument the ch given here is not passed on.
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    ReadOperation read;
    WriteOperation write;
    WriteNewOperation writeNew;                                                       // empty: none
    std::function<bool(Tulv6xProtocol&, std::uint8_t, const float (&)[18])> writeAll; // empty: none
    std::function<float(Tulv6xProtocol&, std::uint8_t)> readG;
    std::function<void(Tulv6xProtocol&, std::string_view)> setSignature;
    std::function<std::string(Tulv6xProtocol&)> signature;
    std::function<bool(Tulv6xProtocol&)> signatureSet, signatureWritten, writeSignature;
    std::function<void(Tulv6xProtocol&)> clearSignature;
};

void PrintTo(const DriverCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> DriverCase Bind(const MemoryMap& map)
{
    DriverCase c;
    static_cast<MemoryMap&>(c) = map;
    c.make = [] { return std::unique_ptr<Tulv6xProtocol>(new D); };
    c.read = TableRead<D>();
    c.write = TableWrite<D>();
    c.writeNew = TableWriteNew<D>();
    if constexpr (requires(D & d, const float(&t)[18]) { d.ClbWriteAll(1, t); })
        c.writeAll = [](Tulv6xProtocol& p, std::uint8_t ch, const float(&t)[18]) {
            return static_cast<D&>(p).ClbWriteAll(ch, t);
        };
    c.readG = [](Tulv6xProtocol& p, std::uint8_t ch) {
        D& d = static_cast<D&>(p);
        if constexpr (requires { d.ClbReadG(ch); })
            return d.ClbReadG(ch);
        else
            return d.ClbReadG();
    };
    c.setSignature = [](Tulv6xProtocol& p, std::string_view s) { static_cast<D&>(p).SetSignature(s); };
    c.signature = [](Tulv6xProtocol& p) { return static_cast<D&>(p).Signature(); };
    c.signatureSet = [](Tulv6xProtocol& p) { return static_cast<D&>(p).SignatureSet(); };
    c.signatureWritten = [](Tulv6xProtocol& p) { return static_cast<D&>(p).SignatureWritten(); };
    c.writeSignature = [](Tulv6xProtocol& p) { return static_cast<D&>(p).ClbWriteSignature(); };
    c.clearSignature = [](Tulv6xProtocol& p) { static_cast<D&>(p).ClearSignature(); };
    return c;
}

constexpr bool Halves = true;
constexpr bool Block = true;
constexpr bool Scrambled = true;
constexpr bool LiveCh = true;

const std::vector<DriverCase>& AllDrivers()
{
    // clang-format off
    static const std::vector<DriverCase> rows = {
        //                  name        channels              order cells per channel: K0, Ku, K point 1, Obr point 1                      stamp   halves  block  scrambled  live-ch
        Bind<TulvKvt64>(   {"Kvt64",    Channels::PerChannel, BE, {{0x0700, 0x0718, 0x0720, 0x0760}, {0x0704, 0x071C, 0x0740, 0x0780}}, 0x0020, false,  false, Scrambled, LiveCh}),
        Bind<TulvKvt641>(  {"Kvt641",   Channels::Ignored,    BE, {{0x0050, 0x0054, 0x0058, 0x0078}},                                   0x01F0, false,  false, Scrambled, false}),
        Bind<TulvKvt61>(   {"Kvt61",    Channels::SameCells,  BE, {{0x0040, 0x0044, 0x0048, 0x0068}, {0x0040, 0x0044, 0x0048, 0x0068}}, 0x01F0, false,  false, Scrambled, LiveCh}),
        Bind<TulvKvt66>(   {"Kvt66",    Channels::PerChannel, BE, {{0x05E0, 0x05E4, 0x0608, 0x05E8}, {0x0628, 0x062C, 0x0650, 0x0630}}, 0x07E0, false,  Block, false,     LiveCh}),
        Bind<TulvKvt76>(   {"Kvt76",    Channels::PerChannel, BE, {{0x05E0, 0x05E4, 0x0608, 0x05E8}, {0x0628, 0x062C, 0x0650, 0x0630}}, 0x07E0, false,  Block, Scrambled, LiveCh}),
        Bind<TulvKvt78>(   {"Kvt78",    Channels::PerChannel, LE, {{0x0300, 0x0308, 0x0320, 0x0360}, {0x0304, 0x030C, 0x0340, 0x0380}}, 0x0020, false,  false, Scrambled, LiveCh}),
        Bind<TulvKvt64M1>( {"Kvt64M1",  Channels::None,       LE, {{0x0120, 0x0124, 0x0128, 0x0148}},                                   0x0020, false,  false, Scrambled, false}),
        Bind<TulvDln0803s>({"Dln0803s", Channels::Ignored,    BE, {{0x0040, 0x0044, 0x0048, 0x0068}},                                   0x01F0, false,  false, Scrambled, false}),
        Bind<TulvDln0805s>({"Dln0805s", Channels::PerChannel, BE, {{0x0100, 0x0104, 0x0108, 0x0128}, {0x0704, 0x071C, 0x0740, 0x0780}}, 0x01F0, Halves, false, Scrambled, false}),
        Bind<TulvDln0807s>({"Dln0807s", Channels::SameCells,  LE, {{0x0100, 0x0104, 0x0108, 0x0128}, {0x0100, 0x0104, 0x0108, 0x0128}}, 0x01F0, Halves, false, false,     false}),
        Bind<TulvDln0809>( {"Dln0809",  Channels::None,       LE, {{0x0240, 0x0244, 0x0248, 0x0268}},                                   0x0020, false,  false, Scrambled, false}),
    };
    // clang-format on
    return rows;
}

std::vector<DriverCase> Drivers(const std::function<bool(const DriverCase&)>& keep)
{
    std::vector<DriverCase> out;
    for (const auto& c : AllDrivers())
        if (keep(c)) out.push_back(c);
    return out;
}

class Driver : public ::testing::TestWithParam<DriverCase> {
protected:
    void SetUp() override
    {
        d = GetParam().make();
        port.opened = true;
        d->SetComPort(&port);
        d->SetNetAddr(3);
        d->SetEWrite(true);
    }
    std::string Sent(size_t k) const { return k < port.requests.size() ? ToHex(port.requests[k].bytes) : "(none)"; }
    std::vector<std::string> SentFrom(size_t first) const
    {
        std::vector<std::string> out;
        for (size_t k = first; k < port.requests.size(); ++k)
            out.push_back(ToHex(port.requests[k].bytes));
        return out;
    }
    // The stamp image as it goes to the meter: one write or two halves.
    std::vector<std::string> StampWrites(const Bytes& image) const
    {
        const DriverCase& c = GetParam();
        if (!c.stampInHalves) return {WriteRequest(c.stampCell, image)};
        return {WriteRequest(c.stampCell, Bytes(image.begin(), image.begin() + 8)),
                WriteRequest(static_cast<std::uint16_t>(c.stampCell + 8), Bytes(image.begin() + 8, image.end()))};
    }

    ScriptedPort port;
    std::unique_ptr<Tulv6xProtocol> d;
};

// --- Table reads and writes ------------------------------------------------------

class TableOperations : public Driver {};

TEST_P(TableOperations, ReadsEveryCellInTheMetersByteOrder)
{
    const DriverCase& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsToTry(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                // Four different bytes: any other byte order gives another number.
                const float stored = Distinct(t, ch, i);
                port.QueueReply(ReadReply(Single(stored, c.bigEndian)));
                const size_t k = port.requests.size();
                float v = 99.0f;
                EXPECT_TRUE(c.read(*d, t, ch, i, v));
                EXPECT_EQ(v, stored);
                EXPECT_EQ(Sent(k), ReadRequest(CellOf(c, t, ch, i), 4));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
}

TEST_P(TableOperations, AFailedOrShortReadStoresZero)
{
    const DriverCase& c = GetParam();
    d->SetRepeatCount(1);
    float v = 5.0f;
    port.QueueSilence();
    EXPECT_FALSE(c.read(*d, Table::K, 1, 2, v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(d->LastError(), 2u);

    // Two data bytes where four were asked: the other two would be stale.
    v = 5.0f;
    port.QueueReply(ReadReply({0x3F, 0x80}));
    EXPECT_FALSE(c.read(*d, Table::Obr, 1, 3, v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(d->LastError(), 3u);
}

TEST_P(TableOperations, RejectBadArgumentsBeforeAnyTransaction)
{
    const DriverCase& c = GetParam();
    // LastError 2 from a read that times out; the refusals must keep it.
    d->SetRepeatCount(1);
    port.QueueSilence();
    float dummy;
    c.read(*d, Table::K, 1, 0, dummy);
    ASSERT_EQ(d->LastError(), 2u);
    const size_t before = port.requests.size();

    std::vector<std::pair<std::uint8_t, std::uint8_t>> bad = {{1, 10}, {1, 255}};
    if (c.channels == Channels::PerChannel || c.channels == Channels::SameCells)
        bad.insert(bad.end(), {{0, 0}, {3, 5}, {255, 9}});
    if (c.channels == Channels::Ignored) bad.push_back({0, 10});
    for (auto [ch, i] : bad) {
        SCOPED_TRACE(testing::Message() << "ch " << int(ch) << " i " << int(i));
        for (Table t : {Table::K, Table::Obr}) {
            float v = 42.0f;
            EXPECT_FALSE(c.read(*d, t, ch, i, v));
            EXPECT_EQ(v, 42.0f) << "the out value stays untouched";
            EXPECT_FALSE(c.write(*d, t, ch, i, 1.0f));
            if (c.writeNew) {
                EXPECT_FALSE(c.writeNew(*d, t, ch, i, 0x1122334455667788u));
            }
        }
    }
    if (c.liveChannel) {
        for (std::uint8_t ch : {0, 3})
            EXPECT_EQ(c.readG(*d, ch), 0.0f);
    }
    if (c.writeAll) {
        const float table[18] = {};
        for (std::uint8_t ch : {0, 3})
            EXPECT_FALSE(c.writeAll(*d, ch, table));
    }
    EXPECT_EQ(port.requests.size(), before) << "nothing sent";
    EXPECT_EQ(d->LastError(), 2u) << "LastError unchanged";
    // The class offers the write forms of its meter (none are skipped unseen).
    EXPECT_EQ(bool(c.writeNew), c.scrambled);
    EXPECT_EQ(bool(c.writeAll), c.blockWrites);
}

INSTANTIATE_TEST_SUITE_P(Drivers6x, TableOperations, ::testing::ValuesIn(AllDrivers()), RowName);

class PlainCellWrites : public Driver {};

TEST_P(PlainCellWrites, SendTheValueInTheMetersByteOrderToItsCell)
{
    const DriverCase& c = GetParam();
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsToTry(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                const float value = Distinct(t, ch, i);
                port.QueueReply(Ack());
                const size_t k = port.requests.size();
                EXPECT_TRUE(c.write(*d, t, ch, i, value));
                EXPECT_EQ(Sent(k), WriteRequest(CellOf(c, t, ch, i), Single(value, c.bigEndian)));
                EXPECT_EQ(port.requests.size(), k + 1);
            }
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.write(*d, Table::K, 1, 4, 1.0f));
    EXPECT_EQ(d->LastError(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Drivers6x, PlainCellWrites,
                         ::testing::ValuesIn(Drivers([](const DriverCase& c) { return !c.blockWrites; })), RowName);

class ScrambledWrites : public Driver {
protected:
    // The replies a scrambled write takes: the write's, and on a meter with a
    // guarded block the block read back and the checksum write.
    void QueueReplies()
    {
        port.QueueReply(Ack());
        if (GetParam().blockWrites) {
            port.QueueReply(ReadReply(Bytes(146, 0)));
            port.QueueReply(Ack());
        }
    }
};

TEST_P(ScrambledWrites, SendTheBlockInTheMetersOrderAndANinthZeroByte)
{
    const DriverCase& c = GetParam();
    // Block byte 0 is the least significant byte: 11, then 22 ... 88.
    const std::uint64_t block = 0x8877665544332211u;
    const Bytes sent = c.bigEndian ? Hex("88 77 66 55 44 33 22 11 00") : Hex("11 22 33 44 55 66 77 88 00");
    for (Table t : {Table::K, Table::Obr})
        for (std::uint8_t ch : ChannelsToTry(c))
            for (std::uint8_t i = 0; i <= 9; ++i) {
                SCOPED_TRACE(testing::Message() << TableName(t) << " ch " << int(ch) << " i " << int(i));
                QueueReplies();
                const size_t k = port.requests.size();
                EXPECT_TRUE(c.writeNew(*d, t, ch, i, block));
                EXPECT_EQ(Sent(k), WriteRequest(CellOf(c, t, ch, i), sent));
                EXPECT_EQ(port.requests.size(), k + (c.blockWrites ? 3 : 1));
            }
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.writeNew(*d, Table::Obr, 1, 9, block));
    EXPECT_EQ(d->LastError(), 2u);
}

TEST_P(ScrambledWrites, CarryTheValueOfAFreshlyScrambledBlock)
{
    const DriverCase& c = GetParam();
    const float value = 0.0123f;
    QueueReplies();
    EXPECT_TRUE(c.writeNew(*d, Table::K, 1, 5, ScrambleValue8(std::bit_cast<std::uint32_t>(value))));
    ASSERT_FALSE(port.requests.empty());
    Bytes data = DataOf(port.requests[0].bytes);
    ASSERT_EQ(data.size(), 11u) << "address and 9 bytes";
    Bytes block(data.begin() + 2, data.begin() + 10);
    if (c.bigEndian) std::reverse(block.begin(), block.end());
    EXPECT_EQ(Unscramble(block), std::bit_cast<std::uint32_t>(value));
}

INSTANTIATE_TEST_SUITE_P(Drivers6x, ScrambledWrites,
                         ::testing::ValuesIn(Drivers([](const DriverCase& c) { return c.scrambled; })), RowName);

// --- Calibration stamp -----------------------------------------------------------

class Stamp : public Driver {};

TEST_P(Stamp, IsWrittenOnceUntilClearedWithTheLocalTimeInBcd)
{
    const DriverCase& c = GetParam();
    EXPECT_FALSE(c.signatureSet(*d));
    EXPECT_FALSE(c.writeSignature(*d)) << "no Signature assigned yet";
    EXPECT_TRUE(port.requests.empty());
    c.setSignature(*d, "C1320042");
    EXPECT_TRUE(c.signatureSet(*d));
    EXPECT_FALSE(c.signatureWritten(*d));

    port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30);
    port.QueueReply(Ack());
    port.QueueReply(Ack());
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_TRUE(c.signatureWritten(*d));
    const auto first = StampWrites(Hex("43 31 33 32 30 30 34 32 00 00 24 03 05 09 07 30"));
    EXPECT_EQ(SentFrom(0), first);

    EXPECT_TRUE(c.writeSignature(*d)) << "already written";
    EXPECT_EQ(port.requests.size(), first.size());

    c.clearSignature(*d);
    EXPECT_FALSE(c.signatureWritten(*d));
    port.clock.SetLocalTime(2031, 12, 24, 23, 59, 58);
    port.QueueReply(Ack());
    port.QueueReply(Ack());
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_EQ(SentFrom(first.size()), StampWrites(Hex("43 31 33 32 30 30 34 32 00 00 31 12 24 23 59 58")));
}

TEST_P(Stamp, AFailedWriteIsNotMarkedWrittenAndGoesAgainWhole)
{
    const DriverCase& c = GetParam();
    c.setSignature(*d, "C1320042");
    port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30);
    const auto image = StampWrites(Hex("43 31 33 32 30 30 34 32 00 00 24 03 05 09 07 30"));
    d->SetRepeatCount(1);

    // The first (or only) write fails: nothing follows it.
    port.QueueSilence();
    EXPECT_FALSE(c.writeSignature(*d));
    EXPECT_FALSE(c.signatureWritten(*d));
    EXPECT_EQ(d->LastError(), 2u);
    EXPECT_EQ(SentFrom(0), std::vector<std::string>{image[0]});

    if (c.stampInHalves) {
        // The second half fails: the stamp is not written.
        port.QueueReply(Ack());
        port.QueueSilence();
        EXPECT_FALSE(c.writeSignature(*d));
        EXPECT_FALSE(c.signatureWritten(*d));
        EXPECT_EQ(d->LastError(), 2u);
        EXPECT_EQ(SentFrom(1), image);
    }

    // The next call writes the whole stamp again.
    const size_t next = port.requests.size();
    port.QueueReply(Ack());
    port.QueueReply(Ack());
    EXPECT_TRUE(c.writeSignature(*d));
    EXPECT_TRUE(c.signatureWritten(*d));
    EXPECT_EQ(SentFrom(next), image);
}

TEST_P(Stamp, KeepsEightCharactersOrNothing)
{
    const DriverCase& c = GetParam();
    struct SignatureCase {
        const char* text;
        const char* kept;  // Signature after the assignment
        const char* bytes; // bytes 0..7 of the stamp, or nullptr: nothing written
    };
    const SignatureCase cases[] = {
        {"C132", "", nullptr},
        {"", "", nullptr},
        {"C132004", "", nullptr},
        {"C1320042", "C1320042", "43 31 33 32 30 30 34 32"},
        {"C13200421234", "C1320042", "43 31 33 32 30 30 34 32"},
        // Characters, not bytes: 9 Cyrillic letters are 18 UTF-8 bytes; the first
        // 8 go to the meter as 8 bytes of code page 1251.
        {"\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417\u0418", "\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417",
         "C0 C1 C2 C3 C4 C5 C6 C7"},
        {"\u041A\u0412\u041212", "", nullptr},  // 5 characters in 8 bytes
        {"\u0414\u041B\u041D-08", "", nullptr}, // 6 characters in 9 bytes
        {"\u041A\u0412\u0422-64/1", "\u041A\u0412\u0422-64/1", "CA C2 D2 2D 36 34 2F 31"},
    };
    for (const auto& sc : cases) {
        SCOPED_TRACE(sc.text);
        const size_t first = port.requests.size();
        auto drv = c.make();
        drv->SetComPort(&port);
        drv->SetNetAddr(3);
        drv->SetEWrite(true);
        port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30);
        c.setSignature(*drv, sc.text);
        EXPECT_TRUE(c.signatureSet(*drv));
        EXPECT_EQ(c.signature(*drv), sc.kept);
        if (sc.bytes) {
            port.QueueReply(Ack());
            port.QueueReply(Ack());
        }
        EXPECT_EQ(c.writeSignature(*drv), sc.bytes != nullptr);
        const std::vector<std::string> expected =
            sc.bytes ? StampWrites(Concat(Hex(sc.bytes), Hex("00 00 24 03 05 09 07 30"))) : std::vector<std::string>{};
        EXPECT_EQ(SentFrom(first), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers6x, Stamp, ::testing::ValuesIn(AllDrivers()), RowName);

// --- Factory number ----------------------------------------------------------------

struct NumberCase {
    const char* name;
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    std::function<void(Tulv6xProtocol&, std::string&)> run;
    std::string request;
    Bytes replyData;
    std::string expected;
};

void PrintTo(const NumberCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> NumberCase Number(const char* name, std::string request, Bytes replyData, std::string expected)
{
    return {name,
            [] { return std::unique_ptr<Tulv6xProtocol>(new D); },
            [](Tulv6xProtocol& p, std::string& s) { static_cast<D&>(p).GetDeviceNumber(s); },
            std::move(request),
            std::move(replyData),
            std::move(expected)};
}

class FactoryNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FactoryNumber, IsReadAndFormattedAsTheMeterKeepsIt)
{
    const NumberCase& nc = GetParam();
    ScriptedPort port;
    port.opened = true;
    auto d = nc.make();
    d->SetComPort(&port);
    d->SetNetAddr(3);
    port.QueueReply(ReadReply(nc.replyData));
    std::string s = "old";
    nc.run(*d, s);
    EXPECT_EQ(d->LastError(), 0u);
    EXPECT_EQ(s, nc.expected);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), nc.request);

    // A reply one byte short, then none at all: empty text.
    port.QueueReply(ReadReply(Bytes(nc.replyData.begin(), nc.replyData.end() - 1)));
    s = "old";
    nc.run(*d, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(d->LastError(), 3u);
    d->SetRepeatCount(1);
    port.QueueSilence();
    s = "old";
    nc.run(*d, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(d->LastError(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers6x, FactoryNumber,
    ::testing::Values(
        Number<TulvKvt64>("Kvt64BigEndian", ReadRequest(0x007C, 4), Hex("00 BC 61 4E"), "12345678"),
        Number<TulvKvt66>("Kvt66BigEndian", ReadRequest(0x0152, 4), Hex("00 BC 61 4E"), "12345678"),
        Number<TulvKvt76>("Kvt76Highest", ReadRequest(0x0152, 4), Hex("FF FF FF FF"), "4294967295"),
        Number<TulvKvt78>("Kvt78LittleEndian", ReadRequest(0x0000, 4), Hex("4E 61 BC 00"), "12345678"),
        Number<TulvKvt64M1>("Kvt64M1LittleEndian", ReadRequest(0x0000, 4), Hex("4E 61 BC 00"), "12345678"),
        Number<TulvKvt64M1>("Kvt64M1Zero", ReadRequest(0x0000, 4), Hex("00 00 00 00"), "0"),
        // Eight characters as they are, control bytes included.
        Number<TulvKvt61>("Kvt61CharactersUnchanged", ReadRequest(0x0000, 8), Hex("20 31 32 01 CA 35 36 37"),
                          " 12\x01\u041A567"),
        // Bytes below 32 become blanks.
        Number<TulvKvt641>("Kvt641ControlBytesAsBlanks", ReadRequest(0x0000, 8), Hex("31 32 00 1F CA 35 36 37"),
                           "12  \u041A567"),

        // Bytes below 32 become blanks; the rest is code page 1251.
        Number<TulvDln0803s>("Dln0803sControlBytesAsBlanks", ReadRequest(0x0000, 8), Hex("31 32 00 1F CA 35 36 37"),
                             "12  \u041A567"),
        Number<TulvDln0805s>("Dln0805sControlBytesAsBlanks", ReadRequest(0x0000, 8), Hex("09 30 38 30 35 31 32 0A"),
                             " 080512 "),
        Number<TulvDln0809>("Dln0809LittleEndian", ReadRequest(0x0000, 4), Hex("4E 61 BC 00"), "12345678"),
        Number<TulvDln0809>("Dln0809Highest", ReadRequest(0x0000, 4), Hex("FF FF FF FF"), "4294967295")),
    RowName);

// --- Factory resets: the writes of the plain and the scrambled form ----------------

template <class A> std::vector<A> Join(std::vector<A> a, const std::vector<A>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FactoryReset : public ::testing::TestWithParam<ResetCase> {};
TEST_P(FactoryReset, WritesTheFactoryValuesInOrder)
{
    const ResetCase& rc = GetParam();
    ScriptedPort port;
    port.opened = true;
    auto d = rc.make();
    d->SetComPort(&port);
    d->SetNetAddr(3);
    d->SetEWrite(true);
    for (size_t k = 0; k < rc.writes.size(); ++k)
        port.QueueReply(Ack());
    rc.reset(*d);
    ASSERT_EQ(port.requests.size(), rc.writes.size());
    std::vector<Bytes> blocks;
    for (size_t k = 0; k < rc.writes.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "write " << k);
        const ResetWrite& w = rc.writes[k];
        const Bytes& frame = port.requests[k].bytes;
        if (!w.plain.empty()) {
            EXPECT_EQ(ToHex(frame), WriteRequest(w.cell, w.plain));
            continue;
        }
        EXPECT_EQ(AddrOf(frame), w.cell);
        const Bytes data = DataOf(frame);
        ASSERT_EQ(data.size(), 11u) << "address, 8 block bytes, a ninth byte";
        EXPECT_EQ(data[10], 0x00);
        Bytes block(data.begin() + 2, data.begin() + 10);
        if (rc.bigEndian) std::reverse(block.begin(), block.end());
        EXPECT_EQ(Unscramble(block), std::bit_cast<std::uint32_t>(w.scrambled));
        blocks.push_back(block);
    }
    // Every write carries a block of its own, also where one value goes to
    // the K and the Obr cell, or twice to the same cell.
    for (size_t a = 0; a < blocks.size(); ++a)
        for (size_t b = a + 1; b < blocks.size(); ++b)
            EXPECT_NE(blocks[a], blocks[b]) << "writes " << a << " and " << b;

    // Failures are not reported and do not stop the reset.
    ScriptedPort silent;
    silent.opened = true;
    auto e = rc.make();
    e->SetComPort(&silent);
    e->SetEWrite(true);
    e->SetRepeatCount(1);
    rc.reset(*e);
    EXPECT_EQ(silent.requests.size(), rc.writes.size());
    if (!rc.writes.empty()) {
        EXPECT_EQ(e->LastError(), 2u);
    }
}

// The cells of the meters' memory maps that the resets write.
const Layout Kvt641Cells{0x0050, 0x0054, 0x0058, 0x0078};
const Layout Kvt61Cells{0x0040, 0x0044, 0x0048, 0x0068};
const Layout Kvt78Channel1{0x0300, 0x0308, 0x0320, 0x0360};
const Layout Kvt78Channel2{0x0304, 0x030C, 0x0340, 0x0380};
const Layout Kvt64M1Cells{0x0120, 0x0124, 0x0128, 0x0148};

const Layout Dln0803sCells{0x0040, 0x0044, 0x0048, 0x0068};
const Layout Dln0805sChannel1{0x0100, 0x0104, 0x0108, 0x0128};
const Layout Dln0807sCells{0x0100, 0x0104, 0x0108, 0x0128};
const Layout Dln0809Cells{0x0240, 0x0244, 0x0248, 0x0268};

INSTANTIATE_TEST_SUITE_P(
    Drivers6x, FactoryReset,
    ::testing::Values(
        // The order and cells as the КВТ-64-1 takes them, written out.
        MakeReset<TulvKvt641, &TulvKvt641::ResetK>("Kvt641Plain", BE,
                                                   {{0x0058, Singles({0.001f, 0.0025f}, BE)},
                                                    {0x0078, Singles({0.001f, 0.0025f}, BE)},
                                                    {0x0060, Singles({0.005f, 0.01f}, BE)},
                                                    {0x0080, Singles({0.005f, 0.01f}, BE)},
                                                    {0x0068, Singles({0.02f, 0.04f}, BE)},
                                                    {0x0088, Singles({0.02f, 0.04f}, BE)},
                                                    {0x0070, Singles({0.1f, 0.5f}, BE)},
                                                    {0x0090, Singles({0.1f, 0.5f}, BE)},
                                                    {0x0050, Singles({0.0f, 1.0f}, BE)}}),
        MakeReset<TulvKvt61, &TulvKvt61::ResetK>("Kvt61Plain", BE, PlainReset(Kvt61Cells, BE)),
        MakeReset<TulvKvt641, &TulvKvt641::ResetK_new>("Kvt641Scrambled", BE, ScrambledReset(Kvt641Cells, false)),
        MakeReset<TulvKvt61, &TulvKvt61::ResetK_new>("Kvt61Scrambled", BE, ScrambledReset(Kvt61Cells, false)),
        MakeReset<TulvKvt78, &TulvKvt78::ResetK>(
            "Kvt78BothChannels", LE, Join(ScrambledReset(Kvt78Channel1, true), ScrambledReset(Kvt78Channel2, true))),
        MakeReset<TulvKvt64M1, &TulvKvt64M1::ResetK>("Kvt64M1", LE, ScrambledReset(Kvt64M1Cells, true)),
        MakeReset<TulvKvt64, &TulvKvt64::ResetK>("Kvt64Nothing", BE, {}),
        MakeReset<TulvKvt66, &TulvKvt66::ResetK>("Kvt66Nothing", BE, {}),
        MakeReset<TulvKvt76, &TulvKvt76::ResetK>("Kvt76Nothing", BE, {}),

        // The order and cells as the ДЛН-08.03С takes them, written out.
        MakeReset<TulvDln0803s, &TulvDln0803s::ResetK>("Dln0803sPlain", BE,
                                                       {{0x0048, Hex("3A 83 12 6F 3B 23 D7 0A")},
                                                        {0x0068, Hex("3A 83 12 6F 3B 23 D7 0A")},
                                                        {0x0050, Hex("3B A3 D7 0A 3C 23 D7 0A")},
                                                        {0x0070, Hex("3B A3 D7 0A 3C 23 D7 0A")},
                                                        {0x0058, Hex("3C A3 D7 0A 3D 23 D7 0A")},
                                                        {0x0078, Hex("3C A3 D7 0A 3D 23 D7 0A")},
                                                        {0x0060, Hex("3D CC CC CD 3F 00 00 00")},
                                                        {0x0080, Hex("3D CC CC CD 3F 00 00 00")},
                                                        {0x0040, Hex("00 00 00 00 3F 80 00 00")}}),
        // Channel 1 only, although the meter has cells for a channel 2.
        MakeReset<TulvDln0805s, &TulvDln0805s::ResetK>("Dln0805sPlainChannel1", BE, PlainReset(Dln0805sChannel1, BE)),
        MakeReset<TulvDln0807s, &TulvDln0807s::ResetK>("Dln0807sPlainLittleEndian", LE, PlainReset(Dln0807sCells, LE)),
        MakeReset<TulvDln0803s, &TulvDln0803s::ResetK_new>("Dln0803sScrambled", BE,
                                                           ScrambledReset(Dln0803sCells, false)),
        MakeReset<TulvDln0805s, &TulvDln0805s::ResetK_new>("Dln0805sScrambledChannel1", BE,
                                                           ScrambledReset(Dln0805sChannel1, false)),
        MakeReset<TulvDln0809, &TulvDln0809::ResetK>("Dln0809Scrambled", LE, ScrambledReset(Dln0809Cells, true))),
    RowName);

} // namespace
