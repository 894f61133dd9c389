#include "MeterTypes.h"

#include <iterator>

namespace {

// The short names the rows are written in.
using V = VersionStep;
using G = GmaxStep;
using S = SecondRead;
using F = FlowFormula;
using I = ProbeIdentity;
using X = ProbeExtra;
using P = GmaxPlace;
constexpr auto Matched = ProbeSuccess::IdentityMatched;
constexpr auto HasSerial = ProbeSuccess::SerialNotEmpty;

template <PointForm Form> PointForm Always(long double)
{
    return Form;
}

constexpr PointForm PlainWhen(bool plain)
{
    return plain ? PointForm::Plain : PointForm::Scrambled;
}

// The bounds below are compared in extended precision; 3000, 2000 and 7 are singles.
PointForm Kvt64Form(long double v)
{
    return PlainWhen(v < 3.11L || (v > 3000.0f && v < 3017.2L));
}
PointForm Kvt641Form(long double v)
{
    return PlainWhen(v < 4000.02L);
}
PointForm Kvt61Form(long double v)
{
    return PlainWhen(v < 1.8L || (v > 2000.0f && v < 2010.11L));
}
PointForm Kvt76Form(long double v)
{
    return v < 7.0f ? PointForm::WholeTable : PointForm::Scrambled;
}
PointForm Dln0803sForm(long double v)
{
    return PlainWhen(v < 0.67L);
}
PointForm Dln0805sForm(long double v)
{
    return PlainWhen(v < 3.02L);
}

constexpr CoefficientForm Fraction{ZeroForm::FractionOfGmax, GainForm::Factor};
constexpr CoefficientForm ZeroAsFlow{ZeroForm::Flow, GainForm::Factor};
constexpr CoefficientForm SensorUnits{ZeroForm::Sensor, GainForm::Factor};
constexpr CoefficientForm ConverterUnits{ZeroForm::Converter, GainForm::Converter};

// clang-format off
//                               folder  at start  by modification  TXT layout  K0 as flow in files
constexpr FileRule FolderAtStart{{},     true,     false,           TxtLayout::Plain, false};
constexpr FileRule NoFolderAtStart{{},   false,    false,           TxtLayout::Plain, false};
// clang-format on

constexpr std::string_view G1 = "Канал G1", G2 = "Канал G2";

// Read-out:  clear stamp, version, version tries, serial guarded, Gmax, Gmax address, per channel, sensor index.
// Poll:      poll, second read, flow formula.
// Probe:     packet and byte timeout, network address set, identity, texts, extra check, its address,
//            induction words, success.
// Write:     point form by version, Gmax place / address / per channel, first pass, read back.
// clang-format off
const MeterType Rows[] = {
    {.Code = 0, // no device
     .Read = {false, V::None, 0, false, G::None, 0, 0, false},
     .Poll = {false, S::None, F::None},
     .Probe = {0, 0, true, I::NotRead, {}, X::None, 0, {}, HasSerial},
     .Write = {Always<PointForm::None>, {P::None, 0x0000, 0}, false, false},
     .Units = Fraction, .Files = NoFolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 1, // КВТ-64
     .Read = {true, V::RuleA, 3, true, G::MemoryReversed, 200, 4, false},
     .Poll = {true, S::None, F::Curve},
     .Probe = {500, 100, true, I::Contains, {"KVT-64"}, X::ModificationByte, 13, {}, Matched},
     .Write = {Kvt64Form, {P::Reversed, 0x00CC, 4}, false, true},
     .Units = ConverterUnits, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 2, // КВТ-64-1
     .Read = {true, V::RuleB, 1, false, G::DriverVersion, 0, 0, false},
     .Poll = {true, S::SFR, F::TimesGmax},
     .Probe = {500, 80, true, I::Equals, {"KVT64-1"}, X::None, 0, {}, HasSerial},
     .Write = {Kvt641Form, {P::IndexKvt641, 0x000A, 0}, false, true},
     .Units = Fraction, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 3, // КВТ-64К
     .Read = {true, V::RuleC, 1, true, G::MemoryReversed, 9, 0, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {500, 100, true, I::Contains, {"КВТ-61", "МИРВАЛ-ТС-К"}, X::None, 0, {}, HasSerial},
     .Write = {Kvt61Form, {P::Reversed, 0x0009, 0}, false, true},
     .Units = Fraction, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 4, // КВТ-66
     .Read = {true, V::None, 0, true, G::MemoryReversed, 304, 4, false},
     .Poll = {true, S::SFR, F::TimesGmax},
     .Probe = {500, 80, true, I::Contains, {"KVT-66"}, X::InductionChannels, 128, {218502}, Matched},
     .Write = {Always<PointForm::WholeTable>, {P::Reversed, 0x0134, 4}, false, true},
     .Units = Fraction, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 5, // КВТ-76
     .Read = {true, V::RuleD, 3, true, G::MemoryReversed, 304, 4, false},
     .Poll = {true, S::SFR, F::TimesGmax},
     .Probe = {300, 40, true, I::Contains, {"KVT-76"}, X::InductionChannels, 128, {218502, 225315}, Matched},
     .Write = {Kvt76Form, {P::Reversed, 0x0134, 4}, false, true},
     .Units = Fraction, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 6, // КВТ-64M
     .Read = {true, V::None, 0, true, G::MemoryAsStored, 1156, 4, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {500, 150, true, I::Equals, {"KVT-64M", "MIRVAL-TC"}, X::ModificationByte, 500, {}, Matched},
     .Write = {Always<PointForm::Scrambled>, {P::AsStored, 0x0488, 4}, false, true},
     .Units = ZeroAsFlow, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 7, // КВТ-64M1
     .Read = {true, V::None, 0, true, G::MemoryAsStored, 130, 0, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {500, 150, true, I::Equals, {"KVT-64M-1"}, X::None, 0, {}, Matched},
     .Write = {Always<PointForm::Scrambled>, {P::AsStored, 0x0082, 0}, false, true},
     .Units = ZeroAsFlow, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 8, // ДЛН-08.03С (Gmax: the index at 0x0008, its size code at 0x0009)
     .Read = {true, V::PoVersion, 3, false, G::Driver, 0, 0, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {500, 80, true, I::Contains, {"DLN0803-C"}, X::None, 0, {}, HasSerial},
     .Write = {Dln0803sForm, {P::IndexDln0803, 0x0008, 0}, false, true},
     .Units = Fraction, .Files = {{}, true, true, TxtLayout::Plain, false}, .Picture = {},
     .Curve = CurveVariant::Plain, .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 9, // ДЛН-08.05
     .Read = {false, V::None, 0, false, G::Driver, 0, 0, false},
     .Poll = {true, S::ADCCur, F::AsRead},
     .Probe = {0, 0, true, I::NotRead, {}, X::None, 0, {}, HasSerial},
     .Write = {Always<PointForm::Plain>, {P::None, 0x0000, 0}, false, true},
     .Units = ZeroAsFlow, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 10, // ДЛН-08.05С
     .Read = {true, V::RuleE, 3, false, G::Driver, 0, 0, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {300, 40, true, I::Contains, {"DLN-805"}, X::None, 0, {}, HasSerial},
     .Write = {Dln0805sForm, {P::Reversed, 0x0010, 0}, false, true},
     .Units = Fraction, .Files = FolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 11, // ДЛН-08.07
     .Read = {false, V::None, 0, false, G::DriverChannel, 0, 0, false},
     .Poll = {true, S::GFlow, F::AsRead},
     .Probe = {0, 0, true, I::NotRead, {}, X::None, 0, {}, HasSerial},
     .Write = {Always<PointForm::Plain>, {P::None, 0x0000, 0}, false, true},
     .Units = Fraction, .Files = {{}, true, false, TxtLayout::Plain, true}, .Picture = {},
     .Curve = CurveVariant::Plain, .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 12, // ДЛН-08.07С
     .Read = {true, V::None, 0, false, G::Driver, 0, 0, false},
     .Poll = {true, S::SFR, F::AsRead},
     .Probe = {300, 40, true, I::Contains, {"DLN-08.07"}, X::None, 0, {}, HasSerial},
     .Write = {Always<PointForm::Plain>, {P::AsStored, 0x0010, 316}, false, true},
     .Units = Fraction, .Files = NoFolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = true},

    {.Code = 13, // ДЛН-08.09
     .Read = {true, V::None, 0, true, G::MemoryAsStored, 104, 0, false},
     .Poll = {true, S::None, F::ZeroGain},
     .Probe = {500, 150, true, I::Equals, {"DLN-0809"}, X::None, 0, {}, Matched},
     .Write = {Always<PointForm::Scrambled>, {P::AsStored, 0x0068, 0}, false, false},
     .Units = Fraction, .Files = NoFolderAtStart, .Picture = {}, .Curve = CurveVariant::Plain,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 14, // КВТ-64КУ (Gmax: a plain frame to its network address, past the relay)
     .Read = {true, V::None, 0, true, G::MemoryAsStored, 35, 0, false},
     .Poll = {true, S::SFRAndErrors, F::AsRead},
     .Probe = {500, 150, true, I::Equals, {"KVT-64KU"}, X::None, 0, {}, Matched},
     .Write = {Always<PointForm::Scrambled>, {P::AsStored, 0x0023, 0}, false, true},
     .Units = SensorUnits, .Files = NoFolderAtStart, .Picture = {}, .Curve = CurveVariant::KU,
     .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},

    {.Code = 15, // ГЗУ-08
     .Read = {true, V::None, 0, true, G::MemoryAsStored, 35, 0, true},
     .Poll = {true, S::None, F::ZeroGain},
     .Probe = {500, 150, false, I::PartOf, {"GZU-08"}, X::None, 0, {}, Matched},
     .Write = {Always<PointForm::Scrambled>, {P::RelayAsStored, 0x0023, 0}, true, false},
     .Units = SensorUnits, .Files = {{}, false, false, TxtLayout::TwoDirections, false}, .Picture = {},
     .Curve = CurveVariant::GZU, .Channel1Name = "Прямой", .Channel2Name = "Реверсивный", .Channel2NextAddress = false},

    // The dialogs never offer the КВТ-09M4 and the catalogue gives it no folder
    // and no picture: a slot loaded from a file gets these. The command line
    // probes it as the other M4 meters.
    {.Code = 16, // КВТ-09M4 (Gmax written by the driver)
     .Read = {false, V::None, 0, false, G::DriverChannel, 0, 0, false},
     .Poll = {true, S::None, F::AsRead},
     .Probe = {0, 0, true, I::NotRead, {}, X::None, 0, {}, HasSerial},
     .Write = {Always<PointForm::Plain>, {P::M4Block, 0x0150, 256}, false, true},
     .Units = Fraction, .Files = {"KVT-09M4", false, false, TxtLayout::Plain, true}, .Picture = "K09M4",
     .Curve = CurveVariant::Plain, .Channel1Name = G1, .Channel2Name = G2, .Channel2NextAddress = false},
};
// clang-format on

static_assert(std::size(Rows) == DeviceTypeLast + 1, "one row per type code of the catalogue");

} // namespace

const MeterType& MeterTypeOf(DeviceTypeCode code)
{
    return Rows[NormalizeDeviceType(code)];
}

bool RelayAddressed(DeviceTypeCode code)
{
    const DeviceTypeInfo* info = FindDeviceType(code);
    return info && info->Protocol == ProtocolFamily::Proto6xRelay;
}

std::string_view SavedFolderName(DeviceTypeCode code)
{
    const DeviceTypeInfo* info = FindDeviceType(code);
    if (!info || code == DeviceTypeNone) return {};
    return info->LatinName.value_or(MeterTypeOf(code).Files.Folder.value_or(std::string_view()));
}

std::string_view PictureOf(DeviceTypeCode code)
{
    const DeviceTypeCode c = NormalizeDeviceType(code);
    return DeviceCatalogue[c].PictureName.value_or(MeterTypeOf(c).Picture.value_or(std::string_view()));
}

DeviceTypeCode LastListedTypeCode()
{
    DeviceTypeCode last = DeviceTypeNone;
    for (const DeviceTypeInfo& info : DeviceCatalogue)
        if (info.ListName) last = info.Code;
    return last;
}
