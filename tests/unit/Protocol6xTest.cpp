// The 6x protocol on the scripted port: request frames byte for byte, reply
// handling, timeouts counted in polls on the virtual clock, repeats, error codes,
// the write gate and the port checks.
//
// Golden frames: checksums worked by hand as the complement of the byte sum
// (e.g. 55 03 FC 0F 01 03 01 24 04: sum 0x190, low byte 0x90, complement 0x6F).
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>

namespace {

// A reply frame with its checksum appended (the complement of the byte sum).
Bytes Frame(const std::string& hex)
{
    Bytes b = Hex(hex);
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

class Proto6x : public ::testing::Test {
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
    Tulv6xProtocol p;
};

// --- Request frames ---------------------------------------------------------

struct RequestCase {
    const char* name;
    std::function<void(Tulv6xProtocol&)> call;
    const char* frame;
};

class RequestFrame : public Proto6x, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrame, IsSentByteForByte)
{
    p.SetRepeatCount(1);
    port.QueueSilence();
    GetParam().call(p);
    ASSERT_EQ(port.requests.size(), 1u);
    EXPECT_EQ(Sent(), GetParam().frame);
    EXPECT_EQ(port.requests[0].writeCalls, 1) << "a 6x frame goes out in one write";
}

std::uint8_t buf[256];
const std::uint8_t sixteen[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const std::uint8_t one[4] = {0x3F, 0x80, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestFrame,
    ::testing::Values(
        RequestCase{"ReadRtc2k", [](Tulv6xProtocol& p) { p.ReadRtc2k(0x0124, buf, 4); },
                    "55 03 FC 0F 01 03 01 24 04 6F"},
        RequestCase{"ReadRtc2kP", [](Tulv6xProtocol& p) { p.ReadRtc2kP(0x05E0, buf, 146); },
                    "55 03 FC 0F 01 03 05 E0 92 21"},
        RequestCase{"ReadCfg", [](Tulv6xProtocol& p) { p.ReadCfg(0x0000, buf, 8); }, "55 03 FC 0F 01 03 00 00 08 90"},
        RequestCase{"WriteRtc2k", [](Tulv6xProtocol& p) { p.WriteRtc2k(32, sixteen, 16); },
                    "55 03 FC 0F 81 12 00 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71"},
        RequestCase{"WriteRtc2kP", [](Tulv6xProtocol& p) { p.WriteRtc2kP(32, sixteen, 16); },
                    "55 03 FC 0F 81 12 00 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71"},
        RequestCase{"WriteCfg", [](Tulv6xProtocol& p) { p.WriteCfg(32, sixteen, 16); },
                    "55 03 FC 0F 81 12 00 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71"},
        RequestCase{"WriteRtc2k_rd4", [](Tulv6xProtocol& p) { p.WriteRtc2k_rd4(32, sixteen, 16); },
                    "55 03 FC 0F 81 12 00 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71"},
        RequestCase{"WriteRtc2k_0A42", [](Tulv6xProtocol& p) { p.WriteRtc2k_0A42(0x0700, one, 4); },
                    "55 03 FC 0A 42 06 07 00 3F 80 00 00 93"},
        RequestCase{"ReadRAM", [](Tulv6xProtocol& p) { p.ReadRAM(0x00A0, buf, 4); }, "55 03 FC 0C 01 03 00 A0 04 F7"},
        RequestCase{"ReadRtc128", [](Tulv6xProtocol& p) { p.ReadRtc128(0, buf, 10); }, "55 03 FC 0F 02 02 00 0A 8E"},
        RequestCase{"WriteRtc128",
                    [](Tulv6xProtocol& p) {
                        std::uint8_t d[2] = {0x11, 0x22};
                        p.WriteRtc128(5, d, 2);
                    },
                    "55 03 FC 0F 82 03 05 11 22 DF"},
        RequestCase{"ReadDataFlash", [](Tulv6xProtocol& p) { p.ReadDataFlash(0x00012345, buf, 8); },
                    "55 03 FC 0F 03 05 08 00 01 23 45 23"},
        RequestCase{"GetDevID", [](Tulv6xProtocol& p) { std::string s; p.GetDevID(s); }, "55 03 FC 00 00 00 AB"},
        RequestCase{"GetSoftVer", [](Tulv6xProtocol& p) { std::string s; p.GetSoftVer(s); }, "55 03 FC 00 01 00 AA"},
        RequestCase{"GetSoftVer64_1", [](Tulv6xProtocol& p) { std::string s; p.GetSoftVer64_1(s); },
                    "55 03 FC 00 01 00 AA"},
        RequestCase{"GetModification", [](Tulv6xProtocol& p) { std::string s; p.GetModification(s); },
                    "55 03 FC 00 02 00 A9"},
        RequestCase{"GetSoftSubVer", [](Tulv6xProtocol& p) { std::string s; p.GetSoftSubVer(s); },
                    "55 03 FC 00 03 00 A8"},
        RequestCase{"GetSfrTek", [](Tulv6xProtocol& p) { float v[4]; p.GetSfrTek(v); }, "55 03 FC 0C 00 00 9F"},
        RequestCase{"DetectDevice", [](Tulv6xProtocol& p) { p.DetectDevice(); }, "55 03 FC 00 00 00 AB"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Proto6x, AddressZeroAndTheHighestAddressAreComplemented)
{
    p.SetRepeatCount(1);
    p.SetNetAddr(0);
    std::string s;
    p.GetDevID(s);
    p.SetNetAddr(127);
    p.GetDevID(s);
    EXPECT_EQ(Sent(0), "55 00 FF 00 00 00 AB");
    EXPECT_EQ(Sent(1), "55 7F 80 00 00 00 AB");
}

TEST_F(Proto6x, SetDateTimeWritesTheLocalClockInBcd)
{
    port.QueueReply(Frame("AA 03 FC 0F 82 00"));
    port.clock.SetLocalTime(2024, 3, 5, 9, 7, 30, 2);
    p.SetDateTime();
    ASSERT_EQ(port.requests.size(), 1u);
    const Bytes& f = port.requests[0].bytes;
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(ToHex(Bytes(f.begin(), f.begin() + 7)), "55 03 FC 0F 82 0B 00");
    // seconds, 0, minutes, 0, hours, 0, weekday (Tuesday = 3 with 1 = Sunday), day, month, year
    EXPECT_EQ(ToHex(Bytes(f.begin() + 7, f.end() - 1)), "30 00 07 00 09 00 03 05 03 24");
    EXPECT_EQ(p.LastError(), 0u);
}

// --- Replies ----------------------------------------------------------------

TEST_F(Proto6x, ReadCopiesTheReplyData)
{
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"));
    std::uint8_t d[4] = {};
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "11 22 33 44");
}

struct ReplyCase {
    const char* name;
    std::vector<std::string> replies; // one per attempt; "" is silence
    ProtocolErrorCode error;
    size_t attempts;
};

class ReplyHandling : public Proto6x, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyHandling, GivesTheRightOutcome)
{
    p.SetRepeatCount(3);
    for (const auto& r : GetParam().replies) port.QueueReply(Hex(r));
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), GetParam().error);
    EXPECT_EQ(port.requests.size(), GetParam().attempts);
    if (GetParam().error == 0)
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "11 22 33 44");
    else
        EXPECT_EQ(ToHex(Bytes(d, d + 4)), "EE EE EE EE") << "a failed read leaves the buffer untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReplyHandling,
    ::testing::Values(
        ReplyCase{"AcceptsNoiseBeforeTheStartByte", {"01 55 FF AA 03 FC 0F 01 04 11 22 33 44 98"}, 0, 1},
        ReplyCase{"AcceptsAReplyFromAnotherAddress", {"AA 05 FA 0F 01 04 11 22 33 44 98"}, 0, 1},
        ReplyCase{"AcceptsOtherCommandBytes", {"AA 03 FC 77 66 04 11 22 33 44 CB"}, 0, 1},
        ReplyCase{"RefusesAWrongAddressComplement",
                  {"AA 05 05 0F 01 04 11 22 33 44 98", "AA 05 05 0F 01 04 11 22 33 44 98",
                   "AA 05 05 0F 01 04 11 22 33 44 98"},
                  4, 3},
        ReplyCase{"RefusesAWrongChecksum",
                  {"AA 03 FC 0F 01 04 11 22 33 44 99", "AA 03 FC 0F 01 04 11 22 33 44 97",
                   "AA 03 FC 0F 01 04 11 22 33 44 00"},
                  5, 3},
        ReplyCase{"RetriesAfterABadChecksum", {"AA 03 FC 0F 01 04 11 22 33 44 99", "AA 03 FC 0F 01 04 11 22 33 44 98"}, 0,
                  2},
        ReplyCase{"RefusesMoreDataThanAsked",
                  {"AA 03 FC 0F 01 05 11 22 33 44 55 42", "AA 03 FC 0F 01 05 11 22 33 44 55 42",
                   "AA 03 FC 0F 01 05 11 22 33 44 55 42"},
                  3, 3},
        ReplyCase{"TimesOutOnATruncatedReply", {"AA 03 FC 0F 01 04 11 22", "", ""}, 2, 3},
        ReplyCase{"TimesOutOnSilence", {"", "", ""}, 2, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Proto6x, LengthRefusalPurgesWhatIsLeftOfTheFrame)
{
    p.SetRepeatCount(1);
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"));
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 3);
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(port.purges, 2) << "one purge before the send, one at the refusal";
    EXPECT_EQ(port.Pending(), 0u);
}

TEST_F(Proto6x, EveryNoiseByteRestartsTheFirstByteWait)
{
    p.SetRepeatCount(1);
    // Noise at 400 ms, the reply 450 ms later: 850 ms after the request, but
    // never more than the 500 ms packet timeout after the previous byte.
    port.InjectAt(400, Hex("13"));
    port.InjectAt(850, Frame("AA 03 FC 0F 01 04 11 22 33 44"));
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
}

TEST_F(Proto6x, UnlimitedReceiveRefusesLengthsBeyondTheFrameLimit)
{
    // N = 249 would make a 256-byte frame; the reply buffer holds 256 bytes and
    // the checksum position would wrap. Refused like an oversize limited reply.
    for (int n : {249, 255}) {
        ScriptedPort fresh;
        fresh.opened = true;
        Tulv6xProtocol q;
        q.SetComPort(&fresh);
        q.SetRepeatCount(1);
        Bytes reply = Hex("AA 00 FF 0F 01");
        reply.push_back(static_cast<std::uint8_t>(n));
        reply.resize(reply.size() + 300, 0x5A);
        fresh.QueueReply(reply);
        std::uint8_t d[256];
        q.ReadCfg(0, d, 8);
        EXPECT_EQ(q.LastError(), 3u) << n;
        EXPECT_EQ(fresh.purges, 2) << n;
    }
}

TEST_F(Proto6x, UnlimitedReadRefusesMoreDataThanTheBufferHolds)
{
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"));
    std::uint8_t d[3] = {1, 2, 3};
    p.ReadCfg(0, std::span<std::uint8_t>(d, 3), 3);
    EXPECT_EQ(p.LastError(), 3u);
    EXPECT_EQ(ToHex(Bytes(d, d + 3)), "01 02 03");
}

TEST_F(Proto6x, WriteRtc128CopiesTheReplyBack)
{
    port.QueueReply(Frame("AA 03 FC 0F 82 02 77 88"));
    std::uint8_t d[2] = {0x11, 0x22};
    p.WriteRtc128(5, d, 2);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 2)), "77 88");
}

TEST_F(Proto6x, WriteRtc2kRd4RefusesMoreThanFourReplyBytes)
{
    p.SetRepeatCount(1);
    port.QueueReply(Frame("AA 03 FC 0F 81 05 00 00 00 00 00"));
    p.WriteRtc2k_rd4(0x20, one, 4);
    EXPECT_EQ(p.LastError(), 3u);
}

TEST_F(Proto6x, TextCommandsDecodeTheCodePage)
{
    std::string s = "old";
    port.QueueReply(Frame("AA 03 FC 00 00 03 CA C2 D2"));
    p.GetDevID(s);
    EXPECT_EQ(s, "КВТ");
    port.QueueReply(Frame("AA 03 FC 00 00 00"));
    p.GetDevID(s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p.LastError(), 0u);
    port.QueueReply(Frame("AA 03 FC 00 01 02 01 05"));
    p.GetSoftVer64_1(s);
    EXPECT_EQ(s, "1.05");
    s = "old";
    p.SetRepeatCount(1);
    port.QueueSilence();
    p.GetModification(s);
    EXPECT_EQ(s, "") << "a failed transaction empties the text";
}

TEST_F(Proto6x, GetSfrTekReadsFourBigEndianSingles)
{
    port.QueueReply(Frame("AA 03 FC 0C 00 10 3F 80 00 00 40 00 00 00 C0 20 00 00 00 00 00 00"));
    float v[4] = {9, 9, 9, 9};
    p.GetSfrTek(v);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(v[1], 2.0f);
    EXPECT_EQ(v[2], -2.5f);
    EXPECT_EQ(v[3], 0.0f);

    port.QueueReply(Frame("AA 03 FC 0C 00 04 3F 80 00 00"));
    float w[4] = {9, 9, 9, 9};
    p.GetSfrTek(w);
    EXPECT_EQ(p.LastError(), 3u) << "a short reply carries no four values";
    EXPECT_EQ(w[0], 9.0f);
}

TEST_F(Proto6x, DetectDeviceAssignsNoType)
{
    p.SetDeviceType(5);
    port.QueueReply(Frame("AA 03 FC 00 00 03 CA C2 D2"));
    EXPECT_EQ(p.DetectDevice(), 0u);
    EXPECT_EQ(p.DeviceType(), 0u);
}

// --- Timing on the virtual clock -------------------------------------------

TEST_F(Proto6x, FirstByteWaitIsCountedInPolls)
{
    // Start delay 10 ms, then polls at 10, 20, ... 510 ms: 51 polls for a 500 ms
    // packet timeout. A reply arriving at 510 ms is the last one taken.
    p.SetRepeatCount(1);
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 510);
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);

    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 511);
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 2u);

    port.clock.Advance(1000); // the late reply's time has passed
    port.QueueSilence();
    port.readPolls = 0;
    std::uint64_t start = port.clock.now;
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_EQ(port.readPolls, 51);
    EXPECT_EQ(port.clock.now - start, 520u) << "10 ms start delay plus 51 waits of 10 ms";
}

TEST_F(Proto6x, ALateReplyNeverAnswersTheNextRequest)
{
    // The first read gives up at 110 ms; its reply comes at 150 ms, after the
    // second read would have been sent. The second read first lets it arrive and
    // drops it, so it takes its own reply.
    p.SetRepeatCount(1);
    p.SetPacketTimeout(100);
    std::uint8_t d[4] = {};
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 150);
    p.ReadRtc2k(0x0100, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    const std::uint64_t failedAt = port.clock.now;

    port.QueueReply(Frame("AA 03 FC 0F 01 04 55 66 77 88"), 20);
    p.ReadRtc2k(0x0200, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(Bytes(d, d + 4), Hex("55 66 77 88"));
    ASSERT_EQ(port.requests.size(), 2u);
    EXPECT_GE(port.requests[1].time, port.requests[0].time + 150) << "sent only after the late reply's time";
    EXPECT_LE(port.requests[1].time, failedAt + 1000);

    // A clean exchange leaves nothing to wait for: the next request goes at once.
    const std::uint64_t before = port.clock.now;
    port.QueueReply(Frame("AA 03 FC 0F 01 04 01 02 03 04"), 0);
    p.ReadRtc2k(0x0300, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(port.requests[2].time, before);
}

TEST_F(Proto6x, FurtherBytesWaitTheByteTimeout)
{
    p.SetRepeatCount(1);
    p.SetByteTimeout(150);
    // Bytes 150 ms apart: each one arrives on the last poll of its wait.
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 0, 150);
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 0, 161);
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
}

TEST_F(Proto6x, ARepliedByteEndsTheWaitAtOnce)
{
    p.SetRepeatCount(1);
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 13);
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(port.clock.now, 13u) << "the reply is taken the moment it arrives";
    EXPECT_EQ(port.clock.sleeps, std::vector<std::uint32_t>{10}) << "only the start delay is a plain sleep";
}

TEST_F(Proto6x, RepeatsAreBoundedByRepeatCount)
{
    for (std::uint8_t repeats : {1, 5}) {
        ScriptedPort fresh;
        fresh.opened = true;
        Tulv6xProtocol q;
        q.SetComPort(&fresh);
        q.SetRepeatCount(repeats);
        std::uint8_t d[4];
        q.ReadRtc2k(0, d, 4);
        EXPECT_EQ(q.LastError(), 2u);
        EXPECT_EQ(fresh.requests.size(), repeats);
        EXPECT_EQ(fresh.purges, repeats) << "every attempt starts with a purge";
        EXPECT_EQ(fresh.clock.now, repeats * 520u) << "constructor timeouts: 10 + 51 x 10 ms per attempt";
    }
}

TEST_F(Proto6x, ALateReplyIsPurgedBeforeTheNextAttempt)
{
    p.SetRepeatCount(2);
    port.InjectAt(515, Frame("AA 03 FC 0F 01 04 99 99 99 99")); // after attempt 1 gave up at 520
    port.QueueSilence();
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"), 5);
    std::uint8_t d[4];
    p.ReadRtc2k(0x0124, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_EQ(ToHex(Bytes(d, d + 4)), "11 22 33 44");
}

// --- Port checks, write gate, failures --------------------------------------

TEST_F(Proto6x, WriteGateSuppressesWritesAsSuccess)
{
    p.SetEWrite(false);
    p.SetRepeatCount(1);
    std::uint8_t d[4];
    p.ReadRtc2k(0, d, 4); // leaves code 2
    ASSERT_EQ(p.LastError(), 2u);
    std::uint8_t r[2] = {1, 2};
    for (auto write : std::vector<std::function<void()>>{
             [&] { p.WriteRtc2k(0, one, 4); }, [&] { p.WriteRtc2kP(0, one, 4); }, [&] { p.WriteCfg(0, one, 4); },
             [&] { p.WriteRtc2k_rd4(0, one, 4); }, [&] { p.WriteRtc2k_0A42(0, one, 4); },
             [&] { p.WriteRtc128(0, r, 2); }, [&] { p.SetDateTime(); }}) {
        size_t before = port.requests.size();
        p.ReadRtc2k(0, d, 4);
        ASSERT_EQ(p.LastError(), 2u);
        write();
        EXPECT_EQ(port.requests.size(), before + 1) << "only the read went out";
        EXPECT_EQ(p.LastError(), 0u);
    }
    EXPECT_EQ(r[0], 1) << "a suppressed Rtc128 write copies nothing back";
}

TEST_F(Proto6x, PortChecks)
{
    std::uint8_t d[4];
    std::string s = "keep";
    port.opened = false;
    p.SetRepeatCount(1);

    // auto, without AutoOpenPort: code 6, nothing sent, port untouched
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 6u);
    p.GetDevID(s);
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(port.opens, 0);

    // open: never opens, even with AutoOpenPort
    p.SetAutoOpenPort(true);
    p.GetSoftVer(s);
    EXPECT_EQ(p.LastError(), 6u);
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(port.opens, 0);

    // auto with AutoOpenPort: a failed open is code 6
    port.openSucceeds = false;
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 6u);
    EXPECT_EQ(port.opens, 1);
    EXPECT_TRUE(port.requests.empty());

    // auto with AutoOpenPort: the port is opened and stays open
    port.openSucceeds = true;
    port.QueueReply(Frame("AA 03 FC 0F 01 04 11 22 33 44"));
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 0u);
    EXPECT_TRUE(port.opened);

    // none: GetSfrTek on a closed port runs its attempts and times out
    port.opened = false;
    float v[4];
    p.GetSfrTek(v);
    EXPECT_EQ(p.LastError(), 2u);
}

TEST(Proto6xNoPort, CommandsReportCodeOne)
{
    Tulv6xProtocol p;
    p.SetEWrite(true);
    std::uint8_t d[4];
    std::string s = "keep";
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 1u);
    p.WriteRtc2k(0, one, 4);
    EXPECT_EQ(p.LastError(), 1u);
    float v[4];
    p.GetSfrTek(v);
    EXPECT_EQ(p.LastError(), 1u);
    p.GetSoftVer(s);
    EXPECT_EQ(p.LastError(), 1u);
    EXPECT_EQ(s, "keep");
    p.SetComPort(nullptr); // ignored
    EXPECT_EQ(p.ComPort(), nullptr);
}

TEST_F(Proto6x, AFailedWriteIsOverwrittenByTheReceive)
{
    p.SetRepeatCount(2);
    port.writesBeforeFailure = 0;
    std::uint8_t d[4];
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_TRUE(port.requests.empty());
}

TEST_F(Proto6x, AVanishedDeviceEndsTheTransactionAtOnce)
{
    p.SetRepeatCount(5);
    port.HangUp();
    std::uint8_t d[4];
    p.ReadRtc2k(0, d, 4);
    EXPECT_EQ(p.LastError(), 2u);
    EXPECT_LE(port.clock.now, 10u) << "no timeouts and no repeats once the device is gone";
}

TEST_F(Proto6x, OversizeArgumentsAreProgrammingErrors)
{
    std::uint8_t big[247] = {};
    EXPECT_THROW(p.WriteRtc2k(0, big, 247), std::invalid_argument);
    EXPECT_THROW(p.WriteRtc2k(0, std::span<const std::uint8_t>(big, 4), 5), std::invalid_argument);
    EXPECT_TRUE(port.requests.empty());
}

// --- Setters ----------------------------------------------------------------

TEST(Proto6xSetters, KeepOnlyValidValues)
{
    Tulv6xProtocol p;
    EXPECT_EQ(p.RepeatCount(), 5);
    EXPECT_EQ(p.PacketTimeout(), 500u);
    EXPECT_EQ(p.ByteTimeout(), 150u);
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
    p.SetNetAddr(200);
    EXPECT_EQ(p.NetAddr(), 0);
    p.SetNetAddr(127);
    EXPECT_EQ(p.NetAddr(), 127);
    p.SetRepeatCount(0);
    p.SetRepeatCount(25);
    EXPECT_EQ(p.RepeatCount(), 5);
    p.SetRepeatCount(24);
    EXPECT_EQ(p.RepeatCount(), 24);
    p.SetDeviceType(17);
    EXPECT_EQ(p.DeviceType(), 17u);
    p.SetDeviceType(18);
    EXPECT_EQ(p.DeviceType(), 0u);
}

} // namespace
