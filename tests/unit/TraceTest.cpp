// The traffic log: the frame decoders of every family on the protocols' golden
// frames, and the events of an exchange with faults on the scripted port's
// virtual clock, in both forms.
#include "ScriptedPort.h"
#include "Ulv6xProtocol.h"
#include "UlvM4Protocol.h"
#include "UlvModBusProtocol.h"
#include "UlvTrace.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using json = nlohmann::json;
using F = TulvTraceFamily;

// --- Decoders --------------------------------------------------------------

struct DecodeCase {
    const char* name;
    F family;
    bool request;
    const char* hex;
    const char* address;
    const char* command;
    const char* area;
    long long cell;
    int count;
    const char* data;
    int checksum;
    const char* note; // a fragment the note holds, or ""
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << c.name;
}

class Decoder : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoder, NamesEveryField)
{
    const DecodeCase& c = GetParam();
    const Bytes b = Hex(c.hex);
    const TulvFrameFields f = DecodeTraceFrame(c.family, b.data(), b.size(), c.request);
    EXPECT_EQ(f.Address, c.address);
    EXPECT_EQ(f.Command, c.command);
    EXPECT_EQ(f.Area, c.area);
    EXPECT_EQ(f.Cell, c.cell);
    EXPECT_EQ(f.Count, c.count);
    EXPECT_EQ(ToHex(f.Data), c.data);
    EXPECT_EQ(f.Checksum, c.checksum);
    EXPECT_NE(f.Note.find(c.note), std::string::npos) << f.Note;
}

INSTANTIATE_TEST_SUITE_P(
    GoldenFrames, Decoder,
    ::testing::Values(
        DecodeCase{"Rtc2kRead", F::Proto6x, true, "55 03 FC 0F 01 03 01 24 04 6F", "3", "0F 01", "Rtc2k", 0x124, 4,
                   "", 1, ""},
        DecodeCase{"Rtc2kWrite", F::Proto6x, true,
                   "55 03 FC 0F 81 12 00 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71", "3", "0F 81", "Rtc2k",
                   0x20, 16, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", 1, ""},
        DecodeCase{"DataFlashRead", F::Proto6x, true, "55 03 FC 0F 03 05 08 00 01 23 45 23", "3", "0F 03", "DataFlash",
                   0x12345, 8, "", 1, ""},
        DecodeCase{"ReplyGood", F::Proto6x, false, "AA 03 FC 0F 01 04 3F 80 00 00 83", "3", "0F 01", "Rtc2k", -1, -1,
                   "3F 80 00 00", 1, ""},
        DecodeCase{"ReplyBadChecksum", F::Proto6x, false, "AA 03 FC 0F 01 04 3F 80 00 00 D9", "3", "0F 01", "Rtc2k",
                   -1, -1, "3F 80 00 00", 0, ""},
        DecodeCase{"ReplyCutShort", F::Proto6x, false, "AA 03 FC 0F 01 04 3F 80", "3", "0F 01", "Rtc2k", -1, -1,
                   "3F 80", -1, ""},
        DecodeCase{"ReplyBadComplement", F::Proto6x, false, "AA 03 03", "3", "", "", -1, -1, "", -1, "дополнение"},
        DecodeCase{"IdentityText", F::Proto6x, false, "AA 03 FC 00 00 02 41 42 D1", "3", "00 00", "", -1, -1, "41 42",
                   1, "\"AB\""},
        DecodeCase{"RelayIdentity", F::Relay, true, "55 B9 AD A5 02 00 00 00 9D", "44412345", "00 00", "", -1, -1, "",
                   1, ""},
        DecodeCase{"RelayRamRead", F::Relay, true, "55 B9 AD A5 02 0C 01 03 00 A0 04 E9", "44412345", "0C 01", "RAM",
                   0xA0, 4, "", 1, ""},
        DecodeCase{"RelayWrite", F::Relay, true, "55 B9 AD A5 02 0F 81 06 00 20 3F 80 00 00 28", "44412345", "0F 81",
                   "Rtc2k", 0x20, 4, "3F 80 00 00", 1, ""},
        DecodeCase{"M4ParameterRead", F::M4, true, "00 01 52 01 50 00 00 00 00 00 00 00 00 A4", "1", "R",
                   "память параметров", 0x150, 8, "", 1, ""},
        DecodeCase{"M4Write", F::M4, true, "00 03 57 01 48 40 00 00 40 11 22 33 44 CD", "3", "W", "память параметров",
                   0x148, 8, "40 00 00 40 11 22 33 44", 1, ""},
        DecodeCase{"M4Setting", F::M4, true, "00 03 53 63 00 00 00 00 00 00 00 00 00 B9", "3", "S", "", -1, -1,
                   "00 00 00 00 00 00 00 00", 1, "P1 63, P2 00"},
        DecodeCase{"M4ReplyBadSum", F::M4, false, "00 03 D2 01 50 11 22 33 44 55 66 77 88 00", "3", "R",
                   "память параметров", 0x150, 8, "11 22 33 44 55 66 77 88", 0, ""},
        DecodeCase{"ModBusRead", F::ModBus, true, "01 03 00 00 00 0A C5 CD", "1", "03", "holding", 0, 10, "", 1, ""},
        DecodeCase{"ModBusWrite", F::ModBus, true, "01 10 01 72 00 01 02 FF FD 3C 33", "1", "10", "holding", 0x172, 1,
                   "FF FD", 1, ""},
        DecodeCase{"ModBusIdentity", F::ModBus, true, "01 11 C0 2C", "1", "11", "", -1, -1, "", 1, ""},
        DecodeCase{"ModBusReadReply", F::ModBus, false, "01 03 04 41 20 00 00 EF C5", "1", "03", "holding", -1, -1,
                   "41 20 00 00", 1, ""},
        DecodeCase{"ModBusReplyBadCrc", F::ModBus, false, "01 03 04 41 20 00 00 B5 C5", "1", "03", "holding", -1, -1,
                   "41 20 00 00", 0, ""},
        DecodeCase{"ModBusException", F::ModBus, false, "01 83 02 C0 F1", "1", "83", "", -1, -1, "", 1,
                   "код исключения 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Events of an exchange -------------------------------------------------

Bytes Frame6xReply(const std::string& hex)
{
    Bytes b = Hex(hex);
    std::uint8_t sum = 0;
    for (auto x : b) sum = static_cast<std::uint8_t>(sum + x);
    b.push_back(static_cast<std::uint8_t>(~sum));
    return b;
}

class TraceOnPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = (std::filesystem::temp_directory_path() /
                ("clb-trace-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log"))
                   .string();
        port.opened = true;
    }
    void TearDown() override { std::filesystem::remove(path); }

    std::vector<std::string> Lines()
    {
        trace.reset(); // writes the rest and closes
        std::ifstream in(path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    std::vector<json> Events()
    {
        std::vector<json> out;
        for (const auto& l : Lines()) out.push_back(json::parse(l)); // every line parses on its own
        return out;
    }

    std::string path;
    ScriptedPort port;
    std::unique_ptr<TulvTrace> trace;
};

TEST_F(TraceOnPort, ShowsEveryAttemptAndItsOutcomeOnThePortClock)
{
    trace = std::make_unique<TulvTrace>(path, TulvTrace::Format::JsonLines);
    ASSERT_TRUE(trace->IsOpen());
    port.clock.now = 1000; // the trace counts from the moment it is set
    port.SetTrace(trace.get());
    Tulv6xProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(3);
    p.SetRepeatCount(3);
    const Bytes good = Frame6xReply("AA 03 FC 0F 01 04 3F 80 00 00");
    Bytes bad = good;
    bad.back() ^= 0x5A;
    port.QueueReply(bad);
    port.QueueSilence();
    Bytes noisy = Hex("01 02");
    noisy.insert(noisy.end(), good.begin(), good.end());
    port.QueueReply(noisy);
    std::uint8_t buf[4];
    p.ReadRtc2k(0x0124, buf, 4);
    ASSERT_EQ(p.LastError(), ErrOk);
    // The exchange needed repeats, so a reply may still come: the next request drops it.
    port.InjectAt(port.clock.NowMs() + 100, good);
    port.QueueReply(good);
    p.ReadRtc2k(0x0124, buf, 4);
    ASSERT_EQ(p.LastError(), ErrOk);

    const std::vector<json> ev = Events();
    std::vector<std::string> kinds;
    for (const auto& e : ev) kinds.push_back(e["event"].get<std::string>() + (e.contains("hex") ? " " + e["hex"].get<std::string>() : ""));
    const std::string req = "55 03 FC 0F 01 03 01 24 04 6F";
    const std::vector<std::string> expected = {
        "sent " + req, "received " + ToHex(bad), "error",  "repeat", "sent " + req, "timeout",
        "repeat",      "sent " + req,           "noise 01 02", "received " + ToHex(good), "answer",
        "dropped " + ToHex(good), "sent " + req, "received " + ToHex(good), "answer"};
    EXPECT_EQ(kinds, expected);
    ASSERT_EQ(ev.size(), expected.size());
    EXPECT_EQ(ev[0]["t_ms"], 0) << "times count from the moment the trace was set";
    EXPECT_EQ(ev[0]["fields"]["cell"], 0x124);
    EXPECT_EQ(ev[1]["fields"]["checksum"], "bad");
    EXPECT_EQ(ev[2]["code"], 5);
    EXPECT_EQ(ev[2]["text"], ProtocolErrorText(5));
    EXPECT_EQ(ev[3]["attempt"], 2);
    EXPECT_EQ(ev[3]["of"], 3);
    // The timeout tells how long the attempt waited, to the millisecond of the port clock.
    EXPECT_EQ(ev[5]["after_ms"].get<std::uint64_t>(), ev[5]["t_ms"].get<std::uint64_t>() - ev[4]["t_ms"].get<std::uint64_t>());
    EXPECT_GE(ev[5]["after_ms"].get<std::uint64_t>(), p.PacketTimeout());
    EXPECT_EQ(ev[9]["fields"]["data"], "3F 80 00 00");
    EXPECT_EQ(ev[9]["fields"]["checksum"], "good");
    EXPECT_EQ(ev[11]["dir"], "in");
    EXPECT_EQ(ev[12]["dir"], "out");
}

TEST_F(TraceOnPort, TextFormIsOneReadableLinePerEvent)
{
    trace = std::make_unique<TulvTrace>(path, TulvTrace::Format::Text);
    port.SetTrace(trace.get());
    TulvModBusProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(1);
    p.SetRepeatCount(2);
    port.QueueReply(Hex("01 03 04 41 20"));
    port.QueueReply(Hex("01 83 02 C0 F1"));
    std::uint8_t buf[4];
    p.ReadHoldingRegisters(0, 2, buf);
    EXPECT_EQ(p.LastError(), ErrIntegrity);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[0].find(" modbus -> 01 03 00 00 00 02 C4 0B | адрес 1; 03 чтение регистров; holding 0x0000; число 2; КС верна"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("<- 01 03 04 41 20 | "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("кадр неполный"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("== тайм-аут через "), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("== повтор 2 из 2"), std::string::npos) << lines[3];
    EXPECT_NE(lines[5].find("код исключения 2"), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find("== ответ"), std::string::npos) << lines[6];
    EXPECT_NE(lines[7].find("== ошибка 7: " + ProtocolErrorText(7)), std::string::npos) << lines[7];
}

TEST_F(TraceOnPort, M4ChecksumAndWrongCodeAreOutcomes)
{
    trace = std::make_unique<TulvTrace>(path, TulvTrace::Format::JsonLines);
    port.SetTrace(trace.get());
    TulvM4Protocol p;
    p.SetComPort(&port);
    p.SetNetAddr(3);
    port.QueueReply(Hex("00 03 CD 00 79 01 02 03 04 05 06 07 08 00")); // bad sum
    std::uint8_t d[8];
    p.ReadRamInt(d, 0x79);
    EXPECT_EQ(p.LastError(), ErrChecksum);
    const auto ev = Events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0]["fields"]["area"], "внутреннее ОЗУ");
    EXPECT_EQ(ev[1]["fields"]["checksum"], "bad");
    EXPECT_EQ(ev[2]["event"], "answer");
    EXPECT_EQ(ev[3]["event"], "error");
    EXPECT_EQ(ev[3]["code"], 5);
}

TEST_F(TraceOnPort, AReplyRefusedAfterTheExchangeShowsItsCode)
{
    trace = std::make_unique<TulvTrace>(path, TulvTrace::Format::JsonLines);
    port.SetTrace(trace.get());
    TulvModBusProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(1);
    std::uint8_t reply[16] = {0x01, 0x03, 0x02, 0x12, 0x34}; // one register where two were asked for
    port.QueueReply(Bytes(reply, reply + FrameModBus::AppendCrc(reply, 5)));
    std::uint8_t buf[4];
    p.ReadHoldingRegisters(0, 2, buf);
    EXPECT_EQ(p.LastError(), ErrPacketSize);
    const auto ev = Events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[2]["event"], "answer");
    EXPECT_EQ(ev[3]["event"], "error");
    EXPECT_EQ(ev[3]["code"], 3);
}

TEST(Trace, AFileThatCannotBeOpenedIsReportedAndRecordsNothing)
{
    TulvTrace t("/nonexistent-dir/trace.log", TulvTrace::Format::Text);
    EXPECT_FALSE(t.IsOpen());
    t.Record(TulvTraceEvent{});
    t.Flush(); // returns at once
}

} // namespace
