// The relay, M4 and ModBus families of the simulator and a line that several families share, seen
// from the client's side of the pseudo-terminal with plain POSIX calls. Frames are built here with
// the test's own arithmetic; the golden frames name where they come from.
#include "MeterSimProcess.h"
#include "SimClient.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace simclient;
using namespace std::chrono_literals;

TEST(ModBusCrcOfTheTest, GivesTheCheckValue)
{
    // The catalogue's check value of CRC-16/MODBUS over the nine digits "123456789".
    EXPECT_EQ(ModBusCrc(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);
}

bool NoGarbageLogged(const MeterSimProcess& sim)
{
    for (const auto& line : sim.LogLines())
        if (line.find(" GARBAGE ") != std::string::npos) {
            ADD_FAILURE() << line;
            return false;
        }
    return true;
}

constexpr std::uint32_t kSerial = 44412345;

// --- Relay --------------------------------------------------------------------------------------

json RelayMeter(std::uint32_t serial = kSerial)
{
    return json::parse(R"({
      "protocol": "relay", "serial": )" +
                       std::to_string(serial) + R"(,
      "texts": {"id": "ГЗУ-08", "version": "2.07", "subversion": {"hex": "0304"}},
      "memory": [
        {"area": "rtc2k", "addr": "0x0100", "hex": "00112233 44556677 8899AABB"},
        {"area": "ram", "addr": "0x0020", "hex": "41200000"}
      ],
      "readonly": [{"area": "rtc2k", "addr": "0x0102", "count": 2}, {"area": "rtc2k", "addr": "0x0109", "count": 1}]
    })");
}

json Line(std::vector<json> meters)
{
    return {{"meters", meters}};
}

TEST(MeterSimRelay, AnswersIdentificationWithByteExactReply)
{
    MeterSimProcess sim(Line({RelayMeter()}));
    Port port(sim.DevicePath());
    // Worked by hand: 44412345 is 0x02A5ADB9; the request's bytes sum to 0x162, complement 0x9D.
    const Bytes request = Hex("55 B9 AD A5 02 00 00 00 9D");
    ASSERT_EQ(request, RelayFrame(0x55, kSerial, 0x00, 0x00));
    // "ГЗУ-08" in code page 1251: Г C3, З C7, У D3.
    const Bytes reply = RelayFrame(0xAA, kSerial, 0x00, 0x00, Hex("C3 C7 D3 2D 30 38"));
    EXPECT_EQ(ToHex(port.Transact(request, reply.size())), ToHex(reply));
    EXPECT_TRUE(port.Read(1, 100ms).empty()) << "nothing follows the reply";
    EXPECT_TRUE(HasLogLine(sim, " RX relay:44412345 55 B9 AD A5 02 00 00 00 9D"));
    EXPECT_TRUE(NoGarbageLogged(sim));
}

struct RelayCase {
    const char* name;
    std::uint8_t group, command;
    Bytes request;
    Bytes reply;
};
void PrintTo(const RelayCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimRelayCommands : public testing::TestWithParam<RelayCase> {};

TEST_P(MeterSimRelayCommands, ReplyAsTheMeterHoldsIt)
{
    const RelayCase& c = GetParam();
    MeterSimProcess sim(Line({RelayMeter()}));
    Port port(sim.DevicePath());
    const Bytes expected = RelayFrame(0xAA, kSerial, c.group, c.command, c.reply);
    EXPECT_EQ(ToHex(port.Transact(RelayFrame(0x55, kSerial, c.group, c.command, c.request), expected.size())),
              ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(Commands, MeterSimRelayCommands,
                         testing::Values(RelayCase{"SoftwareVersion", 0x00, 0x01, {}, Hex("32 2E 30 37")},
                                         RelayCase{"SubVersion", 0x00, 0x03, {}, Hex("03 04")},
                                         RelayCase{"Rtc2kRead", 0x0F, 0x01, {0x01, 0x00, 0x06}, Hex("001122334455")},
                                         RelayCase{"RamRead", 0x0C, 0x01, {0x00, 0x20, 0x04}, Hex("41200000")},
                                         // The reply carries the cells as stored: the read-only ones keep their value.
                                         RelayCase{"Rtc2kWriteEchoesWhatWasStored", 0x0F, 0x81,
                                                   Bytes{0x01, 0x00, 0xA0, 0xA1, 0xA2, 0xA3}, Hex("A0A12233")},
                                         RelayCase{"Rtc2kWrite0A42EchoesWhatWasStored", 0x0A, 0x42,
                                                   Bytes{0x01, 0x08, 0xB0, 0xB1, 0xB2}, Hex("B099B2")},
                                         RelayCase{"ResetCalibrationTable", 0x0F, 0x64, {}, Hex("01")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimRelay, WritesStoreAroundReadOnlyCellsAndResetsAreCounted)
{
    MeterSimProcess sim(Line({RelayMeter()}));
    Port port(sim.DevicePath());
    const Bytes write = RelayFrame(0x55, kSerial, 0x0F, 0x81, Hex("0100 F0F1F2F3F4F5F6F7F8F9FAFB"));
    const Bytes echo = RelayFrame(0xAA, kSerial, 0x0F, 0x81, Hex("F0F12233F4F5F6F7F899FAFB"));
    ASSERT_EQ(ToHex(port.Transact(write, echo.size())), ToHex(echo));
    const Bytes reset = RelayFrame(0xAA, kSerial, 0x0F, 0x64, {0x01});
    ASSERT_EQ(ToHex(port.Transact(RelayFrame(0x55, kSerial, 0x0F, 0x64), reset.size())), ToHex(reset));

    const json dump = sim.Dump();
    EXPECT_EQ(ToHex(DumpBytes(dump, "relay", kSerial, "rtc2k", 0x0100, 12)), ToHex(Hex("F0F12233F4F5F6F7F899FAFB")));
    const json& meter = DumpMeter(dump, "relay", kSerial);
    EXPECT_EQ(meter["serial"], kSerial);
    EXPECT_EQ(meter["calibration_resets"], 1);
    EXPECT_EQ(meter["requests"], 2);
    EXPECT_EQ(meter["areas"]["rtc2k"]["readonly"],
              json::parse(R"([{"addr": 258, "count": 2}, {"addr": 265, "count": 1}])"));
}

TEST(MeterSimRelay, BroadcastSwitchesVerificationModeOfEveryMeterWithoutAnswer)
{
    MeterSimProcess sim(Line({RelayMeter(), RelayMeter(44499999)}));
    Port port(sim.DevicePath());
    // The broadcast address 44400000 travels as 80 7D A5 02; the frame's bytes sum to 0x1A4.
    const Bytes start = Hex("55 80 7D A5 02 31 7A 00 5B");
    ASSERT_EQ(start, RelayFrame(0x55, 44400000, 0x31, 0x7A));
    port.Write(start);
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    json dump = sim.Dump();
    for (std::uint32_t serial : {kSerial, 44499999u}) {
        EXPECT_EQ(DumpMeter(dump, "relay", serial)["verification"], true) << serial;
        EXPECT_EQ(DumpMeter(dump, "relay", serial)["replies"], 0) << serial;
    }
    EXPECT_TRUE(HasLogLine(sim, " BROADCAST relay:44400000 55 80 7D A5 02 31 7A 00 5B # verification mode on"));

    port.Write(RelayFrame(0x55, 44400000, 0xA8, 0x53));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    dump = sim.Dump();
    EXPECT_EQ(DumpMeter(dump, "relay", kSerial)["verification"], false);
    EXPECT_EQ(DumpMeter(dump, "relay", 44499999)["verification"], false);
}

TEST(MeterSimRelay, FrameForAnotherSerialIsIgnored)
{
    MeterSimProcess sim(Line({RelayMeter()}));
    Port port(sim.DevicePath());
    port.Write(RelayFrame(0x55, kSerial + 1, 0x00, 0x00));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " IGNORED relay:44412346 "));
}

// --- M4 -----------------------------------------------------------------------------------------

json M4Meter(int address = 1)
{
    return json::parse(R"({
      "protocol": "m4", "address": )" +
                       std::to_string(address) + R"(,
      "memory": [
        {"area": "mem", "addr": "0x0150", "hex": "0102030405060708"},
        {"area": "ram_int", "addr": "0x0010", "f32be": [1.5, 2.5]},
        {"area": "ram_ext", "addr": "0x2000", "hex": "CAFEBABE"}
      ],
      "parameters": [{"p1": 3, "p2": 1, "hex": "1122334455667788"}]
    })");
}

TEST(MeterSimM4, AnswersParameterMemoryReadWithByteExactReply)
{
    MeterSimProcess sim(Line({M4Meter()}));
    Port port(sim.DevicePath());
    // ReadMem of 0x0150 at address 1: the request's bytes sum to 0xA4.
    const Bytes request = Hex("00 01 52 01 50 00 00 00 00 00 00 00 00 A4");
    ASSERT_EQ(request, M4Frame(1, 'R', 0x01, 0x50));
    // The reply: 00 01 D2 01 50, the eight cells, and the plain sum 0x148 -> 48.
    EXPECT_EQ(ToHex(port.Transact(request, 14)), "00 01 D2 01 50 01 02 03 04 05 06 07 08 48");
    EXPECT_TRUE(HasLogLine(sim, " RX m4:1 00 01 52 01 50 "));
    EXPECT_TRUE(NoGarbageLogged(sim));
}

struct M4Case {
    const char* name;
    std::uint8_t letter, p1, p2;
    Bytes data;  // of the request
    Bytes reply; // data of the reply
};
void PrintTo(const M4Case& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimM4Operations : public testing::TestWithParam<M4Case> {};

TEST_P(MeterSimM4Operations, ReplyWithTheLetterPlus80)
{
    const M4Case& c = GetParam();
    MeterSimProcess sim(Line({M4Meter()}));
    Port port(sim.DevicePath());
    const Bytes expected = M4Frame(1, static_cast<std::uint8_t>(c.letter | 0x80), c.p1, c.p2, c.reply);
    EXPECT_EQ(ToHex(port.Transact(M4Frame(1, c.letter, c.p1, c.p2, c.data), 14)), ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Letters, MeterSimM4Operations,
    testing::Values(M4Case{"InternalRam", 'M', 0x00, 0x10, Bytes(8), Hex("3FC00000 40200000")},
                    M4Case{"ExternalRamNeverSetReadsFF", 'G', 0x20, 0x00, Bytes(8), Hex("CAFEBABE FFFFFFFF")},
                    M4Case{"ParameterFromTheTable", 'P', 3, 1, Bytes(8), Hex("1122334455667788")},
                    M4Case{"ParameterNotInTheTableIsZero", 'P', 3, 2, Hex("0101010101010101"), Bytes(8)},
                    M4Case{"SettingEchoesItsData", 'S', 7, 9, Hex("0001020304050607"), Hex("0001020304050607")},
                    M4Case{"WriteEchoesWhatWasStored", 'W', 0x01, 0x50, Hex("A0A1A2A3A4A5A6A7"),
                           Hex("A0A1A2A3A4A5A6A7")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimM4, WritesAndSettingsShowInTheDump)
{
    MeterSimProcess sim(Line({M4Meter()}));
    Port port(sim.DevicePath());
    // One request after the other without a pause: each follows the reply to the last.
    ASSERT_EQ(port.Transact(M4Frame(1, 'W', 0x01, 0x58, Hex("F0F1F2F3F4F5F6F7")), 14).size(), 14u);
    ASSERT_EQ(port.Transact(M4Frame(1, 'S', 0x02, 0x05, Hex("0000000000000001")), 14).size(), 14u);
    ASSERT_EQ(port.Transact(M4Frame(1, 'S', 0x01, 0x01), 14).size(), 14u);
    const json dump = sim.Dump();
    EXPECT_EQ(ToHex(DumpBytes(dump, "m4", 1, "mem", 0x0150, 16)), ToHex(Hex("0102030405060708 F0F1F2F3F4F5F6F7")));
    EXPECT_EQ(DumpMeter(dump, "m4", 1)["settings"], json::parse(R"([{"p1": 2, "p2": 5, "data": "0000000000000001"},
                                                                   {"p1": 1, "p2": 1, "data": "0000000000000000"}])"));
}

struct M4LineCase {
    const char* name;
    Bytes before;                    // sent first
    std::chrono::milliseconds pause; // then this pause, then the request
    bool answered;
};
void PrintTo(const M4LineCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimM4Framing : public testing::TestWithParam<M4LineCase> {};

TEST_P(MeterSimM4Framing, TakesFourteenBytesAfterAPause)
{
    const M4LineCase& c = GetParam();
    MeterSimProcess sim(Line({M4Meter()}));
    Port port(sim.DevicePath());
    const Bytes request = M4Frame(1, 'R', 0x01, 0x50);
    Bytes first = c.before;
    if (c.pause == 0ms) first.insert(first.end(), request.begin(), request.end());
    port.Write(first);
    if (c.pause > 0ms) {
        std::this_thread::sleep_for(c.pause);
        port.WriteRaw(request);
    }
    const Bytes got = port.Read(14, c.answered ? kReplyWait : kNoReplyWait);
    if (c.answered)
        EXPECT_EQ(ToHex(got), ToHex(M4Frame(1, 0xD2, 0x01, 0x50, Hex("0102030405060708"))));
    else
        EXPECT_EQ(ToHex(got), "");
    EXPECT_TRUE(port.Read(1, kNoReplyWait).empty()) << "a second reply";
}

INSTANTIATE_TEST_SUITE_P(Line, MeterSimM4Framing,
                         testing::Values(M4LineCase{"AloneOnTheLine", {}, 0ms, true},
                                         // A meter of the family starts a frame only after a pause: the stray bytes
                                         // make the request's first bytes part of a frame that fails its sum.
                                         M4LineCase{"StrayBytesRightBefore", Hex("00 01"), 0ms, false},
                                         M4LineCase{"StrayBytesThenAPause", Hex("00 01 02"), 150ms, true},
                                         M4LineCase{"ForAnotherAddress", M4Frame(2, 'R', 0x01, 0x50), 0ms, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimM4, WrongChecksumOrAnotherAddressGetsNoReply)
{
    MeterSimProcess sim(Line({M4Meter()}));
    Port port(sim.DevicePath());
    Bytes broken = M4Frame(1, 'R', 0x01, 0x50);
    broken.back() ^= 0x01;
    port.Write(broken);
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " GARBAGE - " + ToHex(broken) + " # "));
    port.Write(M4Frame(2, 'R', 0x01, 0x50));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " IGNORED m4:2 00 02 52 "));
    port.Write(M4Frame(1, 'Z', 0, 0));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_TRUE(HasLogLine(sim, " NOREPLY m4:1 # unknown operation \"Z\""));
}

// --- ModBus -------------------------------------------------------------------------------------

json ModBusMeter(int address = 1)
{
    return json::parse(R"({
      "protocol": "modbus", "address": )" +
                       std::to_string(address) + R"(,
      "registers": 32,
      "texts": {"id": {"hex": "44 4C 4E 0D 30 38"}},
      "memory": [{"area": "holding", "addr": 16, "hex": "0102 0304 0506"}]
    })");
}

TEST(MeterSimModBus, ReportsItsIdentityWithByteExactReply)
{
    MeterSimProcess sim(Line({ModBusMeter()}));
    Port port(sim.DevicePath());
    // Report slave ID to address 1: the CRC of 01 11 is 0x2CC0, sent low byte first.
    const Bytes request = Hex("01 11 C0 2C");
    ASSERT_EQ(request, WithCrc({0x01, 0x11}));
    // Address, 11, the count of the bytes that follow (7), the text length 6, the text, CRC.
    const Bytes expected = WithCrc(Hex("01 11 07 06 44 4C 4E 0D 30 38"));
    EXPECT_EQ(ToHex(port.Transact(request, expected.size())), ToHex(expected));
    EXPECT_TRUE(HasLogLine(sim, " RX modbus:1 01 11 C0 2C"));
    EXPECT_TRUE(NoGarbageLogged(sim));
}

struct ModBusCase {
    const char* name;
    Bytes request; // without the CRC
    Bytes reply;   // without the CRC
};
void PrintTo(const ModBusCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimModBusFunctions : public testing::TestWithParam<ModBusCase> {};

TEST_P(MeterSimModBusFunctions, Reply)
{
    const ModBusCase& c = GetParam();
    MeterSimProcess sim(Line({ModBusMeter()}));
    Port port(sim.DevicePath());
    const Bytes expected = WithCrc(c.reply);
    EXPECT_EQ(ToHex(port.Transact(WithCrc(c.request), expected.size())), ToHex(expected));
    EXPECT_TRUE(port.Read(1, 100ms).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Functions, MeterSimModBusFunctions,
    testing::Values(ModBusCase{"ReadHoldingRegisters", Hex("01 03 0010 0004"), Hex("01 03 08 0102 0304 0506 FFFF")},
                    ModBusCase{"ReadUpToTheLastRegister", Hex("01 03 001F 0001"), Hex("01 03 02 FFFF")},
                    ModBusCase{"WriteMultipleRegisters", Hex("01 10 0004 0002 04 AABB CCDD"), Hex("01 10 0004 0002")},
                    ModBusCase{"ReadPastTheLastRegister", Hex("01 03 001F 0002"), Hex("01 83 02")},
                    ModBusCase{"WritePastTheLastRegister", Hex("01 10 001F 0002 04 0000 0000"), Hex("01 90 02")},
                    ModBusCase{"ReadOfNoRegisters", Hex("01 03 0000 0000"), Hex("01 83 03")},
                    ModBusCase{"WriteWhoseByteCountDisagrees", Hex("01 10 0000 0002 02 0000"), Hex("01 90 03")},
                    // Found at the pause that ends it, as its layout is unknown to the meter.
                    ModBusCase{"UnknownFunction", Hex("01 04 0000 0001"), Hex("01 84 01")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimModBus, WritesLandInTheRegistersAndBroadcastWritesInEveryMeter)
{
    MeterSimProcess sim(Line({ModBusMeter(1), ModBusMeter(7)}));
    Port port(sim.DevicePath());
    const Bytes ack = WithCrc(Hex("07 10 0000 0002"));
    ASSERT_EQ(ToHex(port.Transact(WithCrc(Hex("07 10 0000 0002 04 1234 5678")), ack.size())), ToHex(ack));
    port.Write(WithCrc(Hex("00 10 0008 0001 02 ABCD")));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "") << "a broadcast is never answered";

    const json dump = sim.Dump();
    EXPECT_EQ(ToHex(DumpBytes(dump, "modbus", 7, "holding", 0, 4)), "12 34 56 78");
    EXPECT_EQ(ToHex(DumpBytes(dump, "modbus", 1, "holding", 0, 4)), "FF FF FF FF");
    EXPECT_EQ(ToHex(DumpBytes(dump, "modbus", 1, "holding", 8, 2)), "AB CD");
    EXPECT_EQ(ToHex(DumpBytes(dump, "modbus", 7, "holding", 8, 2)), "AB CD");
    EXPECT_EQ(DumpMeter(dump, "modbus", 1)["areas"]["holding"]["size"], 32);
    EXPECT_EQ(DumpMeter(dump, "modbus", 1)["areas"]["holding"]["unit"], 2);
    EXPECT_TRUE(HasLogLine(sim, " BROADCAST modbus:0 "));
}

// --- Faults of the new families -------------------------------------------------------------------

struct FamilyFaultCase {
    const char* name;
    json meter;
    Bytes request;
    Bytes good; // the reply without faults
    const char* faults;
    // What arrives instead, given the good reply.
    std::function<Bytes(const Bytes& good)> expect;
};
void PrintTo(const FamilyFaultCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimFamilyFaults : public testing::TestWithParam<FamilyFaultCase> {};

TEST_P(MeterSimFamilyFaults, ShapeTheReply)
{
    const FamilyFaultCase& c = GetParam();
    json meter = c.meter;
    meter["faults"] = json::parse(c.faults);
    MeterSimProcess sim(Line({meter}));
    Port port(sim.DevicePath());
    const Bytes expected = c.expect(c.good);
    EXPECT_EQ(ToHex(port.Transact(c.request, expected.size())), ToHex(expected));
    EXPECT_TRUE(port.Read(1, kNoReplyWait).empty()) << "bytes after the reply";
}

Bytes LastByteWrong(Bytes b)
{
    b.back() ^= 0x5A;
    return b;
}
Bytes LastByteMissing(Bytes b)
{
    b.pop_back();
    return b;
}

const Bytes kRelayRead = RelayFrame(0x55, kSerial, 0x0F, 0x01, {0x01, 0x00, 0x02});
const Bytes kRelayGood = RelayFrame(0xAA, kSerial, 0x0F, 0x01, {0x00, 0x11});
const Bytes kM4Read = M4Frame(1, 'M', 0x00, 0x10);
const Bytes kM4Good = M4Frame(1, 0xCD, 0x00, 0x10, Hex("3FC00000 40200000"));
const Bytes kModBusRead = WithCrc(Hex("01 03 0010 0001"));
const Bytes kModBusGood = WithCrc(Hex("01 03 02 0102"));

INSTANTIATE_TEST_SUITE_P(
    Kinds, MeterSimFamilyFaults,
    testing::Values(FamilyFaultCase{"RelayWrongChecksum", RelayMeter(), kRelayRead, kRelayGood,
                                    R"({"bad_checksum": true})", LastByteWrong},
                    FamilyFaultCase{"RelayMissingLastByte", RelayMeter(), kRelayRead, kRelayGood,
                                    R"({"drop_last_byte": true})", LastByteMissing},
                    FamilyFaultCase{"RelayNoiseFirst", RelayMeter(), kRelayRead, kRelayGood, R"({"noise": "AA 55"})",
                                    [](const Bytes& g) {
                                        Bytes b = Hex("AA 55");
                                        b.insert(b.end(), g.begin(), g.end());
                                        return b;
                                    }},
                    FamilyFaultCase{"M4WrongChecksum", M4Meter(), kM4Read, kM4Good, R"({"bad_checksum": true})",
                                    LastByteWrong},
                    // The request's letter where the reply code belongs; the sum stays right.
                    FamilyFaultCase{"M4WrongReplyCode", M4Meter(), kM4Read, kM4Good, R"({"wrong_code": true})",
                                    [](const Bytes&) { return M4Frame(1, 'M', 0x00, 0x10, Hex("3FC00000 40200000")); }},
                    FamilyFaultCase{"M4MissingLastByte", M4Meter(), kM4Read, kM4Good, R"({"drop_last_byte": true})",
                                    LastByteMissing},
                    FamilyFaultCase{"ModBusWrongCrc", ModBusMeter(), kModBusRead, kModBusGood, R"({"bad_crc": true})",
                                    [](Bytes g) {
                                        g[g.size() - 2] ^= 0x5A;
                                        return g;
                                    }},
                    FamilyFaultCase{"ModBusChosenException", ModBusMeter(), kModBusRead, kModBusGood,
                                    R"({"exception": 4})", [](const Bytes&) { return WithCrc(Hex("01 83 04")); }},
                    FamilyFaultCase{"ModBusExceptionWithWrongCrc", ModBusMeter(), kModBusRead, kModBusGood,
                                    R"({"exception": {"code": 6}, "bad_checksum": true})",
                                    [](const Bytes&) {
                                        Bytes b = WithCrc(Hex("01 83 06"));
                                        b[3] ^= 0x5A;
                                        return b;
                                    }},
                    FamilyFaultCase{"ModBusMissingLastByte", ModBusMeter(), kModBusRead, kModBusGood,
                                    R"({"drop_last_byte": true})", LastByteMissing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimSharedLine, FaultSelectorsCountEachMetersOwnReplies)
{
    json relay = RelayMeter();
    relay["faults"] = json::parse(R"({"silent": {"first": 1}})");
    json m4 = M4Meter();
    m4["faults"] = json::parse(R"({"wrong_code": {"every": 2}})");
    MeterSimProcess sim(Line({relay, m4}));
    Port port(sim.DevicePath());
    port.Write(kRelayRead);
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    EXPECT_EQ(ToHex(port.Transact(kRelayRead, kRelayGood.size())), ToHex(kRelayGood));
    EXPECT_EQ(ToHex(port.Transact(kM4Read, 14)), ToHex(kM4Good));
    EXPECT_EQ(port.Transact(kM4Read, 14)[2], 'M');
    EXPECT_EQ(ToHex(port.Transact(kM4Read, 14)), ToHex(kM4Good));
}

// --- Several families on one line -----------------------------------------------------------------

json SixXMeter()
{
    return json::parse(R"({"protocol": "6x", "address": 1,
                           "memory": [{"area": "rtc2k", "addr": "0x0150", "hex": "6A6B6C6D"}]})");
}

TEST(MeterSimSharedLine, EachFamilyAnswersOnlyItsOwnFramesOneRightAfterTheOther)
{
    MeterSimProcess sim(Line({SixXMeter(), RelayMeter(), M4Meter(), ModBusMeter()}));
    Port port(sim.DevicePath());
    struct Exchange {
        const char* who;
        Bytes request, reply;
    };
    // Every meter holds different bytes at "0x0150", so a reply from the wrong meter shows.
    const Exchange exchanges[] = {
        {"6x", SixXFrame(0x55, 1, 0x0F, 0x01, {0x01, 0x50, 0x04}), SixXFrame(0xAA, 1, 0x0F, 0x01, Hex("6A6B6C6D"))},
        {"m4", M4Frame(1, 'R', 0x01, 0x50), M4Frame(1, 0xD2, 0x01, 0x50, Hex("0102030405060708"))},
        {"relay", kRelayRead, kRelayGood},
        {"modbus", kModBusRead, kModBusGood},
        {"m4", kM4Read, kM4Good},
        {"6x", SixXFrame(0x55, 1, 0x0F, 0x01, {0x01, 0x50, 0x04}), SixXFrame(0xAA, 1, 0x0F, 0x01, Hex("6A6B6C6D"))},
        {"modbus", WithCrc({0x01, 0x11}), WithCrc(Hex("01 11 07 06 44 4C 4E 0D 30 38"))},
    };
    // Each request follows the last reply at once, without a pause.
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(e.who);
        EXPECT_EQ(ToHex(port.Transact(e.request, e.reply.size())), ToHex(e.reply));
    }
    EXPECT_TRUE(port.Read(1, kNoReplyWait).empty()) << "a reply from a meter of another family";
    const json dump = sim.Dump();
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["requests"], 2);
    EXPECT_EQ(DumpMeter(dump, "relay", kSerial)["requests"], 1);
    EXPECT_EQ(DumpMeter(dump, "m4", 1)["requests"], 2);
    EXPECT_EQ(DumpMeter(dump, "modbus", 1)["requests"], 2);
    // What one family refused was another's frame: nothing is garbage.
    EXPECT_TRUE(NoGarbageLogged(sim));
    EXPECT_THROW(DumpBytes(dump, 1, "rtc2k", 0x0150, 4), std::out_of_range) << "several meters at address 1";
}

TEST(MeterSimSharedLine, VerificationSwitchesReachOnlyTheirOwnAddressingScheme)
{
    MeterSimProcess sim(Line({SixXMeter(), RelayMeter()}));
    Port port(sim.DevicePath());
    port.Write(SixXFrame(0x55, 0, 0x31, 0x7A, {}));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    json dump = sim.Dump();
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["verification"], true);
    EXPECT_EQ(DumpMeter(dump, "relay", kSerial)["verification"], false);
    EXPECT_TRUE(HasLogLine(sim, " BROADCAST 0 55 00 FF 31 7A 00 "));

    port.Write(RelayFrame(0x55, 44400000, 0x31, 0x7A));
    port.Write(SixXFrame(0x55, 0, 0xA8, 0x53, {}));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    dump = sim.Dump();
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["verification"], false);
    EXPECT_EQ(DumpMeter(dump, "relay", kSerial)["verification"], true);
    EXPECT_TRUE(NoGarbageLogged(sim));
}

TEST(MeterSimSharedLine, BytesNoFamilyTakesAreLoggedOnceWithEveryFamilysReason)
{
    MeterSimProcess sim(Line({SixXMeter(), M4Meter(), ModBusMeter()}));
    Port port(sim.DevicePath());
    port.Write(Hex("01 02 03"));
    EXPECT_EQ(ToHex(port.Read(1, kNoReplyWait)), "");
    int lines = 0;
    for (const auto& line : sim.LogLines()) {
        if (line.find(" GARBAGE ") == std::string::npos) continue;
        ++lines;
        EXPECT_NE(line.find(" GARBAGE - 01 02 03 # "), std::string::npos) << line;
        for (const char* family : {"6x: ", "m4: ", "modbus: "})
            EXPECT_NE(line.find(family), std::string::npos) << family << " in " << line;
    }
    EXPECT_EQ(lines, 1);
}

// --- Scenarios of the new families ----------------------------------------------------------------

struct BadFamilyScenario {
    const char* name;
    json meter;
    const char* message;
};
void PrintTo(const BadFamilyScenario& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimFamilyScenarios : public testing::TestWithParam<BadFamilyScenario> {};

TEST_P(MeterSimFamilyScenarios, AreRefusedAtStart)
{
    ExpectRefusedAtStart(Line({GetParam().meter}), GetParam().message);
}

json With(json meter, const std::string& key, const char* value)
{
    meter[key] = json::parse(value);
    return meter;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, MeterSimFamilyScenarios,
    testing::Values(
        BadFamilyScenario{"RelayAddressComplement", With(RelayMeter(), "faults", R"({"bad_complement": true})"),
                          "faults.bad_complement: a relay frame carries no address complement"},
        BadFamilyScenario{"RelayAtTheBroadcastAddress", With(RelayMeter(), "serial", "44400000"),
                          "44400000 is the broadcast address"},
        BadFamilyScenario{"RelayWithoutSerial", json{{"protocol", "relay"}}, "missing \"serial\""},
        BadFamilyScenario{"M4Exception", With(M4Meter(), "faults", R"({"exception": 2})"),
                          "faults.exception: M4 replies have no exceptions"},
        BadFamilyScenario{"M4ParameterOfSevenBytes",
                          With(M4Meter(), "parameters", R"([{"p1": 1, "p2": 2, "hex": "01020304050607"}])"),
                          "parameters[0].hex: expected 8 bytes"},
        BadFamilyScenario{"ModBusWrongCode", With(ModBusMeter(), "faults", R"({"wrong_code": true})"),
                          "faults.wrong_code: a ModBus reply has no reply code"},
        BadFamilyScenario{"ModBusChecksumUnderBothNames",
                          With(ModBusMeter(), "faults", R"({"bad_crc": true, "bad_checksum": true})"), "one fault"},
        BadFamilyScenario{"ModBusBroadcastAddress", With(ModBusMeter(), "address", "0"), "0 is the broadcast address"},
        BadFamilyScenario{"ModBusHalfARegister",
                          With(ModBusMeter(), "memory", R"([{"area": "holding", "addr": 0, "hex": "010203"}])"),
                          "not whole 2-byte units of holding"},
        BadFamilyScenario{"ModBusPatchBeyondTheRegisters",
                          With(ModBusMeter(), "memory", R"([{"area": "holding", "addr": 31, "hex": "01020304"}])"),
                          "run past the end of holding"},
        BadFamilyScenario{"SixXWrongCode", With(SixXMeter(), "faults", R"({"wrong_code": true})"),
                          "faults.wrong_code: not a fault of 6x meters"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
