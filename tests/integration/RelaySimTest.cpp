// The relay sub-protocol and the verification-mode commands of Tulv6xProtocol on the real serial
// port against the meter simulator over a pseudo-terminal: reads, writes and their copy-back, the
// identification texts, the broadcasts, and each injected fault with its outcome and attempts.
#include "MeterSimProcess.h"
#include "ProtocolSim.h"
#include "SimLine.h"
#include "Ulv6xProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

using nlohmann::json;
using namespace protosim;

namespace {

constexpr std::uint32_t kSerial = 44412345;
constexpr std::uint32_t kOtherSerial = 44499999;

json RelayMeter(std::uint32_t serial, json faults = json::object())
{
    json m = json::parse(R"({
      "protocol": "relay",
      "texts": {"id": "ГЗУ-08", "version": "2.07", "subversion": "15"},
      "memory": [
        {"area": "rtc2k", "addr": "0x0100", "hex": "00112233 44556677 8899AABB"},
        {"area": "ram", "addr": "0x0040", "hex": "42C80000"}
      ],
      "readonly": [{"area": "rtc2k", "addr": "0x0102", "count": 1}, {"area": "rtc2k", "addr": "0x0109", "count": 1}]
    })");
    m["serial"] = serial;
    if (!faults.empty()) m["faults"] = faults;
    return m;
}

json SixXMeter(int address)
{
    return {{"protocol", "6x"}, {"address", address}};
}

json Line(std::vector<json> meters)
{
    return {{"line", {{"baud", 9600}}}, {"meters", meters}};
}

class RelayLine : public ProtocolLine<Tulv6xProtocol> {
protected:
    void Address(Tulv6xProtocol& p) override
    {
        p.SetGZU_NetAddr(kSerial);
        p.SetNetAddr(1);
    }
    json Meter(const json& dump, std::uint32_t serial = kSerial) { return DumpMeter(dump, "relay", serial); }
};

TEST_F(RelayLine, ReadsAndWritesTheMemoriesOfTheAddressedMeterOnly)
{
    Start(Line({RelayMeter(kSerial), RelayMeter(kOtherSerial)}));
    std::uint8_t d[8] = {};
    proto.GZU_ReadRtc2k(0x0104, d, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 4), "44556677");
    proto.GZU_ReadRam(0x0040, d, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d, 4), "42C80000");

    // Writing disabled does not hold the relay writes back.
    proto.SetEWrite(false);
    std::uint8_t w[4] = {0x3F, 0x80, 0x00, 0x00};
    proto.GZU_WriteRtc2k(0x0700, w, 4);
    ASSERT_EQ(proto.LastError(), 0u);
    std::uint8_t v[4] = {0x40, 0x00, 0x00, 0x00};
    proto.GZU_Write_Rtc2k_new(0x0704, v, 4);
    ASSERT_EQ(proto.LastError(), 0u);

    const json dump = sim->Dump();
    EXPECT_EQ(HexOf(DumpBytes(dump, "relay", kSerial, "rtc2k", 0x0700, 8)), "3F80000040000000");
    EXPECT_EQ(HexOf(DumpBytes(dump, "relay", kOtherSerial, "rtc2k", 0x0700, 8)), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(Meter(dump)["requests"], 4);
    EXPECT_EQ(Meter(dump, kOtherSerial)["requests"], 0);
}

TEST_F(RelayLine, IdentificationTexts)
{
    Start(Line({RelayMeter(kSerial)}));
    std::string s = "stale";
    proto.GZU_GetDevID(s);
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(s, "ГЗУ-08");
    proto.GZU_GetDevPOver(s);
    EXPECT_EQ(s, "2.07");
    proto.GZU_GetSoftSubVer(s);
    EXPECT_EQ(s, "15");

    proto.SetGZU_NetAddr(kOtherSerial); // no such meter
    proto.SetPacketTimeout(50);
    proto.GZU_GetDevID(s);
    EXPECT_EQ(proto.LastError(), 2u);
    EXPECT_EQ(s, "");
}

TEST_F(RelayLine, WritesCopyBackWhatTheMeterStored)
{
    // The meter answers a write with the bytes as it now holds them; 0x0102 and 0x0109 are
    // read-only, so its answer differs from what was sent there.
    Start(Line({RelayMeter(kSerial)}));
    std::array<std::uint8_t, 12> d = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB};
    proto.GZU_WriteRtc2k(0x0100, d, 12);
    ASSERT_EQ(proto.LastError(), 0u);
    // The first eight reply bytes come back; byte 9 keeps what was sent, though the meter kept 99.
    EXPECT_EQ(HexOf(d.data(), 12), "F0F122F3F4F5F6F7F8F9FAFB");
    EXPECT_EQ(HexOf(DumpBytes(sim->Dump(), "relay", kSerial, "rtc2k", 0x0100, 12)), "F0F122F3F4F5F6F7F899FAFB");

    std::array<std::uint8_t, 12> e = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB};
    proto.GZU_Write_Rtc2k_new(0x0100, e, 12);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(e.data(), 12), "E0E122E3E4E5E6E7E899EAEB") << "the alternative write copies back every byte";
}

TEST_F(RelayLine, ResetOfTheCalibrationTableReachesTheMeter)
{
    Start(Line({RelayMeter(kSerial)}));
    proto.GZU_ResetClbTable();
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(Meter(sim->Dump())["calibration_resets"], 1);
}

TEST_F(RelayLine, VerificationBroadcastsReachTheirMetersAndGetNoAnswer)
{
    Start(Line({RelayMeter(kSerial), RelayMeter(kOtherSerial), SixXMeter(1), SixXMeter(2)}));
    proto.GZU_StartPoverka();
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_TRUE(NothingArrives(port, 300));
    json dump = sim->Dump();
    EXPECT_EQ(Meter(dump)["verification"], true);
    EXPECT_EQ(Meter(dump, kOtherSerial)["verification"], true);
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["verification"], false) << "the relay broadcast is not a 6x frame";

    // The plain 6x frames to address 0, whatever NetAddr says.
    proto.SetNetAddr(2);
    proto.KU_StartPoverka();
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_TRUE(NothingArrives(port, 300));
    dump = sim->Dump();
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["verification"], true);
    EXPECT_EQ(DumpMeter(dump, "6x", 2)["verification"], true);

    // Each switch gets its time on the line: the next send begins by purging the port, which
    // discards whatever of a broadcast has not left it yet.
    proto.GZU_StopPoverka();
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_TRUE(NothingArrives(port, 300));
    proto.KU_StopPoverka();
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_TRUE(NothingArrives(port, 300));
    dump = sim->Dump();
    for (std::uint32_t serial : {kSerial, kOtherSerial}) {
        EXPECT_EQ(Meter(dump, serial)["verification"], false) << serial;
        EXPECT_EQ(Meter(dump, serial)["replies"], 0) << serial;
    }
    for (int address : {1, 2}) {
        EXPECT_EQ(DumpMeter(dump, "6x", address)["verification"], false) << address;
        EXPECT_EQ(DumpMeter(dump, "6x", address)["replies"], 0) << address;
    }
    EXPECT_EQ(LogLinesWith(*sim, " BROADCAST ").size(), 4u);
}

TEST_F(RelayLine, SwitchesSentBackToBackAllArrive)
{
    // A send that awaits no answer waits for its bytes to leave the port, so the
    // purge at the start of the next request cannot discard them.
    Start(Line({RelayMeter(kSerial), SixXMeter(1)}));
    for (int round = 0; round < 5; ++round) {
        proto.GZU_StartPoverka();
        proto.KU_StartPoverka();
        proto.GZU_StopPoverka();
        proto.KU_StopPoverka();
    }
    EXPECT_TRUE(NothingArrives(port, 300));
    EXPECT_EQ(LogLinesWith(*sim, " BROADCAST ").size(), 20u);
    json dump = sim->Dump();
    EXPECT_EQ(Meter(dump)["verification"], false);
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["verification"], false);
}

struct FaultCase {
    const char* name;
    json faults;
    ProtocolErrorCode error; // after RepeatCount 3
    int requests;            // that reached the meter
};

class RelayFault : public RelayLine, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RelayFault, GivesTheOutcomeOfTheRules)
{
    Start(Line({RelayMeter(kSerial, GetParam().faults)}));
    std::uint8_t d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    proto.GZU_ReadRtc2k(0x0104, d, 4);
    EXPECT_EQ(proto.LastError(), GetParam().error);
    EXPECT_EQ(HexOf(d, 4), GetParam().error == 0 ? "44556677" : "EEEEEEEE");
    EXPECT_EQ(Meter(sim->Dump())["requests"], GetParam().requests);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RelayFault,
    ::testing::Values(FaultCase{"Silent", {{"silent", true}}, 2, 3},
                      FaultCase{"SilentOnce", {{"silent", {{"first", 1}}}}, 0, 2},
                      FaultCase{"DelayWithinThePacketTimeout", {{"delay_ms", 120}}, 0, 1},
                      FaultCase{"DelayBeyondEveryAttempt", {{"delay_ms", 1000}}, 2, 3},
                      FaultCase{"RandomNoiseBeforeTheReply", {{"noise", 16}}, 0, 1},
                      // The receiver starts at the false AA and reads the length from the wrong
                      // place: it waits for bytes that never come.
                      FaultCase{"FalseStartBeforeTheReply", {{"noise", "AA 01"}}, 2, 3},
                      FaultCase{"WrongChecksum", {{"bad_checksum", true}}, 5, 3},
                      FaultCase{"WrongChecksumOnTheFirstTwoReplies", {{"bad_checksum", {{"first", 2}}}}, 0, 3},
                      FaultCase{"MissingLastByte", {{"drop_last_byte", true}}, 2, 3},
                      FaultCase{"MissingLastByteOnce", {{"drop_last_byte", {{"first", 1}}}}, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
