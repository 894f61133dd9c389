// Tulv6xProtocol on the real serial port against the meter simulator over a
// pseudo-terminal: every memory area, the identification texts, each injected
// fault, a meter that never answers, and a line that goes away mid-transfer.
#include "MeterSimProcess.h"
#include "SimLine.h"
#include "Ulv6xProtocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

json Meter(int address, json faults = json::object())
{
    json m = {{"address", address},
              {"protocol", "6x"},
              {"texts", {{"id", "КВТ-64"}, {"version", "3.111"}, {"modification", "M"}, {"subversion", "07"}}},
              {"sfr_tek", {1.5, -2.0, 0.0, 100.0}},
              {"memory",
               {{{"area", "rtc2k"}, {"addr", "0x0700"}, {"hex", "3F800000 40000000"}},
                {{"area", "ram"}, {"addr", "0x00A0"}, {"hex", "41200000"}},
                {{"area", "rtc128"}, {"addr", 0}, {"hex", "30 00 07 00 09 00 03 05 03 24"}},
                {{"area", "dataflash"}, {"addr", "0x00012345"}, {"hex", "DE AD BE EF"}}}}};
    if (!faults.empty()) m["faults"] = faults;
    return m;
}

json Line(std::vector<json> meters)
{
    return {{"line", {{"baud", 9600}}}, {"meters", meters}};
}

using SimLine = ProtocolLine<Tulv6xProtocol>;

std::string HexOf(const std::uint8_t* b, size_t n)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", b[i]);
        s += buf;
    }
    return s;
}

TEST_F(SimLine, ReadsAndWritesEveryMemoryArea)
{
    Start(Line({Meter(1)}));
    std::uint8_t d[16] = {};

    proto.ReadRtc2k(0x0700, d, 8);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 8), "3F80000040000000");

    proto.ReadRAM(0x00A0, d, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 4), "41200000");

    proto.ReadRtc128(0, d, 10);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 10), "30000700090003050324");

    proto.ReadDataFlash(0x00012345, d, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 4), "DEADBEEF");

    const std::uint8_t stamp[16] = {'C', '1', '3', '2', '0', '0', '0', '1', 0, 0, 0x24, 3, 5, 9, 7, 0x30};
    proto.WriteRtc2k(0x0020, stamp, 16);
    ASSERT_EQ(proto.LastError(), 0u);
    const std::uint8_t k0[4] = {0x3F, 0x00, 0x00, 0x00};
    proto.WriteRtc2k_0A42(0x0704, k0, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    std::uint8_t clockBytes[2] = {0x45, 0x59};
    proto.WriteRtc128(0x10, clockBytes, 2);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(clockBytes, 2), "4559") << "the meter echoes what it stored";

    json dump = sim->Dump();
    EXPECT_EQ(DumpBytes(dump, 1, "rtc2k", 0x0020, 16), std::vector<std::uint8_t>(stamp, stamp + 16));
    EXPECT_EQ(DumpBytes(dump, 1, "rtc2k", 0x0704, 4), std::vector<std::uint8_t>(k0, k0 + 4));
    EXPECT_EQ(DumpBytes(dump, 1, "rtc128", 0x10, 2), (std::vector<std::uint8_t>{0x45, 0x59}));
    EXPECT_EQ(DumpBytes(dump, 1, "rtc2k", 0x0700, 4), (std::vector<std::uint8_t>{0x3F, 0x80, 0, 0}))
        << "neighbouring cells untouched";
}

TEST_F(SimLine, IdentificationTextsAndLiveValues)
{
    Start(Line({Meter(1)}));
    std::string s;
    proto.GetDevID(s);
    EXPECT_EQ(s, "КВТ-64");
    proto.GetSoftVer(s);
    EXPECT_EQ(s, "3.111");
    proto.GetModification(s);
    EXPECT_EQ(s, "M");
    proto.GetSoftSubVer(s);
    EXPECT_EQ(s, "07");
    float v[4] = {};
    proto.GetSfrTek(v);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(v[0], 1.5f);
    EXPECT_EQ(v[1], -2.0f);
    EXPECT_EQ(v[3], 100.0f);
}

TEST_F(SimLine, WritingDisabledSendsNothing)
{
    Start(Line({Meter(1)}));
    proto.SetEWrite(false);
    const std::uint8_t z[4] = {0, 0, 0, 0};
    proto.WriteRtc2k(0x0700, z, 4);
    proto.SetDateTime();
    EXPECT_EQ(proto.LastError(), 0u);
    json dump = sim->Dump();
    EXPECT_EQ(dump["meters"][0]["requests"], 0);
    EXPECT_EQ(DumpBytes(dump, 1, "rtc2k", 0x0700, 4), (std::vector<std::uint8_t>{0x3F, 0x80, 0, 0}));
}

struct FaultCase {
    const char* name;
    json faults;
    ProtocolErrorCode error; // after RepeatCount 3
    int requests;            // that reached the meter
};

class SimFault : public SimLine, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimFault, GivesTheOutcomeOfTheRules)
{
    Start(Line({Meter(1, GetParam().faults)}));
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    proto.ReadRtc2k(0x0700, d, 4);
    EXPECT_EQ(proto.LastError(), GetParam().error);
    if (GetParam().error == 0)
        EXPECT_EQ(HexOf(d, 4), "3F800000");
    else
        EXPECT_EQ(HexOf(d, 4), "EEEEEEEE");
    EXPECT_EQ(sim->Dump()["meters"][0]["requests"], GetParam().requests);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimFault,
    ::testing::Values(FaultCase{"Silent", {{"silent", true}}, 2, 3},
                      FaultCase{"DelayWithinThePacketTimeout", {{"delay_ms", 120}}, 0, 1},
                      FaultCase{"DelayBeyondEveryAttempt", {{"delay_ms", 1000}}, 2, 3},
                      FaultCase{"RandomNoiseBeforeTheReply", {{"noise", 16}}, 0, 1},
                      FaultCase{"FalseStartBytesBeforeTheReply", {{"noise", "AA 01"}}, 4, 3},
                      FaultCase{"WrongChecksum", {{"bad_checksum", true}}, 5, 3},
                      FaultCase{"WrongChecksumOnTheFirstTwoReplies", {{"bad_checksum", {{"first", 2}}}}, 0, 3},
                      FaultCase{"WrongAddressComplement", {{"bad_complement", true}}, 4, 3},
                      FaultCase{"MissingLastByte", {{"drop_last_byte", true}}, 2, 3},
                      FaultCase{"MissingLastByteOnce", {{"drop_last_byte", {{"first", 1}}}}, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimLine, AMeterThatNeverAnswersGivesUpWithinItsTimeouts)
{
    Start(Line({Meter(1, {{"silent", true}})}));
    proto.SetPacketTimeout(50);
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    proto.ReadRtc2k(0x0700, d, 4);
    EXPECT_EQ(proto.LastError(), 2u);
    EXPECT_EQ(HexOf(d, 4), "EEEEEEEE");
    EXPECT_EQ(sim->Dump()["meters"][0]["requests"], 3) << "one request per attempt";
}

TEST_F(SimLine, AnAddressWithoutAMeterTimesOut)
{
    Start(Line({Meter(1)}));
    proto.SetNetAddr(2);
    proto.SetPacketTimeout(50);
    std::uint8_t d[4];
    proto.ReadRtc2k(0x0700, d, 4);
    EXPECT_EQ(proto.LastError(), 2u);
}

TEST_F(SimLine, ALineThatGoesAwayMidTransferFailsAtOnceAndComesBack)
{
    Start(Line({Meter(1, {{"delay_ms", {{"ms", 9000}, {"first", 1}}}})}));
    proto.SetPacketTimeout(9990);
    std::uint8_t d[4];
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sim->Unplug();
    });
    auto t0 = Clock::now();
    proto.ReadRtc2k(0x0700, d, 4);
    auto took = Clock::now() - t0;
    unplug.join();
    EXPECT_EQ(proto.LastError(), 2u);
    EXPECT_TRUE(port.Lost());
    // Far less than one packet timeout: the vanished line is seen at once.
    EXPECT_LT(took, std::chrono::milliseconds(8000)) << "no waiting out the timeouts of a vanished line";

    const std::uint8_t z[4] = {0, 0, 0, 0};
    t0 = Clock::now();
    proto.WriteRtc2k(0x0700, z, 4);
    EXPECT_EQ(proto.LastError(), 2u) << "the write fails (1), then its reply never comes (2)";
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(8000));

    port.Close();
    sim->Replug();
    ASSERT_TRUE(port.Open()) << port.OpenErrorText();
    EXPECT_FALSE(port.Lost());
    proto.SetPacketTimeout(2000);
    proto.ReadRtc2k(0x0700, d, 4);
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 4), "3F800000");
}

TEST_F(SimLine, PacedRepliesAtTheLineRate)
{
    sim = std::make_unique<MeterSimProcess>(Line({Meter(1)}), MeterSimOptions{9600, true});
    port.SetDevicePath(sim->DevicePath());
    ASSERT_TRUE(port.Open());
    proto.SetComPort(&port);
    proto.SetNetAddr(1);
    std::uint8_t d[200];
    auto t0 = Clock::now();
    proto.ReadRtc2k(0x0000, d, 200);
    auto took = Clock::now() - t0;
    ASSERT_EQ(proto.LastError(), 0u);
    // 207 reply bytes at 9600 baud need about 216 ms on the wire.
    EXPECT_GE(took, std::chrono::milliseconds(200));
}

} // namespace
