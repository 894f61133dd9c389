// The simulated flow stand, seen from the client's side of the pseudo-terminal: what each meter type
// reports in its live-flow cell for a known true flow, error curve and point table, how a write of
// new tables changes it, the schedule of levels, two simulators sharing one stand, and flows set on
// standard input. Expected values are worked by hand from the stand's rules.
#include "MeterSimProcess.h"
#include "SimClient.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <ostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace simclient;
using namespace std::chrono_literals;

// --- Reading a live value --------------------------------------------------------------------------

double SingleBigEndian(const Bytes& b, std::size_t at)
{
    const std::uint32_t bits =
        (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
    return std::bit_cast<float>(bits);
}

double SingleLittleEndian(const Bytes& b, std::size_t at)
{
    const std::uint32_t bits =
        (std::uint32_t{b[at + 3]} << 24) | (std::uint32_t{b[at + 2]} << 16) | (std::uint32_t{b[at + 1]} << 8) | b[at];
    return std::bit_cast<float>(bits);
}

// An M4 float: sign and exponent (bias 64) in byte 0, a 16-bit mantissa M in bytes 1..2, M / 65536 · 2^exponent.
double M4Float(const Bytes& b, std::size_t at)
{
    const double x = std::ldexp(((b[at + 1] << 8) | b[at + 2]) / 65536.0, (b[at] & 0x7F) - 64);
    return (b[at] & 0x80) ? -x : x;
}

double Int32BigEndian(const Bytes& b, std::size_t at)
{
    return static_cast<std::int32_t>((std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
                                     (std::uint32_t{b[at + 2]} << 8) | b[at + 3]);
}

// A request that reads a live value, the length of its reply and where the value sits in it.
struct LiveRead {
    Bytes request;
    std::size_t replyLength;
    std::function<double(const Bytes&)> decode;
};

LiveRead SixXRam(std::uint8_t address, std::uint16_t cell, bool bigEndian)
{
    return {SixXFrame(0x55, address, 0x0C, 0x01,
                      {static_cast<std::uint8_t>(cell >> 8), static_cast<std::uint8_t>(cell), 4}),
            11, [bigEndian](const Bytes& r) { return bigEndian ? SingleBigEndian(r, 6) : SingleLittleEndian(r, 6); }};
}

LiveRead SixXCurrentValues(std::uint8_t address)
{
    return {SixXFrame(0x55, address, 0x0C, 0x00, {}), 23, [](const Bytes& r) { return SingleBigEndian(r, 6); }};
}

LiveRead RelayRam(std::uint32_t serial, std::uint16_t cell)
{
    return {RelayFrame(0x55, serial, 0x0C, 0x01,
                       {static_cast<std::uint8_t>(cell >> 8), static_cast<std::uint8_t>(cell), 4}),
            13, [](const Bytes& r) { return SingleLittleEndian(r, 8); }};
}

LiveRead M4Read(std::uint8_t address, std::uint8_t letter, std::uint8_t hi, std::uint8_t lo)
{
    return {M4Frame(address, letter, hi, lo), 14, [](const Bytes& r) { return M4Float(r, 5); }};
}

LiveRead ModBusFlow(std::uint8_t address)
{
    return {WithCrc({address, 0x03, 0x00, 0x00, 0x00, 0x02}), 9, [](const Bytes& r) { return Int32BigEndian(r, 3); }};
}

double ReadLive(Port& port, const LiveRead& read)
{
    const Bytes reply = port.Transact(read.request, read.replyLength);
    if (reply.size() != read.replyLength) {
        ADD_FAILURE() << "no reply to " << ToHex(read.request);
        return NAN;
    }
    return read.decode(reply);
}

// --- Scenarios -------------------------------------------------------------------------------------

constexpr std::uint32_t kSerial = 44412345;

json ConstantStand(double flow)
{
    return {{"schedule", json::array({{{"flow", flow}, {"hold_s", 1000}}})}};
}

json Scenario(json stand, std::vector<json> meters)
{
    return {{"line", {{"seed", 3}, {"stand", std::move(stand)}}}, {"meters", std::move(meters)}};
}

// A point table with the given K0 and Ku whose fifth Obr point (0.48) lies below its K point (0.5):
// a fraction between 0.5 and 0.6 is corrected to 0.48 + 1.2 · (x − 0.5). Below the first point
// (0.1 → 0.09) it is corrected by 0.9, above the last (0.8 → 0.76) toward (2, 2).
json Tables(double k0, double ku)
{
    return {{"1",
             {{"K", {k0, ku, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8}},
              {"Obr", {k0, ku, 0.09, 0.2, 0.3, 0.4, 0.48, 0.6, 0.7, 0.76}}}}};
}

// A meter of Gmax 16 at the true flow 8 (fraction 0.5) with an error of +4 % measures x = 0.52,
// which the table corrects to 0.504.
json UnderTest()
{
    return {{"error", json::array({json::array({0.1, 4.0}), json::array({1.0, 4.0})})}};
}

// A reference with +0.5 % reports 8.04 (fraction 0.5025).
json Reference()
{
    return {{"reference", true}, {"error_pct", 0.5}};
}

json Meter(const char* protocol, const char* model, json tables, json stand, json extra = json::object())
{
    json m = {{"protocol", protocol}, {"model", model}, {"tables", std::move(tables)}, {"stand", std::move(stand)}};
    if (std::string(protocol) == "relay")
        m["serial"] = kSerial;
    else
        m["address"] = std::string(protocol) == "modbus" ? 17 : 1;
    m.update(extra);
    return m;
}

// --- What each type reports -----------------------------------------------------------------------

struct LiveCase {
    const char* name;
    json meter;
    LiveRead read;
    double expected;
    double trueFlow = 8.0;
};
void PrintTo(const LiveCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimStandLive : public testing::TestWithParam<LiveCase> {};

TEST_P(MeterSimStandLive, ReportsTheFlowThroughItsTableInItsOwnForm)
{
    const LiveCase& c = GetParam();
    MeterSimProcess sim(Scenario(ConstantStand(c.trueFlow), {c.meter}));
    Port port(sim.DevicePath());
    EXPECT_NEAR(ReadLive(port, c.read), c.expected, std::fabs(c.expected) * 1e-4);

    const json dump = sim.Dump();
    EXPECT_DOUBLE_EQ(dump["stand"]["true_flow"].get<double>(), c.trueFlow);
    const json& stand = dump["meters"][0]["stand"];
    EXPECT_EQ(stand["reads"], 1);
    if (stand["role"] == "meter") {
        EXPECT_NEAR(stand["x"].get<double>(), c.trueFlow / 16 * 1.04, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, MeterSimStandLive,
    testing::Values(
        // Flow: 0.504 · 16; below the first point 0.8 / 16 · 1.04 = 0.052, corrected to 0.0468; above
        // the last 14.4 / 16 · 1.04 = 0.936, corrected to 0.76 + 1.24 · 0.136 / 1.2.
        LiveCase{"BelowTheFirstPoint", Meter("6x", "kvt61", Tables(0, 1), UnderTest(), {{"gmax", 16}}),
                 SixXRam(1, 0x00B4, true), 0.7488, 0.8},
        LiveCase{"AboveTheLastPoint", Meter("6x", "kvt61", Tables(0, 1), UnderTest(), {{"gmax", 16}}),
                 SixXRam(1, 0x00B4, true), 16 * (0.76 + 1.24 * 0.136 / 1.2), 14.4},
        LiveCase{"Kvt61Flow", Meter("6x", "kvt61", Tables(0, 1), UnderTest(), {{"gmax", 16}}), SixXRam(1, 0x00B4, true),
                 8.064},
        LiveCase{"Kvt78FlowLittleEndian", Meter("6x", "kvt78", Tables(0, 1), UnderTest(), {{"gmax", {16, 16}}}),
                 SixXRam(1, 0x01CC, false), 8.064},
        LiveCase{"Kvt64kuRelay", Meter("relay", "kvt64ku", Tables(0, 1), UnderTest(), {{"gmax", 16}}),
                 RelayRam(kSerial, 0x001E), 8.064},
        LiveCase{"Kvt09m4", Meter("m4", "kvt09m4", Tables(0, 1), UnderTest(), {{"gmax", {16, 16}}}),
                 M4Read(1, 'G', 0x04, 0x4D), 8.064},
        LiveCase{"Dln0805Parameter", Meter("m4", "dln0805", Tables(0, 1), UnderTest(), {{"gmax", 16}}),
                 M4Read(1, 'P', 4, 0), 8.064},
        // A whole number, in thousandths.
        LiveCase{"Dln0808Scaled",
                 Meter("modbus", "dln0808", Tables(0, 1),
                       [] {
                           json s = UnderTest();
                           s["scale"] = 1000;
                           return s;
                       }(),
                       {{"gmax", 16}}),
                 ModBusFlow(17), 8064},
        // Fraction: 0.504.
        LiveCase{"Kvt66Fraction", Meter("6x", "kvt66", Tables(0, 1), UnderTest(), {{"gmax", {16, 16}}}),
                 SixXRam(1, 0x00A0, true), 0.504},
        LiveCase{"Kvt641FractionWithTheStandsGmax",
                 Meter("6x", "kvt641", Tables(0, 1),
                       [] {
                           json s = UnderTest();
                           s["gmax"] = 16;
                           return s;
                       }()),
                 SixXRam(1, 0x00B4, true), 0.504},
        // Raw reading: x · 26214 / Ku + K0 = 0.52 · 13107 + 100, uncorrected.
        LiveCase{"Kvt64RawReading", Meter("6x", "kvt64", Tables(100, 2), UnderTest(), {{"gmax", {16, 16}}}),
                 SixXCurrentValues(1), 6915.64},
        // Zero and gain: 0.504 / Ku + K0.
        LiveCase{"Dln0809ZeroGain", Meter("6x", "dln0809", Tables(0.01, 2), UnderTest(), {{"gmax", 16}}),
                 SixXRam(1, 0x000C, false), 0.262},
        LiveCase{"Gzu08RelayZeroGain", Meter("relay", "gzu08", Tables(0.5, 4), UnderTest(), {{"gmax", 16}}),
                 RelayRam(kSerial, 0x0010), 0.626},
        // A reference reports 8.04 whatever its table holds; in the raw form the reading whose
        // correction gives 0.5025: x = 0.5 + 0.0225 / 1.2 = 0.51875, G = 0.51875 · 13107 + 100.
        LiveCase{"ReferenceIgnoresItsTable", Meter("6x", "kvt61", Tables(0, 1), Reference(), {{"gmax", 16}}),
                 SixXRam(1, 0x00B4, true), 8.04},
        LiveCase{"ReferenceRawReading", Meter("6x", "kvt64", Tables(100, 2), Reference(), {{"gmax", {16, 16}}}),
                 SixXCurrentValues(1), 6899.25625},
        LiveCase{"ReferenceZeroGain", Meter("relay", "gzu08", Tables(0.5, 4), Reference(), {{"gmax", 16}}),
                 RelayRam(kSerial, 0x0010), 0.625625}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A write of new tables --------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    json meter;
    Bytes write;
    std::size_t writeReplyLength;
    LiveRead read;
};
void PrintTo(const WriteCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimStandWrites : public testing::TestWithParam<WriteCase> {};

TEST_P(MeterSimStandWrites, ChangeWhatTheMeterReports)
{
    const WriteCase& c = GetParam();
    MeterSimProcess sim(Scenario(ConstantStand(8.0), {c.meter}));
    Port port(sim.DevicePath());
    EXPECT_NEAR(ReadLive(port, c.read), 8.064, 1e-3);
    ASSERT_EQ(port.Transact(c.write, c.writeReplyLength).size(), c.writeReplyLength);
    // Obr now equals K: the table corrects nothing, and the meter reports x · Gmax = 0.52 · 16.
    EXPECT_NEAR(ReadLive(port, c.read), 8.32, 1e-3);
}

Bytes IdentityObrPointsBigEndian()
{
    Bytes data{0x00, 0x68};
    for (float p : {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f}) {
        const auto bits = std::bit_cast<std::uint32_t>(p);
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return SixXFrame(0x55, 1, 0x0F, 0x81, data);
}

INSTANTIATE_TEST_SUITE_P(
    Families, MeterSimStandWrites,
    testing::Values(WriteCase{"SixXPlainWrite", Meter("6x", "kvt61", Tables(0, 1), UnderTest(), {{"gmax", 16}}),
                              IdentityObrPointsBigEndian(), 7, SixXRam(1, 0x00B4, true)},
                    // Obr points 5 and 6 share the block at 0x0170: M4 floats 0.5 (40 80 00) and 0.6 (40 99 9A).
                    WriteCase{"M4BlockWrite", Meter("m4", "kvt09m4", Tables(0, 1), UnderTest(), {{"gmax", {16, 16}}}),
                              M4Frame(1, 'W', 0x01, 0x70, Hex("408000C0 40999A73")), 14, M4Read(1, 'G', 0x04, 0x4D)}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The schedule ---------------------------------------------------------------------------------

json Levels(double first, double second, double holdS, double noisePct)
{
    return {{"schedule",
             {{{"flow", first}, {"hold_s", holdS}, {"noise_pct", noisePct}},
              {{"flow", second}, {"hold_s", holdS}, {"noise_pct", noisePct}}}}};
}

json PlainReference()
{
    return Meter("6x", "kvt61", Tables(0, 1), {{"reference", true}}, {{"gmax", 16}});
}

TEST(MeterSimStand, FollowsTheScheduleLevelByLevelAndCycles)
{
    MeterSimProcess sim(Scenario(Levels(3.0, 6.0, 1.5, 1.0), {PlainReference()}));
    Port port(sim.DevicePath());
    const LiveRead read = SixXRam(1, 0x00B4, true);

    struct Sample {
        Clock::time_point at;
        double flow;
    };
    std::vector<Sample> samples;
    const auto end = Clock::now() + 3700ms;
    while (Clock::now() < end) {
        samples.push_back({Clock::now(), ReadLive(port, read)});
        std::this_thread::sleep_for(10ms);
    }
    // Every sample lies at one of the levels (1 % noise); the level changes every 1.5 s.
    std::vector<Clock::time_point> switches;
    std::vector<double> level[2];
    int previous = -1;
    for (const auto& s : samples) {
        const int which = std::fabs(s.flow - 3.0) < 0.3 ? 0 : std::fabs(s.flow - 6.0) < 0.6 ? 1 : -1;
        ASSERT_NE(which, -1) << "a sample at neither level: " << s.flow;
        if (previous != -1 && which != previous) switches.push_back(s.at);
        previous = which;
        level[which].push_back(s.flow / (which == 0 ? 3.0 : 6.0));
    }
    ASSERT_GE(switches.size(), 2u) << "both levels, and back again";
    for (std::size_t i = 1; i < switches.size(); ++i)
        EXPECT_NEAR(std::chrono::duration<double>(switches[i] - switches[i - 1]).count(), 1.5, 0.25);
    // The mean of each level is the level within its noise (a new value every 100 ms: some 15 per
    // level and pass), and the noise shows.
    for (const auto& relative : level) {
        double sum = 0, squares = 0;
        for (double r : relative)
            sum += r;
        const double mean = sum / relative.size();
        for (double r : relative)
            squares += (r - mean) * (r - mean);
        const double sigma = std::sqrt(squares / (relative.size() - 1));
        EXPECT_NEAR(mean, 1.0, 0.012);
        EXPECT_GT(sigma, 0.003);
        EXPECT_LT(sigma, 0.03);
    }
}

// Where the schedule's clock stands is set through a Unix epoch that lies that long in the past.
struct RampCase {
    const char* name;
    double clockS;
    bool cycle;
    double expected;
};
void PrintTo(const RampCase& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimStandRamps : public testing::TestWithParam<RampCase> {};

TEST_P(MeterSimStandRamps, LeadFromOneLevelToTheNext)
{
    const RampCase& c = GetParam();
    // Levels 2 and 6 of 1000 s each, reached over 100 s: the flow moves 0.04 m³/h a second on a ramp.
    json scenario =
        Scenario({{"schedule", {{{"flow", 2.0}, {"hold_s", 1000}}, {{"flow", 6.0}, {"hold_s", 1000}}}},
                  {"ramp_s", 100},
                  {"cycle", c.cycle},
                  {"epoch", std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                                c.clockS}},
                 {PlainReference()});
    MeterSimProcess sim(scenario);
    Port port(sim.DevicePath());
    EXPECT_NEAR(ReadLive(port, SixXRam(1, 0x00B4, true)), c.expected, 0.03);
}

INSTANTIATE_TEST_SUITE_P(Schedule, MeterSimStandRamps,
                         testing::Values(RampCase{"FirstLevelFromRest", 25, true, 0.5},
                                         RampCase{"HalfWayUp", 1050, true, 4.0}, RampCase{"Held", 1500, true, 6.0},
                                         RampCase{"BackDownOnceItCycles", 2050, true, 4.0},
                                         RampCase{"LastLevelKeptWithoutCycling", 2050, false, 6.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MeterSimStand, TwoSimulatorsWithOneEpochSeeTheSameFlow)
{
    // Levels of 0.5 s with 2 % noise, on a clock that began 1000.25 s ago in both.
    json scenario = Scenario(Levels(2.0, 4.0, 0.5, 2.0), {PlainReference()});
    scenario["line"]["stand"]["epoch"] =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 1000.25;
    MeterSimProcess first(scenario), second(scenario);
    Port a(first.DevicePath()), b(second.DevicePath());
    const LiveRead read = SixXRam(1, 0x00B4, true);

    // Where the first simulator reads the same value before and after the second one's read, the
    // second one read within the same noise step: it must see the very same flow.
    int compared = 0;
    for (int tries = 0; tries < 200 && compared < 5; ++tries) {
        const double before = ReadLive(a, read);
        const double other = ReadLive(b, read);
        const double after = ReadLive(a, read);
        if (before != after) continue;
        EXPECT_EQ(other, before);
        ++compared;
        std::this_thread::sleep_for(130ms);
    }
    EXPECT_EQ(compared, 5);
}

// --- Flows set on standard input ----------------------------------------------------------------------

// metersim started through a script that feeds it a named pipe as its standard input; the test
// writes commands into the pipe.
class CommandPipe {
public:
    CommandPipe()
    {
        char pattern[] = "/tmp/standtest.XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        folder_ = pattern;
        const std::string fifo = folder_ + "/commands";
        if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        // Open for reading and writing: the script's open for reading then never waits.
        fd_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("open " + fifo);
        script_ = folder_ + "/metersim";
        std::ofstream(script_) << "#!/bin/sh\nexec '" << METERSIM_BINARY << "' \"$@\" < '" << fifo << "'\n";
        ::chmod(script_.c_str(), 0700);
    }
    ~CommandPipe()
    {
        ::close(fd_);
        std::remove(script_.c_str());
        std::remove((folder_ + "/commands").c_str());
        ::rmdir(folder_.c_str());
    }
    const std::string& Script() const { return script_; }
    void Send(const std::string& line)
    {
        ASSERT_EQ(::write(fd_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

private:
    std::string folder_, script_;
    int fd_ = -1;
};

// Reads until the value is near the expected one (a command takes effect a moment after it is written).
bool Reaches(Port& port, const LiveRead& read, double expected)
{
    for (const auto end = Clock::now() + 3s; Clock::now() < end; std::this_thread::sleep_for(20ms))
        if (std::fabs(ReadLive(port, read) - expected) < 1e-4) return true;
    return false;
}

TEST(MeterSimStand, TakesTheFlowFromStandardInputUntilToldToFollowTheScheduleAgain)
{
    CommandPipe commands;
    MeterSimOptions options;
    options.executable = commands.Script();
    MeterSimProcess sim(Scenario(ConstantStand(8.0), {PlainReference()}), options);
    Port port(sim.DevicePath());
    const LiveRead read = SixXRam(1, 0x00B4, true);
    EXPECT_NEAR(ReadLive(port, read), 8.0, 1e-5);

    commands.Send("what\nflow 12.5\n");
    EXPECT_TRUE(Reaches(port, read, 12.5));
    EXPECT_EQ(sim.Dump()["stand"]["mode"], "set");
    commands.Send("schedule\n");
    EXPECT_TRUE(Reaches(port, read, 8.0));
    EXPECT_EQ(sim.Dump()["stand"]["mode"], "schedule");
    EXPECT_TRUE(HasLogLine(sim, "STAND - # flow 12.5"));
    EXPECT_EQ(sim.Stop(), 0);
}

// --- Scenarios refused -----------------------------------------------------------------------------

struct BadStand {
    const char* name;
    json scenario;
    const char* message;
};
void PrintTo(const BadStand& c, std::ostream* os)
{
    *os << c.name;
}

class MeterSimStandScenarios : public testing::TestWithParam<BadStand> {};

TEST_P(MeterSimStandScenarios, AreRefusedAtStart)
{
    ExpectRefusedAtStart(GetParam().scenario, GetParam().message);
}

json WithStand(json meterStand, const char* model = "kvt61")
{
    return Scenario(ConstantStand(8.0), {Meter("6x", model, Tables(0, 1), std::move(meterStand))});
}

INSTANTIATE_TEST_SUITE_P(
    Refused, MeterSimStandScenarios,
    testing::Values(
        BadStand{"MeterOnALineWithoutStand", json{{"meters", {Meter("6x", "kvt61", Tables(0, 1), UnderTest())}}},
                 "meters[0].stand: the line has no \"stand\""},
        BadStand{"MeterWithoutLiveFlow",
                 Scenario(ConstantStand(8.0), {json{{"protocol", "6x"}, {"address", 1}, {"stand", UnderTest()}}}),
                 "has no live flow on channel 1"},
        BadStand{"ChannelTheMeterLacks", WithStand({{"channel", 2}}), "has no live flow on channel 2"},
        BadStand{"TypeWithoutGmaxInMemory", WithStand(UnderTest(), "kvt641"), "keeps no Gmax of its own"},
        BadStand{"ErrorCurveOutOfOrder", WithStand({{"error", {{0.5, 1.0}, {0.2, 1.0}}}}),
                 "meters[0].stand.error[1][0]: the flows must increase"},
        BadStand{"ReferenceWithAnErrorCurve", WithStand({{"reference", true}, {"error", {{0.5, 1.0}}}}),
                 "a reference has \"error_pct\" instead"},
        BadStand{"LevelWithoutHold", Scenario({{"schedule", {{{"flow", 1.0}, {"hold_s", 0}}}}}, {}),
                 "line.stand.schedule[0].hold_s: must be above 0"},
        BadStand{"EpochNotATime", Scenario({{"epoch", "now"}}, {}), "line.stand.epoch: \"start\" or a Unix time"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
