// TulvModBusProtocol on the real serial port against the meter simulator over a pseudo-terminal:
// registers read and written, the identification text, the write gate, exception replies and each
// injected fault with its outcome and attempts.
#include "MeterSimProcess.h"
#include "ProtocolSim.h"
#include "SimLine.h"
#include "UlvModBusProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

using nlohmann::json;
using namespace protosim;

namespace {

json ModBusMeter(json faults = json::object())
{
    json m = json::parse(R"({
      "protocol": "modbus", "address": 1, "registers": 64,
      "texts": {"id": {"hex": "C4 CB CD 2D 30 38 2E 30 38 0D 0A"}},
      "memory": [{"area": "holding", "addr": 16, "hex": "3F80 0000 4120 0000 ABCD"}]
    })");
    if (!faults.empty()) m["faults"] = faults;
    return m;
}

json Line(std::vector<json> meters)
{
    return {{"line", {{"baud", 9600}}}, {"meters", meters}};
}

class ModBusLine : public ProtocolLine<TulvModBusProtocol> {
protected:
    json Meter(const json& dump) { return DumpMeter(dump, "modbus", 1); }
};

TEST_F(ModBusLine, ReadsAndWritesRegisters)
{
    Start(Line({ModBusMeter()}));
    std::array<std::uint8_t, 10> d{};
    ASSERT_TRUE(proto.ReadHoldingRegisters(16, 5, d));
    EXPECT_EQ(proto.LastError(), 0u);
    EXPECT_EQ(HexOf(d.data(), 10), "3F80000041200000ABCD");

    const std::uint8_t w[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    ASSERT_TRUE(proto.WriteMultipleRegisters(62, 2, w)) << "up to the last register";
    ASSERT_TRUE(proto.WriteMultipleRegisters(0, 3, w));
    const json dump = sim->Dump();
    EXPECT_EQ(HexOf(DumpBytes(dump, "modbus", 1, "holding", 62, 4)), "12345678");
    EXPECT_EQ(HexOf(DumpBytes(dump, "modbus", 1, "holding", 0, 8)), "123456789ABCFFFF");
    EXPECT_EQ(Meter(dump)["requests"], 3);
}

TEST_F(ModBusLine, IdentificationTextWithoutItsControlBytes)
{
    Start(Line({ModBusMeter()}));
    std::string s = "stale";
    proto.GetDevID(s);
    EXPECT_EQ(proto.LastError(), 0u);
    // C4 CB CD are "ДЛН" in code page 1251; CR and LF are dropped.
    EXPECT_EQ(s, "ДЛН-08.08");
}

TEST_F(ModBusLine, WritingDisabledSendsNothing)
{
    Start(Line({ModBusMeter()}));
    proto.SetEWrite(false);
    const std::uint8_t w[2] = {0, 0};
    EXPECT_TRUE(proto.WriteMultipleRegisters(16, 1, w));
    EXPECT_EQ(proto.LastError(), 0u);
    const json dump = sim->Dump();
    EXPECT_EQ(Meter(dump)["requests"], 0);
    EXPECT_EQ(HexOf(DumpBytes(dump, "modbus", 1, "holding", 16, 2)), "3F80");
}

TEST_F(ModBusLine, ExceptionRepliesFailAtOnceWithTheirCode)
{
    Start(Line({ModBusMeter()}));
    std::array<std::uint8_t, 4> d;
    d.fill(0xEE);
    // Registers 63 and 64: the meter has 64 (0..63).
    EXPECT_FALSE(proto.ReadHoldingRegisters(63, 2, d));
    EXPECT_EQ(proto.LastError(), 7u);
    EXPECT_EQ(proto.ReplyBuffer()[1], 0x83);
    EXPECT_EQ(proto.ReplyBuffer()[2], 0x02) << "illegal data address";
    EXPECT_EQ(HexOf(d.data(), 4), "EEEEEEEE");

    const std::uint8_t w[4] = {1, 2, 3, 4};
    EXPECT_FALSE(proto.WriteMultipleRegisters(64, 2, w));
    EXPECT_EQ(proto.LastError(), 7u);
    EXPECT_EQ(proto.ReplyBuffer()[1], 0x90);
    EXPECT_EQ(proto.ReplyBuffer()[2], 0x02);
    EXPECT_EQ(Meter(sim->Dump())["requests"], 2) << "an exception is an answer: no repeats";
}

enum class Op { Read, Write, Identify };

struct FaultCase {
    const char* name;
    json faults;
    Op op;
    ProtocolErrorCode error; // after RepeatCount 3
    int requests;
};

class ModBusFault : public ModBusLine, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ModBusFault, GivesTheOutcomeOfTheRules)
{
    const FaultCase& c = GetParam();
    Start(Line({ModBusMeter(c.faults)}));
    std::array<std::uint8_t, 4> d;
    d.fill(0xEE);
    std::string s = "stale";
    bool ok = false;
    switch (c.op) {
    case Op::Read: ok = proto.ReadHoldingRegisters(16, 2, d); break;
    case Op::Write: ok = proto.WriteMultipleRegisters(40, 2, d); break;
    case Op::Identify: proto.GetDevID(s); break;
    }
    EXPECT_EQ(proto.LastError(), c.error);
    if (c.op != Op::Identify) {
        EXPECT_EQ(ok, c.error == 0);
    }
    if (c.op == Op::Read) {
        EXPECT_EQ(HexOf(d.data(), 4), c.error == 0 ? "3F800000" : "EEEEEEEE");
    }
    if (c.op == Op::Identify) {
        EXPECT_EQ(s, c.error == 0 ? "ДЛН-08.08" : "");
    }
    EXPECT_EQ(Meter(sim->Dump())["requests"], c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ModBusFault,
    ::testing::Values(
        FaultCase{"Silent", {{"silent", true}}, Op::Read, 2, 3},
        FaultCase{"SilentOnce", {{"silent", {{"first", 1}}}}, Op::Read, 0, 2},
        FaultCase{"DelayWithinThePacketTimeout", {{"delay_ms", 120}}, Op::Read, 0, 1},
        FaultCase{"DelayBeyondEveryAttempt", {{"delay_ms", 1000}}, Op::Read, 2, 3},
        // With no start search the noise byte is taken for the address and the reply's address for
        // the function code: the CRC fails on every attempt.
        FaultCase{"NoiseBeforeEveryReply", {{"noise", "00"}}, Op::Read, 5, 3},
        FaultCase{"NoiseBeforeTheFirstReply", {{"noise", {{"hex", "00"}, {"first", 1}}}}, Op::Read, 0, 2},
        FaultCase{"WrongCrc", {{"bad_crc", true}}, Op::Read, 5, 3},
        FaultCase{"WrongCrcOnTheFirstTwoReplies", {{"bad_crc", {{"first", 2}}}}, Op::Read, 0, 3},
        FaultCase{"WrongCrcOfAWrite", {{"bad_checksum", true}}, Op::Write, 5, 3},
        FaultCase{"MissingLastByte", {{"drop_last_byte", true}}, Op::Read, 2, 3},
        FaultCase{"MissingLastByteOnce", {{"drop_last_byte", {{"first", 1}}}}, Op::Identify, 0, 2},
        FaultCase{"ExceptionToARead", {{"exception", 4}}, Op::Read, 7, 1},
        FaultCase{"ExceptionToAWrite", {{"exception", {{"code", 6}}}}, Op::Write, 7, 1},
        FaultCase{"ExceptionToIdentification", {{"exception", {{"code", 1}, {"first", 1}}}}, Op::Identify, 7, 1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
