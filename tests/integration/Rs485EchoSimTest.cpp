// RS-485 line settings: the echo filter of a two-wire adapter that hears its
// own request, and kernel direction control, on real pseudo-terminals.
//
// The read-out through the connection on an echoing simulator line must give
// what it gives on a plain line; a wrong setting must end in a clear error, not
// in a hang or in values parsed from the echo. At the port level a pseudo-terminal
// driven by the test gives an echo that differs from the request.
#include "Connection.h"
#include "Settings.h"
#include "TestFiles.h"
#include "UlvComPort.h"
#include "WorkflowFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace workflow_test;
namespace fs = std::filesystem;

json Dln0805(int address)
{
    return {{"address", address},
            {"protocol", "m4"},
            {"model", "dln0805"},
            {"factory_number", "08051919"},
            {"gmax", 20.0},
            {"live", {{"G", 9.25}, {"ADC", {0.5, 0.75}}}},
            {"tables",
             {{"1",
               {{"K",
                 {0.0625, 1.03125, 72.0 / 65536, 172.0 / 65536, 328.0 / 65536, 656.0 / 65536, 1320.0 / 65536,
                  2636.0 / 65536, 6560.0 / 65536, 32864.0 / 65536}},
                {"Obr",
                 {0.0625, 1.03125, 64.0 / 65536, 160.0 / 65536, 320.0 / 65536, 640.0 / 65536, 1280.0 / 65536,
                  2560.0 / 65536, 6400.0 / 65536, 32768.0 / 65536}}}}}}};
}

json EchoingLine(std::vector<json> meters, bool echo)
{
    json line = Line(std::move(meters));
    line["line"] = {{"echo", echo}};
    return line;
}

struct MeterCase {
    const char* name;
    json meter;
    int type;
    int address;
    const char* serial;
};

void PrintTo(const MeterCase& c, std::ostream* os)
{
    *os << c.name;
}

// What a read-out through the connection leaves in the slot and on the screen.
struct ReadOutResult {
    bool ok = false;
    bool portOpen = false;
    std::string serial;
    CoefficientSet set;
    std::vector<std::string> boxes;
    std::vector<std::string> messages;
};

ReadOutResult ReadOut(const MeterCase& c, bool echoingLine, const TulvLineSettings& line)
{
    MeterSimProcess sim(EchoingLine({c.meter}, echoingLine));
    DevManager dev;
    DeviceSlot slot;
    slot.SetTypeCode(static_cast<std::uint8_t>(c.type));
    slot.SetNetAddress(static_cast<std::uint8_t>(c.address));
    slot.SetChannel(1);
    slot.SetSerialText("-");
    dev.Slots[0] = slot;
    dev.CompactSlots();
    TulvComPort port;
    dev.CreateDrivers(port, {50, 150, 1});
    TestHost host;
    TClbThread poller(dev, host);
    Connection connection(dev, port, poller, host);
    PortChoice choice;
    choice.Number = 0;
    choice.Path = sim.DevicePath();
    choice.Line = line;
    ReadOutResult r;
    r.ok = connection.BConnectClick(choice);
    r.portOpen = port.Opened();
    if (r.ok) connection.BDisconnectClick();
    r.serial = dev.Slot(1).SerialText();
    r.set = dev.Coefficients(1);
    for (const char* box : {"EZero01", "EGain01", "EG011", "EG014", "EG018"})
        r.boxes.push_back(host.BoxState(box).Text.value_or("-"));
    r.messages = host.Messages();
    return r;
}

class EchoReadOut : public ::testing::TestWithParam<MeterCase> {};

TEST_P(EchoReadOut, AnEchoingLineWithTheFilterReadsAsAPlainLine)
{
    const MeterCase& c = GetParam();
    const ReadOutResult plain = ReadOut(c, false, {});
    ASSERT_TRUE(plain.ok) << ::testing::PrintToString(plain.messages);
    EXPECT_TRUE(plain.messages.empty()) << ::testing::PrintToString(plain.messages);
    ASSERT_TRUE(plain.set.ReadDone);
    EXPECT_EQ(plain.serial, c.serial);

    // The echoing line with the filter and RS-485 direction control on (which a
    // pseudo-terminal refuses: one notice, and the read-out goes on).
    TulvLineSettings line;
    line.EchoFilter = true;
    line.Rs485 = true;
    line.DelayBeforeMs = 2;
    line.DelayAfterMs = 3;
    const ReadOutResult echo = ReadOut(c, true, line);
    ASSERT_TRUE(echo.ok) << ::testing::PrintToString(echo.messages);
    ASSERT_EQ(echo.messages.size(), 1u) << ::testing::PrintToString(echo.messages);
    EXPECT_NE(echo.messages[0].find("не поддерживается этим адаптером"), std::string::npos) << echo.messages[0];
    EXPECT_EQ(echo.serial, plain.serial);
    EXPECT_EQ(echo.set.Gmax, plain.set.Gmax);
    EXPECT_EQ(echo.set.K, plain.set.K);
    EXPECT_EQ(echo.set.Obr, plain.set.Obr);
    EXPECT_TRUE(echo.set.ReadDone);
    EXPECT_EQ(echo.boxes, plain.boxes);
}

TEST_P(EchoReadOut, AWrongEchoSettingFailsTheReadOutCleanly)
{
    // Filter off on an echoing line: the echo must never be taken for values
    // (the 6x receiver skips it while hunting the reply's start byte, so there
    // the read-out may succeed, and must then be right; M4 takes it for the
    // reply and fails). Filter on for a line without echo: the reply stands
    // where the echo should be, or nothing comes; the reason is shown.
    const MeterCase& c = GetParam();
    struct Row {
        bool echoingLine;
        bool filter;
    };
    for (const Row row : {Row{true, false}, Row{false, true}}) {
        SCOPED_TRACE(::testing::Message() << "echoing line " << row.echoingLine << ", filter " << row.filter);
        TulvLineSettings line;
        line.EchoFilter = row.filter;
        const ReadOutResult r = ReadOut(c, row.echoingLine, line);
        if (r.ok) {
            EXPECT_FALSE(row.filter) << "a missing echo is never passed over";
            EXPECT_EQ(c.type, 1) << "an M4 read-out never survives an unfiltered echo";
            EXPECT_EQ(r.serial, c.serial);
            EXPECT_TRUE(r.set.ReadDone);
            continue;
        }
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().rfind("Ошибка чтения данных", 0), 0u) << r.messages.back();
        if (row.filter) {
            EXPECT_NE(r.messages.back().find("Эхо запроса на порту"), std::string::npos) << r.messages.back();
        }
        // Where the tables were reached the set counts as read, but nothing
        // is kept as what the meter held.
        EXPECT_FALSE(r.set.AsFound.has_value());
        EXPECT_FALSE(r.portOpen);
    }
}

INSTANTIATE_TEST_SUITE_P(Meters, EchoReadOut,
                         ::testing::Values(MeterCase{"Kvt64", Kvt64(1), 1, 1, "12064001"},
                                           MeterCase{"Dln0805M4", Dln0805(19), 9, 19, "08051919"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A pseudo-terminal whose other side the test drives.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[256] = {};
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        port.SetDevicePath(name);
    }
    void TearDown() override
    {
        port.Close();
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
    std::string ReadMaster(std::size_t n)
    {
        std::string got;
        for (int tries = 0; got.size() < n && tries < 200; ++tries) {
            char buf[64];
            const ssize_t k = ::read(master, buf, std::min(sizeof buf, n - got.size()));
            if (k > 0)
                got.append(buf, static_cast<std::size_t>(k));
            else
                ::usleep(5000);
        }
        return got;
    }
    void WriteMaster(const std::string& bytes)
    {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Takes bytes with the receivers' rule until none comes within 100 ms.
    std::string Receive()
    {
        std::string got;
        std::uint8_t b;
        while (port.PollByte(100, b))
            got.push_back(static_cast<char>(b));
        return got;
    }

    int master = -1, slave = -1;
    TulvComPort port;
};

TEST_F(PtyPort, TheEchoIsDroppedAndAWrongOneEndsTheAttempt)
{
    TulvLineSettings line;
    line.EchoFilter = true;
    port.SetLine(line);
    ASSERT_TRUE(port.Open());
    struct Row {
        const char* name;
        std::string echo;  // what the line sends back for the request "ABC" (before the reply)
        std::string reply; // what the receiver must get
        bool failed;
        const char* text;
    };
    const std::vector<Row> rows = {
        {"exact echo", "ABC", "reply", false, ""},
        {"echo split over two writes", "A|BC", "reply", false, ""},
        {"echo differs in its last byte", "ABX", "", true,
         "не совпадает с запросом (байт 3 из 3: отправлен 43, принят 58)"},
        {"no echo, the reply comes first", "", "", true, "не совпадает"},
        {"echo cut short", "AB", "", true, "не пришло вовремя (принято 2 из 3 байт)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        port.BeginRequest();
        ASSERT_TRUE(port.WriteBuffer("ABC", 3));
        EXPECT_EQ(ReadMaster(3), "ABC");
        std::string echo = row.echo;
        if (const auto bar = echo.find('|'); bar != std::string::npos) {
            WriteMaster(echo.substr(0, bar));
            ::usleep(20000);
            echo.erase(0, bar + 1);
        }
        WriteMaster(row.name == std::string("echo cut short") ? echo : echo + "reply");
        EXPECT_EQ(Receive(), row.reply);
        EXPECT_EQ(port.EchoFailed(), row.failed);
        if (row.failed) {
            EXPECT_NE(port.EchoErrorText().find(row.text), std::string::npos) << port.EchoErrorText();
        } else {
            EXPECT_EQ(port.EchoErrorText(), "");
        }
        EXPECT_FALSE(port.Lost());
    }
    // The next request starts clean.
    port.BeginRequest();
    EXPECT_FALSE(port.EchoFailed());
    EXPECT_EQ(port.EchoErrorText(), "");
}

TEST_F(PtyPort, Rs485RefusedByTheDriverIsNotedOnceAndThePortWorks)
{
    TulvLineSettings line;
    line.Rs485 = true;
    line.RtsOnSend = false;
    line.DelayBeforeMs = 5;
    line.DelayAfterMs = 7;
    port.SetLine(line);
    port.SetBaudRate(19200);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.OpenNotice(), "Управление направлением RS-485 не поддерживается этим адаптером (" +
                                     port.ResolvedPath() + "); порт открыт без него");
    EXPECT_FALSE(port.Rs485Active());
    const serial_rs485& rs = port.RequestedRs485();
    EXPECT_EQ(rs.flags, static_cast<std::uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));
    EXPECT_EQ(rs.delay_rts_before_send, 5u);
    EXPECT_EQ(rs.delay_rts_after_send, 7u);
    EXPECT_EQ(cfgetospeed(&port.RequestedSettings()), B19200);
    ASSERT_TRUE(port.WriteBuffer("ping", 4));
    EXPECT_EQ(ReadMaster(4), "ping");
    WriteMaster("pong");
    EXPECT_EQ(Receive(), "pong");

    port.Close();
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.OpenNotice(), "") << "said once for the port";
    EXPECT_EQ(port.RequestedRs485().delay_rts_after_send, 7u);

    // Off by default: nothing is asked of the driver.
    port.Close();
    port.SetLine({});
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.RequestedRs485().flags, 0u);
}

TEST(LineSettingsFile, KeysOfTheSettingsSection)
{
    const TempFolder temp("rs485-settings-");
    const fs::path dir = temp.Path();
    struct Row {
        const char* name;
        std::string body;
        TulvLineSettings want;
    };
    TulvLineSettings all;
    all.Rs485 = true;
    all.RtsOnSend = false;
    all.DelayBeforeMs = 1;
    all.DelayAfterMs = 100;
    all.EchoFilter = true;
    const std::vector<Row> rows = {
        {"no keys: all off", "[Settings]\r\nPort=2\r\n", {}},
        {"every key",
         "[Settings]\r\nRS485=1\r\nRS485RtsOnSend=0\r\nRS485DelayBefore=1\r\nRS485DelayAfter=100\r\nEcho=1\r\n", all},
        {"values out of range read as the defaults",
         "[Settings]\r\nRS485=2\r\nRS485RtsOnSend=7\r\nRS485DelayBefore=-1\r\nRS485DelayAfter=101\r\nEcho=yes\r\n",
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path file = dir / "s.ini";
        std::ofstream(file, std::ios::binary) << row.body;
        Settings s;
        std::string error;
        ASSERT_TRUE(s.Open(file.string(), error)) << error;
        EXPECT_TRUE(s.Line() == row.want);
        EXPECT_TRUE(PortFromSettings(s).Line == row.want);
    }
}

} // namespace
