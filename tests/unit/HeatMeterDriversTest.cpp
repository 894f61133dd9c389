// The seven heat-meter drivers on the scripted port, in what is their own: the
// live values, the Gmax of the КВТ-64-1 and how the checksum-guarded block of
// the КВТ-66/КВТ-76 is rewritten. What they do alike with the flow meters (table
// operations, argument checks, scrambled writes, the stamp, factory numbers and
// resets) is tested once in Drivers6xEngineTest.
//
// The expected cells are written here from the meters' memory maps (K0, Ku,
// first K point, first Obr point per channel; points 4 bytes apart), not taken
// from the drivers' tables. Request frames are built by Request() of the driver
// test support: start byte, address 3 and its complement, group, command, N,
// data, and the complement of the byte sum (the framing itself is checked with
// golden frames in the protocol's own tests).
#include "DriverTestSupport.h"
#include "ScriptedPort.h"
#include "TulvKvt61.h"
#include "TulvKvt64.h"
#include "TulvKvt641.h"
#include "TulvKvt64M1.h"
#include "TulvKvt66.h"
#include "TulvKvt76.h"
#include "TulvKvt78.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace DriverTest;
using namespace DriverTest::Plain6x;

// --- The meters with a checksum-guarded block as rows ------------------------------

struct BlockCase {
    const char* name;
    // The driver's operations behind one shape.
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    WriteOperation write;
    std::function<bool(Tulv6xProtocol&, std::uint8_t, const float (&)[18])> writeAll;
    std::function<void(Tulv6xProtocol&, std::string_view)> setSignature;
    std::function<bool(Tulv6xProtocol&)> signatureWritten;
};

void PrintTo(const BlockCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> BlockCase BindBlock(const char* name)
{
    return {name,
            [] { return std::unique_ptr<Tulv6xProtocol>(new D); },
            TableWrite<D>(),
            [](Tulv6xProtocol& p, std::uint8_t ch, const float(&t)[18]) { return static_cast<D&>(p).ClbWriteAll(ch, t); },
            [](Tulv6xProtocol& p, std::string_view s) { static_cast<D&>(p).SetSignature(s); },
            [](Tulv6xProtocol& p) { return static_cast<D&>(p).SignatureWritten(); }};
}

class Driver : public ::testing::TestWithParam<BlockCase> {
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

    ScriptedPort port;
    std::unique_ptr<Tulv6xProtocol> d;
};

// --- Live values -------------------------------------------------------------------

// One operation of one driver class behind a common shape.
template <class R> struct Operation {
    std::function<std::unique_ptr<Tulv6xProtocol>()> make;
    R run;
};

struct LiveCase {
    const char* name;
    Operation<std::function<float(Tulv6xProtocol&)>> op;
    std::string request;
    Bytes reply;
    float expected;
};

void PrintTo(const LiveCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D, class F> Operation<std::function<float(Tulv6xProtocol&)>> Live(F f)
{
    return {[] { return std::unique_ptr<Tulv6xProtocol>(new D); },
            [f](Tulv6xProtocol& p) { return f(static_cast<D&>(p)); }};
}

class LiveValue : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveValue, IsReadFromItsCellInTheMetersByteOrder)
{
    const LiveCase& lc = GetParam();
    ScriptedPort port;
    port.opened = true;
    auto d = lc.op.make();
    d->SetComPort(&port);
    d->SetNetAddr(3);
    port.QueueReply(lc.reply);
    EXPECT_EQ(lc.op.run(*d), lc.expected);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(ToHex(port.requests[0].bytes), lc.request);

    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_EQ(lc.op.run(*d), 0.0f) << "a failed read gives 0";
    EXPECT_EQ(d->LastError(), 2u);
}

const Bytes SfrTek = Reply(0x0C, 0x00, Hex("3F 80 00 00 40 00 00 00 C0 20 00 00 00 00 00 00"));

INSTANTIATE_TEST_SUITE_P(
    HeatMeters, LiveValue,
    ::testing::Values(LiveCase{"Kvt64GChannel1", Live<TulvKvt64>([](auto& d) { return d.ClbReadG(1); }),
                               ToHex(Request(0x0C, 0x00, {})), SfrTek, 1.0f},
                      LiveCase{"Kvt64GChannel2", Live<TulvKvt64>([](auto& d) { return d.ClbReadG(2); }),
                               ToHex(Request(0x0C, 0x00, {})), SfrTek, 2.0f},
                      LiveCase{"Kvt641G", Live<TulvKvt641>([](auto& d) { return d.ClbReadG(); }), RamRequest(0x00B4),
                               Ram(3.5f, BE), 3.5f},
                      LiveCase{"Kvt641SFR", Live<TulvKvt641>([](auto& d) { return d.ClbReadSFR(); }),
                               RamRequest(0x00B0), Ram(-7.25f, BE), -7.25f},
                      LiveCase{"Kvt61GChannel1", Live<TulvKvt61>([](auto& d) { return d.ClbReadG(1); }),
                               RamRequest(0x00B4), Ram(3.5f, BE), 3.5f},
                      LiveCase{"Kvt61GChannel2SameCell", Live<TulvKvt61>([](auto& d) { return d.ClbReadG(2); }),
                               RamRequest(0x00B4), Ram(3.5f, BE), 3.5f},
                      LiveCase{"Kvt61SFRChannel2SameCell", Live<TulvKvt61>([](auto& d) { return d.ClbReadSFR(2); }),
                               RamRequest(0x00B0), Ram(12.0f, BE), 12.0f},
                      LiveCase{"Kvt66GChannel1", Live<TulvKvt66>([](auto& d) { return d.ClbReadG(1); }),
                               RamRequest(0x00A0), Ram(0.75f, BE), 0.75f},
                      LiveCase{"Kvt66GChannel2", Live<TulvKvt66>([](auto& d) { return d.ClbReadG(2); }),
                               RamRequest(0x00A4), Ram(0.75f, BE), 0.75f},
                      LiveCase{"Kvt66SFRChannel1", Live<TulvKvt66>([](auto& d) { return d.ClbReadSFR(1); }),
                               RamRequest(0x0000), Ram(1234.5f, BE), 1234.5f},
                      LiveCase{"Kvt66SFRChannel2", Live<TulvKvt66>([](auto& d) { return d.ClbReadSFR(2); }),
                               RamRequest(0x0004), Ram(1234.5f, BE), 1234.5f},
                      LiveCase{"Kvt76GChannel2", Live<TulvKvt76>([](auto& d) { return d.ClbReadG(2); }),
                               RamRequest(0x00A4), Ram(0.75f, BE), 0.75f},
                      LiveCase{"Kvt76SFRChannel2", Live<TulvKvt76>([](auto& d) { return d.ClbReadSFR(2); }),
                               RamRequest(0x0004), Ram(1234.5f, BE), 1234.5f},
                      LiveCase{"Kvt78GChannel1", Live<TulvKvt78>([](auto& d) { return d.ClbReadG(1); }),
                               RamRequest(0x01CC), Ram(3.5f, LE), 3.5f},
                      LiveCase{"Kvt78GChannel2", Live<TulvKvt78>([](auto& d) { return d.ClbReadG(2); }),
                               RamRequest(0x01D0), Ram(3.5f, LE), 3.5f},
                      LiveCase{"Kvt78SFRChannel1", Live<TulvKvt78>([](auto& d) { return d.ClbReadSFR(1); }),
                               RamRequest(0x0200), Ram(-2.5f, LE), -2.5f},
                      LiveCase{"Kvt78SFRChannel2", Live<TulvKvt78>([](auto& d) { return d.ClbReadSFR(2); }),
                               RamRequest(0x0204), Ram(-2.5f, LE), -2.5f},
                      LiveCase{"Kvt64M1G", Live<TulvKvt64M1>([](auto& d) { return d.ClbReadG(); }), RamRequest(0x0020),
                               Ram(3.5f, LE), 3.5f},
                      LiveCase{"Kvt64M1SFR", Live<TulvKvt64M1>([](auto& d) { return d.ClbReadSFR(); }),
                               RamRequest(0x03A0), Ram(-2.5f, LE), -2.5f}),
    RowName);

// --- КВТ-64-1: Gmax from the size code --------------------------------------------

struct GmaxCase {
    const char* name;
    float version;
    const char* modification; // nullptr: no reply to the question
    bool asksModification;
    std::uint8_t sizeCode;
    bool sizeCodeAnswered;
    float expected;
};

void PrintTo(const GmaxCase& c, std::ostream* os)
{
    *os << c.name;
}

class Kvt641Gmax : public ::testing::TestWithParam<GmaxCase> {};

TEST_P(Kvt641Gmax, FollowsTheSizeCodeAndTheSeries)
{
    const GmaxCase& gc = GetParam();
    ScriptedPort port;
    port.opened = true;
    TulvKvt641 d;
    d.SetComPort(&port);
    d.SetNetAddr(3);
    d.SetRepeatCount(1);
    if (gc.asksModification) {
        if (gc.modification) {
            const std::string m = gc.modification;
            port.QueueReply(Reply(0x00, 0x02, Bytes(m.begin(), m.end())));
        } else {
            port.QueueSilence();
        }
    }
    if (gc.sizeCodeAnswered)
        port.QueueReply(ReadReply({gc.sizeCode}));
    else
        port.QueueSilence();
    EXPECT_EQ(d.ClbReadGmax(gc.version), gc.expected);
    const size_t ask = gc.asksModification ? 1 : 0;
    ASSERT_EQ(port.requests.size(), ask + 1);
    if (gc.asksModification) {
        EXPECT_EQ(ToHex(port.requests[0].bytes), "55 03 FC 00 02 00 A9");
    }
    EXPECT_EQ(ToHex(port.requests[ask].bytes), ReadRequest(0x000A, 1));
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, Kvt641Gmax,
                         ::testing::Values(GmaxCase{"BelowVersion4000NoQuestion", 3999.0f, nullptr, false, 4, true,
                                                    60.0f},
                                           GmaxCase{"MSeries", 4001.0f, "M", true, 4, true, 63.0f},
                                           GmaxCase{"MSeriesFromVersion4000", 4000.0f, "M", true, 7, true, 630.0f},
                                           GmaxCase{"MSeriesCode0", 4001.0f, "M", true, 0, true, 6.3f},
                                           GmaxCase{"OtherModificationStandard", 4001.0f, "M2", true, 6, true, 300.0f},
                                           GmaxCase{"FailedQuestionStandard", 4001.0f, nullptr, true, 2, true, 30.0f},
                                           GmaxCase{"StandardCode7", 12.0f, nullptr, false, 7, true, 600.0f},
                                           GmaxCase{"SizeCode8", 3999.0f, nullptr, false, 8, true, 0.0f},
                                           GmaxCase{"SizeCode255MSeries", 4001.0f, "M", true, 255, true, 0.0f},
                                           GmaxCase{"UnreadSizeCode", 3999.0f, nullptr, false, 0, false, 0.0f}),
                         RowName);

// --- КВТ-66 and КВТ-76: the checksum-guarded block -------------------------------

constexpr std::uint16_t BlockStart = 0x05E0;
constexpr int BlockSize = 146;

// The block's checksum as the meter checks it: the complement of the 16-bit sum
// of bytes 0..143, most significant byte first.
Bytes ChecksumOf(const Bytes& block)
{
    std::uint16_t sum = 0;
    for (int k = 0; k < 144; ++k)
        sum = static_cast<std::uint16_t>(sum + block[k]);
    sum = static_cast<std::uint16_t>(~sum);
    return {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
}

// A block as a meter might hold it: distinct bytes and a stale checksum.
Bytes SampleBlock()
{
    Bytes b(BlockSize);
    for (int k = 0; k < BlockSize; ++k)
        b[k] = static_cast<std::uint8_t>(k * 7 + 3);
    return b;
}

class BlockWrites : public Driver {
protected:
    // Queues the block read and the acknowledgements of the 12 pieces (and of
    // the stamp).
    void ScriptBlockWrite(const Bytes& block, int acks = 13)
    {
        port.QueueReply(ReadReply(block));
        for (int k = 0; k < acks; ++k)
            port.QueueReply(Ack());
    }
    // The block as written: requests first..first+11 must be the 12 pieces.
    Bytes WrittenBlock(size_t first)
    {
        Bytes block;
        for (size_t k = first; k < first + 12 && k < port.requests.size(); ++k) {
            const Bytes data = DataOf(port.requests[k].bytes);
            EXPECT_EQ(AddrOf(port.requests[k].bytes), BlockStart + block.size()) << "piece " << k;
            block.insert(block.end(), data.begin() + 2, data.end());
        }
        return block;
    }
};

TEST_P(BlockWrites, WriteKReadsTheBlockAndWritesItBackInPiecesWithTheStamp)
{
    const BlockCase& c = GetParam();
    c.setSignature(*d, "C1320042");
    port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30);
    const Bytes before = SampleBlock();
    ScriptBlockWrite(before);
    const float v = 0.0421f;
    EXPECT_TRUE(c.write(*d, Table::K, 2, 9, v));

    ASSERT_EQ(port.requests.size(), 14u) << "one read, twelve pieces, the stamp";
    EXPECT_EQ(Sent(0), ReadRequest(BlockStart, 146));
    for (size_t k = 1; k <= 11; ++k) {
        EXPECT_EQ(AddrOf(port.requests[k].bytes), BlockStart + 8 * (k - 1));
        EXPECT_EQ(DataOf(port.requests[k].bytes).size(), 2u + 8u) << "piece " << k;
    }
    EXPECT_EQ(AddrOf(port.requests[12].bytes), 0x0638);
    EXPECT_EQ(DataOf(port.requests[12].bytes).size(), 2u + 58u);

    Bytes expected = before;
    const Bytes value = Single(v, BE);
    std::copy(value.begin(), value.end(), expected.begin() + 140); // channel 2, K point 8
    const Bytes sum = ChecksumOf(expected);
    expected[144] = sum[0];
    expected[145] = sum[1];
    EXPECT_EQ(ToHex(WrittenBlock(1)), ToHex(expected));

    EXPECT_EQ(Sent(13), WriteRequest(0x07E0, Hex("43 31 33 32 30 30 34 32 00 00 24 03 05 09 07 30")));
    EXPECT_TRUE(c.signatureWritten(*d));

    // The stamp goes once: the next block write ends with the last piece.
    ScriptBlockWrite(before, 12);
    EXPECT_TRUE(c.write(*d, Table::Obr, 1, 2, v));
    EXPECT_EQ(port.requests.size(), 14u + 13u);
}

struct BlockOffsetCase {
    Table table;
    std::uint8_t ch, i;
    int offset;
};

TEST_P(BlockWrites, EveryValueLandsAtItsOffsetInTheBlock)
{
    const BlockCase& c = GetParam();
    const BlockOffsetCase cases[] = {
        {Table::K, 1, 0, 0},    {Table::Obr, 1, 0, 0},  {Table::K, 1, 1, 4},   {Table::Obr, 1, 2, 8},
        {Table::Obr, 1, 9, 36}, {Table::K, 1, 2, 40},   {Table::K, 1, 9, 68},  {Table::K, 2, 0, 72},
        {Table::Obr, 2, 1, 76}, {Table::Obr, 2, 2, 80}, {Table::K, 2, 2, 112}, {Table::K, 2, 9, 140},
    };
    for (const auto& bc : cases) {
        SCOPED_TRACE(testing::Message() << TableName(bc.table) << " ch " << int(bc.ch) << " i " << int(bc.i));
        const size_t first = port.requests.size();
        const Bytes before = SampleBlock();
        ScriptBlockWrite(before, 12); // no Signature: no stamp
        EXPECT_TRUE(c.write(*d, bc.table, bc.ch, bc.i, -3.75f));
        ASSERT_EQ(port.requests.size(), first + 13);
        Bytes expected = before;
        const Bytes value = Single(-3.75f, BE);
        std::copy(value.begin(), value.end(), expected.begin() + bc.offset);
        const Bytes sum = ChecksumOf(expected);
        expected[144] = sum[0];
        expected[145] = sum[1];
        EXPECT_EQ(ToHex(WrittenBlock(first + 1)), ToHex(expected));
    }
}

TEST_P(BlockWrites, ChecksumIsTheComplementOfTheByteSum)
{
    const BlockCase& c = GetParam();
    // 144 zero bytes: FF FF.
    ScriptBlockWrite(Bytes(BlockSize, 0), 12);
    EXPECT_TRUE(c.write(*d, Table::K, 1, 0, 0.0f));
    Bytes written = WrittenBlock(1);
    ASSERT_EQ(written.size(), 146u);
    EXPECT_EQ(ToHex(Bytes(written.begin() + 144, written.end())), "FF FF");

    // Bytes summing to 0x1234 (18 x 0xFF + 0x46): ED CB.
    Bytes block(BlockSize, 0);
    for (int k = 0; k < 18; ++k)
        block[100 + k] = 0xFF;
    block[130] = 0x46;
    const size_t first = port.requests.size();
    ScriptBlockWrite(block, 12);
    EXPECT_TRUE(c.write(*d, Table::K, 1, 0, 0.0f));
    written = WrittenBlock(first + 1);
    ASSERT_EQ(written.size(), 146u);
    EXPECT_EQ(ToHex(Bytes(written.begin() + 144, written.end())), "ED CB");
}

TEST_P(BlockWrites, WriteAllReplacesOneChannelTable)
{
    const BlockCase& c = GetParam();
    float table[18];
    for (int k = 0; k < 18; ++k)
        table[k] = 0.5f + k;
    for (std::uint8_t ch : {1, 2}) {
        SCOPED_TRACE(int(ch));
        const size_t first = port.requests.size();
        const Bytes before = SampleBlock();
        ScriptBlockWrite(before, 12);
        EXPECT_TRUE(c.writeAll(*d, ch, table));
        ASSERT_EQ(port.requests.size(), first + 13);
        EXPECT_EQ(Sent(first), ReadRequest(BlockStart, 146));
        Bytes expected = before;
        for (int k = 0; k < 18; ++k) {
            const Bytes value = Single(table[k], BE);
            std::copy(value.begin(), value.end(), expected.begin() + 72 * (ch - 1) + 4 * k);
        }
        const Bytes sum = ChecksumOf(expected);
        expected[144] = sum[0];
        expected[145] = sum[1];
        EXPECT_EQ(ToHex(WrittenBlock(first + 1)), ToHex(expected)) << "the other channel keeps its bytes";
    }
}

TEST_P(BlockWrites, AFailedPieceStopsTheWriteAndReportsFalse)
{
    const BlockCase& c = GetParam();
    c.setSignature(*d, "C1320042");
    d->SetRepeatCount(1);
    port.QueueReply(ReadReply(SampleBlock()));
    for (int k = 0; k < 4; ++k)
        port.QueueReply(Ack());
    port.QueueSilence();
    EXPECT_FALSE(c.write(*d, Table::K, 1, 3, 1.0f));
    EXPECT_EQ(port.requests.size(), 6u) << "the read, four pieces, the failed fifth; nothing after it";
    EXPECT_EQ(d->LastError(), 2u);
    EXPECT_FALSE(c.signatureWritten(*d));

    // The last piece fails too.
    const size_t first = port.requests.size();
    port.QueueReply(ReadReply(SampleBlock()));
    for (int k = 0; k < 11; ++k)
        port.QueueReply(Ack());
    port.QueueSilence();
    float table[18] = {};
    EXPECT_FALSE(c.writeAll(*d, 2, table));
    EXPECT_EQ(port.requests.size(), first + 13);
    EXPECT_FALSE(c.signatureWritten(*d));
}

TEST_P(BlockWrites, AFailedOrShortBlockReadWritesNothing)
{
    const BlockCase& c = GetParam();
    d->SetRepeatCount(1);
    port.QueueSilence();
    EXPECT_FALSE(c.write(*d, Table::Obr, 2, 5, 1.0f));
    EXPECT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(d->LastError(), 2u);

    // 100 bytes of 146: writing back would put stale bytes into the meter.
    port.QueueReply(ReadReply(Bytes(100, 0x11)));
    EXPECT_FALSE(c.write(*d, Table::K, 1, 5, 1.0f));
    EXPECT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(d->LastError(), 3u);
}

TEST_P(BlockWrites, AStampFailureIsNotPartOfTheResult)
{
    const BlockCase& c = GetParam();
    c.setSignature(*d, "C1320042");
    d->SetRepeatCount(1);
    ScriptBlockWrite(SampleBlock(), 12);
    port.QueueSilence();
    EXPECT_TRUE(c.write(*d, Table::K, 1, 3, 1.0f));
    EXPECT_EQ(port.requests.size(), 14u);
    EXPECT_EQ(d->LastError(), 2u) << "LastError is that of the stamp write";
    EXPECT_FALSE(c.signatureWritten(*d));
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, BlockWrites,
                         ::testing::Values(BindBlock<TulvKvt66>("Kvt66"), BindBlock<TulvKvt76>("Kvt76")), RowName);

// КВТ-76: a scrambled write goes to the cell, then the checksum follows it.
class Kvt76Scrambled : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        d.SetComPort(&port);
        d.SetNetAddr(3);
        d.SetEWrite(true);
        d.SetRepeatCount(1);
        d.SetSignature("C1320042");
    }
    ScriptedPort port;
    TulvKvt76 d;
};

TEST_F(Kvt76Scrambled, RewritesTheChecksumFromTheBlockAsTheMeterNowHoldsIt)
{
    const Bytes block = SampleBlock();
    port.QueueReply(Ack());
    port.QueueReply(ReadReply(block));
    port.QueueReply(Ack());
    EXPECT_TRUE(d.ClbWriteObr_new(2, 9, 0x8877665544332211u));
    ASSERT_EQ(port.requests.size(), 3u) << "no stamp after a scrambled write";
    EXPECT_EQ(ToHex(port.requests[0].bytes), WriteRequest(0x064C, Hex("88 77 66 55 44 33 22 11 00")));
    EXPECT_EQ(ToHex(port.requests[1].bytes), ReadRequest(BlockStart, 146));
    EXPECT_EQ(ToHex(port.requests[2].bytes), WriteRequest(0x0670, ChecksumOf(block)));
    EXPECT_FALSE(d.SignatureWritten());
}

TEST_F(Kvt76Scrambled, StopsAtTheFirstFailedStep)
{
    port.QueueSilence();
    EXPECT_FALSE(d.ClbWriteK_new(1, 2, 1));
    EXPECT_EQ(port.requests.size(), 1u);

    port.QueueReply(Ack());
    port.QueueSilence();
    EXPECT_FALSE(d.ClbWriteK_new(1, 2, 1));
    EXPECT_EQ(port.requests.size(), 3u);

    port.QueueReply(Ack());
    port.QueueReply(ReadReply(Bytes(145, 0)));
    EXPECT_FALSE(d.ClbWriteK_new(1, 2, 1)) << "a short block gives no checksum";
    EXPECT_EQ(port.requests.size(), 5u);
    EXPECT_EQ(d.LastError(), 3u);

    port.QueueReply(Ack());
    port.QueueReply(ReadReply(SampleBlock()));
    port.QueueSilence();
    EXPECT_FALSE(d.ClbWriteK_new(1, 2, 1));
    EXPECT_EQ(port.requests.size(), 8u);
    EXPECT_EQ(d.LastError(), 2u);
}

} // namespace
