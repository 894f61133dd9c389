// Meters of all four families on one line, each driven through its protocol class on one real
// serial port against the meter simulator: every meter answers only its own frames, even when one
// request follows another family's reply at once.
#include "MeterSimProcess.h"
#include "ProtocolSim.h"
#include "Ulv6xProtocol.h"
#include "UlvM4Protocol.h"
#include "UlvModBusProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

using nlohmann::json;
using namespace protosim;

namespace {

constexpr std::uint32_t kSerial = 44412345;

// Every meter keeps different bytes at 0x0010, so a reply from the wrong meter shows.
json SharedLineScenario()
{
    return json::parse(R"({
      "line": {"baud": 9600},
      "meters": [
        {"protocol": "6x", "address": 1, "texts": {"id": "КВТ-64"},
         "memory": [{"area": "rtc2k", "addr": "0x0010", "hex": "61626364"}]},
        {"protocol": "relay", "serial": 44412345, "texts": {"id": "ГЗУ-08"},
         "memory": [{"area": "rtc2k", "addr": "0x0010", "hex": "71727374"}]},
        {"protocol": "m4", "address": 1,
         "memory": [{"area": "mem", "addr": "0x0010", "hex": "8182838485868788"}]},
        {"protocol": "modbus", "address": 1, "texts": {"id": "ДЛН"},
         "memory": [{"area": "holding", "addr": 16, "hex": "9192 9394"}]}
      ]})");
}

class SharedLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<MeterSimProcess>(SharedLineScenario());
        port.SetDevicePath(sim->DevicePath());
        ASSERT_TRUE(port.Open()) << port.OpenErrorText();
        six.SetNetAddr(1);
        relay.SetGZU_NetAddr(kSerial);
        m4.SetNetAddr(1);
        modbus.SetNetAddr(1);
        for (auto* p : {&six, &relay}) {
            p->SetComPort(&port);
            p->SetEWrite(true);
            p->SetRepeatCount(1); // a frame taken by the wrong meter shows as a failure at once
            p->SetPacketTimeout(300);
            p->SetByteTimeout(50);
        }
        m4.SetComPort(&port);
        m4.SetEWrite(true);
        m4.SetRepeatCount(1);
        m4.SetPacketTimeout(300);
        m4.SetByteTimeout(50);
        modbus.SetComPort(&port);
        modbus.SetEWrite(true);
        modbus.SetRepeatCount(1);
        modbus.SetPacketTimeout(300);
        modbus.SetByteTimeout(50);
    }
    void TearDown() override { port.Close(); }

    std::unique_ptr<MeterSimProcess> sim;
    TulvComPort port;
    Tulv6xProtocol six;   // the 6x meter at address 1
    Tulv6xProtocol relay; // the relay meter
    TulvM4Protocol m4;
    TulvModBusProtocol modbus;
};

TEST_F(SharedLine, EachMeterAnswersOnlyItsOwnFrames)
{
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::uint8_t d[4] = {};
        six.ReadRtc2k(0x0010, d, 4);
        ASSERT_EQ(six.LastError(), 0u);
        EXPECT_EQ(HexOf(d, 4), "61626364");

        std::array<std::uint8_t, 8> m{};
        m4.ReadMem(m, 0x0010);
        ASSERT_EQ(m4.LastError(), 0u);
        EXPECT_EQ(m4.ReplyBuffer()[2], 0xD2);
        EXPECT_EQ(HexOf(m.data(), 8), "8182838485868788");

        relay.GZU_ReadRtc2k(0x0010, d, 4);
        ASSERT_EQ(relay.LastError(), 0u);
        EXPECT_EQ(HexOf(d, 4), "71727374");

        std::uint8_t r[4] = {};
        ASSERT_TRUE(modbus.ReadHoldingRegisters(16, 2, r)) << modbus.LastError();
        EXPECT_EQ(HexOf(r, 4), "91929394");

        std::string s;
        six.GetDevID(s);
        EXPECT_EQ(s, "КВТ-64");
        relay.GZU_GetDevID(s);
        EXPECT_EQ(s, "ГЗУ-08");
        modbus.GetDevID(s);
        EXPECT_EQ(s, "ДЛН");
    }

    const json dump = sim->Dump();
    EXPECT_EQ(DumpMeter(dump, "6x", 1)["requests"], 2 * kRounds);
    EXPECT_EQ(DumpMeter(dump, "relay", kSerial)["requests"], 2 * kRounds);
    EXPECT_EQ(DumpMeter(dump, "m4", 1)["requests"], kRounds);
    EXPECT_EQ(DumpMeter(dump, "modbus", 1)["requests"], 2 * kRounds);
    // Every byte on the line was some meter's request.
    EXPECT_TRUE(LogLinesWith(*sim, " GARBAGE ").empty()) << LogLinesWith(*sim, " GARBAGE ").front();
    EXPECT_TRUE(LogLinesWith(*sim, " IGNORED ").empty()) << LogLinesWith(*sim, " IGNORED ").front();
}

TEST_F(SharedLine, WritesLandInTheAddressedMeterOnly)
{
    const std::uint8_t w[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    six.WriteRtc2k(0x0020, w, 4);
    ASSERT_EQ(six.LastError(), 0u);
    const std::array<std::uint8_t, 8> k = {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
    m4.WriteMem(k, 0x0020);
    ASSERT_EQ(m4.LastError(), 0u);
    std::uint8_t v[4] = {0xC1, 0xC2, 0xC3, 0xC4};
    relay.GZU_WriteRtc2k(0x0020, v, 4);
    ASSERT_EQ(relay.LastError(), 0u);
    const std::uint8_t reg[4] = {0xD1, 0xD2, 0xD3, 0xD4};
    ASSERT_TRUE(modbus.WriteMultipleRegisters(0x20, 2, reg));

    const json dump = sim->Dump();
    EXPECT_EQ(HexOf(DumpBytes(dump, "6x", 1, "rtc2k", 0x0020, 4)), "A1A2A3A4");
    EXPECT_EQ(HexOf(DumpBytes(dump, "m4", 1, "mem", 0x0020, 8)), "B1B2B3B4B5B6B7B8");
    EXPECT_EQ(HexOf(DumpBytes(dump, "relay", kSerial, "rtc2k", 0x0020, 4)), "C1C2C3C4");
    EXPECT_EQ(HexOf(DumpBytes(dump, "modbus", 1, "holding", 0x20, 4)), "D1D2D3D4");
    for (const auto& meter : dump["meters"])
        EXPECT_EQ(meter["requests"], 1) << meter["protocol"];
}

TEST_F(SharedLine, AnUnansweredRequestDoesNotDisturbTheNextFamily)
{
    // Nobody at 6x address 9: the request times out; the M4 request right after is still found.
    six.SetNetAddr(9);
    std::uint8_t d[4];
    six.ReadRtc2k(0x0010, d, 4);
    EXPECT_EQ(six.LastError(), 2u);
    std::array<std::uint8_t, 8> m{};
    m4.ReadMem(m, 0x0010);
    EXPECT_EQ(m4.LastError(), 0u);
    EXPECT_EQ(HexOf(m.data(), 8), "8182838485868788");
    EXPECT_EQ(LogLinesWith(*sim, " IGNORED 9 ").size(), 1u);
}

} // namespace
