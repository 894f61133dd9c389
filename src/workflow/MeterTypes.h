// Everything the workflow decides per meter type, one row per type code: what
// the read-out runs, what the poller reads and how a reading becomes a flow,
// how a meter is identified, how its coefficients are written, the units of
// its coefficients, its files, its picture and its curve.
//
// The catalogue (DeviceCatalogue.h) names the types and their drivers; this
// table says what the workflow does with them. A reader finds a type's whole
// behaviour in its row in MeterTypes.cpp; the code that carries out a concern
// (ReadOut, ClbThread, Probe, CoefficientWriter, ...) reads the row and holds no
// type code of its own. Row 0 stands for "no device" and for every code beyond
// the catalogue.
#pragma once

#include "DeviceCatalogue.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

// --- Read-out --------------------------------------------------------------------

// How the software version is asked and turned into the number the tool keeps
// (the rules A..E are in ReadOut.h).
enum class VersionStep { None, RuleA, RuleB, RuleC, RuleD, RuleE, PoVersion };

// Where the read-out takes Gmax from.
enum class GmaxStep {
    None,
    MemoryReversed, // 4 bytes at address + per-channel step, most significant first
    MemoryAsStored, // 4 bytes at address + per-channel step, as they come
    Driver,         // ClbReadGmax()
    DriverVersion,  // ClbReadGmax(SoftwareVersion)
    DriverChannel,  // ClbReadGmax(ch)
};

// The read-out of a slot, in its order: clear the stamp flag, version, serial
// number, Gmax, sensor index, then both tables (read with the slot's channel
// wherever the driver's ClbReadK takes one).
struct ReadOutRule {
    bool ClearSignature;
    VersionStep Version;
    int VersionTries;
    bool SerialGuarded; // a serial number that is no number reads as "error"
    GmaxStep Gmax;
    std::uint16_t GmaxAddress;
    std::uint16_t GmaxPerChannel; // added once per channel number
    bool SensorIndex;             // 2 bytes at 33: the sensor index
};

// --- Polling -----------------------------------------------------------------------

// What the poller reads after ClbReadG (for its effect on FlowOk; its value is
// not shown).
enum class SecondRead { None, SFR, ADCCur, GFlow, SFRAndErrors };

// How the reading G becomes a flow.
enum class FlowFormula {
    None,      // no device
    Curve,     // the calibration curve (CalibrationCurveFlow)
    TimesGmax, // G · Gmax
    AsRead,    // G
    ZeroGain,  // Ku · (G − K0) · Gmax
};

struct PollRule {
    bool Poll; // whether the slot is read at all
    SecondRead Second;
    FlowFormula Flow;
};

// --- Identifying a meter -------------------------------------------------------------

enum class ProbeIdentity {
    NotRead,  // the identity is not asked
    Contains, // the identity contains one of the texts
    Equals,   // the identity is one of the texts
    PartOf,   // the identity is a non-empty part of one of the texts
};
enum class ProbeExtra {
    None,
    ModificationByte,  // a modification byte (Rtc2k) of 1 or 3 has no channel G2
    InductionChannels, // the induction word (Rtc128) must be one of the listed
};
enum class ProbeSuccess { IdentityMatched, SerialNotEmpty };

struct ProbeRule {
    std::uint32_t PacketTimeout; // 0: the driver's own
    std::uint32_t ByteTimeout;
    bool NetAddressed; // the network address is set (the ГЗУ-08 is reached by its serial number alone)
    ProbeIdentity Identity;
    std::initializer_list<std::string_view> Texts;
    ProbeExtra Extra;
    std::uint16_t ExtraAddress; // modification byte (Rtc2k) or induction word (Rtc128)
    std::initializer_list<std::uint32_t> InductionWords;
    ProbeSuccess Success;
};

// --- Writing coefficients ----------------------------------------------------------

// How the per-point values of a type go into the meter.
enum class PointForm {
    None,       // nothing (no device)
    Plain,      // ClbWriteK / ClbWriteObr with the value as a 4-byte single
    Scrambled,  // ClbWriteK_new / ClbWriteObr_new with ScrambleValue8 of the value
    WholeTable, // one ClbWriteAll with the 18 values, no per-point writes
};

// Where and how a type keeps Gmax.
enum class GmaxPlace {
    None,          // the meter has no Gmax cell to write
    Reversed,      // 4 bytes at Address + PerChannel·(Channel − 1), most significant first
    AsStored,      // 4 bytes there as the single lies in memory (least significant first)
    IndexKvt641,   // one byte at Address: the position of Gmax in the list of the modification
    IndexDln0803,  // one byte at Address (the index), one at Address + 1 (its size code)
    RelayAsStored, // the ГЗУ-08's own alternative write, 4 bytes as stored
    M4Block,       // the M4 parameter block of the channel, bytes 0..3 replaced
};
struct GmaxWrite {
    GmaxPlace Place;
    std::uint16_t Address;
    std::uint16_t PerChannel;
};

struct WriteRule {
    // The form at a software version (the number the read-out keeps, compared
    // in extended precision, as the meters' software generations were told apart).
    PointForm (*Form)(long double version);
    GmaxWrite Gmax;
    bool FirstPass; // both whole tables go in once before the usual pass
    bool ReadBack;  // the K table is read back and checked after the write
};

// --- Units of the coefficients ---------------------------------------------------------

// How a type keeps K0 and Ku, and so the units of their plausible range and of
// the values shown in the boxes.
enum class ZeroForm {
    FractionOfGmax, // K0 a fraction of Gmax (shown as K0 · Gmax)
    Flow,           // K0 a flow (shown as it is)
    Converter,      // K0 in converter units: 26214 stand for Gmax (КВТ-64)
    Sensor,         // every value in sensor units: the divisor of the sensor stands for Gmax
};
enum class GainForm {
    Factor,    // Ku a factor, 1 for no correction
    Converter, // Ku in converter units: 26214 for no correction (КВТ-64)
};
struct CoefficientForm {
    ZeroForm Zero;
    GainForm Gain;
};

// --- Files --------------------------------------------------------------------------

enum class TxtLayout {
    Plain,         // Gmax, K0, Ku, then the reference and measured points
    TwoDirections, // Gmax, then K0 with the points of one direction and Ku with those of the other
};

struct FileRule {
    // The type's sub-folder of "saved" where the catalogue names none.
    std::optional<std::string_view> Folder;
    bool FolderAtStart;      // the sub-folder is made when the program starts
    bool NameByModification; // the save name ends by the modification: ".txt" for 1, "_SM.txt" for 2
    TxtLayout Txt;
    // K0 as a flow: the TXT reader divides it by Gmax, the TPR page holds K0 · Gmax
    // (the TXT writer and the TPR reader leave it as it is).
    bool ZeroAsFlowInFiles;
};

// --- The calibration curve ------------------------------------------------------------

// How the deviation of the curve is computed: plain, with the factor of the
// verification mode (КВТ-64КУ) or against the line through points 2 and 8 (ГЗУ-08).
enum class CurveVariant { Plain, KU, GZU };

// --- The row -----------------------------------------------------------------------------

struct MeterType {
    DeviceTypeCode Code;
    ReadOutRule Read;
    PollRule Poll;
    ProbeRule Probe;
    WriteRule Write;
    CoefficientForm Units;
    FileRule Files;
    // The slot picture where the catalogue names none.
    std::optional<std::string_view> Picture;
    CurveVariant Curve;
    // The names of the two channels in the add-device dialog.
    std::string_view Channel1Name, Channel2Name;
    // The second channel answers at the next network address.
    bool Channel2NextAddress;
};

// The row of a type code; row 0 for 0 and for every code beyond the catalogue.
const MeterType& MeterTypeOf(DeviceTypeCode code);

// The meter is reached through the relay sub-protocol (by its serial number):
// the line runs with even parity and the slot keeps a relay address.
bool RelayAddressed(DeviceTypeCode code);

// The type's sub-folder of "saved" (empty for no device).
std::string_view SavedFolderName(DeviceTypeCode code);

// The slot picture of a type ("NC" for no device).
std::string_view PictureOf(DeviceTypeCode code);

// The last code the device dialogs list (their list position is the code).
DeviceTypeCode LastListedTypeCode();
