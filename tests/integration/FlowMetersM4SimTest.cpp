// The flow-meter drivers on the M4 protocol (ДЛН-08.05, ДЛН-08.07, КВТ-09M4) and on ModBus
// (ДЛН-08.08) on the real serial port against the simulator's models of their meters: every
// calibration cell read and written, with what the meter then holds taken from its dump; factory
// number, Gmax and live values; the factory resets as the meters receive them (the ДЛН-08.05's even
// with writing disabled, the ДЛН-08.07's with its own factory values); the ДЛН-08.08's K0 register.
//
// An M4 float keeps a 16-bit mantissa, so the values put into these meters have at most 16
// significant bits; the factory values that do not are compared with their 16-bit rounding.
#include "FlowMetersSim.h"
#include "TulvDln0805.h"
#include "TulvDln0807.h"
#include "TulvDln0808.h"
#include "TulvKvt09M4.h"

#include <cmath>
#include <functional>
#include <ostream>

namespace flowsim {
namespace {

constexpr int kAddress = 7;

// x with its mantissa rounded to the 16 bits an M4 float keeps.
float M4Rounded(float x)
{
    if (x == 0.0f) return 0.0f;
    int e = 0;
    const double f = std::frexp(static_cast<double>(x), &e);
    return static_cast<float>(std::ldexp(std::nearbyint(f * 65536.0) / 65536.0, e));
}

template <std::size_t N> std::array<float, N> M4Rounded(std::array<float, N> values)
{
    for (float& v : values)
        v = M4Rounded(v);
    return values;
}

// Tables whose every value an M4 float holds exactly (multiples of 2^-14 below 4).
Tables M4Tables(int channel, int salt)
{
    Tables t;
    const auto exact = [](int n) { return static_cast<float>(n) / 16384.0f; };
    t.K[0] = t.Obr[0] = -exact(611 * channel + 97 * salt);
    t.K[1] = t.Obr[1] = 1.0f + exact(173 * channel + 1301 * salt);
    for (int p = 0; p < 8; ++p) {
        t.K[2 + p] = exact(37 * (p + 1) * channel + 4099 * salt + 5);
        t.Obr[2 + p] = exact(29 * (p + 1) * channel + 2053 * salt + 11);
    }
    return t;
}

// --- The three M4 classes behind one interface ---------------------------------------------------------

class M4Driver {
public:
    virtual ~M4Driver() = default;
    virtual TulvM4Protocol& Proto() = 0;
    virtual bool ReadK(int ch, int i, float& v) = 0;
    virtual bool ReadObr(int ch, int i, float& v) = 0;
    virtual bool WriteK(int ch, int i, float v) = 0;
    virtual bool WriteObr(int ch, int i, float v) = 0;
    virtual std::string Number() = 0;
    virtual float Gmax(int ch) = 0;
    virtual float G(int ch) = 0;
    virtual void ResetK() = 0;
};

template <class D>
concept LiveTakesChannel = requires(D& d)
{
    d.ClbReadG(std::uint8_t{});
};

std::uint8_t U8(int v)
{
    return static_cast<std::uint8_t>(v);
}

template <class D> class Adapter final : public M4Driver {
public:
    TulvM4Protocol& Proto() override { return d; }
    bool ReadK(int ch, int i, float& v) override { return d.ClbReadK(U8(ch), U8(i), v); }
    bool ReadObr(int ch, int i, float& v) override { return d.ClbReadObr(U8(ch), U8(i), v); }
    bool WriteK(int ch, int i, float v) override { return d.ClbWriteK(U8(ch), U8(i), v); }
    bool WriteObr(int ch, int i, float v) override { return d.ClbWriteObr(U8(ch), U8(i), v); }
    std::string Number() override
    {
        std::string s = "untouched";
        d.GetDeviceNumber(s);
        return s;
    }
    float Gmax(int ch) override
    {
        if constexpr (LiveTakesChannel<D>)
            return d.ClbReadGmax(U8(ch));
        else
            return d.ClbReadGmax();
    }
    float G(int ch) override
    {
        if constexpr (LiveTakesChannel<D>)
            return d.ClbReadG(U8(ch));
        else
            return d.ClbReadG();
    }
    void ResetK() override { d.ResetK(); }

    D d;
};

struct M4Type {
    const char* name;
    const char* model;
    std::function<std::unique_ptr<M4Driver>()> make;
    // Channel arguments and the channel of the meter's cells each reaches.
    std::vector<std::pair<int, int>> channels;
    int cellSets;
    json live;                // the scenario's live values of the meter
    std::vector<float> flows; // what ClbReadG gives per channel argument of channels
};

const M4Type kKvt09M4{"Kvt09M4",        "kvt09m4", [] { return std::make_unique<Adapter<TulvKvt09M4>>(); },
                      {{1, 1}, {2, 2}}, 2,         {{"G", {0.375, -12.5}}},
                      {0.375f, -12.5f}};
const M4Type kDln0807{"Dln0807",        "dln0807", [] { return std::make_unique<Adapter<TulvDln0807>>(); },
                      {{1, 1}, {2, 2}}, 2,         {{"G", {2.75, 1.125}}, {"GFlow", {0.5, 0.25}}},
                      {2.75f, 1.125f}};
const M4Type kDln0805{"Dln0805",        "dln0805", [] { return std::make_unique<Adapter<TulvDln0805>>(); },
                      {{1, 1}, {2, 1}}, 1,         {{"G", 7.5}, {"ADC", {1234.0, -0.0625}}},
                      {7.5f, 7.5f}};

void PrintTo(const M4Type& t, std::ostream* os)
{
    *os << t.name;
}

json Entry(const char* model, json extra = json::object(), const char* protocol = "m4")
{
    json e = {{"address", kAddress}, {"protocol", protocol}, {"model", model}};
    e.update(extra);
    return e;
}

json Scenario(json meter)
{
    return {{"meters", json::array({std::move(meter)})}};
}

const json& Meter(const json& dump)
{
    return dump.at("meters").at(0);
}

class M4Line : public SimLine {
protected:
    void Start(const json& scenario, const M4Type& t)
    {
        StartLine(scenario);
        drv = t.make();
        Attach(drv->Proto(), kAddress);
    }
    ProtocolErrorCode LastError() { return drv->Proto().LastError(); }

    std::unique_ptr<M4Driver> drv;
};

class EveryM4Type : public M4Line, public ::testing::TestWithParam<M4Type> {};

TEST_P(EveryM4Type, ReadsEveryCellAndTheMeterKeepsWhatIsWritten)
{
    const M4Type& t = GetParam();
    json tables = json::object();
    for (int set = 1; set <= t.cellSets; ++set)
        tables[std::to_string(set)] = TablesJson(M4Tables(set, 0));
    Start(Scenario(Entry(t.model, {{"tables", tables}})), t);

    for (auto [ch, set] : t.channels) {
        const Tables want = M4Tables(set, 0);
        for (int i = 0; i < 10; ++i) {
            float k = -7.0f, obr = -7.0f;
            ASSERT_TRUE(drv->ReadK(ch, i, k)) << "channel " << ch << " K[" << i << "], error " << LastError();
            ASSERT_TRUE(drv->ReadObr(ch, i, obr)) << "channel " << ch << " Obr[" << i << "], error " << LastError();
            EXPECT_EQ(k, want.K[i]) << "channel " << ch << " K[" << i << "]";
            EXPECT_EQ(obr, want.Obr[i]) << "channel " << ch << " Obr[" << i << "]";
        }
    }

    // K0 through the Obr operations this time (the same cell). Where two channel arguments reach
    // one set of cells, the later one's values stay.
    std::array<Tables, 3> expected{};
    for (auto [ch, set] : t.channels) {
        const Tables v = M4Tables(ch, 1);
        ASSERT_TRUE(drv->WriteObr(ch, 0, v.K[0])) << "channel " << ch << " K0, error " << LastError();
        for (int i = 1; i < 10; ++i)
            ASSERT_TRUE(drv->WriteK(ch, i, v.K[i])) << "channel " << ch << " K[" << i << "], error " << LastError();
        for (int i = 2; i < 10; ++i)
            ASSERT_TRUE(drv->WriteObr(ch, i, v.Obr[i]))
                << "channel " << ch << " Obr[" << i << "], error " << LastError();
        expected[set] = v;
    }
    const json dump = sim->Dump();
    for (int set = 1; set <= t.cellSets; ++set) {
        EXPECT_EQ(DumpTable(dump, 0, std::to_string(set), "K"), expected[set].K) << "channel " << set;
        EXPECT_EQ(DumpTable(dump, 0, std::to_string(set), "Obr"), expected[set].Obr) << "channel " << set;
    }
}

TEST_P(EveryM4Type, AnswersNumberGmaxAndLiveValues)
{
    const M4Type& t = GetParam();
    json gmax = t.cellSets == 1 ? json(12.5) : json::array({12.5, 0.75});
    Start(Scenario(Entry(t.model, {{"factory_number", "M4-00917"}, {"gmax", gmax}, {"live", t.live}})), t);
    EXPECT_EQ(drv->Number(), "M4-00917");
    for (std::size_t c = 0; c < t.channels.size(); ++c) {
        const auto [ch, set] = t.channels[c];
        EXPECT_EQ(drv->Gmax(ch), set == 1 ? 12.5f : 0.75f) << "channel " << ch;
        EXPECT_EQ(drv->G(ch), t.flows[c]) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(M4, EveryM4Type, ::testing::Values(kKvt09M4, kDln0807, kDln0805),
                         [](const auto& info) { return std::string(info.param.name); });

class M4Meter : public M4Line, public ::testing::Test {};

TEST_F(M4Meter, Dln0807GivesTheSecondFlowValueOfEachChannel)
{
    Start(Scenario(Entry("dln0807", {{"live", kDln0807.live}})), kDln0807);
    auto& d = static_cast<Adapter<TulvDln0807>&>(*drv).d;
    EXPECT_EQ(d.ClbReadGFlow(1), 0.5f);
    EXPECT_EQ(d.ClbReadGFlow(2), 0.25f);
    EXPECT_EQ(d.ClbReadGFlow(9), 0.25f) << "every channel argument but 1 is channel 2";
}

TEST_F(M4Meter, Dln0805GivesItsTwoPackedAdcValues)
{
    Start(Scenario(Entry("dln0805", {{"live", kDln0805.live}})), kDln0805);
    auto& d = static_cast<Adapter<TulvDln0805>&>(*drv).d;
    float second = 99.0f;
    EXPECT_EQ(d.ClbReadADCCur(1, second), 1234.0f);
    EXPECT_EQ(second, -0.0625f);
}

// --- Resets ------------------------------------------------------------------------------------------------------

TEST_F(M4Meter, Kvt09M4ResetsItsTablesOnItsFourSettingCommands)
{
    Start(Scenario(
              Entry("kvt09m4", {{"tables", {{"1", TablesJson(M4Tables(1, 2))}, {"2", TablesJson(M4Tables(2, 2))}}}})),
          kKvt09M4);
    drv->ResetK();
    EXPECT_EQ(LastError(), 0u);
    const json dump = sim->Dump();
    for (const char* set : {"1", "2"}) {
        EXPECT_EQ(DumpTable(dump, 0, set, "K"), M4Rounded(kFactory)) << "channel " << set;
        EXPECT_EQ(DumpTable(dump, 0, set, "Obr"), M4Rounded(kFactory)) << "channel " << set;
    }
    const json settings = Meter(dump).at("settings");
    ASSERT_EQ(settings.size(), 4u);
    const int want[4][2] = {{1, 1}, {2, 1}, {17, 1}, {18, 1}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(settings[i].at("p1"), want[i][0]) << "setting " << i;
        EXPECT_EQ(settings[i].at("p2"), want[i][1]) << "setting " << i;
    }
}

TEST_F(M4Meter, Dln0807ResetWritesItsOwnFactoryValuesIntoBothChannels)
{
    Start(Scenario(
              Entry("dln0807", {{"tables", {{"1", TablesJson(M4Tables(1, 2))}, {"2", TablesJson(M4Tables(2, 2))}}}})),
          kDln0807);
    drv->ResetK();
    EXPECT_EQ(LastError(), 0u);
    const std::array<float, 10> factory = {0.0f, 1.0f, 0.003f, 0.01f, 0.02f, 0.04f, 0.2f, 0.45f, 0.9f, 1.2f};
    const json dump = sim->Dump();
    for (const char* set : {"1", "2"}) {
        EXPECT_EQ(DumpTable(dump, 0, set, "K"), M4Rounded(factory)) << "channel " << set;
        EXPECT_EQ(DumpTable(dump, 0, set, "Obr"), M4Rounded(factory)) << "channel " << set;
    }
    EXPECT_EQ(Meter(dump).at("gmax"), json::array({16.0, 16.0})) << "Gmax is no coefficient";
}

TEST_F(M4Meter, Dln0805ResetReachesTheMeterWithWritingDisabled)
{
    Start(Scenario(Entry("dln0805", {{"tables", {{"1", TablesJson(M4Tables(1, 2))}}}})), kDln0805);
    drv->Proto().SetEWrite(false);
    drv->ResetK();
    EXPECT_EQ(LastError(), 0u);
    const json dump = sim->Dump();
    EXPECT_EQ(DumpTable(dump, 0, "1", "K"), M4Rounded(kFactory));
    EXPECT_EQ(DumpTable(dump, 0, "1", "Obr"), M4Rounded(kFactory));
    const json settings = Meter(dump).at("settings");
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(settings[0].at("p1"), 5);
    EXPECT_EQ(settings[1].at("p1"), 99);
}

TEST_F(M4Meter, ALockedMeterTakesAParameterWriteOnlyAfterItsSettingCommand)
{
    // The drivers send WriteS(5, 0) before every value; without it the meter keeps its value.
    Start(Scenario(Entry("dln0807")), kDln0807);
    TulvM4Protocol& p = drv->Proto();
    const std::array<std::uint8_t, 8> two = {0x42, 0x80, 0x00, 0xC2, 0, 0, 0, 0}; // 2.0
    p.WriteMem(two, 9);
    ASSERT_EQ(p.LastError(), 0u);
    EXPECT_EQ(DumpTable(sim->Dump(), 0, "1", "K")[1], 1.0f);
    p.WriteS(5, 0);
    ASSERT_EQ(p.LastError(), 0u);
    p.WriteMem(two, 9);
    ASSERT_EQ(p.LastError(), 0u);
    EXPECT_EQ(DumpTable(sim->Dump(), 0, "1", "K")[1], 2.0f);
}

// --- ДЛН-08.08 on ModBus ---------------------------------------------------------------------------------------

class Dln0808Line : public SimLine, public ::testing::Test {
protected:
    void Start(const json& extra = json::object())
    {
        StartLine(Scenario(Entry("dln0808", extra, "modbus")));
        Attach(d, kAddress);
    }
    TulvDln0808 d;
};

// K0 is a whole number in this meter; the rest any single.
Tables ModBusTables(int salt)
{
    Tables t = MakeTables(1, salt);
    t.K[0] = t.Obr[0] = static_cast<float>(-5 - 3 * salt);
    return t;
}

TEST_F(Dln0808Line, ReadsEveryRegisterAndTheMeterKeepsWhatIsWritten)
{
    Start({{"tables", {{"1", TablesJson(ModBusTables(0))}}}});
    for (int ch : {1, 2}) // one channel: both arguments reach the same registers
        for (int i = 0; i < 10; ++i) {
            float k = -7.0f, obr = -7.0f;
            ASSERT_TRUE(d.ClbReadK(U8(ch), U8(i), k)) << "K[" << i << "], error " << d.LastError();
            ASSERT_TRUE(d.ClbReadObr(U8(ch), U8(i), obr)) << "Obr[" << i << "], error " << d.LastError();
            EXPECT_EQ(k, ModBusTables(0).K[i]) << "channel " << ch << " K[" << i << "]";
            EXPECT_EQ(obr, ModBusTables(0).Obr[i]) << "channel " << ch << " Obr[" << i << "]";
        }
    const Tables v = ModBusTables(1);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(d.ClbWriteK(2, U8(i), v.K[i])) << "K[" << i << "], error " << d.LastError();
    for (int i = 2; i < 10; ++i)
        ASSERT_TRUE(d.ClbWriteObr(1, U8(i), v.Obr[i])) << "Obr[" << i << "], error " << d.LastError();
    const json dump = sim->Dump();
    EXPECT_EQ(DumpTable(dump, 0, "1", "K"), v.K);
    EXPECT_EQ(DumpTable(dump, 0, "1", "Obr"), v.Obr);
}

TEST_F(Dln0808Line, KeepsK0AsASignedRegisterTruncatedTowardZero)
{
    Start();
    ASSERT_TRUE(d.ClbWriteK(1, 0, -3.7f));
    EXPECT_EQ(DumpBytes(sim->Dump(), kAddress, "holding", 370, 2), (std::vector<std::uint8_t>{0xFF, 0xFD}));
    float v = 0.0f;
    ASSERT_TRUE(d.ClbReadK(1, 0, v));
    EXPECT_EQ(v, -3.0f);
    ASSERT_TRUE(d.ClbWriteObr(2, 0, 127.9f));
    ASSERT_TRUE(d.ClbReadObr(1, 0, v));
    EXPECT_EQ(v, 127.0f);
    EXPECT_EQ(DumpTable(sim->Dump(), 0, "1", "K")[1], std::bit_cast<float>(std::uint32_t{0x34200000}))
        << "Ku, the next register, is left alone";
}

TEST_F(Dln0808Line, AnswersIdentityNumberVersionGmaxAndLiveValues)
{
    Start({{"factory_number", 3000000001u},
           {"version", {1, 5}},
           {"gmax", 31.5},
           {"live", {{"G", -1500}, {"SFR", 70000}}}});
    std::string s;
    d.GetDevID(s);
    EXPECT_EQ(s, "DLN-0808");
    d.GetDeviceNumber(s);
    EXPECT_EQ(s, "3000000001");
    d.GetSoftVer(s);
    EXPECT_EQ(s, "01.05");
    EXPECT_EQ(d.ClbReadGmax(1), 31.5f);
    EXPECT_EQ(d.ClbReadG(2), -1500.0f);
    EXPECT_EQ(d.ClbReadSFR(1), 70000.0f);
}

TEST_F(Dln0808Line, ResetPutsTheMetersFactoryValuesBack)
{
    Start({{"tables", {{"1", TablesJson(ModBusTables(2))}}}});
    d.ResetK();
    EXPECT_EQ(d.LastError(), 0u);
    std::array<float, 10> factory = kFactory;
    factory[1] = std::bit_cast<float>(std::uint32_t{0x34200000});
    const json dump = sim->Dump();
    EXPECT_EQ(DumpTable(dump, 0, "1", "K"), factory);
    EXPECT_EQ(DumpTable(dump, 0, "1", "Obr"), factory);
}

} // namespace
} // namespace flowsim
