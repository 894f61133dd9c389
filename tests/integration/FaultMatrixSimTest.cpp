// Faults on the line, one protocol family a column: the command-line front
// reads out (and writes) a meter whose replies the simulator damages, delays,
// buries in noise or never sends, and whose adapter it unplugs. Each case has
// the outcome the protocol's rules give: the right values or a failure that is
// told, never a value taken from another request's reply, and nothing written
// into the meter that was not asked for.
#include "ClbTool.h"
#include "Cp1251.h"
#include "DeviceCatalogue.h"
#include "MeterSimProcess.h"
#include "SlotDrivers.h"
#include "TestFiles.h"
#include "TulvDln0808.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Family {
    std::string name;
    json meter;       // the meter's scenario entry, without faults
    std::string slot; // --slot
    std::string kvt;  // a coefficient file for the write cases
};

void PrintTo(const Family& f, std::ostream* os)
{
    *os << f.name;
}

// A KVT file for the type of slot ("TYPE:ADDRESS...") with every key the tool writes.
std::string Kvt(const std::string& slot, const std::string& gmax, const std::vector<std::string>& k,
                const std::vector<std::string>& obr)
{
    const std::string id = Utf8ToCp1251Lossy(FindDeviceType(static_cast<std::uint8_t>(std::stoi(slot)))->DisplayName);
    std::string s = "[Device]\r\nId=" + id + "\r\nGmax=" + gmax + "\r\n[Koeff]\r\nK0=" + k[0] + "\r\nKu=" + k[1] +
                    "\r\n";
    for (int i = 1; i <= 8; ++i) s += std::to_string(i) + "=" + k[static_cast<size_t>(i + 1)] + "\r\n";
    s += "[Kobr]\r\nK0=" + obr[0] + "\r\nKu=" + obr[1] + "\r\n";
    for (int i = 1; i <= 8; ++i) s += std::to_string(i) + "=" + obr[static_cast<size_t>(i + 1)] + "\r\n";
    return s;
}

// Values that a 4-byte float and an M4 float both carry exactly.
const std::vector<std::string> NewK = {"0.125", "1.03125", "0.0009765625", "0.00244140625", "0.0048828125",
                                       "0.009765625", "0.01953125", "0.0390625", "0.1015625", "0.5"};
const std::vector<std::string> NewObr = {"0.125", "1.03125", "0.001953125", "0.0029296875", "0.005859375",
                                         "0.0107421875", "0.021484375", "0.041015625", "0.1025390625", "0.515625"};
// The КВТ-64 keeps its gain in converter units (26214 is no correction).
std::vector<std::string> InConverterUnits(std::vector<std::string> table)
{
    table[1] = "27040";
    return table;
}

std::vector<Family> Families()
{
    const json kvt64Tables = {
        {"1",
         {{"K", {0.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5}},
          {"Obr", {0.0, 26214.0, 0.0011, 0.0026, 0.0051, 0.0102, 0.0201, 0.0404, 0.1003, 0.499}}}}};
    return {
        {"SixX",
         {{"address", 1},
          {"protocol", "6x"},
          {"model", "kvt64"},
          {"texts", {{"version", "V3.011"}}},
          {"factory_number", 12064001},
          {"gmax", {2.5, 16.0}},
          {"live", {{"G", {0.25, 0.5}}}},
          {"tables", kvt64Tables}},
         "1:1:1",
         Kvt("1:1:1", "40", InConverterUnits(NewK), InConverterUnits(NewObr))},
        {"Relay",
         {{"serial", 44454321},
          {"protocol", "relay"},
          {"model", "gzu08"},
          {"factory_number", 8015321},
          {"sensor_index", 3},
          {"gmax", 48.0},
          {"live", {{"G", 2.25}, {"SFR", 2.0}}}},
         "15:0:1@44454321",
         Kvt("15:0:1@44454321", "40", NewK, NewObr)},
        {"M4",
         {{"address", 29},
          {"protocol", "m4"},
          {"model", "kvt09m4"},
          {"factory_number", "09402929"},
          {"gmax", {6.0, 3.5}},
          {"live", {{"G", {4.5, 2.75}}}}},
         "16:29:1",
         Kvt("16:29:1", "40", NewK, NewObr)},
    };
}

struct ToolRun {
    int status = -1;
    json out;
    std::vector<std::string> log;
    json dump;
};

class FaultMatrix : public ::testing::TestWithParam<Family> {
protected:

    void StartMeter(const json& faults)
    {
        json meter = GetParam().meter;
        if (!faults.is_null()) meter["faults"] = faults;
        sim = std::make_unique<MeterSimProcess>(json{{"meters", {meter}}});
    }

    // clbtool --json with the given command against the running simulator.
    ToolRun Tool(std::vector<std::string> command, const std::string& timeouts = "20,100,3")
    {
        std::vector<std::string> args = {"--port", sim->DevicePath(), "--slot", GetParam().slot, "--timeouts", timeouts,
                                         "--json"};
        args.insert(args.end(), command.begin(), command.end());
        std::ostringstream out, err;
        ToolRun r;
        r.status = RunClbTool(args, out, err);
        r.out = json::parse(out.str(), nullptr, false);
        EXPECT_FALSE(r.out.is_discarded()) << "no JSON: " << out.str() << err.str();
        r.log = sim->LogLines();
        r.dump = sim->Dump();
        return r;
    }

    ToolRun Read(const json& faults, const std::string& timeouts = "20,100,3")
    {
        StartMeter(faults);
        return Tool({"read"}, timeouts);
    }

    // The read-out of the meter without faults: what every successful case must give.
    const json& Baseline()
    {
        if (baseline.is_null()) {
            ToolRun r = Read(nullptr);
            EXPECT_EQ(r.status, 0) << r.out.dump();
            baseline = Values(r.out);
            baselineDump = r.dump;
            cleanReplies = Count(r.log, " TX ");
            firstReplyLength = FirstReplyLength(r.log);
        }
        return baseline;
    }

    static json Values(const json& out)
    {
        if (!out.contains("slots") || out["slots"].empty()) return json();
        const json& s = out["slots"][0];
        return {{"serial", s["serial"]}, {"gmax", s["gmax"]}, {"K", s["K"]},
                {"Obr", s["Obr"]},       {"version", s["version"]}, {"read_done", s["read_done"]}};
    }
    static int Count(const std::vector<std::string>& log, const std::string& kind)
    {
        int n = 0;
        for (const auto& l : log)
            if (l.find(kind) != std::string::npos) ++n;
        return n;
    }
    // The number of bytes of the first reply (a log line: time TX who bytes...).
    static size_t FirstReplyLength(const std::vector<std::string>& log)
    {
        for (const auto& l : log) {
            if (l.find(" TX ") == std::string::npos) continue;
            std::istringstream in(l);
            std::string time, kind, who, byte;
            in >> time >> kind >> who;
            size_t n = 0;
            while (in >> byte && byte.size() == 2) ++n;
            return n;
        }
        return 0;
    }
    // The request frames (RX) in order, as text.
    static std::vector<std::string> Requests(const std::vector<std::string>& log)
    {
        std::vector<std::string> r;
        for (const auto& l : log) {
            const auto p = l.find(" RX ");
            if (p != std::string::npos) r.push_back(l.substr(p + 4));
        }
        return r;
    }

    // Open to every user, as a folder made by hand would be.
    TempFolder temp{"clb-faults-", {}, true};
    fs::path dir = temp.Path();
    std::unique_ptr<MeterSimProcess> sim;
    json baseline;
    json baselineDump;
    int cleanReplies = 0;
    size_t firstReplyLength = 0;
};

// --- Slow, silent and late meters ----------------------------------------------

TEST_P(FaultMatrix, ASilentMeterGetsItsRepeatsAndTheReadOutFails)
{
    const ToolRun r = Read({{"silent", true}}, "20,100,2");
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.out["messages"].empty());
    EXPECT_NE(r.out["messages"].back().get<std::string>().find("Ошибка чтения данных"), std::string::npos)
        << r.out["messages"].dump();
    EXPECT_FALSE(r.out["slots"][0]["read_done"].get<bool>());
    // Every request went out exactly twice in a row (its two attempts).
    const auto req = Requests(r.log);
    ASSERT_GE(req.size(), 2u);
    for (size_t i = 0; i + 1 < req.size(); i += 2) EXPECT_EQ(req[i], req[i + 1]) << "attempts of one request";
    EXPECT_EQ(req.size() % 2, 0u);
}

// The packet timeout here is 500 ms: a receive gives up about 20 ms after it
// (its start delay and the last poll). It counts its 10 ms polls rather than
// the clock, so on a loaded machine it gives up later still: a reply at 0.9
// timeouts comes in time, and a late one is placed at 1.3 timeouts, clear of a
// stretched give-up and still before the next request may go out (1.5
// timeouts after the last one).
TEST_P(FaultMatrix, AReplyAtNineTenthsOfTheTimeoutIsTaken)
{
    const json base = Baseline();
    const ToolRun r = Read({{"delay_ms", {{"ms", 450}, {"first", 3}}}}, "20,500,1");
    EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
    EXPECT_EQ(Values(r.out), base);
}

TEST_P(FaultMatrix, AReplyAfterTheTimeoutCountsAsNone)
{
    // One attempt a request and every reply late: the read-out fails. On a
    // loaded machine a step's repeat may still meet its own late reply (the
    // same request, so the same answer); a value is then right or not read,
    // never taken from another request's reply.
    const json base = Baseline();
    sim.reset();
    const ToolRun r = Read({{"delay_ms", 650}}, "20,500,1");
    EXPECT_EQ(r.status, 1);
    const json& slot = r.out["slots"][0];
    if (slot["serial"] != "-") EXPECT_EQ(slot["serial"], base["serial"]);
    if (slot["gmax"] != 0.0) EXPECT_EQ(slot["gmax"], base["gmax"]);
}

TEST_P(FaultMatrix, ALateReplyNeverAnswersTheNextRequest)
{
    const json base = Baseline();
    sim.reset();
    // The first reply comes after its request gave up. The read-out asks
    // again; the late reply must answer neither that request nor any later
    // one, or every value after it would be shifted by one request.
    const ToolRun r = Read({{"delay_ms", {{"ms", 650}, {"first", 1}}}}, "20,500,1");
    EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
    EXPECT_EQ(Values(r.out), base);
}

// --- Noise, lost bytes, wrong checksums -----------------------------------------

TEST_P(FaultMatrix, NoiseBeforeAReplyIsPassedOver)
{
    const json base = Baseline();
    // Replies with a start byte find it after any noise; M4 frames have none,
    // so their damaged first reply is repeated.
    const bool startByte = GetParam().name != "M4";
    for (int count : {1, 16, 300}) {
        SCOPED_TRACE("noise of " + std::to_string(count) + " bytes");
        json noise = {{"count", count}};
        if (!startByte) noise["first"] = 1;
        const ToolRun r = Read({{"noise", noise}});
        EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
        EXPECT_EQ(Values(r.out), base);
        sim.reset();
    }
}

TEST_P(FaultMatrix, AByteLostAtAnyPlaceCostsOneRepeat)
{
    const json base = Baseline();
    const size_t length = firstReplyLength;
    ASSERT_GT(length, 5u);
    sim.reset();
    for (size_t at = 0; at < length; ++at) {
        SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(length) + " lost");
        const ToolRun r = Read({{"drop_byte", {{"at", at}, {"first", 1}}}});
        EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
        EXPECT_EQ(Values(r.out), base);
        const auto req = Requests(r.log);
        ASSERT_GE(req.size(), 2u);
        EXPECT_EQ(req[0], req[1]) << "the damaged reply's request went out again";
        sim.reset();
    }
}

TEST_P(FaultMatrix, WrongChecksumsAreRepeatedAway)
{
    const json base = Baseline();
    for (int every : {2, 3, 10}) {
        SCOPED_TRACE("a wrong checksum on every reply " + std::to_string(every));
        const ToolRun r = Read({{"bad_checksum", {{"every", every}}}});
        EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
        EXPECT_EQ(Values(r.out), base);
        sim.reset();
    }
}

// Every byte of a meter's memory areas in a dump, by area and address.
std::map<std::pair<std::string, long>, std::string> MemoryBytes(const json& areas)
{
    std::map<std::pair<std::string, long>, std::string> bytes;
    for (const auto& [area, a] : areas.items())
        for (const auto& run : a["runs"]) {
            const std::string hex = run["hex"];
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes[{area, run["addr"].get<long>() + static_cast<long>(i / 2)}] = hex.substr(i, 2);
        }
    return bytes;
}

TEST_P(FaultMatrix, ARepeatedWriteSendsTheSameBytesAndTouchesNoOtherCell)
{
    (void)Baseline();
    const auto before = MemoryBytes(baselineDump["meters"][0]["areas"]);
    const fs::path file = dir / "coefficients.kvt";
    std::ofstream(file, std::ios::binary) << GetParam().kvt;

    // The memory a clean write leaves.
    sim.reset();
    StartMeter(nullptr);
    const ToolRun clean = Tool({"write", "1", file.string(), "--yes"});
    ASSERT_EQ(clean.status, 0) << clean.out["messages"].dump();
    const auto written = MemoryBytes(clean.dump["meters"][0]["areas"]);
    sim.reset();

    for (int every : {2, 3, 10}) {
        SCOPED_TRACE("a wrong checksum on every reply " + std::to_string(every));
        StartMeter({{"bad_checksum", {{"every", every}}}});
        const ToolRun r = Tool({"write", "1", file.string(), "--yes"});
        const auto after = MemoryBytes(r.dump["meters"][0]["areas"]);
        if (GetParam().name == "M4") {
            // An M4 reply with a wrong checksum is not asked for again; the
            // read before a write of a cell fails, that cell keeps its value
            // and the failure is told. Every other cell is written.
            EXPECT_EQ(r.status, 1);
            int told = 0;
            for (const auto& m : r.out["messages"]) told += m.get<std::string>().rfind("Ошибка записи", 0) == 0;
            EXPECT_GE(told, 1) << r.out["messages"].dump();
            for (const auto& [at, value] : after) {
                const auto w = written.find(at);
                const auto b = before.find(at);
                EXPECT_TRUE((w != written.end() && w->second == value) || (b != before.end() && b->second == value))
                    << at.first << " " << at.second << ": " << value << " was never asked for";
            }
        } else {
            EXPECT_EQ(r.status, 0) << r.out["messages"].dump();
            EXPECT_EQ(after, written) << "the same memory as after a clean write";
        }
        // A request sent again right after a damaged reply is the same bytes.
        const std::vector<std::string>& lines = r.log;
        for (size_t i = 0; i + 2 < lines.size(); ++i) {
            if (lines[i].find(" RX ") == std::string::npos) continue;
            if (lines[i + 1].find("bad_checksum") == std::string::npos) continue;
            const auto next = std::find_if(lines.begin() + static_cast<long>(i) + 1, lines.end(),
                                           [](const std::string& l) { return l.find(" RX ") != std::string::npos; });
            ASSERT_NE(next, lines.end());
            if (GetParam().name != "M4") {
                EXPECT_EQ(lines[i].substr(lines[i].find(" RX ")), next->substr(next->find(" RX ")));
            }
        }
        sim.reset();
    }
}

// --- An unplugged adapter ----------------------------------------------------------

TEST_P(FaultMatrix, AnAdapterUnpluggedMidReadOutIsToldByItsPath)
{
    (void)Baseline();
    sim.reset();
    const ToolRun r = Read({{"unplug", {{"from", 3}, {"to", 3}}}});
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.out["messages"].empty());
    const std::string last = r.out["messages"].back();
    EXPECT_NE(last.find(sim->DevicePath()), std::string::npos) << last;
    EXPECT_NE(last.find("потеряна"), std::string::npos) << last;
    EXPECT_EQ(Count(r.log, " RX "), 3) << "nothing was repeated after the hang-up";

    // Back in: the first connect succeeds, without a restart of anything.
    sim->Replug();
    const ToolRun again = Tool({"read"});
    EXPECT_EQ(again.status, 0) << again.out["messages"].dump();
}

TEST_P(FaultMatrix, AnAdapterUnpluggedWhilePollingStopsThePoller)
{
    (void)Baseline();
    const int readOut = cleanReplies;
    sim.reset();
    StartMeter({{"unplug", {{"from", readOut + 4}, {"to", readOut + 4}}}});
    const ToolRun r = Tool({"poll", "50"});
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.out["cycles"].size(), 50u);
    bool told = false;
    for (const auto& m : r.out["messages"])
        told = told || (m.get<std::string>().find(sim->DevicePath()) != std::string::npos &&
                        m.get<std::string>().find("потеряна") != std::string::npos);
    EXPECT_TRUE(told) << r.out["messages"].dump();
    sim->Replug();
    EXPECT_EQ(Tool({"read"}).status, 0);
}

TEST_P(FaultMatrix, AnAdapterUnpluggedMidWriteStopsTheWrite)
{
    (void)Baseline();
    const int readOut = cleanReplies;
    sim.reset();
    const fs::path file = dir / "coefficients.kvt";
    std::ofstream(file, std::ios::binary) << GetParam().kvt;
    StartMeter({{"unplug", {{"from", readOut + 4}, {"to", readOut + 4}}}});
    const ToolRun r = Tool({"write", "1", file.string(), "--yes"});
    EXPECT_EQ(r.status, 1);
    const auto& messages = r.out["messages"];
    ASSERT_GE(messages.size(), 2u) << messages.dump();
    EXPECT_EQ(messages[0], "Записать коэффициенты в прибор?");
    const std::string last = messages.back();
    EXPECT_NE(last.find(sim->DevicePath()), std::string::npos) << last;
    EXPECT_NE(last.find("частично"), std::string::npos) << "the meter may be partly written: " << last;
    int lostMessages = 0;
    for (const auto& m : messages) lostMessages += m.get<std::string>().find("потеряна") != std::string::npos;
    EXPECT_EQ(lostMessages, 1) << messages.dump();
    sim->Replug();
    EXPECT_EQ(Tool({"read"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Families, FaultMatrix, ::testing::ValuesIn(Families()),
                         [](const auto& info) { return info.param.name; });

// --- One driver call: a silent meter's bound, and the ModBus family ----------------

// The ModBus meter has no slot type of its own, so the matrix reaches it through
// its driver on the real port; the silent-meter bound is taken the same way for
// every family, one call at a time.
struct SilentCase {
    std::string name;
    json meter;
    std::function<bool(TulvPort&, const TimeoutProfile&)> read; // one read, true on success
    bool pauseAfterFailure = false; // the M4 memory read pauses a packet timeout after a failed attempt
};

void PrintTo(const SilentCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> bool ReadK2(D& d)
{
    float v = 0;
    if constexpr (requires { d.ClbReadK(std::uint8_t{1}, std::uint8_t{2}, v); })
        return d.ClbReadK(1, 2, v);
    else
        return d.ClbReadK(2, v);
}

// A slot driver configured as the workflow does it.
std::function<bool(TulvPort&, const TimeoutProfile&)> SlotRead(std::uint8_t type, std::uint8_t address,
                                                                std::uint32_t serial = 0)
{
    return [=](TulvPort& port, const TimeoutProfile& profile) {
        DeviceSlot slot;
        slot.SetTypeCode(type);
        slot.SetNetAddress(address);
        slot.SetChannel(1);
        slot.SetRelayAddress(serial);
        SlotDriver driver = MakeSlotDriver(type);
        ConfigureSlotDriver(driver, port, slot, profile, "C132");
        return WithDriver(driver, [](auto& d) { return ReadK2(d); });
    };
}

bool ModBusRead(TulvPort& port, const TimeoutProfile& profile)
{
    TulvDln0808 d;
    d.SetComPort(&port);
    d.SetNetAddr(1);
    d.SetByteTimeout(static_cast<std::uint32_t>(profile.ByteTimeout));
    d.SetPacketTimeout(static_cast<std::uint32_t>(profile.PacketTimeout));
    d.SetRepeatCount(static_cast<std::uint8_t>(profile.RepeatCount));
    float v = 0;
    return d.ClbReadK(1, 2, v);
}

class SilentMeter : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentMeter, GivesUpWithinItsRepeatsAndTimeouts)
{
    json meter = GetParam().meter;
    meter["faults"] = {{"silent", true}};
    MeterSimProcess sim(json{{"meters", {meter}}});
    TulvComPort port;
    port.SetDevicePath(sim.DevicePath());
    ASSERT_TRUE(port.Open()) << port.OpenErrorText();
    const TimeoutProfile profile{50, 300, 2};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(GetParam().read(port, profile));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // (R + 1) x (T + the wire time of a request and its reply at 9600 baud,
    // 10 bits a byte): a generous bound that only a wrong count of polls,
    // repeats or waits oversteps.
    const auto wire = std::chrono::milliseconds(40 * 10 * 1000 / 9600);
    const auto timeout = std::chrono::milliseconds(profile.PacketTimeout);
    const auto pauses = GetParam().pauseAfterFailure ? profile.RepeatCount * timeout : timeout * 0;
    EXPECT_LE(elapsed, (profile.RepeatCount + 1) * (timeout + wire) + pauses);
    int requests = 0;
    for (const auto& l : sim.LogLines()) requests += l.find(" RX ") != std::string::npos;
    EXPECT_EQ(requests, profile.RepeatCount) << "one request per attempt";
}

INSTANTIATE_TEST_SUITE_P(
    Families, SilentMeter,
    ::testing::Values(
        SilentCase{"SixX", {{"address", 1}, {"protocol", "6x"}, {"model", "kvt64"}}, SlotRead(1, 1)},
        SilentCase{"Relay", {{"serial", 44454321}, {"protocol", "relay"}, {"model", "gzu08"}}, SlotRead(15, 0, 44454321)},
        SilentCase{"M4", {{"address", 29}, {"protocol", "m4"}, {"model", "kvt09m4"}}, SlotRead(16, 29), true},
        SilentCase{"ModBus", {{"address", 1}, {"protocol", "modbus"}, {"model", "dln0808"}}, ModBusRead}),
    [](const auto& info) { return info.param.name; });

// The ModBus family's rows of the matrix: two reads of different registers,
// each with the right value or a told failure.
struct ModBusRow {
    std::string name;
    json faults;
    int repeats;
    bool firstOk; // the first read succeeds
};

void PrintTo(const ModBusRow& r, std::ostream* os)
{
    *os << r.name;
}

class ModBusFaults : public ::testing::TestWithParam<ModBusRow> {};

const std::vector<float> ModBusK = {-5.0f, 1.0625f, 0.00125f, 0.0026f, 0.0051f, 0.0102f, 0.0205f, 0.041f, 0.1025f, 0.51f};

TEST_P(ModBusFaults, EveryValueIsRightOrTheReadFails)
{
    json meter = {{"address", 1},
                  {"protocol", "modbus"},
                  {"model", "dln0808"},
                  {"tables", {{"1", {{"K", ModBusK}, {"Obr", ModBusK}}}}},
                  {"faults", GetParam().faults}};
    MeterSimProcess sim(json{{"meters", {meter}}});
    TulvComPort port;
    port.SetDevicePath(sim.DevicePath());
    ASSERT_TRUE(port.Open()) << port.OpenErrorText();
    TulvDln0808 d;
    d.SetComPort(&port);
    d.SetNetAddr(1);
    d.SetByteTimeout(30);
    d.SetPacketTimeout(300);
    d.SetRepeatCount(static_cast<std::uint8_t>(GetParam().repeats));
    float first = -1, second = -1;
    EXPECT_EQ(d.ClbReadK(1, 2, first), GetParam().firstOk) << "error " << d.LastError();
    if (GetParam().firstOk) {
        EXPECT_EQ(first, ModBusK[2]);
    }
    ASSERT_TRUE(d.ClbReadK(1, 3, second)) << "error " << d.LastError();
    EXPECT_EQ(second, ModBusK[3]) << "the second read takes its own reply";
}

std::vector<ModBusRow> ModBusRows()
{
    std::vector<ModBusRow> rows = {
        {"ReplyAtNineTenthsOfTheTimeout", {{"delay_ms", {{"ms", 270}, {"first", 1}}}}, 1, true},
        {"ReplyAfterTheTimeoutWithOneAttempt", {{"delay_ms", {{"ms", 340}, {"first", 1}}}}, 1, false},
        {"ReplyAfterTheTimeoutWithRepeats", {{"delay_ms", {{"ms", 340}, {"first", 1}}}}, 3, true},
        {"OneByteOfNoise", {{"noise", {{"count", 1}, {"first", 1}}}}, 3, true},
        {"SixteenBytesOfNoise", {{"noise", {{"count", 16}, {"first", 1}}}}, 3, true},
        {"ThreeHundredBytesOfNoise", {{"noise", {{"count", 300}, {"first", 1}}}}, 3, true},
        {"WrongCrcOnEverySecondReply", {{"bad_crc", {{"every", 2}}}}, 3, true},
        {"WrongCrcOnEveryThirdReply", {{"bad_crc", {{"every", 3}}}}, 3, true},
        {"WrongCrcOnEveryTenthReply", {{"bad_crc", {{"every", 10}}}}, 3, true},
    };
    // The reply to reading a single (two registers) is 9 bytes: slave, function, count, four
    // data bytes, CRC.
    for (int at = 0; at < 9; ++at)
        rows.push_back({"ByteLostAt" + std::to_string(at), {{"drop_byte", {{"at", at}, {"first", 1}}}}, 3, true});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, ModBusFaults, ::testing::ValuesIn(ModBusRows()),
                         [](const auto& info) { return info.param.name; });

} // namespace
