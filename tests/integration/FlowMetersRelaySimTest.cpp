// The ultrasonic drivers (КВТ-64КУ, ГЗУ-08) through the relay, addressed by serial number, on the
// real serial port against the simulator's models of their meters: every calibration cell read and
// written, plain and scrambled, at 9600 and 19200 baud (once with the replies paced at the line's
// speed); the reset of the calibration table; the ultrasonic reads (sound times, amplitudes, raw
// value block, error flags, data buffer, measuring-chip settings, whole-table reads); Gmax and the
// sensor index as the read-out reads them; the stamp; verification mode.
//
// The tool runs these meters at even parity. A pseudo-terminal keeps no parity, so the port asks for
// it here and the exchange must work all the same; what the tool asks for is checked elsewhere.
#include "FlowMetersSim.h"
#include "TulvGZU08.h"
#include "TulvKvt64KU.h"

#include <functional>
#include <ostream>

namespace flowsim {
namespace {

constexpr std::uint32_t kSerial = 44412345;
constexpr std::uint8_t kEvenParity = 2;

// --- The two classes behind one interface ---------------------------------------------------------------

class RelayDriver {
public:
    virtual ~RelayDriver() = default;
    virtual Tulv6xProtocol& Proto() = 0;
    virtual bool ReadK(int ch, int i, float& v) = 0;
    virtual bool ReadObr(int ch, int i, float& v) = 0;
    virtual bool WriteK(int ch, int i, float v) = 0;
    virtual bool WriteObr(int ch, int i, float v) = 0;
    virtual bool WriteKNew(int ch, int i, float v) = 0;
    virtual bool WriteObrNew(int ch, int i, float v) = 0;
    virtual void ResetK() = 0;
};

template <class D>
concept TakesChannel = requires(D& d, float& v)
{
    d.ClbReadK(std::uint8_t{}, std::uint8_t{}, v);
};

std::uint8_t U8(int v)
{
    return static_cast<std::uint8_t>(v);
}

template <class D> class Adapter final : public RelayDriver {
public:
    Tulv6xProtocol& Proto() override { return d; }
    bool ReadK(int ch, int i, float& v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbReadK(U8(ch), U8(i), v);
        else
            return d.ClbReadK(U8(i), v);
    }
    bool ReadObr(int ch, int i, float& v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbReadObr(U8(ch), U8(i), v);
        else
            return d.ClbReadObr(U8(i), v);
    }
    bool WriteK(int ch, int i, float v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbWriteK(U8(ch), U8(i), v);
        else
            return d.ClbWriteK(U8(i), v);
    }
    bool WriteObr(int ch, int i, float v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbWriteObr(U8(ch), U8(i), v);
        else
            return d.ClbWriteObr(U8(i), v);
    }
    bool WriteKNew(int ch, int i, float v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbWriteK_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteK_new(U8(i), Scrambled(v));
    }
    bool WriteObrNew(int ch, int i, float v) override
    {
        if constexpr (TakesChannel<D>)
            return d.ClbWriteObr_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteObr_new(U8(i), Scrambled(v));
    }
    void ResetK() override { d.ResetK(); }

    D d;
};

struct UltrasonicType {
    const char* name;
    const char* model;
    std::function<std::unique_ptr<RelayDriver>()> make;
    int channels; // the ГЗУ-08's two directions share K0 and Ku
};

const UltrasonicType kKvt64KU{"Kvt64KU", "kvt64ku", [] { return std::make_unique<Adapter<TulvKvt64KU>>(); }, 1};
const UltrasonicType kGzu08{"Gzu08", "gzu08", [] { return std::make_unique<Adapter<TulvGZU08>>(); }, 2};

// Tables of two directions that share K0 and Ku: the second direction's first two values are the first's.
std::array<Tables, 3> DirectionTables(const UltrasonicType& t, int salt)
{
    std::array<Tables, 3> out{};
    for (int ch = 1; ch <= t.channels; ++ch) {
        out[ch] = MakeTables(ch, salt);
        for (int i = 0; i < 2; ++i)
            out[ch].K[i] = out[ch].Obr[i] = out[1].K[i];
    }
    return out;
}

json Entry(const UltrasonicType& t, json extra = json::object())
{
    json e = {{"serial", kSerial}, {"protocol", "relay"}, {"model", t.model}};
    e.update(extra);
    return e;
}

json Scenario(json meter)
{
    return {{"meters", json::array({std::move(meter)})}};
}

class RelayLine : public SimLine {
protected:
    void StartRelay(const json& scenario, std::uint32_t baud = 9600, bool pacing = false)
    {
        port.SetParity(kEvenParity);
        MeterSimOptions options;
        options.baud = baud;
        options.pacing = pacing;
        StartLine(scenario, options);
    }
    template <class D> void AttachRelay(D& d)
    {
        Attach(d, 1);
        d.SetGZU_NetAddr(kSerial);
    }
    const json& Meter(const json& dump) { return dump.at("meters").at(0); }
};

// --- Every cell, at both line speeds ------------------------------------------------------------------------

struct LineCase {
    const char* name;
    const UltrasonicType* type;
    std::uint32_t baud;
    bool pacing;
};

void PrintTo(const LineCase& c, std::ostream* os)
{
    *os << c.name;
}

class EveryCellOnTheRelay : public RelayLine, public ::testing::TestWithParam<LineCase> {};

TEST_P(EveryCellOnTheRelay, ReadsEveryCellAndTheMeterKeepsWhatIsWritten)
{
    const UltrasonicType& t = *GetParam().type;
    const auto start = DirectionTables(t, 0);
    json tables = json::object();
    for (int ch = 1; ch <= t.channels; ++ch)
        tables[std::to_string(ch)] = TablesJson(start[ch]);
    StartRelay(Scenario(Entry(t, {{"tables", tables}})), GetParam().baud, GetParam().pacing);
    auto drv = t.make();
    Attach(drv->Proto(), 1);
    drv->Proto().SetGZU_NetAddr(kSerial);
    const auto lastError = [&] { return drv->Proto().LastError(); };

    for (int ch = 1; ch <= t.channels; ++ch)
        for (int i = 0; i < 10; ++i) {
            float k = -7.0f, obr = -7.0f;
            ASSERT_TRUE(drv->ReadK(ch, i, k)) << "channel " << ch << " K[" << i << "], error " << lastError();
            ASSERT_TRUE(drv->ReadObr(ch, i, obr)) << "channel " << ch << " Obr[" << i << "], error " << lastError();
            EXPECT_EQ(k, start[ch].K[i]) << "channel " << ch << " K[" << i << "]";
            EXPECT_EQ(obr, start[ch].Obr[i]) << "channel " << ch << " Obr[" << i << "]";
        }

    // Plain, then scrambled (K0 and Ku through the Obr operations that time: the same cells). The
    // shared K0 and Ku are written once, through the last direction.
    for (bool scrambled : {false, true}) {
        const auto want = DirectionTables(t, scrambled ? 2 : 1);
        for (int ch = 1; ch <= t.channels; ++ch) {
            for (int i = ch == t.channels ? 0 : 2; i < 10; ++i) {
                const bool ok = !scrambled ? drv->WriteK(ch, i, want[ch].K[i])
                                : i < 2    ? drv->WriteObrNew(ch, i, want[ch].K[i])
                                           : drv->WriteKNew(ch, i, want[ch].K[i]);
                ASSERT_TRUE(ok) << "channel " << ch << " K[" << i << "], error " << lastError();
            }
            for (int i = 2; i < 10; ++i)
                ASSERT_TRUE(scrambled ? drv->WriteObrNew(ch, i, want[ch].Obr[i])
                                      : drv->WriteObr(ch, i, want[ch].Obr[i]))
                    << "channel " << ch << " Obr[" << i << "], error " << lastError();
        }
        const json dump = sim->Dump();
        for (int ch = 1; ch <= t.channels; ++ch) {
            EXPECT_EQ(DumpTable(dump, 0, std::to_string(ch), "K"), want[ch].K)
                << (scrambled ? "scrambled" : "plain") << ", channel " << ch;
            EXPECT_EQ(DumpTable(dump, 0, std::to_string(ch), "Obr"), want[ch].Obr)
                << (scrambled ? "scrambled" : "plain") << ", channel " << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ultrasonic, EveryCellOnTheRelay,
                         ::testing::Values(LineCase{"Kvt64KUAt9600", &kKvt64KU, 9600, false},
                                           LineCase{"Kvt64KUAt19200Paced", &kKvt64KU, 19200, true},
                                           LineCase{"Gzu08At9600", &kGzu08, 9600, false},
                                           LineCase{"Gzu08At19200", &kGzu08, 19200, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The reset of the calibration table ----------------------------------------------------------------------

class TableReset : public RelayLine, public ::testing::TestWithParam<UltrasonicType> {};

void PrintTo(const UltrasonicType& t, std::ostream* os)
{
    *os << t.name;
}

TEST_P(TableReset, PutsTheMetersFactoryTablesBack)
{
    const UltrasonicType& t = GetParam();
    const auto start = DirectionTables(t, 3);
    json tables = json::object();
    for (int ch = 1; ch <= t.channels; ++ch)
        tables[std::to_string(ch)] = TablesJson(start[ch]);
    StartRelay(Scenario(Entry(t, {{"tables", tables}})));
    auto drv = t.make();
    Attach(drv->Proto(), 1);
    drv->Proto().SetGZU_NetAddr(kSerial);
    drv->Proto().SetEWrite(false); // the relay commands are not gated: the reset goes out all the same

    drv->ResetK();
    EXPECT_EQ(drv->Proto().LastError(), 0u);
    const json dump = sim->Dump();
    EXPECT_EQ(Meter(dump).at("calibration_resets"), 1);
    for (int ch = 1; ch <= t.channels; ++ch) {
        EXPECT_EQ(DumpTable(dump, 0, std::to_string(ch), "K"), kFactory) << "channel " << ch;
        EXPECT_EQ(DumpTable(dump, 0, std::to_string(ch), "Obr"), kFactory) << "channel " << ch;
    }
    const auto frames = ReceivedFrames(*sim);
    ASSERT_EQ(frames.size(), 1u) << "one relay frame, no values travel";
    EXPECT_EQ(frames[0], (std::vector<std::uint8_t>{0x55, 0xB9, 0xAD, 0xA5, 0x02, 0x0F, 0x64, 0x00, 0x2A}));
}

INSTANTIATE_TEST_SUITE_P(Ultrasonic, TableReset, ::testing::Values(kKvt64KU, kGzu08),
                         [](const auto& info) { return std::string(info.param.name); });

// --- КВТ-64КУ: what the read-out, the poller and the ultrasonic pages read --------------------------------------

const char* const kRawTail = "00112233445566778899AABBCCDDEEFF";

class Kvt64KUOnTheRelay : public RelayLine, public ::testing::Test {
protected:
    void SetUp() override
    {
        StartRelay(Scenario(Entry(kKvt64KU, {{"factory_number", 4012345678u},
                                             {"gmax", 6.25},
                                             {"live", {{"G", 0.75}, {"SFR", 812.5}}},
                                             {"sound_times", {100000.0, 100500.0}},
                                             {"amplitudes", {1.5, -0.25}},
                                             {"raw_block", {{"hex", std::string(40, '0') + kRawTail}}},
                                             {"error_flags", 0x18},
                                             {"data_buffer", {{"hex", "0102030405060708090A0B0C0D0E0F10"}}},
                                             {"chip_settings", {{"hex", "A1B2C3D4E5F607"}}}})),
                   19200);
        AttachRelay(d);
    }
    TulvKvt64KU d;
};

TEST_F(Kvt64KUOnTheRelay, AnswersIdentityNumberGmaxAndLiveValues)
{
    std::string s;
    d.GetDevID(s);
    EXPECT_EQ(s, "KVT-64KU") << "the add-device probe wants exactly this";
    d.GetDeviceNumber(s);
    EXPECT_EQ(s, "4012345678");
    // The read-out takes Gmax as stored at 0x0023.
    std::array<std::uint8_t, 4> g{};
    d.ReadRtc2k(0x0023, g, 4);
    ASSERT_EQ(d.LastError(), 0u);
    EXPECT_EQ(std::bit_cast<float>(g), 6.25f);
    EXPECT_EQ(d.ClbReadG(), 0.75f);
    EXPECT_EQ(d.ClbReadSFR(), 812.5f);
}

TEST_F(Kvt64KUOnTheRelay, GivesTheUltrasonicValuesAsTheMeterHoldsThem)
{
    EXPECT_EQ(d.ClbRead_SoundTime(), 100250.0f);
    EXPECT_EQ(d.ClbRead_AmpValue(0), 1.5f);
    EXPECT_EQ(d.ClbRead_AmpValue(1), -0.25f);
    EXPECT_EQ(d.ClbRead_AmpValue(255), -0.25f);
    EXPECT_EQ(d.ReadErrors(), 0x18);

    std::array<std::uint8_t, 36> raw{};
    ASSERT_TRUE(d.ClbReadRawValues(raw));
    const auto singleAt = [&raw](int at) {
        return std::bit_cast<float>(std::array<std::uint8_t, 4>{raw[at], raw[at + 1], raw[at + 2], raw[at + 3]});
    };
    EXPECT_EQ(singleAt(0), 812.5f);
    EXPECT_EQ(singleAt(4), 100000.0f);
    EXPECT_EQ(singleAt(8), 100500.0f);
    EXPECT_EQ(singleAt(12), 1.5f);
    EXPECT_EQ(singleAt(16), -0.25f);
    std::string tail;
    for (int i = 20; i < 36; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", raw[i]);
        tail += hex;
    }
    EXPECT_EQ(tail, kRawTail) << "the last 16 bytes pass through as they are";

    std::array<std::uint8_t, 16> data{};
    ASSERT_TRUE(d.ClbRead_Cons_SFR_SONIC_DATA(data, 12));
    EXPECT_EQ(data, (std::array<std::uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 0}));

    std::array<std::uint8_t, 7> settings{};
    ASSERT_TRUE(d.ClbReadGP30_FHL_settings(settings));
    EXPECT_EQ(settings, (std::array<std::uint8_t, 7>{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07}));
}

TEST_F(Kvt64KUOnTheRelay, WholeTableReadsDeliverTheCellsAsStored)
{
    const Tables t = MakeTables(1, 4);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(d.ClbWriteK(static_cast<std::uint8_t>(i), t.K[i]));
    for (int i = 2; i < 10; ++i)
        ASSERT_TRUE(d.ClbWriteObr(static_cast<std::uint8_t>(i), t.Obr[i]));
    const auto single = [](const std::array<std::uint8_t, 40>& b, int at) {
        return std::bit_cast<float>(std::array<std::uint8_t, 4>{b[at], b[at + 1], b[at + 2], b[at + 3]});
    };
    std::array<std::uint8_t, 40> table{};
    ASSERT_TRUE(d.ClbReadTableK(table));
    EXPECT_EQ(single(table, 0), t.K[0]);
    EXPECT_EQ(single(table, 4), t.K[1]);
    for (int p = 0; p < 6; ++p) // from the K0 cell on: K0, Ku, 8 bytes, K points 1..6
        EXPECT_EQ(single(table, 16 + 4 * p), t.K[2 + p]) << "point " << p + 1;
    ASSERT_TRUE(d.ClbReadTableObr(table));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(single(table, 4 * i), t.Obr[i]) << "Obr[" << i << "]";
}

TEST_F(Kvt64KUOnTheRelay, TakesTheStamp)
{
    d.SetSignature("C1320042");
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(d.ClbWriteSignature()) << "error " << d.LastError();
    const std::time_t after = std::time(nullptr);
    ExpectStamp(Meter(sim->Dump()).at("stamp").get<std::string>(), "C1320042", before, after);
}

// --- ГЗУ-08 ------------------------------------------------------------------------------------------------------

class Gzu08OnTheRelay : public RelayLine, public ::testing::Test {
protected:
    void SetUp() override
    {
        StartRelay(Scenario(Entry(kGzu08, {{"gmax", 40.0},
                                           {"sensor_index", 2},
                                           {"live", {{"G", -3.5}, {"SFR", 17.25}}},
                                           {"raw_block", {{"hex", "00000000 0A0B0C0D 0E0F1011 12"}}},
                                           {"error_flags", 0x08},
                                           {"data_buffer", {{"hex", "F1F2F3F4F5F6F7F8F9FAFBFCFD"}}}})));
        AttachRelay(d);
    }
    TulvGZU08 d;
};

TEST_F(Gzu08OnTheRelay, AnswersWhatTheProbeAndTheReadOutAsk)
{
    std::string s;
    d.GetDevID(s);
    ASSERT_FALSE(s.empty());
    EXPECT_NE(std::string("GZU-08").find(s), std::string::npos) << s << " must be part of GZU-08";
    d.GetDeviceNumber(s);
    EXPECT_EQ(s, std::to_string(kSerial)) << "the factory number is the serial number by default";
    std::array<std::uint8_t, 4> g{};
    d.ReadRtc2k(0x0023, g, 4);
    ASSERT_EQ(d.LastError(), 0u);
    EXPECT_EQ(std::bit_cast<float>(g), 40.0f);
    std::array<std::uint8_t, 2> index{};
    d.ReadRtc2k(0x0021, index, 2);
    ASSERT_EQ(d.LastError(), 0u);
    EXPECT_EQ(index[0], 2);
    EXPECT_EQ(d.ClbReadG(), -3.5f);
    EXPECT_EQ(d.ClbReadSFR(), 17.25f);
    EXPECT_EQ(d.ReadErrors(), 0x08);

    std::array<std::uint8_t, 12> sfrs{};
    ASSERT_TRUE(d.ClbReadSFRs(sfrs));
    EXPECT_EQ(std::bit_cast<float>(std::array<std::uint8_t, 4>{sfrs[0], sfrs[1], sfrs[2], sfrs[3]}), 17.25f);
    EXPECT_EQ((std::array<std::uint8_t, 8>{sfrs[4], sfrs[5], sfrs[6], sfrs[7], sfrs[8], sfrs[9], sfrs[10], sfrs[11]}),
              (std::array<std::uint8_t, 8>{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11}));
    std::array<std::uint8_t, 13> values{};
    ASSERT_TRUE(d.Read_CLB_G_VALUES(values));
    EXPECT_EQ(values, (std::array<std::uint8_t, 13>{0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB,
                                                    0xFC, 0xFD}));
}

TEST_F(Gzu08OnTheRelay, TakesTheStampAndGmaxThroughTheAlternativeWrite)
{
    d.SetSignature("C1320043");
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(d.ClbWriteSignature()) << "error " << d.LastError();
    const std::time_t after = std::time(nullptr);
    // The coefficient writer puts Gmax as it lies in memory with the relay's 0A 42.
    const auto gmax = std::bit_cast<std::array<std::uint8_t, 4>>(63.0f);
    d.WriteRtc2k_new(0x0023, gmax, 4);
    ASSERT_EQ(d.LastError(), 0u);
    const json dump = sim->Dump();
    ExpectStamp(Meter(dump).at("stamp").get<std::string>(), "C1320043", before, after);
    EXPECT_EQ(Meter(dump).at("gmax").get<float>(), 63.0f);
    EXPECT_EQ(Meter(dump).at("sensor_index"), 2) << "Gmax's neighbour is left alone";
}

TEST_F(Gzu08OnTheRelay, SwitchesVerificationModeOnAndOff)
{
    // Broadcasts get no reply, so the test waits until the meter has logged each one.
    d.StartPoverkaMode();
    ASSERT_TRUE(WaitForLog(*sim, "BROADCAST", 1));
    EXPECT_TRUE(Meter(sim->Dump()).at("verification").get<bool>());
    d.StopPoverkaMode();
    ASSERT_TRUE(WaitForLog(*sim, "BROADCAST", 2));
    EXPECT_FALSE(Meter(sim->Dump()).at("verification").get<bool>());
    EXPECT_EQ(Meter(sim->Dump()).at("replies"), 0) << "broadcasts are never answered";
}

} // namespace
} // namespace flowsim
