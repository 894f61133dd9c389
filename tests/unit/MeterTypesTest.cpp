// The per-type table of the workflow against the catalogue and against the
// drivers: every type has its row, the bounds and the relay rule follow the
// catalogue, and no row asks a driver for an operation its class does not offer
// (the workflow would skip such a step without a word, or stop the read-out).
#include "MeterTypes.h"
#include "SlotDrivers.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

namespace {

TEST(MeterTypes, EveryCatalogueTypeHasItsRowAndOtherCodesGetRowZero)
{
    for (const DeviceTypeInfo& info : DeviceCatalogue)
        EXPECT_EQ(MeterTypeOf(info.Code).Code, info.Code);
    for (int code : {DeviceTypeLast + 1, 100, 255})
        EXPECT_EQ(&MeterTypeOf(static_cast<DeviceTypeCode>(code)), &MeterTypeOf(DeviceTypeNone)) << code;
    const MeterType& none = MeterTypeOf(DeviceTypeNone);
    EXPECT_FALSE(none.Poll.Poll);
    EXPECT_EQ(none.Write.Form(1.0L), PointForm::None);
    EXPECT_EQ(none.Write.Gmax.Place, GmaxPlace::None);
}

TEST(MeterTypes, RelayAddressingFollowsTheProtocolFamily)
{
    std::vector<int> relay;
    for (int code = 0; code <= 255; ++code)
        if (RelayAddressed(static_cast<DeviceTypeCode>(code))) relay.push_back(code);
    EXPECT_EQ(relay, (std::vector<int>{14, 15}));
}

TEST(MeterTypes, BoundsFollowTheCatalogue)
{
    EXPECT_EQ(LastListedTypeCode(), 15);
    for (const DeviceTypeInfo& info : DeviceCatalogue)
        EXPECT_EQ(info.ListName.has_value(), info.Code <= LastListedTypeCode()) << int(info.Code);
}

TEST(MeterTypes, EveryTypeHasAFolderAndAPicture)
{
    EXPECT_EQ(SavedFolderName(0), "");
    EXPECT_EQ(SavedFolderName(200), "");
    EXPECT_EQ(SavedFolderName(1), "KVT-64");
    EXPECT_EQ(SavedFolderName(16), "KVT-09M4"); // the catalogue names none
    EXPECT_EQ(PictureOf(0), "NC");
    EXPECT_EQ(PictureOf(200), "NC");
    EXPECT_EQ(PictureOf(15), "GZU-08");
    EXPECT_EQ(PictureOf(16), "K09M4"); // the catalogue names none
    std::vector<int> atStart;
    for (DeviceTypeCode code = 1; code <= DeviceTypeLast; ++code) {
        EXPECT_FALSE(SavedFolderName(code).empty()) << int(code);
        EXPECT_FALSE(PictureOf(code).empty()) << int(code);
        if (MeterTypeOf(code).Files.FolderAtStart) atStart.push_back(code);
    }
    // The folders made at start are those of the codes 1 to 11.
    EXPECT_EQ(atStart, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// The software versions at which a write form may change.
constexpr long double Versions[] = {0.0L,  0.5L, 0.7L,    1.79L,   1.81L,   3.01L,   3.05L,   3.111L,
                                    6.99L, 7.0L, 2005.0L, 2011.0L, 3010.0L, 3017.3L, 4000.0L, 4000.03L};

// What a row asks of its driver that the driver's class does not offer.
template <class D> std::vector<std::string> NotOffered(D& d, const MeterType& t)
{
    std::vector<std::string> missing;
    auto need = [&](bool offered, const char* what) {
        if (!offered) missing.push_back(what);
    };
    std::uint8_t b[4] = {};
    const std::uint8_t ch = 1;
    float f = 0;

    if (t.Read.Version != VersionStep::None)
        need((requires(std::string s) {
                 d.GetSoftVer(s);
                 d.GetSoftSubVer(s);
                 d.GetSoftVer64_1(s);
             }),
             "the version questions");
    if (t.Read.Version == VersionStep::PoVersion) need((requires { d.GetPO_Version(); }), "GetPO_Version");
    if (t.Read.ClearSignature) need((requires { d.ClearSignature(); }), "ClearSignature");
    switch (t.Read.Gmax) {
    case GmaxStep::MemoryReversed:
    case GmaxStep::MemoryAsStored:
        need((requires { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 4), 4); }), "ReadRtc2k");
        break;
    case GmaxStep::Driver: need((requires { d.ClbReadGmax(); }), "ClbReadGmax()"); break;
    case GmaxStep::DriverVersion:
    case GmaxStep::DriverChannel: need((requires { d.ClbReadGmax(ch); }), "ClbReadGmax(argument)"); break;
    case GmaxStep::None: break;
    }
    if (t.Read.SensorIndex)
        need((requires { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 2), 2); }), "ReadRtc2k");

    switch (t.Poll.Second) {
    case SecondRead::SFR:
        need((
                 requires { d.ClbReadSFR(ch); } || requires { d.ClbReadSFR(); }),
             "ClbReadSFR");
        break;
    case SecondRead::ADCCur: need((requires { d.ClbReadADCCur(ch, f); }), "ClbReadADCCur"); break;
    case SecondRead::GFlow: need((requires { d.ClbReadGFlow(ch); }), "ClbReadGFlow"); break;
    case SecondRead::SFRAndErrors:
        need((requires {
                 d.ClbReadSFR();
                 d.ReadErrors();
             }),
             "ClbReadSFR() and ReadErrors");
        break;
    case SecondRead::None: break;
    }

    if (t.Probe.Identity != ProbeIdentity::NotRead) need((requires(std::string s) { d.GetDevID(s); }), "GetDevID");
    if (t.Probe.Extra == ProbeExtra::ModificationByte)
        need((requires { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 1), 1); }), "ReadRtc2k");
    if (t.Probe.Extra == ProbeExtra::InductionChannels)
        need((requires { d.ReadRtc128(std::uint8_t{}, std::span<std::uint8_t>(b, 4), 4); }), "ReadRtc128");

    for (long double v : Versions) {
        const std::uint64_t block = 0;
        const float table[18] = {};
        switch (t.Write.Form(v)) {
        case PointForm::WholeTable: need((requires { d.ClbWriteAll(ch, table); }), "ClbWriteAll"); break;
        case PointForm::Scrambled:
            need((
                     requires { d.ClbWriteK_new(ch, ch, block); } || requires { d.ClbWriteK_new(ch, block); }),
                 "ClbWriteK_new");
            break;
        case PointForm::Plain:
            need((
                     requires { d.ClbWriteK(ch, ch, f); } || requires { d.ClbWriteK(ch, f); }),
                 "ClbWriteK");
            break;
        case PointForm::None: missing.push_back("a write form"); break;
        }
    }
    switch (t.Write.Gmax.Place) {
    case GmaxPlace::Reversed:
    case GmaxPlace::AsStored: need(std::is_base_of_v<Tulv6xProtocol, D>, "6x memory"); break;
    case GmaxPlace::IndexKvt641:
        need((requires(std::string s) {
                 d.GetModification(s);
                 d.WriteRtc2k(std::uint16_t{}, std::span<const std::uint8_t>(b, 1), 1);
             }),
             "GetModification");
        break;
    case GmaxPlace::IndexDln0803: need((requires { d.GetDevice_Modification(); }), "GetDevice_Modification"); break;
    case GmaxPlace::RelayAsStored:
        need((requires { d.WriteRtc2k_new(std::uint16_t{}, std::span<const std::uint8_t>(b, 4), 4); }),
             "WriteRtc2k_new");
        break;
    case GmaxPlace::M4Block: need((requires { d.ClbWriteGmax(ch, f); }), "ClbWriteGmax"); break;
    case GmaxPlace::None: break;
    }
    return missing;
}

class MeterTypeRow : public ::testing::TestWithParam<int> {};

TEST_P(MeterTypeRow, AsksItsDriverOnlyForWhatItsClassOffers)
{
    const auto code = static_cast<DeviceTypeCode>(GetParam());
    SlotDriver driver = MakeSlotDriver(code);
    ASSERT_TRUE(HasDriver(driver));
    const std::vector<std::string> missing =
        WithDriver(driver, [&](auto& d) { return NotOffered(d, MeterTypeOf(code)); });
    EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
}

TEST_P(MeterTypeRow, IsConsistentInItself)
{
    const MeterType& t = MeterTypeOf(static_cast<DeviceTypeCode>(GetParam()));
    // A type whose identity is not asked must be told by its serial number:
    // otherwise any meter at the address would count as found.
    if (t.Probe.Identity == ProbeIdentity::NotRead) {
        EXPECT_EQ(t.Probe.Success, ProbeSuccess::SerialNotEmpty);
    }
    EXPECT_EQ(t.Read.Version == VersionStep::None, t.Read.VersionTries == 0);
    EXPECT_TRUE(t.Poll.Poll);
    EXPECT_NE(t.Poll.Flow, FlowFormula::None);
    // Only a relay-addressed meter is probed without its network address.
    if (!t.Probe.NetAddressed) {
        EXPECT_TRUE(RelayAddressed(t.Code));
    }
    if (t.Write.Gmax.Place == GmaxPlace::M4Block) {
        EXPECT_EQ(DeviceCatalogue[t.Code].Protocol, ProtocolFamily::M4);
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, MeterTypeRow, ::testing::Range(1, DeviceTypeLast + 1),
                         [](const auto& info) { return "Code" + std::to_string(info.param); });

} // namespace
