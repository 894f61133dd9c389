// The M4 protocol on the scripted port: 14-byte requests byte for byte, the
// reply rules of each operation (reply code, checksum, what is copied), the
// attempts with their pauses on the virtual clock, the write gate and setters.
//
// Golden frames: checksums worked by hand as the plain byte sum, e.g. ReadMem
// of 0x0150 at address 1: 00 + 01 + 52 + 01 + 50 = 0xA4; ReadRamInt of 0x0079
// at address 3: 03 + 4D + 79 = 0xC9.
#include "ScriptedPort.h"
#include "UlvM4Protocol.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A reply frame with its checksum (plain byte sum) appended.
Bytes Frame(const std::string& hex)
{
    Bytes b = Hex(hex);
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(sum);
    return b;
}

class M4 : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        p.SetComPort(&port);
        p.SetNetAddr(3);
        p.SetEWrite(true);
    }
    std::string Sent(size_t i = 0) const { return i < port.requests.size() ? ToHex(port.requests[i].bytes) : "(none)"; }

    ScriptedPort port;
    TulvM4Protocol p;
};

// --- Request frames ---------------------------------------------------------

std::uint8_t rd[8];
std::uint8_t block[8] = {0x40, 0x00, 0x00, 0x40, 0x11, 0x22, 0x33, 0x44};
std::uint8_t params[8] = {1, 2, 3, 4, 5, 6, 7, 8};
std::uint8_t zeros[8] = {};

struct RequestCase {
    const char* name;
    std::uint8_t netAddr;
    std::function<void(TulvM4Protocol&)> call;
    const char* frame;
};

class RequestFrame : public M4, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrame, IsSentByteForByte)
{
    std::fill(std::begin(rd), std::end(rd), 0xEE); // reads send zeros whatever Data holds
    p.SetRepeatCount(1);
    p.SetNetAddr(GetParam().netAddr);
    GetParam().call(p);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(), GetParam().frame);
    EXPECT_EQ(port.requests[0].writeCalls, 14) << "sent one byte at a time";
    EXPECT_EQ(ToHex(Bytes(p.RequestBuffer().begin(), p.RequestBuffer().end())), GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, RequestFrame,
    ::testing::Values(
        RequestCase{"ReadMem", 1, [](TulvM4Protocol& p) { p.ReadMem(rd, 0x0150); },
                    "00 01 52 01 50 00 00 00 00 00 00 00 00 A4"},
        RequestCase{"ReadRamInt", 3, [](TulvM4Protocol& p) { p.ReadRamInt(rd, 0x0079); },
                    "00 03 4D 00 79 00 00 00 00 00 00 00 00 C9"},
        RequestCase{"ReadRamExt", 3, [](TulvM4Protocol& p) { p.ReadRamExt(rd, 0x044D); },
                    "00 03 47 04 4D 00 00 00 00 00 00 00 00 9B"},
        RequestCase{"WriteMem", 3, [](TulvM4Protocol& p) { p.WriteMem(block, 0x0148); },
                    "00 03 57 01 48 40 00 00 40 11 22 33 44 CD"},
        RequestCase{"WriteMemP", 3, [](TulvM4Protocol& p) { p.WriteMemP(block, 0x0148); },
                    "00 03 57 01 48 40 00 00 40 11 22 33 44 CD"},
        RequestCase{"ParameterDevice", 3, [](TulvM4Protocol& p) { p.ParameterDevice(params, 4, 0); },
                    "00 03 50 04 00 01 02 03 04 05 06 07 08 7B"},
        RequestCase{"SetDevice", 3, [](TulvM4Protocol& p) { p.SetDevice(zeros, 99, 0); },
                    "00 03 53 63 00 00 00 00 00 00 00 00 00 B9"},
        RequestCase{"WriteS", 3, [](TulvM4Protocol& p) { p.WriteS(5, 0); },
                    "00 03 53 05 00 00 00 00 00 00 00 00 00 5B"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Reply rules per operation ---------------------------------------------

enum class Reply { Good, WrongCode, WrongChecksum, WrongCodeAndChecksum };

struct ReplyCase {
    const char* name;
    char letter;
    std::function<void(TulvM4Protocol&, std::span<std::uint8_t, 8>)> call;
    Reply reply;
    ProtocolErrorCode error;
    bool copied;
};

class ReplyRules : public M4, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyRules, GiveTheOperationsOutcome)
{
    const auto& c = GetParam();
    p.SetRepeatCount(3);
    Bytes reply = Hex("00 03");
    const bool wrongCode = c.reply == Reply::WrongCode || c.reply == Reply::WrongCodeAndChecksum;
    reply.push_back(static_cast<std::uint8_t>(wrongCode ? c.letter : c.letter + 0x80)); // wrong: the letter echoed
    Bytes rest = Hex("01 50 11 22 33 44 55 66 77 88");
    reply.insert(reply.end(), rest.begin(), rest.end());
    std::uint8_t sum = 0;
    for (auto x : reply) sum = static_cast<std::uint8_t>(sum + x);
    const bool wrongSum = c.reply == Reply::WrongChecksum || c.reply == Reply::WrongCodeAndChecksum;
    reply.push_back(static_cast<std::uint8_t>(wrongSum ? sum + 1 : sum));
    port.QueueReply(reply);

    std::uint8_t d[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    c.call(p, d);
    EXPECT_EQ(p.LastError(), c.error);
    EXPECT_EQ(ToHex(Bytes(d, d + 8)), c.copied ? "11 22 33 44 55 66 77 88" : "EE EE EE EE EE EE EE EE");
    EXPECT_EQ(port.requests.size(), 1u) << "a complete reply ends the attempts, whatever it says";
}

const auto readRamInt = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.ReadRamInt(d, 0x0150); };
const auto readRamExt = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.ReadRamExt(d, 0x0150); };
const auto readMem = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.ReadMem(d, 0x0150); };
const auto parameterDevice = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.ParameterDevice(d, 1, 0x50); };
const auto setDevice = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.SetDevice(d, 1, 0x50); };
const auto writeMem = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.WriteMem(block, 0x0150); };
const auto writeMemP = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.WriteMemP(block, 0x0150); };
const auto writeS = [](TulvM4Protocol& p, std::span<std::uint8_t, 8> d) { p.WriteS(1, 0x50); };

INSTANTIATE_TEST_SUITE_P(
    Operations, ReplyRules,
    ::testing::Values(
        ReplyCase{"ReadRamIntCopiesAGoodReply", 'M', readRamInt, Reply::Good, 0, true},
        ReplyCase{"ReadRamIntRefusesAWrongCode", 'M', readRamInt, Reply::WrongCode, 7, false},
        ReplyCase{"ReadRamIntKeepsTheDataOfAWrongChecksum", 'M', readRamInt, Reply::WrongChecksum, 5, true},
        ReplyCase{"ReadRamIntChecksTheCodeFirst", 'M', readRamInt, Reply::WrongCodeAndChecksum, 7, false},
        ReplyCase{"ReadRamExtCopiesAGoodReply", 'G', readRamExt, Reply::Good, 0, true},
        ReplyCase{"ReadRamExtRefusesAWrongCode", 'G', readRamExt, Reply::WrongCode, 7, false},
        ReplyCase{"ReadRamExtKeepsTheDataOfAWrongChecksum", 'G', readRamExt, Reply::WrongChecksum, 5, true},
        ReplyCase{"ReadMemCopiesAGoodReply", 'R', readMem, Reply::Good, 0, true},
        ReplyCase{"ReadMemIgnoresAWrongCode", 'R', readMem, Reply::WrongCode, 0, false},
        ReplyCase{"ReadMemKeepsTheDataOfAWrongChecksum", 'R', readMem, Reply::WrongChecksum, 5, true},
        ReplyCase{"ParameterDeviceCopiesAGoodReply", 'P', parameterDevice, Reply::Good, 0, true},
        ReplyCase{"ParameterDeviceIgnoresAWrongCode", 'P', parameterDevice, Reply::WrongCode, 0, false},
        ReplyCase{"ParameterDeviceKeepsTheDataOfAWrongChecksum", 'P', parameterDevice, Reply::WrongChecksum, 5, true},
        ReplyCase{"SetDeviceCopiesAGoodReply", 'S', setDevice, Reply::Good, 0, true},
        ReplyCase{"SetDeviceIgnoresAWrongCode", 'S', setDevice, Reply::WrongCode, 0, false},
        ReplyCase{"SetDeviceKeepsTheDataOfAWrongChecksum", 'S', setDevice, Reply::WrongChecksum, 5, true},
        ReplyCase{"WriteMemAcceptsAGoodReply", 'W', writeMem, Reply::Good, 0, false},
        ReplyCase{"WriteMemDoesNotExamineTheCode", 'W', writeMem, Reply::WrongCode, 0, false},
        ReplyCase{"WriteMemRefusesAWrongChecksum", 'W', writeMem, Reply::WrongChecksum, 5, false},
        ReplyCase{"WriteMemPDoesNotExamineTheCode", 'W', writeMemP, Reply::WrongCode, 0, false},
        ReplyCase{"WriteMemPRefusesAWrongChecksum", 'W', writeMemP, Reply::WrongChecksum, 5, false},
        ReplyCase{"WriteSAcceptsAGoodReply", 'S', writeS, Reply::Good, 0, false},
        ReplyCase{"WriteSRefusesAWrongCode", 'S', writeS, Reply::WrongCode, 7, false},
        ReplyCase{"WriteSRefusesAWrongChecksum", 'S', writeS, Reply::WrongChecksum, 5, false},
        ReplyCase{"WriteSChecksTheCodeFirst", 'S', writeS, Reply::WrongCodeAndChecksum, 7, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(M4, ReplyIsTheNextFourteenBytesWithoutAStartSearch)
{
    // A noise byte before a good reply shifts it by one: the reply code lands
    // at offset 3 and offset 2 holds the address.
    p.SetRepeatCount(1);
    Bytes reply = Hex("FF");
    Bytes good = Frame("00 03 CD 00 79 41 80 00 C1 00 00 00 00");
    reply.insert(reply.end(), good.begin(), good.end());
    port.QueueReply(reply);
    std::uint8_t d[8] = {};
    p.ReadRamInt(d, 0x0079);
    EXPECT_EQ(p.LastError(), 7u);
    EXPECT_EQ(p.ReplyBuffer()[0], 0xFF);
    EXPECT_EQ(p.ReplyBuffer()[3], 0xCD);
    EXPECT_EQ(port.Pending(), 1u) << "the fifteenth byte is left for the next purge";
}

TEST_F(M4, ReplyBufferHoldsTheLastReply)
{
    const Bytes good = Frame("00 03 D2 01 50 47 C8 00 0F 00 00 00 00");
    port.QueueReply(good);
    std::uint8_t d[8] = {};
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(Bytes(p.ReplyBuffer().begin(), p.ReplyBuffer().end()), good);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "47 C8 00 0F"); // 100.0 as an M4 float
}

// --- Attempts and pauses on the virtual clock -------------------------------

TEST_F(M4, ALostReplyCostsTheFirstByteWaitAndAPausePerAttempt)
{
    // Per attempt: 11 polls 10 ms apart for the 100 ms packet timeout (110 ms),
    // then a 100 ms pause, after the last attempt as well.
    std::uint8_t d[8] = {0xEE};
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 2u);
    ASSERT_EQ(port.requests.size(), 3u);
    for (const auto& r : port.requests) EXPECT_EQ(r.writeCalls, 14);
    EXPECT_EQ(port.purges, 3) << "every attempt starts with a purge";
    EXPECT_EQ(port.readPolls, 33);
    EXPECT_EQ(port.clock.sleeps, (std::vector<std::uint32_t>{100, 100, 100}));
    EXPECT_EQ(port.clock.now, 630u);
    EXPECT_EQ(port.requests[1].time, 210u);
    EXPECT_EQ(port.requests[2].time, 420u);
    EXPECT_EQ(d[0], 0xEE);
}

TEST_F(M4, WriteSRepeatsWithoutPausing)
{
    p.WriteS(1, 1);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.requests.size(), 3u);
    EXPECT_TRUE(port.clock.sleeps.empty());
    EXPECT_EQ(port.clock.now, 330u);
}

TEST_F(M4, SetDeviceWaitsBetweenSendAndReceive)
{
    std::uint8_t d[8] = {};
    p.SetRepeatCount(2);
    p.SetDevice(d, 5, 0);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.clock.sleeps, (std::vector<std::uint32_t>{100, 100, 100, 100}));
    EXPECT_EQ(port.clock.now, 620u) << "per attempt: 100 ms pause, 110 ms wait, 100 ms pause";

    // A reply that is already there after the pause is taken at once.
    port.clock.Advance(1000); // the late reply's time has passed
    port.clock.sleeps.clear();
    const std::uint64_t start = port.clock.now;
    port.QueueReply(Frame("00 03 D3 05 00 00 00 00 00 00 00 00 00"), 20);
    p.SetDevice(d, 5, 0);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(port.clock.sleeps, std::vector<std::uint32_t>{100});
    EXPECT_EQ(port.clock.now - start, 100u);
}

TEST_F(M4, WaitsAreCountedInPolls)
{
    const Bytes good = Frame("00 03 D2 01 50 47 C8 00 0F 00 00 00 00");
    std::uint8_t d[8];
    p.SetRepeatCount(1);
    struct Timing {
        std::uint32_t delay, gap;
        ProtocolErrorCode error;
    };
    // No start delay: first byte by 100 ms (PacketTimeout), the others 30 ms apart (ByteTimeout).
    for (auto t : {Timing{100, 0, 0}, Timing{101, 0, 2}, Timing{0, 30, 0}, Timing{0, 31, 2}}) {
        port.QueueReply(good, t.delay, t.gap);
        p.ReadMem(d, 0x0150);
        EXPECT_EQ(p.LastError(), t.error) << "delay " << t.delay << " gap " << t.gap;
    }
}

TEST_F(M4, ASecondAttemptAfterAPauseSucceeds)
{
    // The first reply comes too late (at 115 ms); the purge of the second
    // attempt throws it away, and the second reply is taken.
    port.QueueSilence();
    port.InjectAt(115, Frame("00 03 D2 01 50 99 99 99 99 00 00 00 00"));
    port.QueueReply(Frame("00 03 D2 01 50 47 C8 00 0F 00 00 00 00"), 5);
    std::uint8_t d[8] = {};
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "47 C8 00 0F");
    EXPECT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(port.clock.sleeps, std::vector<std::uint32_t>{100});
}

TEST_F(M4, AVanishedDeviceEndsTheAttemptsAtOnce)
{
    port.HangUp();
    std::uint8_t d[8];
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.purges, 1);
    EXPECT_EQ(port.clock.now, 0u);
    EXPECT_TRUE(port.clock.sleeps.empty());
}

TEST_F(M4, AClosedPortIsNeitherCheckedNorOpened)
{
    port.opened = false;
    p.SetAutoOpenPort(true);
    p.SetRepeatCount(1);
    std::uint8_t d[8];
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 2u) << "the writes fail and the reply never comes";
    EXPECT_EQ(port.opens, 0);
    EXPECT_TRUE(port.requests.empty());
}

TEST(M4NoPort, AttemptsFailWithCodeTwo)
{
    TulvM4Protocol p;
    p.SetPacketTimeout(10); // the pauses run on the real clock
    std::uint8_t d[8] = {0xEE};
    p.ReadMem(d, 0x0150);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(d[0], 0xEE);
    p.SetEWrite(true);
    p.WriteS(1, 1);
    EXPECT_EQ(p.LastError(), 2u);
    p.SetComPort(nullptr); // ignored
    EXPECT_EQ(p.ComPort(), nullptr);
}

// --- Write gate ---------------------------------------------------------------

TEST_F(M4, WriteGateSuppressesWritesAsSuccess)
{
    p.SetEWrite(false);
    p.SetRepeatCount(1);
    std::uint8_t d[8];
    for (auto write : std::vector<std::function<void()>>{[&] { p.WriteMem(block, 0x0148); },
                                                         [&] { p.WriteMemP(block, 0x0148); },
                                                         [&] { p.WriteS(1, 1); }}) {
        p.ReadMem(d, 0); // leaves code 2
        ASSERT_EQ(p.LastError(), 2u);
        const size_t before = port.requests.size();
        write();
        EXPECT_EQ(port.requests.size(), before) << "nothing sent";
        EXPECT_EQ(p.LastError(), 0u);
    }
    // The setting command with data is not gated.
    port.QueueReply(Frame("00 03 D3 05 00 00 00 00 00 00 00 00 00"));
    p.SetDevice(d, 5, 0);
    EXPECT_EQ(port.requests.size(), 4u);
    EXPECT_EQ(p.LastError(), 0u);
}

// --- Setters ------------------------------------------------------------------

TEST(M4Setters, KeepOnlyValidValues)
{
    TulvM4Protocol p;
    EXPECT_EQ(p.RepeatCount(), 3);
    EXPECT_EQ(p.PacketTimeout(), 100u);
    EXPECT_EQ(p.ByteTimeout(), 30u);
    EXPECT_EQ(p.NetAddr(), 0);
    EXPECT_FALSE(p.EWrite());
    EXPECT_FALSE(p.AutoOpenPort());
    p.SetPacketTimeout(15);
    EXPECT_EQ(p.PacketTimeout(), 10u);
    p.SetPacketTimeout(5);
    EXPECT_EQ(p.PacketTimeout(), 10u);
    p.SetPacketTimeout(10000);
    EXPECT_EQ(p.PacketTimeout(), 10u);
    p.SetPacketTimeout(9999);
    EXPECT_EQ(p.PacketTimeout(), 9990u);
    p.SetByteTimeout(2995);
    EXPECT_EQ(p.ByteTimeout(), 2990u);
    p.SetByteTimeout(3000);
    EXPECT_EQ(p.ByteTimeout(), 2990u);
    p.SetByteTimeout(9);
    EXPECT_EQ(p.ByteTimeout(), 2990u);
    p.SetNetAddr(128);
    EXPECT_EQ(p.NetAddr(), 0);
    p.SetNetAddr(127);
    EXPECT_EQ(p.NetAddr(), 127);
    p.SetRepeatCount(0);
    p.SetRepeatCount(25);
    EXPECT_EQ(p.RepeatCount(), 3);
    p.SetRepeatCount(24);
    EXPECT_EQ(p.RepeatCount(), 24);
}

} // namespace
