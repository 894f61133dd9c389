// ModBus RTU on the scripted port: request frames byte for byte, the reply
// lengths per function code, CRC, exception replies, what is copied, the
// identification text, attempts and timing, the write gate, port checks and
// setters.
//
// Golden frames: CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF, low
// byte first) worked with the bitwise algorithm, which gives the check value
// 0x4B37 for "123456789". 01 03 00 00 00 02 C4 0B and 01 03 00 00 00 0A C5 CD
// are the common textbook reads of two and ten registers from slave 1;
// 11 10 00 01 00 02 04 00 0A 01 02 C6 F0 the textbook write of two registers to
// slave 17; 01 83 02 C0 F1 the textbook "illegal data address" exception; the
// CRC of 01 11 is 0x2CC0.
#include "ScriptedPort.h"
#include "UlvModBusProtocol.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A frame with its CRC appended, low byte first.
Bytes WithCrc(const std::string& hex)
{
    Bytes b = Hex(hex);
    const std::uint16_t crc = Crc16Update(0xFFFF, b.data(), static_cast<int>(b.size()));
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    return b;
}

Bytes BadCrc(Bytes b)
{
    b.back() ^= 0x01;
    return b;
}

class ModBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        p.SetComPort(&port);
        p.SetNetAddr(1);
        p.SetEWrite(true);
    }
    std::string Sent(size_t i = 0) const { return i < port.requests.size() ? ToHex(port.requests[i].bytes) : "(none)"; }

    ScriptedPort port;
    TulvModBusProtocol p;
};

TEST(ModBusFrames, CrcIsTheModBusCrc)
{
    const std::string digits = "123456789";
    EXPECT_EQ(FrameModBus::Crc(reinterpret_cast<const std::uint8_t*>(digits.data()), 9), 0x4B37);
    std::uint8_t f[4] = {0x01, 0x11};
    EXPECT_EQ(FrameModBus::AppendCrc(f, 2), 4);
    EXPECT_EQ(ToHex(Bytes(f, f + 4)), "01 11 C0 2C");
    EXPECT_TRUE(FrameModBus::CrcOk(f, 4));
    std::swap(f[2], f[3]);
    EXPECT_FALSE(FrameModBus::CrcOk(f, 4)) << "the CRC travels low byte first";
}

// --- Request frames ---------------------------------------------------------

struct RequestCase {
    const char* name;
    std::uint8_t netAddr;
    std::function<void(TulvModBusProtocol&)> call;
    const char* frame;
};

class RequestFrame : public ModBus, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrame, IsSentByteForByte)
{
    p.SetRepeatCount(1);
    p.SetNetAddr(GetParam().netAddr);
    GetParam().call(p);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(), GetParam().frame);
    EXPECT_EQ(port.requests[0].writeCalls, static_cast<int>(port.requests[0].bytes.size()))
        << "sent one byte at a time";
}

std::uint8_t regs[256];
const std::uint8_t twoRegs[4] = {0x00, 0x0A, 0x01, 0x02};
const std::uint8_t k0[2] = {0xFF, 0xFD};

INSTANTIATE_TEST_SUITE_P(
    Functions, RequestFrame,
    ::testing::Values(
        RequestCase{"GetDevID", 1, [](TulvModBusProtocol& p) { std::string s; p.GetDevID(s); }, "01 11 C0 2C"},
        RequestCase{"ReadTwoRegisters", 1, [](TulvModBusProtocol& p) { p.ReadHoldingRegisters(0, 2, regs); },
                    "01 03 00 00 00 02 C4 0B"},
        RequestCase{"ReadTenRegisters", 1, [](TulvModBusProtocol& p) { p.ReadHoldingRegisters(0, 10, regs); },
                    "01 03 00 00 00 0A C5 CD"},
        RequestCase{"WriteTwoRegisters", 17,
                    [](TulvModBusProtocol& p) { p.WriteMultipleRegisters(1, 2, twoRegs); },
                    "11 10 00 01 00 02 04 00 0A 01 02 C6 F0"},
        // K0 = -3 into register 370 = 0x0172
        RequestCase{"WriteOneRegister", 1, [](TulvModBusProtocol& p) { p.WriteMultipleRegisters(370, 1, k0); },
                    "01 10 01 72 00 01 02 FF FD 3C 33"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModBus, TheLargestWriteFillsA255ByteFrame)
{
    p.SetRepeatCount(1);
    std::uint8_t data[246];
    for (int i = 0; i < 246; ++i) data[i] = static_cast<std::uint8_t>(i);
    p.WriteMultipleRegisters(0x0100, 123, data);
    ASSERT_EQ(port.requests.size(), 1u);
    const Bytes& f = port.requests[0].bytes;
    ASSERT_EQ(f.size(), 255u);
    EXPECT_EQ(ToHex(Bytes(f.begin(), f.begin() + 7)), "01 10 01 00 00 7B F6");
    EXPECT_EQ(Bytes(f.begin() + 7, f.end() - 2), Bytes(data, data + 246));
    EXPECT_TRUE(FrameModBus::CrcOk(f.data(), 255));
}

TEST_F(ModBus, OversizeArgumentsAreProgrammingErrors)
{
    std::uint8_t data[248] = {};
    EXPECT_THROW(p.WriteMultipleRegisters(0, 124, data), std::invalid_argument);
    EXPECT_THROW(p.WriteMultipleRegisters(0, 3, std::span<const std::uint8_t>(data, 5)), std::invalid_argument);
    EXPECT_TRUE(port.requests.empty());
}

// --- Reading registers --------------------------------------------------------

struct ReadCase {
    const char* name;
    std::vector<Bytes> replies; // one per attempt; empty is silence
    ProtocolErrorCode error;
    size_t attempts;
};

class ReadReplies : public ModBus, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadReplies, GiveTheRightOutcome)
{
    p.SetRepeatCount(3);
    for (const auto& r : GetParam().replies) port.QueueReply(r);
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const bool ok = p.ReadHoldingRegisters(0x012B, 2, d);
    EXPECT_EQ(ok, GetParam().error == 0);
    EXPECT_EQ(p.LastError(), GetParam().error);
    EXPECT_EQ(port.requests.size(), GetParam().attempts);
    if (ok)
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "41 20 00 00");
    else
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "EE EE EE EE") << "a failed read copies nothing";
}

const Bytes goodRead = Hex("01 03 04 41 20 00 00 EF C5");

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadReplies,
    ::testing::Values(
        ReadCase{"CopiesTheRegisterBytes", {goodRead}, 0, 1},
        ReadCase{"AcceptsAReplyFromAnotherAddress", {WithCrc("07 03 04 41 20 00 00")}, 0, 1},
        ReadCase{"RefusesAWrongCrc", {BadCrc(goodRead), BadCrc(goodRead), BadCrc(goodRead)}, 5, 3},
        ReadCase{"RetriesAfterAWrongCrc", {BadCrc(goodRead), goodRead}, 0, 2},
        ReadCase{"RefusesAnExceptionWithoutRepeating", {Hex("01 83 02 C0 F1")}, 7, 1},
        ReadCase{"RefusesFewerBytesThanAsked", {WithCrc("01 03 02 12 34")}, 3, 1},
        ReadCase{"RefusesMoreBytesThanAsked", {WithCrc("01 03 06 41 20 00 00 05 06")}, 3, 1},
        ReadCase{"RefusesAnOddByteCount", {WithCrc("01 03 03 41 20 00")}, 3, 1},
        // A function-16 reply is 8 bytes; its byte 2 is no byte count.
        ReadCase{"RefusesAReplyOfAnotherLayout", {WithCrc("01 10 04 41 20 00")}, 3, 1},
        ReadCase{"TimesOutOnATruncatedReply", {Hex("01 03 04 41 20"), {}, {}}, 2, 3},
        ReadCase{"TimesOutOnSilence", {{}, {}, {}}, 2, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModBus, ReadRefusesMoreThanTheBufferHolds)
{
    port.QueueReply(WithCrc("01 03 08 01 02 03 04 05 06 07 08"));
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_FALSE(p.ReadHoldingRegisters(0, 4, d));
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "EE EE EE EE");
}

TEST_F(ModBus, AWrongCrcIsFollowedByAPurge)
{
    // Two stray bytes after the bad reply would become the start of the next
    // reply if the next attempt did not begin with a purge.
    p.SetRepeatCount(2);
    Bytes first = BadCrc(goodRead);
    first.push_back(0x01);
    first.push_back(0x03);
    port.QueueReply(first);
    port.QueueReply(goodRead, 5);
    std::uint8_t d[4] = {};
    EXPECT_TRUE(p.ReadHoldingRegisters(0x012B, 2, d));
    EXPECT_EQ(port.purges, 2);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "41 20 00 00");
}

TEST_F(ModBus, ReplyBufferKeepsAnExceptionCode)
{
    port.QueueReply(Hex("01 83 02 C0 F1"));
    std::uint8_t d[4];
    EXPECT_FALSE(p.ReadHoldingRegisters(0x2000, 2, d));
    EXPECT_EQ(p.ReplyLength(), 5);
    EXPECT_EQ(p.ReplyBuffer()[1], 0x83);
    EXPECT_EQ(p.ReplyBuffer()[2], 0x02);
}

// --- Writing registers --------------------------------------------------------

TEST_F(ModBus, WriteReplies)
{
    const std::uint8_t value[4] = {0x41, 0x20, 0x00, 0x00};
    port.QueueReply(WithCrc("01 10 01 2B 00 02"));
    EXPECT_TRUE(p.WriteMultipleRegisters(0x012B, 2, value));
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(p.ReplyLength(), 8);

    port.QueueReply(WithCrc("01 90 04"));
    EXPECT_FALSE(p.WriteMultipleRegisters(0x012B, 2, value));
    EXPECT_EQ(p.LastError(), 7u);
    EXPECT_EQ(port.requests.size(), 2u) << "an exception is an answer: not repeated";

    p.SetRepeatCount(2);
    port.QueueReply(BadCrc(WithCrc("01 10 01 2B 00 02")));
    port.QueueReply(BadCrc(WithCrc("01 10 01 2B 00 02")));
    EXPECT_FALSE(p.WriteMultipleRegisters(0x012B, 2, value));
    EXPECT_EQ(p.LastError(), 5u);
}

TEST_F(ModBus, WriteGateSuppressesWritesAsSuccess)
{
    p.SetRepeatCount(1);
    std::uint8_t d[4];
    p.ReadHoldingRegisters(0, 2, d);
    ASSERT_EQ(p.LastError(), 2u);
    p.SetEWrite(false);
    EXPECT_TRUE(p.WriteMultipleRegisters(0, 2, twoRegs));
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(port.requests.size(), 1u) << "only the read went out";
}

// --- Identification -------------------------------------------------------------

struct TextCase {
    const char* name;
    const char* textBytes;
    const char* text;
};

class DevIdText : public ModBus, public ::testing::WithParamInterface<TextCase> {};

TEST_P(DevIdText, KeepsTheBytesAbove0x14)
{
    const Bytes text = Hex(GetParam().textBytes);
    Bytes reply = {0x01, 0x11, static_cast<std::uint8_t>(text.size() + 1), static_cast<std::uint8_t>(text.size())};
    reply.insert(reply.end(), text.begin(), text.end());
    const std::uint16_t crc = Crc16Update(0xFFFF, reply.data(), static_cast<int>(reply.size()));
    reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<std::uint8_t>(crc >> 8));
    port.QueueReply(reply);
    std::string s = "old";
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(s, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DevIdText,
    ::testing::Values(TextCase{"PlainText", "4B 56 54 2D 31 30", "KVT-10"},
                      TextCase{"ACarriageReturnIsSkipped", "4B 56 54 0D 31 30", "KVT10"},
                      TextCase{"EveryByteUpTo0x14IsSkipped", "00 01 14 41 15 42", "A\x15" "B"},
                      TextCase{"CyrillicIsDecoded", "CA C2 D2", "КВТ"},
                      TextCase{"AnEmptyText", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModBus, TheByteBeforeTheTextLengthIsNotUsed)
{
    // Only byte 3 tells the length: a receiver that took byte 2 as a count
    // would wait for 260 bytes here.
    port.QueueReply(WithCrc("01 11 FF 03 4B 56 54"));
    std::string s;
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(s, "KVT");
    EXPECT_EQ(p.ReplyLength(), 9);
}

TEST_F(ModBus, GetDevIdFailures)
{
    std::string s = "old";
    p.SetRepeatCount(1);

    port.QueueReply(BadCrc(WithCrc("01 11 04 03 4B 56 54")));
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 5u);
    EXPECT_EQ(s, "");

    s = "old";
    port.QueueReply(WithCrc("01 91 01"));
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 7u);
    EXPECT_EQ(s, "");

    // A register reply's byte 3 is no text length: its "text" would run past the frame.
    s = "old";
    port.QueueReply(WithCrc("01 03 02 12 34"));
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(s, "");
}

TEST_F(ModBus, GetDevIdChecksAndOpensThePort)
{
    std::string s = "keep";
    port.opened = false;
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 6u);
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(port.opens, 0);

    p.SetAutoOpenPort(true);
    port.openSucceeds = false;
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 6u);
    EXPECT_EQ(port.opens, 1);
    EXPECT_TRUE(port.requests.empty());

    port.openSucceeds = true;
    port.QueueReply(WithCrc("01 11 03 02 4B 56"));
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(s, "KV");
    EXPECT_TRUE(port.opened);
}

TEST_F(ModBus, RegisterOperationsNeitherCheckNorOpenThePort)
{
    port.opened = false;
    p.SetAutoOpenPort(true);
    p.SetRepeatCount(2);
    std::uint8_t d[4];
    EXPECT_FALSE(p.ReadHoldingRegisters(0, 2, d));
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_FALSE(p.WriteMultipleRegisters(0, 2, twoRegs));
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.opens, 0);
    EXPECT_TRUE(port.requests.empty());
}

TEST(ModBusNoPort, EveryOperationReportsCodeOne)
{
    TulvModBusProtocol p;
    p.SetEWrite(true);
    std::uint8_t d[4];
    EXPECT_FALSE(p.ReadHoldingRegisters(0, 2, d));
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_FALSE(p.WriteMultipleRegisters(0, 2, twoRegs));
    EXPECT_EQ(p.LastError(), 1u);
    std::string s = "keep";
    p.GetDevID(s);
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_EQ(s, "keep");
    p.SetComPort(nullptr); // ignored
    EXPECT_EQ(p.ComPort(), nullptr);
}

// --- Attempts and timing --------------------------------------------------------

TEST_F(ModBus, AttemptsFollowEachOtherWithoutAPause)
{
    // Per attempt: a 10 ms start delay, then 31 polls 10 ms apart for the
    // 300 ms packet timeout.
    std::uint8_t d[4];
    EXPECT_FALSE(p.ReadHoldingRegisters(0, 2, d));
    EXPECT_EQ(p.LastError(), 2u);
    ASSERT_EQ(port.requests.size(), 3u);
    EXPECT_EQ(port.purges, 3);
    EXPECT_EQ(port.readPolls, 93);
    EXPECT_EQ(port.clock.sleeps, (std::vector<std::uint32_t>{10, 10, 10}));
    EXPECT_EQ(port.requests[1].time, 320u);
    EXPECT_EQ(port.requests[2].time, 640u);
    EXPECT_EQ(port.clock.now, 960u);
}

TEST_F(ModBus, WaitsAreCountedInPolls)
{
    std::uint8_t d[4];
    p.SetRepeatCount(1);
    struct Timing {
        std::uint32_t delay, gap;
        ProtocolErrorCode error;
    };
    // After the 10 ms start delay, the first byte by 310 ms, the others 40 ms apart.
    for (auto t : {Timing{310, 0, 0}, Timing{311, 0, 2}, Timing{0, 40, 0}, Timing{0, 41, 2}}) {
        port.QueueReply(goodRead, t.delay, t.gap);
        p.ReadHoldingRegisters(0x012B, 2, d);
        EXPECT_EQ(p.LastError(), t.error) << "delay " << t.delay << " gap " << t.gap;
    }
}

TEST_F(ModBus, AVanishedDeviceEndsTheAttemptsAtOnce)
{
    port.HangUp();
    std::uint8_t d[4];
    EXPECT_FALSE(p.ReadHoldingRegisters(0, 2, d));
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.purges, 1);
    EXPECT_LE(port.clock.now, 10u);
}

// --- Setters --------------------------------------------------------------------

TEST(ModBusSetters, KeepOnlyValidValues)
{
    TulvModBusProtocol p;
    EXPECT_EQ(p.RepeatCount(), 3);
    EXPECT_EQ(p.PacketTimeout(), 300u);
    EXPECT_EQ(p.ByteTimeout(), 40u);
    EXPECT_EQ(p.NetAddr(), 0);
    EXPECT_FALSE(p.EWrite());
    EXPECT_FALSE(p.AutoOpenPort());
    p.SetPacketTimeout(15);
    EXPECT_EQ(p.PacketTimeout(), 10u);
    p.SetPacketTimeout(5);
    EXPECT_EQ(p.PacketTimeout(), 10u);
    p.SetPacketTimeout(9999);
    EXPECT_EQ(p.PacketTimeout(), 9990u);
    p.SetPacketTimeout(10000);
    EXPECT_EQ(p.PacketTimeout(), 9990u);
    p.SetByteTimeout(2995);
    EXPECT_EQ(p.ByteTimeout(), 2990u);
    p.SetByteTimeout(3000);
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
    p.SetDeviceType(17);
    EXPECT_EQ(p.DeviceType(), 17u);
    p.SetDeviceType(18);
    EXPECT_EQ(p.DeviceType(), 0u);
}

} // namespace
