// TulvM4Protocol on the real serial port against the meter simulator over a pseudo-terminal: each
// operation, the write gate, and each injected fault with its outcome and attempts, the wrong reply
// code per operation included.
#include "MeterSimProcess.h"
#include "ProtocolSim.h"
#include "SimLine.h"
#include "UlvM4Protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>

using nlohmann::json;
using namespace protosim;

namespace {

json M4Meter(json faults = json::object())
{
    json m = json::parse(R"({
      "protocol": "m4", "address": 1,
      "memory": [
        {"area": "mem", "addr": "0x0150", "hex": "0102030405060708"},
        {"area": "ram_int", "addr": "0x0010", "hex": "1011121314151617"},
        {"area": "ram_ext", "addr": "0x0020", "hex": "2021222324252627"}
      ],
      "parameters": [{"p1": 3, "p2": 1, "hex": "3031323334353637"}]
    })");
    if (!faults.empty()) m["faults"] = faults;
    return m;
}

json Line(std::vector<json> meters)
{
    return {{"line", {{"baud", 9600}}}, {"meters", meters}};
}

class M4Line : public ProtocolLine<TulvM4Protocol> {
protected:
    json Meter(const json& dump) { return DumpMeter(dump, "m4", 1); }
};

TEST_F(M4Line, ReadsEveryMemoryAndAsksParameters)
{
    Start(Line({M4Meter()}));
    std::array<std::uint8_t, 8> d{};
    proto.ReadMem(d, 0x0150);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 8), "0102030405060708");
    proto.ReadRamInt(d, 0x0010);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 8), "1011121314151617");
    proto.ReadRamExt(d, 0x0020);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 8), "2021222324252627");
    proto.ParameterDevice(d, 3, 1);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 8), "3031323334353637");
    proto.ParameterDevice(d, 9, 9);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 8), "0000000000000000") << "a pair outside the meter's table";
}

TEST_F(M4Line, WritesAndSettingCommandsReachTheMeter)
{
    Start(Line({M4Meter()}));
    const std::array<std::uint8_t, 8> k = {0x3F, 0x80, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00};
    proto.WriteMem(k, 0x0200);
    ASSERT_EQ(proto.LastError(), 0u);
    const std::uint8_t raw[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    proto.WriteMemP(raw, 0x0208);
    ASSERT_EQ(proto.LastError(), 0u);
    std::array<std::uint8_t, 8> s = {0, 0, 0, 0, 0, 0, 0, 0x05};
    proto.SetDevice(s, 0x02, 0x07);
    ASSERT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(s.data(), 8), "0000000000000005") << "the meter answers with the command's data";
    proto.WriteS(1, 1);
    ASSERT_EQ(proto.LastError(), 0u);

    const json dump = sim->Dump();
    EXPECT_EQ(HexOf(DumpBytes(dump, "m4", 1, "mem", 0x0200, 16)), "3F80000040000000A0A1A2A3A4A5A6A7");
    EXPECT_EQ(Meter(dump)["settings"], json::parse(R"([{"p1": 2, "p2": 7, "data": "0000000000000005"},
                                                       {"p1": 1, "p2": 1, "data": "0000000000000000"}])"));
}

TEST_F(M4Line, WritingDisabledSendsNothing)
{
    Start(Line({M4Meter()}));
    proto.SetEWrite(false);
    const std::array<std::uint8_t, 8> k{};
    proto.WriteMem(k, 0x0150);
    EXPECT_EQ(proto.LastError(), 0u);
    proto.WriteS(1, 1);
    EXPECT_EQ(proto.LastError(), 0u);
    const json dump = sim->Dump();
    EXPECT_EQ(Meter(dump)["requests"], 0);
    EXPECT_EQ(HexOf(DumpBytes(dump, "m4", 1, "mem", 0x0150, 8)), "0102030405060708");
}

// One operation as a test row runs it: fills data (8 bytes, EE before the call).
enum class Op { ReadRamInt, ReadRamExt, ReadMem, ParameterDevice, SetDevice, WriteMem, WriteS };

const char* kGood[] = {
    "1011121314151617", "2021222324252627", "0102030405060708", "3031323334353637", "EEEEEEEEEEEEEEEE", "", ""};

void RunOperation(TulvM4Protocol& proto, Op op, std::array<std::uint8_t, 8>& d)
{
    switch (op) {
    case Op::ReadRamInt: proto.ReadRamInt(d, 0x0010); break;
    case Op::ReadRamExt: proto.ReadRamExt(d, 0x0020); break;
    case Op::ReadMem: proto.ReadMem(d, 0x0150); break;
    case Op::ParameterDevice: proto.ParameterDevice(d, 3, 1); break;
    case Op::SetDevice: proto.SetDevice(d, 4, 4); break;
    case Op::WriteMem: proto.WriteMem(d, 0x0300); break;
    case Op::WriteS: proto.WriteS(2, 2); break;
    }
}

struct FaultCase {
    const char* name;
    json faults;
    Op op;
    ProtocolErrorCode error;
    bool copied; // the reply's data reached the caller (for the operations that read)
    int requests;
};

class M4Fault : public M4Line, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(M4Fault, GivesTheOutcomeOfTheOperation)
{
    const FaultCase& c = GetParam();
    Start(Line({M4Meter(c.faults)}));
    std::array<std::uint8_t, 8> d;
    d.fill(0xEE);
    RunOperation(proto, c.op, d);
    EXPECT_EQ(proto.LastError(), c.error);
    const int op = static_cast<int>(c.op);
    if (c.op != Op::WriteMem && c.op != Op::WriteS) {
        EXPECT_EQ(HexOf(d.data(), 8), c.copied ? kGood[op] : "EEEEEEEEEEEEEEEE");
    }
    const json dump = sim->Dump();
    EXPECT_EQ(Meter(dump)["requests"], c.requests);
    if (c.op == Op::WriteMem) {
        EXPECT_EQ(HexOf(DumpBytes(dump, "m4", 1, "mem", 0x0300, 8)), "EEEEEEEEEEEEEEEE") << "the write was stored";
    }
}

const json kWrongCode = {{"wrong_code", true}};

INSTANTIATE_TEST_SUITE_P(
    Faults, M4Fault,
    ::testing::Values(
        FaultCase{"SilentMeter", {{"silent", true}}, Op::ReadMem, 2, false, 3},
        FaultCase{"SilentOnce", {{"silent", {{"first", 1}}}}, Op::ReadMem, 0, true, 2},
        FaultCase{"DelayWithinThePacketTimeout", {{"delay_ms", 120}}, Op::ReadMem, 0, true, 1},
        FaultCase{"DelayBeyondEveryAttempt", {{"delay_ms", 1500}}, Op::ReadMem, 2, false, 3},
        // Fourteen bytes arrive: three of noise and the reply without its last three. The
        // parameter read takes the byte at offset 2 for a wrong code and ignores the reply...
        FaultCase{"NoiseIgnoredByParameterRead", {{"noise", "01 02 03"}}, Op::ReadMem, 0, false, 1},
        // ...the live-value read refuses it.
        FaultCase{"NoiseRefusedByLiveValueRead", {{"noise", "01 02 03"}}, Op::ReadRamInt, 7, false, 1},
        // A wrong checksum ends the attempts: fourteen bytes came.
        FaultCase{"WrongChecksumOnTheFirstTwoReplies", {{"bad_checksum", {{"first", 2}}}}, Op::ReadMem, 5, true, 1},
        FaultCase{"WrongChecksumOfALiveValue", {{"bad_checksum", true}}, Op::ReadRamInt, 5, true, 1},
        FaultCase{"WrongChecksumOfAWrite", {{"bad_checksum", true}}, Op::WriteMem, 5, false, 1},
        FaultCase{"MissingLastByte", {{"drop_last_byte", true}}, Op::ReadMem, 2, false, 3},
        FaultCase{"MissingLastByteOnce", {{"drop_last_byte", {{"first", 1}}}}, Op::ReadMem, 0, true, 2},
        FaultCase{"WrongCodeOfInternalRam", kWrongCode, Op::ReadRamInt, 7, false, 1},
        FaultCase{"WrongCodeOfExternalRam", kWrongCode, Op::ReadRamExt, 7, false, 1},
        FaultCase{"WrongCodeOfParameterMemory", kWrongCode, Op::ReadMem, 0, false, 1},
        FaultCase{"WrongCodeOfAParameter", kWrongCode, Op::ParameterDevice, 0, false, 1},
        FaultCase{"WrongCodeOfASetting", kWrongCode, Op::SetDevice, 0, false, 1},
        FaultCase{"WrongCodeOfAWrite", kWrongCode, Op::WriteMem, 0, false, 1},
        FaultCase{"WrongCodeOfASettingWithoutData", kWrongCode, Op::WriteS, 7, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(M4Line, AnAddressWithoutAMeterTimesOutAfterEveryAttempt)
{
    Start(Line({M4Meter()}));
    proto.SetNetAddr(5);
    proto.SetPacketTimeout(50);
    std::array<std::uint8_t, 8> d;
    d.fill(0xEE);
    proto.ReadMem(d, 0x0150);
    EXPECT_EQ(proto.LastError(), 2u);
    EXPECT_EQ(HexOf(d.data(), 8), "EEEEEEEEEEEEEEEE");
    EXPECT_EQ(LogLinesWith(*sim, " IGNORED m4:5 ").size(), 3u) << "one request per attempt";
}

} // namespace
