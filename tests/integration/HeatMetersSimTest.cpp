// The heat-meter drivers (type codes 1 to 7) on the real serial port against the simulator's models
// of their meters over a pseudo-terminal: every calibration cell read and written, plain and
// scrambled, and what the meter then holds (from its dump); the checksum-guarded block of the
// КВТ-66/КВТ-76; the factory resets as the meter receives them; factory number, live values and
// Gmax; the answers the add-device probe looks for; a meter that stops answering in mid-write.
//
// Expected cells and write sequences are written here from the meters' memory maps, not taken from
// the drivers. Frames that reached a meter are read from the simulator's frame log (RX lines).
#include "MeterSimProcess.h"
#include "SimLine.h"
#include "TulvKvt61.h"
#include "TulvKvt64.h"
#include "TulvKvt641.h"
#include "TulvKvt64M1.h"
#include "TulvKvt66.h"
#include "TulvKvt76.h"
#include "TulvKvt78.h"
#include "UlvComPort.h"
#include "UlvUtils.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

constexpr int kAddress = 3;
const std::array<float, 10> kFactory = {0.0f, 1.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};

// --- The drivers behind one interface ------------------------------------------------------------
//
// The classes differ in their argument lists (with or without a channel) and in what they offer;
// the adapter calls each in its own form, and the channel is passed only where the class takes it.

class HeatDriver {
public:
    virtual ~HeatDriver() = default;
    virtual Tulv6xProtocol& Proto() = 0;
    virtual bool ReadK(int ch, int i, float& v) = 0;
    virtual bool ReadObr(int ch, int i, float& v) = 0;
    virtual bool WriteK(int ch, int i, float v) = 0;
    virtual bool WriteObr(int ch, int i, float v) = 0;
    virtual bool HasScrambledWrites() const = 0;
    // A fresh scrambled block of v's bit pattern, as the coefficient writer makes it.
    virtual bool WriteKNew(int ch, int i, float v) = 0;
    virtual bool WriteObrNew(int ch, int i, float v) = 0;
    virtual void ResetK() = 0;
    virtual bool HasResetKNew() const = 0;
    virtual void ResetKNew() = 0;
    virtual std::string DeviceNumber() = 0;
    virtual float ReadG(int ch) = 0;
    virtual bool HasSfr() const = 0;
    virtual float ReadSfr(int ch) = 0;
    virtual void SetSignature(const std::string& s) = 0;
};

template <class D>
concept TablesTakeChannel = requires(D& d, float& v)
{
    d.ClbReadK(std::uint8_t{}, std::uint8_t{}, v);
};
template <class D>
concept HasNewWrites = requires(D& d)
{
    d.ClbWriteK_new(std::uint8_t{}, std::uint8_t{}, std::uint64_t{});
}
|| requires(D& d)
{
    d.ClbWriteK_new(std::uint8_t{}, std::uint64_t{});
};
template <class D>
concept HasResetNew = requires(D& d)
{
    d.ResetK_new();
};
template <class D>
concept LiveTakesChannel = requires(D& d)
{
    d.ClbReadG(std::uint8_t{});
};
template <class D>
concept HasSfrRead = requires(D& d)
{
    d.ClbReadSFR(std::uint8_t{});
}
|| requires(D& d)
{
    d.ClbReadSFR();
};

std::uint8_t U8(int v)
{
    return static_cast<std::uint8_t>(v);
}

std::uint64_t Scrambled(float v)
{
    return ScrambleValue8(std::bit_cast<std::uint32_t>(v));
}

template <class D> class Adapter final : public HeatDriver {
public:
    Tulv6xProtocol& Proto() override { return d; }
    bool ReadK(int ch, int i, float& v) override
    {
        if constexpr (TablesTakeChannel<D>)
            return d.ClbReadK(U8(ch), U8(i), v);
        else
            return d.ClbReadK(U8(i), v);
    }
    bool ReadObr(int ch, int i, float& v) override
    {
        if constexpr (TablesTakeChannel<D>)
            return d.ClbReadObr(U8(ch), U8(i), v);
        else
            return d.ClbReadObr(U8(i), v);
    }
    bool WriteK(int ch, int i, float v) override
    {
        if constexpr (TablesTakeChannel<D>)
            return d.ClbWriteK(U8(ch), U8(i), v);
        else
            return d.ClbWriteK(U8(i), v);
    }
    bool WriteObr(int ch, int i, float v) override
    {
        if constexpr (TablesTakeChannel<D>)
            return d.ClbWriteObr(U8(ch), U8(i), v);
        else
            return d.ClbWriteObr(U8(i), v);
    }
    bool HasScrambledWrites() const override { return HasNewWrites<D>; }
    bool WriteKNew(int ch, int i, float v) override
    {
        if constexpr (!HasNewWrites<D>)
            return false;
        else if constexpr (TablesTakeChannel<D>)
            return d.ClbWriteK_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteK_new(U8(i), Scrambled(v));
    }
    bool WriteObrNew(int ch, int i, float v) override
    {
        if constexpr (!HasNewWrites<D>)
            return false;
        else if constexpr (TablesTakeChannel<D>)
            return d.ClbWriteObr_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteObr_new(U8(i), Scrambled(v));
    }
    void ResetK() override { d.ResetK(); }
    bool HasResetKNew() const override { return HasResetNew<D>; }
    void ResetKNew() override
    {
        if constexpr (HasResetNew<D>) d.ResetK_new();
    }
    std::string DeviceNumber() override
    {
        std::string s = "untouched";
        d.GetDeviceNumber(s);
        return s;
    }
    float ReadG(int ch) override
    {
        if constexpr (LiveTakesChannel<D>)
            return d.ClbReadG(U8(ch));
        else
            return d.ClbReadG();
    }
    bool HasSfr() const override { return HasSfrRead<D>; }
    float ReadSfr(int ch) override
    {
        if constexpr (!HasSfrRead<D>)
            return 0.0f;
        else if constexpr (LiveTakesChannel<D>)
            return d.ClbReadSFR(U8(ch));
        else
            return d.ClbReadSFR();
    }
    void SetSignature(const std::string& s) override { d.SetSignature(s); }

    D d;
};

template <class D> std::unique_ptr<HeatDriver> Make()
{
    return std::make_unique<Adapter<D>>();
}

// --- The meters ---------------------------------------------------------------------------------

struct MeterType {
    const char* name;
    const char* model;
    std::function<std::unique_ptr<HeatDriver>()> make;
    int cellSets;              // channels with cells of their own
    std::vector<int> channels; // channel arguments to exercise (ignored by some classes)
};

void PrintTo(const MeterType& c, std::ostream* os)
{
    *os << c.name;
}

// The cell set a channel argument reaches.
int SetOf(const MeterType& m, int ch)
{
    return m.cellSets == 2 ? ch : 1;
}

const MeterType kKvt64{"Kvt64", "kvt64", Make<TulvKvt64>, 2, {1, 2}};
const MeterType kKvt641{"Kvt641", "kvt641", Make<TulvKvt641>, 1, {1, 2}}; // channel ignored
const MeterType kKvt61{"Kvt61", "kvt61", Make<TulvKvt61>, 1, {1, 2}};     // both channels, one set of cells
const MeterType kKvt66{"Kvt66", "kvt66", Make<TulvKvt66>, 2, {1, 2}};
const MeterType kKvt76{"Kvt76", "kvt76", Make<TulvKvt76>, 2, {1, 2}};
const MeterType kKvt78{"Kvt78", "kvt78", Make<TulvKvt78>, 2, {1, 2}};
const MeterType kKvt64M1{"Kvt64M1", "kvt64m1", Make<TulvKvt64M1>, 1, {1}}; // no channel argument

const std::vector<MeterType> kAllTypes = {kKvt64, kKvt641, kKvt61, kKvt66, kKvt76, kKvt78, kKvt64M1};

// Two tables of one channel; K0 and Ku are shared, so both tables hold the same first two values.
struct Tables {
    std::array<float, 10> K;
    std::array<float, 10> Obr;
};

// Values distinct per cell, per set and per salt, and none of them a factory value.
Tables MakeTables(int set, int salt)
{
    Tables t;
    t.K[0] = t.Obr[0] = 0.125f * set + 0.0625f * salt;
    t.K[1] = t.Obr[1] = 1.0f + 0.01f * set + 0.1f * salt;
    for (int p = 0; p < 8; ++p) {
        t.K[2 + p] = 0.0123f * (p + 1) * set + 0.5f * salt;
        t.Obr[2 + p] = 0.0117f * (p + 1) * set + 0.25f * salt + 0.001f;
    }
    return t;
}

json TablesJson(const Tables& t)
{
    return {{"K", t.K}, {"Obr", t.Obr}};
}

json MeterEntry(const MeterType& m, json extra = json::object())
{
    json e = {{"address", kAddress}, {"protocol", "6x"}, {"model", m.model}};
    if (!extra.is_null()) e.update(extra);
    return e;
}

json Scenario(json meter)
{
    return {{"meters", json::array({std::move(meter)})}};
}

std::array<float, 10> DumpTable(const json& dump, int set, const char* table)
{
    const json& values = dump.at("meters").at(0).at("tables").at(std::to_string(set)).at(table);
    std::array<float, 10> out{};
    for (int i = 0; i < 10; ++i)
        out[i] = values.at(i).get<float>();
    return out;
}

// --- The frame log -------------------------------------------------------------------------------

struct Frame {
    std::uint8_t group = 0;
    std::uint8_t command = 0;
    std::vector<std::uint8_t> data;
};

// The requests that reached the meter, in order.
std::vector<Frame> Requests(const MeterSimProcess& sim)
{
    std::vector<Frame> frames;
    for (const auto& line : sim.LogLines()) {
        std::istringstream in(line);
        std::string time, kind, address;
        in >> time >> kind >> address;
        if (kind != "RX") continue;
        std::vector<std::uint8_t> raw;
        std::string byte;
        while (in >> byte && byte != "#")
            raw.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
        if (raw.size() < 7) continue;
        frames.push_back({raw[3], raw[4], std::vector<std::uint8_t>(raw.begin() + 6, raw.end() - 1)});
    }
    return frames;
}

// A memory read or write as the meter received it: "R 05E0 146", "W 05E0 8".
std::string Describe(const Frame& f)
{
    char buf[32];
    const unsigned addr = f.data.size() >= 2 ? (f.data[0] << 8) | f.data[1] : 0;
    if (f.group == 0x0F && f.command == 0x01 && f.data.size() == 3)
        std::snprintf(buf, sizeof buf, "R %04X %u", addr, f.data[2]);
    else if (f.group == 0x0F && f.command == 0x81 && f.data.size() >= 2)
        std::snprintf(buf, sizeof buf, "W %04X %zu", addr, f.data.size() - 2);
    else
        std::snprintf(buf, sizeof buf, "%02X %02X", f.group, f.command);
    return buf;
}

std::vector<std::string> Transfers(const MeterSimProcess& sim)
{
    std::vector<std::string> out;
    for (const auto& f : Requests(sim))
        out.push_back(Describe(f));
    return out;
}

std::string Op(char kind, unsigned addr, unsigned size)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c %04X %u", kind, addr, size);
    return buf;
}

// --- The line -----------------------------------------------------------------------------------

class HeatMeterLine : protected SimulatorLine {
protected:
    // Replies come at once; the timeouts only bound the cases where they do not.
    void Start(const json& scenario, std::unique_ptr<HeatDriver> driver, std::uint8_t repeatCount = 2)
    {
        StartLine(scenario);
        if (::testing::Test::HasFatalFailure()) return;
        drv = std::move(driver);
        Tulv6xProtocol& p = drv->Proto();
        p.SetComPort(&port);
        p.SetNetAddr(kAddress);
        p.SetEWrite(true);
        p.SetRepeatCount(repeatCount);
        p.SetPacketTimeout(500);
        p.SetByteTimeout(50);
    }
    ProtocolErrorCode LastError() { return drv->Proto().LastError(); }

    std::unique_ptr<HeatDriver> drv;
};

// --- Every cell: read, then written plain and scrambled ------------------------------------------

class EveryCell : public HeatMeterLine, public ::testing::TestWithParam<MeterType> {};

TEST_P(EveryCell, ReadsTheScenarioTablesAndTheMeterKeepsWhatIsWritten)
{
    const MeterType& m = GetParam();
    json tables = json::object();
    for (int set = 1; set <= m.cellSets; ++set)
        tables[std::to_string(set)] = TablesJson(MakeTables(set, 1));
    Start(Scenario(MeterEntry(m, {{"tables", tables}})), m.make());

    for (int ch : m.channels) {
        const Tables want = MakeTables(SetOf(m, ch), 1);
        for (int i = 0; i < 10; ++i) {
            float k = -1.0f, obr = -1.0f;
            ASSERT_TRUE(drv->ReadK(ch, i, k)) << "channel " << ch << " K[" << i << "], error " << LastError();
            ASSERT_TRUE(drv->ReadObr(ch, i, obr)) << "channel " << ch << " Obr[" << i << "], error " << LastError();
            EXPECT_EQ(k, want.K[i]) << "channel " << ch << " K[" << i << "]";
            EXPECT_EQ(obr, want.Obr[i]) << "channel " << ch << " Obr[" << i << "]";
        }
    }

    // As the coefficient writer does: K0..K9, then the points of Obr. Where two channel arguments
    // reach one set of cells, the later one's values stay.
    auto writeAll = [&](int salt, bool scrambled) {
        std::array<Tables, 3> expected{};
        for (int ch : m.channels) {
            const Tables t = MakeTables(ch, salt);
            for (int i = 0; i < 10; ++i)
                ASSERT_TRUE(scrambled ? drv->WriteKNew(ch, i, t.K[i]) : drv->WriteK(ch, i, t.K[i]))
                    << "channel " << ch << " K[" << i << "], error " << LastError();
            for (int i = 2; i < 10; ++i)
                ASSERT_TRUE(scrambled ? drv->WriteObrNew(ch, i, t.Obr[i]) : drv->WriteObr(ch, i, t.Obr[i]))
                    << "channel " << ch << " Obr[" << i << "], error " << LastError();
            expected[SetOf(m, ch)] = t;
        }
        const json dump = sim->Dump();
        for (int set = 1; set <= m.cellSets; ++set) {
            EXPECT_EQ(DumpTable(dump, set, "K"), expected[set].K)
                << (scrambled ? "scrambled" : "plain") << ", set " << set;
            EXPECT_EQ(DumpTable(dump, set, "Obr"), expected[set].Obr)
                << (scrambled ? "scrambled" : "plain") << ", set " << set;
        }
        const json& meter = dump.at("meters").at(0);
        if (meter.contains("block_checksum_ok")) {
            EXPECT_TRUE(meter["block_checksum_ok"].get<bool>()) << (scrambled ? "scrambled" : "plain");
        }
    };
    writeAll(2, false);
    if (HasFatalFailure()) return;
    if (drv->HasScrambledWrites()) writeAll(3, true);
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, EveryCell, ::testing::ValuesIn(kAllTypes),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The guarded block of the КВТ-66 and КВТ-76 -------------------------------------------------

class GuardedBlock : public HeatMeterLine, public ::testing::TestWithParam<MeterType> {};

std::uint8_t Bcd(int v)
{
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

// Year, month, day, hour and minute as the stamp carries them (bytes 10..14).
std::vector<std::uint8_t> StampMinute(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return {Bcd(tm.tm_year % 100), Bcd(tm.tm_mon + 1), Bcd(tm.tm_mday), Bcd(tm.tm_hour), Bcd(tm.tm_min)};
}

TEST_P(GuardedBlock, PlainWriteRewritesTheWholeBlockThenStampsTheMeter)
{
    const MeterType& m = GetParam();
    const Tables ch1 = MakeTables(1, 1), ch2 = MakeTables(2, 1);
    Start(Scenario(MeterEntry(m, {{"tables", {{"1", TablesJson(ch1)}, {"2", TablesJson(ch2)}}}})), m.make());
    drv->SetSignature("C1320001");

    const float v = 0.4375f;
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(drv->WriteK(2, 9, v)) << "error " << LastError();
    const std::time_t after = std::time(nullptr);

    std::vector<std::string> want = {Op('R', 0x05E0, 146)};
    for (unsigned piece = 0; piece < 11; ++piece)
        want.push_back(Op('W', 0x05E0 + 8 * piece, 8));
    want.push_back(Op('W', 0x0638, 58));
    want.push_back(Op('W', 0x07E0, 16));
    EXPECT_EQ(Transfers(*sim), want);

    const json dump = sim->Dump();
    const json& meter = dump.at("meters").at(0);
    EXPECT_TRUE(meter.at("block_checksum_ok").get<bool>());
    std::array<float, 10> k2 = ch2.K;
    k2[9] = v;
    EXPECT_EQ(DumpTable(dump, 2, "K"), k2);
    EXPECT_EQ(DumpTable(dump, 2, "Obr"), ch2.Obr);
    EXPECT_EQ(DumpTable(dump, 1, "K"), ch1.K);
    EXPECT_EQ(DumpTable(dump, 1, "Obr"), ch1.Obr);
    // Channel 2, K point 8: block bytes 140..143, most significant first.
    EXPECT_EQ(DumpBytes(dump, kAddress, "rtc2k", 0x05E0 + 140, 4), (std::vector<std::uint8_t>{0x3E, 0xE0, 0, 0}));

    const auto stamp = DumpBytes(dump, kAddress, "rtc2k", 0x07E0, 16);
    EXPECT_EQ(std::string(stamp.begin(), stamp.begin() + 8), "C1320001");
    EXPECT_EQ(stamp[8], 0);
    EXPECT_EQ(stamp[9], 0);
    const std::vector<std::uint8_t> minute(stamp.begin() + 10, stamp.begin() + 15);
    EXPECT_TRUE(minute == StampMinute(before) || minute == StampMinute(after))
        << "the stamp carries the local date and time of the write";
}

TEST_P(GuardedBlock, AMeterThatFallsSilentStopsTheBlockWrite)
{
    const MeterType& m = GetParam();
    // Reply 1 answers the block read, replies 2..4 the first three pieces; from the fourth piece on
    // the meter takes what it is sent but answers no more. Both attempts of that piece go unanswered.
    json entry = MeterEntry(m, {{"faults", {{"silent", {{"from", 5}}}}}});
    Start(Scenario(entry), m.make());
    drv->SetSignature("C1320001");

    EXPECT_FALSE(drv->WriteK(1, 0, 0.75f));
    EXPECT_EQ(LastError(), ErrPortRead);

    EXPECT_EQ(Transfers(*sim), (std::vector<std::string>{Op('R', 0x05E0, 146), Op('W', 0x05E0, 8), Op('W', 0x05E8, 8),
                                                         Op('W', 0x05F0, 8), Op('W', 0x05F8, 8), Op('W', 0x05F8, 8)}))
        << "no piece after the failed one, and no stamp";
    const json dump = sim->Dump();
    const json& meter = dump.at("meters").at(0);
    EXPECT_EQ(DumpTable(dump, 1, "K")[0], 0.75f) << "the first piece reached the meter";
    EXPECT_FALSE(meter.at("block_checksum_ok").get<bool>()) << "the checksum was never rewritten";
    EXPECT_EQ(meter.at("stamp").get<std::string>(), std::string(32, 'F'));
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, GuardedBlock, ::testing::Values(kKvt66, kKvt76),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Factory resets -----------------------------------------------------------------------------

struct ResetCase {
    const char* name;
    MeterType type;
    bool scrambledForm; // ResetK_new rather than ResetK
    std::vector<std::string> writes;
};

void PrintTo(const ResetCase& c, std::ostream* os)
{
    *os << c.name;
}

// Nine plain 8-byte writes: points 1-2, 3-4, 5-6, 7-8, each to K then Obr; then K0 and Ku together.
std::vector<std::string> PlainReset(unsigned k0, unsigned kPoints, unsigned obrPoints)
{
    std::vector<std::string> w;
    for (unsigned pair = 0; pair < 4; ++pair) {
        w.push_back(Op('W', kPoints + 8 * pair, 8));
        w.push_back(Op('W', obrPoints + 8 * pair, 8));
    }
    w.push_back(Op('W', k0, 8));
    return w;
}

// Scrambled 9-byte writes: per point K then Obr; then K0 and Ku (twice over on the meters that
// write them through both tables).
std::vector<std::string> ScrambledReset(unsigned k0, unsigned ku, unsigned kPoints, unsigned obrPoints,
                                        bool throughBothTables)
{
    std::vector<std::string> w;
    for (unsigned p = 0; p < 8; ++p) {
        w.push_back(Op('W', kPoints + 4 * p, 9));
        w.push_back(Op('W', obrPoints + 4 * p, 9));
    }
    for (int pass = 0; pass < (throughBothTables ? 2 : 1); ++pass) {
        w.push_back(Op('W', k0, 9));
        w.push_back(Op('W', ku, 9));
    }
    return w;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FactoryReset : public HeatMeterLine, public ::testing::TestWithParam<ResetCase> {};

TEST_P(FactoryReset, SendsItsWritesAndLeavesTheFactoryValues)
{
    const ResetCase& c = GetParam();
    const MeterType& m = c.type;
    json tables = json::object();
    for (int set = 1; set <= m.cellSets; ++set)
        tables[std::to_string(set)] = TablesJson(MakeTables(set, 1));
    Start(Scenario(MeterEntry(m, {{"tables", tables}})), m.make());

    if (c.scrambledForm)
        drv->ResetKNew();
    else
        drv->ResetK();

    EXPECT_EQ(Transfers(*sim), c.writes);
    const json dump = sim->Dump();
    for (int set = 1; set <= m.cellSets; ++set) {
        // A meter without a reset over the line keeps its tables.
        const Tables kept = MakeTables(set, 1);
        const bool reset = !c.writes.empty();
        EXPECT_EQ(DumpTable(dump, set, "K"), reset ? kFactory : kept.K) << "set " << set;
        EXPECT_EQ(DumpTable(dump, set, "Obr"), reset ? kFactory : kept.Obr) << "set " << set;
    }
}

INSTANTIATE_TEST_SUITE_P(
    HeatMeters, FactoryReset,
    ::testing::Values(ResetCase{"Kvt641Plain", kKvt641, false, PlainReset(0x0050, 0x0058, 0x0078)},
                      ResetCase{"Kvt641Scrambled", kKvt641, true,
                                ScrambledReset(0x0050, 0x0054, 0x0058, 0x0078, false)},
                      ResetCase{"Kvt61Plain", kKvt61, false, PlainReset(0x0040, 0x0048, 0x0068)},
                      ResetCase{"Kvt61Scrambled", kKvt61, true, ScrambledReset(0x0040, 0x0044, 0x0048, 0x0068, false)},
                      ResetCase{"Kvt78ChannelOneThenTwo", kKvt78, false,
                                Concat(ScrambledReset(0x0300, 0x0308, 0x0320, 0x0360, true),
                                       ScrambledReset(0x0304, 0x030C, 0x0340, 0x0380, true))},
                      ResetCase{"Kvt64M1", kKvt64M1, false, ScrambledReset(0x0120, 0x0124, 0x0128, 0x0148, true)},
                      ResetCase{"Kvt64HasNone", kKvt64, false, {}}, ResetCase{"Kvt66HasNone", kKvt66, false, {}},
                      ResetCase{"Kvt76HasNone", kKvt76, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Factory number, live values, Gmax ----------------------------------------------------------

struct IdentityCase {
    MeterType type;
    json extra;              // scenario keys
    std::string number;      // GetDeviceNumber
    std::vector<float> g;    // per cell set
    std::vector<float> sfr;  // per cell set; empty where the class offers no ClbReadSFR
    std::vector<float> gmax; // per cell set; empty where the meter keeps a size code
    bool gmaxBigEndian;
    std::function<std::uint16_t(int ch)> gmaxAddr; // where the read-out reads Gmax
};

void PrintTo(const IdentityCase& c, std::ostream* os)
{
    *os << c.type.name;
}

class FactoryNumberAndLiveValues : public HeatMeterLine, public ::testing::TestWithParam<IdentityCase> {};

TEST_P(FactoryNumberAndLiveValues, AreReadFromTheMeterCells)
{
    const IdentityCase& c = GetParam();
    const MeterType& m = c.type;
    Start(Scenario(MeterEntry(m, c.extra)), m.make());

    EXPECT_EQ(drv->DeviceNumber(), c.number);
    EXPECT_EQ(LastError(), ErrOk);
    for (int ch : m.channels) {
        const int set = SetOf(m, ch);
        EXPECT_EQ(drv->ReadG(ch), c.g.at(set - 1)) << "channel " << ch;
        EXPECT_EQ(LastError(), ErrOk);
        if (drv->HasSfr()) {
            EXPECT_EQ(drv->ReadSfr(ch), c.sfr.at(set - 1)) << "channel " << ch;
        }
        if (c.gmax.empty()) continue;
        std::uint8_t b[4] = {};
        drv->Proto().ReadRtc2k(c.gmaxAddr(ch), b, 4);
        ASSERT_EQ(LastError(), ErrOk);
        if (c.gmaxBigEndian) SwapBytes4(b);
        EXPECT_EQ(std::bit_cast<float>(b), c.gmax.at(set - 1)) << "Gmax of channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    HeatMeters, FactoryNumberAndLiveValues,
    ::testing::Values(
        IdentityCase{kKvt64,
                     {{"factory_number", 4000000001u}, {"live", {{"G", {1.5, -2.25}}}}, {"gmax", {6.3, 160.0}}},
                     "4000000001",
                     {1.5f, -2.25f},
                     {},
                     {6.3f, 160.0f},
                     true,
                     [](int ch) { return static_cast<std::uint16_t>(200 + 4 * ch); }},
        // Bytes below 32 become blanks on this type.
        IdentityCase{kKvt641,
                     {{"factory_number", {{"hex", "36 34 1F 30 30 00 31 37"}}}, {"live", {{"G", 12.5}, {"SFR", 3.75}}}},
                     "64 00 17",
                     {12.5f},
                     {3.75f},
                     {},
                     true,
                     {}},
        // ... and stay as they are on this one.
        IdentityCase{kKvt61,
                     {{"factory_number", {{"hex", "36 31 01 30 30 30 32 33"}}},
                      {"live", {{"G", 0.125}, {"SFR", 1024.5}}},
                      {"gmax", 30.0}},
                     std::string("61\x01"
                                 "00023"),
                     {0.125f},
                     {1024.5f},
                     {30.0f},
                     true,
                     [](int) { return std::uint16_t{9}; }},
        IdentityCase{kKvt66,
                     {{"factory_number", 66000042},
                      {"live", {{"G", {0.25, 0.75}}, {"SFR", {100.5, 200.25}}}},
                      {"gmax", {40.0, 63.0}}},
                     "66000042",
                     {0.25f, 0.75f},
                     {100.5f, 200.25f},
                     {40.0f, 63.0f},
                     true,
                     [](int ch) { return static_cast<std::uint16_t>(304 + 4 * ch); }},
        IdentityCase{
            kKvt76,
            {{"factory_number", 7600}, {"live", {{"G", {-0.5, 8.0}}, {"SFR", {3.0, -4.0}}}}, {"gmax", {25.0, 250.0}}},
            "7600",
            {-0.5f, 8.0f},
            {3.0f, -4.0f},
            {25.0f, 250.0f},
            true,
            [](int ch) { return static_cast<std::uint16_t>(304 + 4 * ch); }},
        IdentityCase{kKvt78,
                     {{"factory_number", 123456789},
                      {"live", {{"G", {2.5, 5.5}}, {"SFR", {0.0625, 0.1875}}}},
                      {"gmax", {16.0, 630.0}}},
                     "123456789",
                     {2.5f, 5.5f},
                     {0.0625f, 0.1875f},
                     {16.0f, 630.0f},
                     false,
                     [](int ch) { return static_cast<std::uint16_t>(1156 + 4 * ch); }},
        IdentityCase{kKvt64M1,
                     {{"factory_number", 987654321}, {"live", {{"G", 3.5}, {"SFR", 7.25}}}, {"gmax", 6.3}},
                     "987654321",
                     {3.5f},
                     {7.25f},
                     {6.3f},
                     false,
                     [](int) { return std::uint16_t{130}; }}),
    [](const auto& info) { return std::string(info.param.type.name); });

// --- Gmax of the КВТ-64-1: a size code read by the series ---------------------------------------

struct GmaxCase {
    const char* name;
    float version;
    const char* modification;
    int sizeCode;
    float gmax;
    int modificationQuestions;
};

void PrintTo(const GmaxCase& c, std::ostream* os)
{
    *os << c.name;
}

class Kvt641Gmax : public HeatMeterLine, public ::testing::TestWithParam<GmaxCase> {};

TEST_P(Kvt641Gmax, ComesFromTheSizeCodeInTheTableOfTheSeries)
{
    const GmaxCase& c = GetParam();
    Start(Scenario(MeterEntry(kKvt641, {{"size_code", c.sizeCode}, {"texts", {{"modification", c.modification}}}})),
          kKvt641.make());
    auto& d = static_cast<Adapter<TulvKvt641>&>(*drv).d;
    EXPECT_EQ(d.ClbReadGmax(c.version), c.gmax);
    int questions = 0;
    for (const auto& f : Requests(*sim))
        questions += f.group == 0x00 && f.command == 0x02;
    EXPECT_EQ(questions, c.modificationQuestions);
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, Kvt641Gmax,
                         ::testing::Values(GmaxCase{"BelowVersion4000TheSeriesIsNotAsked", 3999.0f, "M", 4, 60.0f, 0},
                                           GmaxCase{"MSeriesFromVersion4000", 4001.0f, "M", 4, 63.0f, 1},
                                           GmaxCase{"StandardSeriesFromVersion4000", 4001.0f, "", 4, 60.0f, 1},
                                           GmaxCase{"SmallestMSeriesSize", 4001.0f, "M", 0, 6.3f, 1},
                                           GmaxCase{"LargestStandardSize", 2005.001f, "", 7, 600.0f, 0},
                                           GmaxCase{"SizeCodeEightIsNoSize", 4001.0f, "", 8, 0.0f, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- What the add-device probe asks -------------------------------------------------------------

struct ProbeCase {
    MeterType type;
    json extra;
    std::string identity; // what the probe compares
    bool exact;           // equal rather than contained
    std::function<std::uint32_t(Tulv6xProtocol&)> extraCheck;
    std::uint32_t extraValue;
};

void PrintTo(const ProbeCase& c, std::ostream* os)
{
    *os << c.type.name;
}

class ProbeAnswers : public HeatMeterLine, public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeAnswers, AsTheAddDeviceDialogExpects)
{
    const ProbeCase& c = GetParam();
    Start(Scenario(MeterEntry(c.type, c.extra)), c.type.make());
    std::string id;
    drv->Proto().GetDevID(id);
    ASSERT_EQ(LastError(), ErrOk);
    if (c.exact)
        EXPECT_EQ(id, c.identity);
    else
        EXPECT_NE(id.find(c.identity), std::string::npos) << id;
    EXPECT_FALSE(drv->DeviceNumber().empty());
    if (c.extraCheck) {
        EXPECT_EQ(c.extraCheck(drv->Proto()), c.extraValue);
        EXPECT_EQ(LastError(), ErrOk);
    }
}

std::uint32_t ModificationByte(Tulv6xProtocol& p, std::uint16_t addr)
{
    std::uint8_t b[1] = {0xEE};
    p.ReadRtc2k(addr, b, 1);
    return b[0];
}

std::uint32_t InductionWord(Tulv6xProtocol& p)
{
    std::uint8_t b[4] = {};
    p.ReadRtc128(128, b, 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

INSTANTIATE_TEST_SUITE_P(
    HeatMeters, ProbeAnswers,
    ::testing::Values(ProbeCase{kKvt64,
                                {{"modification_byte", 3}},
                                "KVT-64",
                                false,
                                [](Tulv6xProtocol& p) { return ModificationByte(p, 13); },
                                3},
                      ProbeCase{kKvt641, {}, "KVT64-1", true, {}, 0}, ProbeCase{kKvt61, {}, "КВТ-61", false, {}, 0},
                      ProbeCase{kKvt66, {}, "KVT-66", false, InductionWord, 218502},
                      ProbeCase{kKvt76, {{"induction_word", 218502}}, "KVT-76", false, InductionWord, 218502},
                      ProbeCase{kKvt78,
                                {{"modification_byte", 1}},
                                "KVT-64M",
                                true,
                                [](Tulv6xProtocol& p) { return ModificationByte(p, 500); },
                                1},
                      ProbeCase{kKvt64M1, {}, "KVT-64M-1", true, {}, 0}),
    [](const auto& info) { return std::string(info.param.type.name); });

// The read-out takes this type's version as two bytes, major and minor, not as text.
TEST(HeatMeterVersions, Kvt641AnswersItsVersionAsTwoBytes)
{
    MeterSimProcess sim(Scenario(MeterEntry(kKvt641)));
    TulvComPort port;
    port.SetDevicePath(sim.DevicePath());
    ASSERT_TRUE(port.Open()) << port.OpenErrorText();
    Tulv6xProtocol p;
    p.SetComPort(&port);
    p.SetNetAddr(kAddress);
    std::string v;
    p.GetSoftVer64_1(v);
    EXPECT_EQ(v, "4.05");
}

// --- Scrambled blocks as the meter decodes them --------------------------------------------------
//
// A worked example: the value 0x12345678 with the filler nibbles A 5 C 7 E 9 6 D.
//   value nibbles into place:  A2 75 3C 75 6E 94 61 D8
//   bytes 0..3 as a little-endian word xor 5C3E91A7, bytes 4..7 xor 2B7D04F6:
//   block:                     05 E4 02 29 98 90 1C F3
// A little-endian meter receives the block in this order, a big-endian one reversed; the ninth byte
// carries nothing.

struct RawWriteCase {
    const char* name;
    MeterType type;
    std::uint16_t cell;
    std::vector<std::uint8_t> sent;   // 9 bytes
    std::vector<std::uint8_t> stored; // what the cell and the bytes after it hold afterwards
};

void PrintTo(const RawWriteCase& c, std::ostream* os)
{
    *os << c.name;
}

class ScrambledBlock : public HeatMeterLine, public ::testing::TestWithParam<RawWriteCase> {};

TEST_P(ScrambledBlock, IsKeptAsThePlainValueInTheMeterByteOrder)
{
    const RawWriteCase& c = GetParam();
    Start(Scenario(MeterEntry(c.type)), c.type.make());
    drv->Proto().WriteRtc2k(c.cell, c.sent, 9);
    ASSERT_EQ(LastError(), ErrOk);
    EXPECT_EQ(DumpBytes(sim->Dump(), kAddress, "rtc2k", c.cell, c.stored.size()), c.stored);
}

INSTANTIATE_TEST_SUITE_P(HeatMeters, ScrambledBlock,
                         ::testing::Values(
                             // K0, then Ku untouched (1.0 little-endian).
                             RawWriteCase{"LittleEndianMeter",
                                          kKvt64M1,
                                          0x0120,
                                          {0x05, 0xE4, 0x02, 0x29, 0x98, 0x90, 0x1C, 0xF3, 0x00},
                                          {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F}},
                             // Channel 2, Obr point 8 (the last cell of the table); the ninth byte is ignored.
                             RawWriteCase{"BigEndianMeter",
                                          kKvt64,
                                          0x079C,
                                          {0xF3, 0x1C, 0x90, 0x98, 0x29, 0x02, 0xE4, 0x05, 0x5A},
                                          {0x12, 0x34, 0x56, 0x78}},
                             // A meter without scrambled writes stores the 9 bytes as they come.
                             RawWriteCase{"MeterWithoutScrambledWrites",
                                          kKvt66,
                                          0x05E0,
                                          {0xF3, 0x1C, 0x90, 0x98, 0x29, 0x02, 0xE4, 0x05, 0x5A},
                                          {0xF3, 0x1C, 0x90, 0x98, 0x29, 0x02, 0xE4, 0x05, 0x5A}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Scenarios the models refuse ----------------------------------------------------------------

struct BadScenarioCase {
    const char* name;
    MeterType type;
    json extra;
    const char* message; // part of the simulator's complaint
};

void PrintTo(const BadScenarioCase& c, std::ostream* os)
{
    *os << c.name;
}

class BadScenario : public ::testing::TestWithParam<BadScenarioCase> {};

TEST_P(BadScenario, StopsTheStartNamingThePlace)
{
    const BadScenarioCase& c = GetParam();
    try {
        MeterSimProcess sim(Scenario(MeterEntry(c.type, c.extra)));
        FAIL() << "the simulator started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    HeatMeters, BadScenario,
    ::testing::Values(
        BadScenarioCase{
            "SecondChannelOnAOneChannelMeter", kKvt641, {{"tables", {{"2", {{"K", kFactory}}}}}}, "meters[0].tables"},
        BadScenarioCase{"TableOfNineValues",
                        kKvt64,
                        {{"tables", {{"1", {{"K", {1, 2, 3, 4, 5, 6, 7, 8, 9}}}}}}},
                        "meters[0].tables.1.K: expected a list of 10 numbers"},
        BadScenarioCase{"TablesDisagreeOnTheSharedCells",
                        kKvt78,
                        {{"tables", {{"1", {{"K", kFactory}, {"Obr", {0, 2, 0, 0, 0, 0, 0, 0, 0, 0}}}}}}},
                        "K0 and Ku are one pair of cells"},
        BadScenarioCase{
            "FactoryNumberOfSevenCharacters", kKvt61, {{"factory_number", "6100002"}}, "meters[0].factory_number"},
        BadScenarioCase{"GmaxOnAMeterThatKeepsASizeCode", kKvt641, {{"gmax", 60}}, "unknown key(s) gmax"},
        BadScenarioCase{"RawValueOnAMeterThatHasNone", kKvt64, {{"live", {{"SFR", {1, 2}}}}}, "SFR"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
