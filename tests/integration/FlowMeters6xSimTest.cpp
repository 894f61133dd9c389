// The flow-meter drivers on the 6x protocol (ДЛН-08.03С, ДЛН-08.05С, ДЛН-08.07С, ДЛН-08.09) on the
// real serial port against the simulator's models of their meters: every calibration cell read and
// written, plain and scrambled, with what the meter then holds taken from its dump; the factory
// resets; identity, factory number, Gmax, live values and the stamp as the read-out and the
// add-device probe use them; the Gmax of the ДЛН-08.03С by modification and index, and its version.
//
// Expected values come from the scenarios and the meters' memory maps, not from the drivers.
#include "FlowMetersSim.h"
#include "TulvDln0803s.h"
#include "TulvDln0805s.h"
#include "TulvDln0807s.h"
#include "TulvDln0809.h"

#include <functional>
#include <ostream>

namespace flowsim {
namespace {

constexpr int kAddress = 4;

// --- The four classes behind one interface --------------------------------------------------------
//
// They differ in their argument lists (ДЛН-08.09 takes no channel) and in what they offer (the
// ДЛН-08.07С has no scrambled writes); each is called in its own form.

class Driver6x {
public:
    virtual ~Driver6x() = default;
    virtual Tulv6xProtocol& Proto() = 0;
    virtual bool ReadK(int ch, int i, float& v) = 0;
    virtual bool ReadObr(int ch, int i, float& v) = 0;
    virtual bool WriteK(int ch, int i, float v) = 0;
    virtual bool WriteObr(int ch, int i, float v) = 0;
    virtual bool WriteKNew(int ch, int i, float v) = 0;   // false when the class has none
    virtual bool WriteObrNew(int ch, int i, float v) = 0; // false when the class has none
    virtual std::string Number() = 0;
    virtual float Gmax() = 0;
    virtual float G() = 0;
    virtual float Sfr() = 0;
    virtual bool Stamp(const std::string& signature) = 0;
};

template <class D>
concept TakesChannel = requires(D& d, float& v)
{
    d.ClbReadK(std::uint8_t{}, std::uint8_t{}, v);
};
template <class D>
concept HasScrambledWrites = requires(D& d)
{
    d.ClbWriteK_new(std::uint8_t{}, std::uint8_t{}, std::uint64_t{});
}
|| requires(D& d)
{
    d.ClbWriteK_new(std::uint8_t{}, std::uint64_t{});
};
template <class D>
concept ReadsGmax = requires(D& d)
{
    d.ClbReadGmax();
};

std::uint8_t U8(int v)
{
    return static_cast<std::uint8_t>(v);
}

template <class D> class Adapter final : public Driver6x {
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
        if constexpr (!HasScrambledWrites<D>)
            return false;
        else if constexpr (TakesChannel<D>)
            return d.ClbWriteK_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteK_new(U8(i), Scrambled(v));
    }
    bool WriteObrNew(int ch, int i, float v) override
    {
        if constexpr (!HasScrambledWrites<D>)
            return false;
        else if constexpr (TakesChannel<D>)
            return d.ClbWriteObr_new(U8(ch), U8(i), Scrambled(v));
        else
            return d.ClbWriteObr_new(U8(i), Scrambled(v));
    }
    std::string Number() override
    {
        std::string s = "untouched";
        d.GetDeviceNumber(s);
        return s;
    }
    float Gmax() override
    {
        if constexpr (ReadsGmax<D>) {
            return d.ClbReadGmax();
        } else {
            // The ДЛН-08.09 has no Gmax operation: the read-out takes the single at 0x0068 as stored.
            std::uint8_t b[4] = {};
            d.ReadRtc2k(0x0068, b, 4);
            return d.LastError() == 0 ? std::bit_cast<float>(std::array<std::uint8_t, 4>{b[0], b[1], b[2], b[3]})
                                      : 0.0f;
        }
    }
    float G() override { return d.ClbReadG(); }
    float Sfr() override { return d.ClbReadSFR(); }
    bool Stamp(const std::string& signature) override
    {
        d.SetSignature(signature);
        return d.ClbWriteSignature();
    }

    D d;
};

template <class D> std::unique_ptr<Driver6x> Make()
{
    return std::make_unique<Adapter<D>>();
}

// --- The meters --------------------------------------------------------------------------------------

struct FlowType {
    const char* name;
    const char* model;
    std::function<std::unique_ptr<Driver6x>()> make;
    // The channel arguments to exercise and the channel of the meter's cells each reaches (the
    // ДЛН-08.03С ignores the argument, the ДЛН-08.07С checks it and keeps one set of cells, the
    // ДЛН-08.09 takes none).
    std::vector<std::pair<int, int>> channels;
    int cellSets;
    bool scrambled;
    std::function<bool(const std::string&)> identityAccepted; // as the add-device probe judges it
    json number;                                              // the factory number in the scenario
    std::string numberText;                                   // as GetDeviceNumber gives it
    float gmax;
};

const FlowType kDln0803s{"Dln0803s",
                         "dln0803s",
                         Make<TulvDln0803s>,
                         {{1, 1}, {2, 1}},
                         1,
                         true,
                         [](const std::string& id) { return id.find("DLN0803-C") != std::string::npos; },
                         {{"hex", "3038303334 0A 3135"}},
                         "08034 15", // a byte below 32 shows as a blank
                         160.0f};
const FlowType kDln0805s{"Dln0805s",
                         "dln0805s",
                         Make<TulvDln0805s>,
                         {{1, 1}, {2, 2}},
                         2,
                         true,
                         [](const std::string& id) { return id.find("DLN-805") != std::string::npos; },
                         "08051234",
                         "08051234",
                         25.0f};
const FlowType kDln0807s{"Dln0807s",
                         "dln0807s",
                         Make<TulvDln0807s>,
                         {{1, 1}, {2, 1}},
                         1,
                         false,
                         [](const std::string& id) { return id.find("DLN-08.07") != std::string::npos; },
                         "0807  77",
                         "0807  77",
                         63.5f};
const FlowType kDln0809{"Dln0809",
                        "dln0809",
                        Make<TulvDln0809>,
                        {{1, 1}},
                        1,
                        true,
                        [](const std::string& id) { return id == "DLN-0809"; },
                        4000000123u,
                        "4000000123",
                        12.5f};

void PrintTo(const FlowType& t, std::ostream* os)
{
    *os << t.name;
}

json Entry(const FlowType& t, json extra = json::object(), int address = kAddress)
{
    json e = {{"address", address}, {"protocol", "6x"}, {"model", t.model}};
    e.update(extra);
    return e;
}

json Scenario(std::vector<json> meters)
{
    return {{"meters", meters}};
}

class FlowLine : public SimLine {
protected:
    void Start(const json& scenario, const FlowType& t)
    {
        StartLine(scenario);
        drv = t.make();
        Attach(drv->Proto(), kAddress);
    }
    ProtocolErrorCode LastError() { return drv->Proto().LastError(); }

    std::unique_ptr<Driver6x> drv;
};

class FlowMeterLine : public FlowLine, public ::testing::Test {};

class EveryFlowType : public FlowLine, public ::testing::TestWithParam<FlowType> {};

// --- Every cell: read, written plain, written scrambled -------------------------------------------------

TEST_P(EveryFlowType, ReadsEveryCellAndTheMeterKeepsWhatIsWritten)
{
    const FlowType& t = GetParam();
    json tables = json::object();
    for (int set = 1; set <= t.cellSets; ++set)
        tables[std::to_string(set)] = TablesJson(MakeTables(set, 0));
    Start(Scenario({Entry(t, {{"tables", tables}})}), t);

    for (auto [ch, set] : t.channels) {
        const Tables want = MakeTables(set, 0);
        for (int i = 0; i < 10; ++i) {
            float k = -7.0f, obr = -7.0f;
            ASSERT_TRUE(drv->ReadK(ch, i, k)) << "channel " << ch << " K[" << i << "], error " << LastError();
            ASSERT_TRUE(drv->ReadObr(ch, i, obr)) << "channel " << ch << " Obr[" << i << "], error " << LastError();
            EXPECT_EQ(k, want.K[i]) << "channel " << ch << " K[" << i << "]";
            EXPECT_EQ(obr, want.Obr[i]) << "channel " << ch << " Obr[" << i << "]";
        }
    }

    // Plain: K0..K9 through the K operations, the points of Obr through the Obr operations.
    // Scrambled: K0 and Ku through the Obr operations this time (the same cells). Where two channel
    // arguments reach one set of cells, the later one's values stay.
    for (bool scrambled : {false, true}) {
        if (scrambled && !t.scrambled) break;
        const int salt = scrambled ? 2 : 1;
        std::array<Tables, 3> expected{};
        for (auto [ch, set] : t.channels) {
            const Tables v = MakeTables(ch, salt);
            for (int i = 0; i < 10; ++i) {
                const bool viaK = i >= 2 || !scrambled;
                const bool ok = scrambled ? (viaK ? drv->WriteKNew(ch, i, v.K[i]) : drv->WriteObrNew(ch, i, v.K[i]))
                                          : drv->WriteK(ch, i, v.K[i]);
                ASSERT_TRUE(ok) << "channel " << ch << " K[" << i << "], error " << LastError();
            }
            for (int i = 2; i < 10; ++i)
                ASSERT_TRUE(scrambled ? drv->WriteObrNew(ch, i, v.Obr[i]) : drv->WriteObr(ch, i, v.Obr[i]))
                    << "channel " << ch << " Obr[" << i << "], error " << LastError();
            expected[set] = v;
        }
        const json dump = sim->Dump();
        for (int set = 1; set <= t.cellSets; ++set) {
            EXPECT_EQ(DumpTable(dump, 0, std::to_string(set), "K"), expected[set].K)
                << (scrambled ? "scrambled" : "plain") << ", channel " << set;
            EXPECT_EQ(DumpTable(dump, 0, std::to_string(set), "Obr"), expected[set].Obr)
                << (scrambled ? "scrambled" : "plain") << ", channel " << set;
        }
    }
}

// --- What the read-out and the add-device probe ask -------------------------------------------------------

TEST_P(EveryFlowType, AnswersIdentityNumberGmaxLiveValuesAndTakesTheStamp)
{
    const FlowType& t = GetParam();
    // The ДЛН-08.03С takes its Gmax as a value of its list and keeps the index of it.
    Start(Scenario(
              {Entry(t, {{"factory_number", t.number}, {"gmax", t.gmax}, {"live", {{"G", 3.75}, {"SFR", -1234.5}}}})}),
          t);
    std::string id;
    drv->Proto().GetDevID(id);
    ASSERT_EQ(LastError(), 0u);
    EXPECT_TRUE(t.identityAccepted(id)) << id;
    EXPECT_EQ(drv->Number(), t.numberText);
    EXPECT_EQ(drv->Gmax(), t.gmax);
    EXPECT_EQ(drv->G(), 3.75f);
    EXPECT_EQ(drv->Sfr(), -1234.5f);

    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(drv->Stamp("C1320017")) << "error " << LastError();
    const std::time_t after = std::time(nullptr);
    ExpectStamp(sim->Dump().at("meters").at(0).at("stamp").get<std::string>(), "C1320017", before, after);
}

INSTANTIATE_TEST_SUITE_P(FlowMeters6x, EveryFlowType, ::testing::Values(kDln0803s, kDln0805s, kDln0807s, kDln0809),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Factory resets ------------------------------------------------------------------------------------

struct ResetCase {
    const char* name;
    const FlowType* type;
    std::function<void(Driver6x&)> reset;
};

void PrintTo(const ResetCase& c, std::ostream* os)
{
    *os << c.name;
}

template <class D> std::function<void(Driver6x&)> ResetK()
{
    return [](Driver6x& d) { static_cast<Adapter<D>&>(d).d.ResetK(); };
}
template <class D> std::function<void(Driver6x&)> ResetKNew()
{
    return [](Driver6x& d) { static_cast<Adapter<D>&>(d).d.ResetK_new(); };
}

class FactoryReset : public FlowLine, public ::testing::TestWithParam<ResetCase> {};

TEST_P(FactoryReset, PutsTheFactoryValuesIntoTheFirstChannel)
{
    const FlowType& t = *GetParam().type;
    json tables = json::object();
    for (int set = 1; set <= t.cellSets; ++set)
        tables[std::to_string(set)] = TablesJson(MakeTables(set, 3));
    Start(Scenario({Entry(t, {{"tables", tables}})}), t);

    GetParam().reset(*drv);
    EXPECT_EQ(LastError(), 0u);
    const json dump = sim->Dump();
    EXPECT_EQ(DumpTable(dump, 0, "1", "K"), kFactory);
    EXPECT_EQ(DumpTable(dump, 0, "1", "Obr"), kFactory);
    if (t.cellSets == 2) {
        EXPECT_EQ(DumpTable(dump, 0, "2", "K"), MakeTables(2, 3).K) << "the second channel is left alone";
        EXPECT_EQ(DumpTable(dump, 0, "2", "Obr"), MakeTables(2, 3).Obr) << "the second channel is left alone";
    }
}

INSTANTIATE_TEST_SUITE_P(FlowMeters6x, FactoryReset,
                         ::testing::Values(ResetCase{"Dln0803sPlain", &kDln0803s, ResetK<TulvDln0803s>()},
                                           ResetCase{"Dln0803sScrambled", &kDln0803s, ResetKNew<TulvDln0803s>()},
                                           ResetCase{"Dln0805sPlain", &kDln0805s, ResetK<TulvDln0805s>()},
                                           ResetCase{"Dln0805sScrambled", &kDln0805s, ResetKNew<TulvDln0805s>()},
                                           ResetCase{"Dln0807sPlain", &kDln0807s, ResetK<TulvDln0807s>()},
                                           ResetCase{"Dln0809Scrambled", &kDln0809, ResetK<TulvDln0809>()}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- ДЛН-08.03С: Gmax from modification and index, version ---------------------------------------------------

struct GmaxCase {
    const char* name;
    json meter; // keys of the meter's scenario entry
    float gmax;
};

void PrintTo(const GmaxCase& c, std::ostream* os)
{
    *os << c.name;
}

class Dln0803sGmax : public FlowLine, public ::testing::TestWithParam<GmaxCase> {};

TEST_P(Dln0803sGmax, IsTheEntryOfTheModificationsListAtTheIndex)
{
    Start(Scenario({Entry(kDln0803s, GetParam().meter)}), kDln0803s);
    auto& d = static_cast<Adapter<TulvDln0803s>&>(*drv).d;
    EXPECT_EQ(d.ClbReadGmax(), GetParam().gmax);
    EXPECT_EQ(d.LastError(), 0u);
    // The index is read whatever the modification turned out to be.
    const auto frames = ReceivedFrames(*sim);
    ASSERT_FALSE(frames.empty());
    const std::vector<std::uint8_t> indexRead = {0x0F, 0x01, 0x03, 0x00, 0x08, 0x01};
    EXPECT_EQ(std::vector<std::uint8_t>(frames.back().begin() + 3, frames.back().end() - 1), indexRead);
}

INSTANTIATE_TEST_SUITE_P(
    Dln0803s, Dln0803sGmax,
    ::testing::Values(GmaxCase{"FirstModificationLastSize", {{"modification", 1}, {"gmax_index", 6}}, 600.0f},
                      GmaxCase{"FirstModificationHasNoEighthSize", {{"modification", 1}, {"gmax_index", 7}}, 0.0f},
                      GmaxCase{"SecondModificationEighthSize", {{"modification", 2}, {"gmax_index", 7}}, 630.0f},
                      GmaxCase{"SecondModificationFirstSize", {{"modification", 2}, {"gmax", 6.3}}, 6.3f},
                      GmaxCase{"SecondModificationBeyondItsList", {{"modification", 2}, {"gmax_index", 8}}, 0.0f},
                      GmaxCase{
                          "AnotherIdentityHasNoList", {{"texts", {{"id", "DLN0803-CX"}}}, {"gmax_index", 3}}, 0.0f}),
    [](const auto& info) { return std::string(info.param.name); });

struct VersionCase {
    const char* name;
    const char* text;
    float version;
};

void PrintTo(const VersionCase& c, std::ostream* os)
{
    *os << c.name;
}

class Dln0803sVersion : public FlowLine, public ::testing::TestWithParam<VersionCase> {};

TEST_P(Dln0803sVersion, DropsTheFirstCharacterAndAddsATenThousandth)
{
    Start(Scenario({Entry(kDln0803s, {{"texts", {{"version", GetParam().text}}}})}), kDln0803s);
    auto& d = static_cast<Adapter<TulvDln0803s>&>(*drv).d;
    EXPECT_EQ(d.GetPO_Version(), GetParam().version);
    EXPECT_EQ(d.LastError(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Dln0803s, Dln0803sVersion,
                         ::testing::Values(VersionCase{"LetterAndNumber", "V1.05", 1.0501f},
                                           VersionCase{"BelowTheScrambledBound", "v0.66", 0.6601f},
                                           VersionCase{"TwoDigitsBeforeThePoint", "112.5", 12.5001f}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlowMeterLine, Dln0803sModificationFollowsTheIdentity)
{
    Start(Scenario({Entry(kDln0803s, {{"modification", 2}}, kAddress),
                    Entry(kDln0803s, {{"modification", 1}}, kAddress + 1)}),
          kDln0803s);
    auto& d = static_cast<Adapter<TulvDln0803s>&>(*drv).d;
    EXPECT_EQ(d.GetDevice_Modification(), 2);
    std::string id;
    d.GetDevice_ID(id);
    EXPECT_EQ(id, "DLN0803-CM");
    d.SetNetAddr(kAddress + 1);
    EXPECT_EQ(d.GetDevice_Modification(), 1);
    d.GetDevice_ID(id);
    EXPECT_EQ(id, "DLN0803-C");
}

// --- ДЛН-08.07С: each channel at its own address ---------------------------------------------------------------

TEST_F(FlowMeterLine, Dln0807sChannelsAnswerAtTheirOwnAddresses)
{
    // The add-device dialog puts channel 2 of this meter at the next address.
    Start(Scenario({Entry(kDln0807s, {{"tables", {{"1", TablesJson(MakeTables(1, 0))}}}}, kAddress),
                    Entry(kDln0807s, {{"tables", {{"1", TablesJson(MakeTables(2, 0))}}}}, kAddress + 1)}),
          kDln0807s);
    float v = 0.0f;
    ASSERT_TRUE(drv->ReadObr(1, 9, v));
    EXPECT_EQ(v, MakeTables(1, 0).Obr[9]);
    drv->Proto().SetNetAddr(kAddress + 1);
    ASSERT_TRUE(drv->ReadObr(2, 9, v));
    EXPECT_EQ(v, MakeTables(2, 0).Obr[9]);
    ASSERT_TRUE(drv->WriteK(2, 0, -2.5f));
    const json dump = sim->Dump();
    EXPECT_EQ(DumpTable(dump, 1, "1", "K")[0], -2.5f);
    EXPECT_EQ(DumpTable(dump, 0, "1", "K")[0], MakeTables(1, 0).K[0]) << "the first channel keeps its K0";
}

} // namespace
} // namespace flowsim
