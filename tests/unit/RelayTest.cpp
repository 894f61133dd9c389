// The relay sub-protocol (meters addressed by serial number) and the
// verification-mode commands on the scripted port: request frames byte for
// byte, broadcasts that read nothing, reply handling, the copy-back rules, the
// port checks that apply (and those that do not), repeats and timing.
//
// Golden frames: checksums worked by hand as the complement of the byte sum.
// Serial number 44412345 = 0x02A5ADB9, sent B9 AD A5 02; the broadcast address
// 44400000 = 0x02A57D80, sent 80 7D A5 02. For example GetDevID:
// 55 + B9 + AD + A5 + 02 = 0x262, low byte 0x62, complement 0x9D; the start of
// verification mode: 55 80 7D A5 02 31 7A 00 sums to 0x2A4, complement 0x5B.
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A frame with its checksum appended (the complement of the byte sum).
Bytes Frame(const std::string& hex)
{
    Bytes b = Hex(hex);
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

// A relay reply from 44412345 carrying the given data bytes.
Bytes RelayReply(const std::string& groupCommand, const Bytes& data)
{
    Bytes b = Hex("AA B9 AD A5 02 " + groupCommand);
    b.push_back(static_cast<std::uint8_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

class Relay : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.opened = true;
        p.SetComPort(&port);
        p.SetNetAddr(3);
        p.SetGZU_NetAddr(44412345);
    }
    std::string Sent(size_t i = 0) const { return i < port.requests.size() ? ToHex(port.requests[i].bytes) : "(none)"; }

    ScriptedPort port;
    Tulv6xProtocol p;
};

// --- Request frames ---------------------------------------------------------

struct RequestCase {
    const char* name;
    std::function<void(Tulv6xProtocol&)> call;
    const char* frame;
    bool byteByByte; // relay frames go out one byte per write, 6x frames in one write
};

class RequestFrame : public Relay, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrame, IsSentByteForByte)
{
    p.SetRepeatCount(1);
    port.QueueSilence();
    GetParam().call(p);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(), GetParam().frame);
    const int bytes = static_cast<int>(port.requests[0].bytes.size());
    EXPECT_EQ(port.requests[0].writeCalls, GetParam().byteByByte ? bytes : 1);
}

std::uint8_t buf[256];
std::uint8_t one[4] = {0x3F, 0x80, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestFrame,
    ::testing::Values(
        RequestCase{"GZU_GetDevID", [](Tulv6xProtocol& p) { std::string s; p.GZU_GetDevID(s); },
                    "55 B9 AD A5 02 00 00 00 9D", true},
        RequestCase{"GZU_GetDevPOver", [](Tulv6xProtocol& p) { std::string s; p.GZU_GetDevPOver(s); },
                    "55 B9 AD A5 02 00 01 00 9C", true},
        RequestCase{"GZU_GetSoftSubVer", [](Tulv6xProtocol& p) { std::string s; p.GZU_GetSoftSubVer(s); },
                    "55 B9 AD A5 02 00 03 00 9A", true},
        RequestCase{"GZU_ReadRtc2k", [](Tulv6xProtocol& p) { p.GZU_ReadRtc2k(0x0124, buf, 4); },
                    "55 B9 AD A5 02 0F 01 03 01 24 04 61", true},
        RequestCase{"GZU_ReadRam", [](Tulv6xProtocol& p) { p.GZU_ReadRam(0x00A0, buf, 4); },
                    "55 B9 AD A5 02 0C 01 03 00 A0 04 E9", true},
        RequestCase{"GZU_WriteRtc2k", [](Tulv6xProtocol& p) { p.GZU_WriteRtc2k(0x0020, one, 4); },
                    "55 B9 AD A5 02 0F 81 06 00 20 3F 80 00 00 28", true},
        RequestCase{"GZU_Write_Rtc2k_new", [](Tulv6xProtocol& p) { p.GZU_Write_Rtc2k_new(0x0700, one, 4); },
                    "55 B9 AD A5 02 0A 42 06 07 00 3F 80 00 00 85", true},
        RequestCase{"GZU_ResetClbTable", [](Tulv6xProtocol& p) { p.GZU_ResetClbTable(); },
                    "55 B9 AD A5 02 0F 64 00 2A", true},
        RequestCase{"KU_StartAmpClb", [](Tulv6xProtocol& p) { p.KU_StartAmpClb(); }, "55 03 FC 21 01 00 89", false},
        RequestCase{"KU_StopAmpClb", [](Tulv6xProtocol& p) { p.KU_StopAmpClb(); }, "55 03 FC 21 02 00 88", false},
        RequestCase{"KU_SetAmpClbFHL", [](Tulv6xProtocol& p) { p.KU_SetAmpClbFHL(0x12, 0x34); },
                    "55 03 FC 21 03 02 12 34 3F", false},
        RequestCase{"KU_SetAmpClbPoint", [](Tulv6xProtocol& p) { p.KU_SetAmpClbPoint(5); },
                    "55 03 FC 21 04 01 05 80", false},
        RequestCase{"KU_StartAmpClbMeasure", [](Tulv6xProtocol& p) { p.KU_StartAmpClbMeasure(); },
                    "55 03 FC 21 05 00 85", false},
        RequestCase{"KU_StopAmpClbMeasure", [](Tulv6xProtocol& p) { p.KU_StopAmpClbMeasure(); },
                    "55 03 FC 21 06 00 84", false},
        RequestCase{"KU_IsAmpClb_Started", [](Tulv6xProtocol& p) { p.KU_IsAmpClb_Started(); },
                    "55 03 FC 22 01 00 88", false},
        RequestCase{"KU_IsAmpClbFHL_Setuped", [](Tulv6xProtocol& p) { p.KU_IsAmpClbFHL_Setuped(); },
                    "55 03 FC 22 03 00 86", false},
        RequestCase{"KU_IsAmpClbPoint_Setuped", [](Tulv6xProtocol& p) { p.KU_IsAmpClbPoint_Setuped(); },
                    "55 03 FC 22 04 00 85", false},
        RequestCase{"KU_IsAmpClbMeasure_Started", [](Tulv6xProtocol& p) { p.KU_IsAmpClbMeasure_Started(); },
                    "55 03 FC 22 05 00 84", false},
        RequestCase{"KU_ResetK", [](Tulv6xProtocol& p) { p.KU_ResetK(); }, "55 03 FC 0F 64 00 38", false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Broadcasts and mode switches: sent once, nothing read -----------------

class Broadcast : public Relay, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(Broadcast, IsSentOnceAndReadsNothing)
{
    p.SetRepeatCount(5);
    p.SetPacketTimeout(20); // a previous failure leaves code 2
    port.QueueSilence();
    std::string s;
    p.GZU_GetDevID(s);
    ASSERT_EQ(p.LastError(), 2u);
    port.clock.Advance(1000); // the late reply's time has passed
    port.requests.clear();
    port.readPolls = 0;
    const std::uint64_t start = port.clock.now;

    GetParam().call(p);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(), GetParam().frame);
    EXPECT_EQ(port.requests[0].writeCalls, GetParam().byteByByte ? 9 : 1);
    EXPECT_EQ(port.readPolls, 0) << "no reply is awaited";
    EXPECT_EQ(port.clock.now, start) << "no start delay, no wait";
    EXPECT_EQ(p.LastError(), 0u) << "a sent broadcast is a success";
    EXPECT_EQ(p.NetAddr(), 3);
    EXPECT_EQ(p.GZU_NetAddr(), 44412345u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Broadcast,
    ::testing::Values(
        RequestCase{"GZU_StartPoverka", [](Tulv6xProtocol& p) { p.GZU_StartPoverka(); },
                    "55 80 7D A5 02 31 7A 00 5B", true},
        RequestCase{"GZU_StopPoverka", [](Tulv6xProtocol& p) { p.GZU_StopPoverka(); },
                    "55 80 7D A5 02 A8 53 00 0B", true},
        // 55 + 00 + FF + 31 + 7A = 0x1FF: complement of 0xFF is 00
        RequestCase{"KU_StartPoverka", [](Tulv6xProtocol& p) { p.KU_StartPoverka(); }, "55 00 FF 31 7A 00 00", false},
        RequestCase{"KU_StopPoverka", [](Tulv6xProtocol& p) { p.KU_StopPoverka(); }, "55 00 FF A8 53 00 B0", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Relay, AModeSwitchToAddressZeroLeavesTheNextFrameToNetAddr)
{
    p.KU_StartPoverka();
    port.QueueReply(Frame("AA 03 FC 21 01 01 01"));
    EXPECT_TRUE(p.KU_StartAmpClb());
    ASSERT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(Sent(1), "55 03 FC 21 01 00 89");
}

TEST_F(Relay, AFailedBroadcastWriteShowsAsCodeOne)
{
    port.writesBeforeFailure = 3;
    p.GZU_StartPoverka();
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_EQ(Sent(), "55 80 7D") << "the send stops at the first failed byte";

    ScriptedPort fresh;
    fresh.opened = true;
    fresh.writesBeforeFailure = 0;
    p.SetComPort(&fresh);
    p.KU_StopPoverka();
    EXPECT_EQ(p.LastError(), 1u);
}

// --- Replies ----------------------------------------------------------------

struct ReplyCase {
    const char* name;
    std::vector<Bytes> replies; // one per attempt; empty is silence
    ProtocolErrorCode error;
    size_t attempts;
};

class ReplyHandling : public Relay, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyHandling, GivesTheRightOutcome)
{
    p.SetRepeatCount(3);
    for (const auto& r : GetParam().replies) port.QueueReply(r);
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    p.GZU_ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), GetParam().error);
    EXPECT_EQ(port.requests.size(), GetParam().attempts);
    if (GetParam().error == 0)
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "11 22 33 44");
    else
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "EE EE EE EE") << "a failed read leaves the buffer untouched";
}

const Bytes good = RelayReply("0F 01", Hex("11 22 33 44"));
Bytes Corrupt(Bytes b)
{
    b.back() ^= 0x01;
    return b;
}
Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Truncated(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReplyHandling,
    ::testing::Values(
        ReplyCase{"AcceptsAWellFormedReply", {good}, 0, 1},
        ReplyCase{"AcceptsNoiseBeforeTheStartByte", {Cat(Hex("01 55 FF"), good)}, 0, 1},
        ReplyCase{"IgnoresTheReplysAddressAndCommandBytes",
                  {Frame("AA 00 00 00 00 77 66 04 11 22 33 44")}, 0, 1},
        ReplyCase{"RefusesAWrongChecksum", {Corrupt(good), Corrupt(good), Corrupt(good)}, 5, 3},
        ReplyCase{"RetriesAfterABadChecksum", {Corrupt(good), good}, 0, 2},
        ReplyCase{"TimesOutOnATruncatedReply", {Truncated(good, 9), {}, {}}, 2, 3},
        ReplyCase{"TimesOutOnSilence", {{}, {}, {}}, 2, 3},
        // N = 247 would make a 256-byte frame
        ReplyCase{"RefusesALengthOf247",
                  {Hex("AA B9 AD A5 02 0F 01 F7"), Hex("AA B9 AD A5 02 0F 01 F7"), Hex("AA B9 AD A5 02 0F 01 F7")},
                  3, 3},
        ReplyCase{"RefusesALengthOf255",
                  {Hex("AA B9 AD A5 02 0F 01 FF"), Hex("AA B9 AD A5 02 0F 01 FF"), Hex("AA B9 AD A5 02 0F 01 FF")},
                  3, 3},
        ReplyCase{"RefusesMoreDataThanTheBufferHolds", {RelayReply("0F 01", Hex("11 22 33 44 55"))}, 3, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Relay, ALengthRefusalPurgesWhatIsLeftOfTheFrame)
{
    p.SetRepeatCount(1);
    Bytes reply = Hex("AA B9 AD A5 02 0F 01 F7");
    reply.resize(reply.size() + 248, 0x5A);
    port.QueueReply(reply);
    std::uint8_t d[256];
    p.GZU_ReadRtc2k(0, d, 247);
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(port.purges, 2) << "one purge before the send, one at the refusal";
    EXPECT_EQ(port.Pending(), 0u);
}

TEST_F(Relay, TheLongestFrameIsAccepted)
{
    // N = 246: 255 bytes, the checksum in the last byte of the frame.
    Bytes data(246);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    port.QueueReply(RelayReply("0F 01", data));
    std::uint8_t d[246] = {};
    p.GZU_ReadRtc2k(0, d, 246);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(Bytes(d, d + 246), data);
}

TEST_F(Relay, ReadsCopyTheReplyDataAsTheMeterSendsIt)
{
    // The relay read takes whatever the meter sends, as long as it fits.
    port.QueueReply(RelayReply("0C 01", Hex("AB CD")));
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    p.GZU_ReadRam(0x00A0, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "AB CD EE EE");
}

struct CopyBackCase {
    const char* name;
    size_t buffer;      // Data size (= Count)
    size_t replyData;   // N of the reply
    size_t copied;      // bytes that come back into Data
};

class WriteRtc2kCopyBack : public Relay, public ::testing::WithParamInterface<CopyBackCase> {};

TEST_P(WriteRtc2kCopyBack, CopiesAtMostEightBytesAndNeverPastTheBuffer)
{
    const auto& c = GetParam();
    Bytes reply(c.replyData);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(0xA0 + i);
    port.QueueReply(RelayReply("0F 81", reply));
    Bytes d(c.buffer, 0x11);
    p.GZU_WriteRtc2k(0x0020, d, static_cast<std::uint8_t>(c.buffer));
    EXPECT_EQ(p.LastError(), 0u);
    for (size_t i = 0; i < c.buffer; ++i)
        EXPECT_EQ(d[i], i < c.copied ? 0xA0 + i : 0x11) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteRtc2kCopyBack,
                         ::testing::Values(CopyBackCase{"TwelveReplyBytesIntoSixteen", 16, 12, 8},
                                           CopyBackCase{"TwelveReplyBytesIntoFour", 4, 12, 4},
                                           CopyBackCase{"ThreeReplyBytesIntoSixteen", 16, 3, 3},
                                           CopyBackCase{"NoReplyBytes", 8, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Relay, NewWriteCopiesTheWholeReplyOrNothing)
{
    port.QueueReply(RelayReply("0A 42", Hex("01 02 03 04")));
    std::uint8_t d[4] = {0x3F, 0x80, 0x00, 0x00};
    p.GZU_Write_Rtc2k_new(0x0700, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "01 02 03 04");

    port.QueueReply(RelayReply("0A 42", Hex("05 06 07 08 09")));
    p.GZU_Write_Rtc2k_new(0x0700, d, 4);
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "01 02 03 04");
}

TEST_F(Relay, TextsAreDecodedAndEmptiedOnFailure)
{
    std::string s = "old";
    port.QueueReply(RelayReply("00 00", Hex("CA C2 D2 2D 31 30")));
    p.GZU_GetDevID(s);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(s, "КВТ-10");

    p.SetRepeatCount(1);
    port.QueueSilence();
    p.GZU_GetDevPOver(s);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(s, "");

    s = "old";
    port.QueueReply(RelayReply("00 03", {}));
    p.GZU_GetSoftSubVer(s);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(s, "");
}

// --- Port checks and the write gate -----------------------------------------

TEST_F(Relay, RelayCommandsIgnoreEWriteAndThePortCheck)
{
    p.SetEWrite(false);
    port.QueueReply(RelayReply("0F 81", Hex("3F 80 00 00")));
    p.GZU_WriteRtc2k(0x0020, one, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(port.requests.size(), 1u) << "the relay write goes out with writing disabled";
    port.QueueReply(RelayReply("0A 42", {}));
    p.GZU_Write_Rtc2k_new(0x0700, one, 4);
    port.QueueReply(RelayReply("0F 64", {}));
    p.GZU_ResetClbTable();
    EXPECT_EQ(port.requests.size(), 3u);

    // A closed port is neither opened nor refused: the writes fail, the waits time out.
    port.opened = false;
    p.SetAutoOpenPort(true);
    p.SetRepeatCount(2);
    std::string s = "old";
    p.GZU_GetDevID(s);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(s, "");
    EXPECT_EQ(port.opens, 0);
    EXPECT_EQ(port.requests.size(), 3u);
    p.GZU_StartPoverka();
    EXPECT_EQ(p.LastError(), 1u);
}

TEST_F(Relay, VerificationCommandsCheckThePortButIgnoreEWrite)
{
    p.SetEWrite(false);
    port.QueueReply(Frame("AA 03 FC 0F 64 01 01"));
    EXPECT_TRUE(p.KU_ResetK()) << "not gated";
    EXPECT_EQ(port.requests.size(), 1u);

    port.opened = false;
    EXPECT_FALSE(p.KU_StartAmpClb());
    EXPECT_EQ(p.LastError(), 6u);
    p.KU_StartPoverka();
    EXPECT_EQ(p.LastError(), 6u);
    EXPECT_EQ(port.requests.size(), 1u) << "nothing sent on a closed port";
    EXPECT_EQ(port.opens, 0);

    p.SetAutoOpenPort(true);
    port.QueueReply(Frame("AA 03 FC 21 01 01 01"));
    EXPECT_TRUE(p.KU_StartAmpClb());
    EXPECT_EQ(port.opens, 1);
    EXPECT_TRUE(port.opened);
}

struct QueryCase {
    const char* name;
    std::vector<Bytes> replies;
    bool result;
    ProtocolErrorCode error;
};

class Query : public Relay, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(Query, ReturnsWhetherTheMeterConfirms)
{
    p.SetRepeatCount(2);
    for (const auto& r : GetParam().replies) port.QueueReply(r);
    EXPECT_EQ(p.KU_IsAmpClb_Started(), GetParam().result);
    EXPECT_EQ(p.LastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Query,
    ::testing::Values(QueryCase{"YesWhenDataByteZeroIsSet", {Frame("AA 03 FC 22 01 02 80 00")}, true, 0},
                      QueryCase{"NoWhenDataByteZeroIsClear", {Frame("AA 03 FC 22 01 02 00 01")}, false, 0},
                      // Offset 6 of such a frame is its checksum, not an answer.
                      QueryCase{"NoWhenTheReplyCarriesNoData", {Frame("AA 03 FC 22 01 00")}, false, 3},
                      QueryCase{"NoWhenTheTransactionFails", {Corrupt(Frame("AA 03 FC 22 01 01 01")), {}}, false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RelayNoPort, EveryCommandReportsCodeOne)
{
    Tulv6xProtocol p;
    std::string s = "old";
    p.GZU_GetDevID(s);
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_EQ(s, "");
    std::uint8_t d[4];
    p.GZU_ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 1u);
    p.GZU_StartPoverka();
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_FALSE(p.KU_StartAmpClb());
    EXPECT_EQ(p.LastError(), 1u);
    p.KU_StartPoverka();
    EXPECT_EQ(p.LastError(), 1u);
}

// --- Repeats and timing -----------------------------------------------------

TEST_F(Relay, EachAttemptWaitsTheStartDelayAndThePacketTimeout)
{
    // Per attempt: a 10 ms start delay, then 51 polls 10 ms apart for the
    // 500 ms packet timeout.
    p.SetRepeatCount(2);
    std::uint8_t d[4];
    p.GZU_ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.requests.size(), 2u);
    EXPECT_EQ(port.purges, 2) << "every attempt starts with a purge";
    EXPECT_EQ(port.readPolls, 102);
    EXPECT_EQ(port.clock.now, 1040u);
    EXPECT_EQ(port.clock.sleeps, (std::vector<std::uint32_t>{10, 10}));
}

TEST_F(Relay, FurtherBytesWaitTheByteTimeout)
{
    p.SetRepeatCount(1);
    p.SetByteTimeout(50);
    port.QueueReply(good, 0, 50);
    std::uint8_t d[4];
    p.GZU_ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    port.QueueReply(good, 0, 61);
    p.GZU_ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
}

TEST_F(Relay, AVanishedDeviceEndsTheRepeatsAtOnce)
{
    p.SetRepeatCount(5);
    port.HangUp();
    std::uint8_t d[4];
    p.GZU_ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.purges, 1);
    EXPECT_LE(port.clock.now, 10u);
}

TEST_F(Relay, OversizeArgumentsAreProgrammingErrors)
{
    std::uint8_t big[245] = {};
    EXPECT_THROW(p.GZU_WriteRtc2k(0, big, 245), std::invalid_argument);
    EXPECT_THROW(p.GZU_Write_Rtc2k_new(0, std::span<std::uint8_t>(big, 4), 5), std::invalid_argument);
    EXPECT_TRUE(port.requests.empty());
}

} // namespace
