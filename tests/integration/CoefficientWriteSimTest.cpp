// Writing a coefficient file into every meter type through the command-line
// front, checked from the meter's side: what the simulated meter holds
// afterwards (its own decoded tables and its Gmax cell), in which form the
// values crossed the line (its frame log), and what the tool read back.
//
// The form is told by the write frames the meter received: a plain write
// carries a 4-byte value after its 2-byte address, a scrambled one 9 bytes (the
// 8-byte block and one byte the meter ignores); relay frames carry the same
// data behind a 4-byte serial number; M4 meters take 8-byte "W" blocks; the
// КВТ-66 and the older КВТ-76 get their guarded block in pieces.
#include "ClbTool.h"
#include "Cp1251.h"
#include "DeviceCatalogue.h"
#include "MeterSimProcess.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using nlohmann::json;

namespace {

const char* const Question = "Записать коэффициенты в прибор?";
const char* const WriteError = "Ошибка записи в прибор";
const char* const GmaxWriteError = "Ошибка записи Gmax в прибор";

// --- The coefficient file ----------------------------------------------------------

// What a file loads into a slot: values as the meters keep them (fractions of Gmax).
struct Coefficients {
    float gmax = 0;
    std::array<float, 10> k{};
    std::array<float, 10> obr{};
};

// n / 65536: a value that an M4 meter (16-bit mantissa) keeps exactly, as every meter keeps a single.
constexpr float M4(int n)
{
    return static_cast<float>(n) / 65536.0f;
}

// None of these is a factory value, and no two cells of the tables share one, so a value in the
// wrong cell shows. Obr[0] and Obr[1] are the file's own: the meters share the K0 and Ku cells
// between both tables, and the write puts K0 and Ku there (the reference table's pair reaches only
// the ГЗУ-08, in a first pass that the main pass then overwrites).
// The КВТ-64 (type code 1) keeps its gain in converter units (26214 is no correction).
Coefficients FileValues(float gmax, const std::string& slot = "")
{
    const float ku = slot.rfind("1:", 0) == 0 ? 27443.5f : 1.046875f;
    return {gmax,
            {-0.1875f, ku, M4(72), M4(168), M4(336), M4(664), M4(1320), M4(2640), M4(6576), M4(32896)},
            {0.375f, 0.8125f, M4(68), M4(164), M4(332), M4(660), M4(1316), M4(2628), M4(6552), M4(32832)}};
}

// A float as the shortest decimal text that reads back as the same float.
std::string Number(float v)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.9g", static_cast<double>(v));
    return b;
}

// The display name of the type of a slot text "TYPE:ADDRESS..." (code page 1251, as files hold it).
std::string IdOf(const std::string& slot)
{
    return Utf8ToCp1251Lossy(FindDeviceType(static_cast<std::uint8_t>(std::stoi(slot)))->DisplayName);
}

// The KVT file: an ini file of three sections, values as in memory (no scaling), CR LF line ends.
void WriteKvt(const std::string& path, const Coefficients& c, const std::string& id)
{
    std::ostringstream s;
    s << "[Device]\r\nId=" << id << "\r\nNum=00000000\r\nGmax=" << Number(c.gmax) << "\r\n";
    auto table = [&s](const char* section, const std::array<float, 10>& t) {
        s << "[" << section << "]\r\nK0=" << Number(t[0]) << "\r\nKu=" << Number(t[1]) << "\r\n";
        for (int p = 1; p <= 8; ++p)
            s << p << "=" << Number(t[p + 1]) << "\r\n";
    };
    table("Koeff", c.k);
    table("Kobr", c.obr);
    std::ofstream f(path, std::ios::binary);
    f << s.str();
    if (!f) throw std::runtime_error("cannot write " + path);
}

// A folder of its own per test, removed afterwards.
// --- Bytes of a single -------------------------------------------------------------------

std::vector<std::uint8_t> BigEndian(float v)
{
    const auto w = std::bit_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(w >> 24), static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 8),
            static_cast<std::uint8_t>(w)};
}

std::vector<std::uint8_t> LittleEndian(float v)
{
    auto b = BigEndian(v);
    return {b[3], b[2], b[1], b[0]};
}

// --- The frame log ---------------------------------------------------------------------

struct Frame {
    std::string kind;  // RX, TX, NOREPLY, ...
    std::string meter; // "3", "relay:44412345", "m4:29"
    std::vector<std::uint8_t> bytes;
};

std::vector<Frame> ParseLog(const std::vector<std::string>& lines)
{
    std::vector<Frame> frames;
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::string time, token;
        Frame f;
        if (!(in >> time >> f.kind >> f.meter)) continue;
        while (in >> token && token != "#")
            f.bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
        frames.push_back(std::move(f));
    }
    return frames;
}

bool IsM4(const std::string& meter)
{
    return meter.rfind("m4:", 0) == 0;
}

// A memory write that a meter received: its address and data.
struct Write {
    std::string meter;
    std::uint16_t addr = 0;
    std::vector<std::uint8_t> data;
    bool answered = false;
};

// The write in a request, if it is one: 0F 81 or 0A 42 in a 6x frame (55, address, complement,
// group, command, N, data) or a relay frame (55, serial, group, command, N, data), where the data
// begin with the 2-byte address; "W" in an M4 frame (00, address, W, 2-byte address, 8 bytes, sum).
std::optional<Write> AsWrite(const Frame& f)
{
    const auto& b = f.bytes;
    if (f.kind != "RX") return std::nullopt;
    if (IsM4(f.meter)) {
        if (b.size() != 14 || b[2] != 0x57) return std::nullopt;
        return Write{f.meter, static_cast<std::uint16_t>(b[3] << 8 | b[4]), {b.begin() + 5, b.begin() + 13}};
    }
    const std::size_t g = f.meter.rfind("relay:", 0) == 0 ? 5 : 3; // offset of the group byte
    if (b.size() < g + 6) return std::nullopt;
    const bool write = (b[g] == 0x0F && b[g + 1] == 0x81) || (b[g] == 0x0A && b[g + 1] == 0x42);
    const std::size_t n = b[g + 2];
    if (!write || n < 2 || b.size() < g + 3 + n) return std::nullopt;
    return Write{f.meter,
                 static_cast<std::uint16_t>(b[g + 3] << 8 | b[g + 4]),
                 {b.begin() + static_cast<long>(g + 5), b.begin() + static_cast<long>(g + 3 + n)}};
}

// Every write in the log, with whether the meter answered it.
std::vector<Write> Writes(const std::vector<Frame>& frames)
{
    std::vector<Write> out;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        auto w = AsWrite(frames[i]);
        if (!w) continue;
        for (std::size_t j = i + 1; j < frames.size(); ++j) {
            if (frames[j].meter != frames[i].meter) continue;
            if (frames[j].kind == "TX" || frames[j].kind == "NOREPLY") {
                w->answered = frames[j].kind == "TX";
                break;
            }
        }
        out.push_back(std::move(*w));
    }
    return out;
}

// --- The cases ---------------------------------------------------------------------------------

enum class Form {
    Plain,      // 4-byte values after the address
    Scrambled,  // 9 bytes after the address
    WholeTable, // the guarded block in pieces, no per-point write
    M4,         // "W" blocks of 8 bytes
};

// A Gmax write that the meter must receive and keep: its address and bytes (for an M4 meter the
// first bytes of the block; the rest of the block must stay as it was).
struct GmaxCell {
    GmaxCell(std::uint16_t addr_, std::vector<std::uint8_t> bytes_, std::string via_ = {})
        : addr(addr_), bytes(std::move(bytes_)), via(std::move(via_))
    {
    }
    std::uint16_t addr;
    std::vector<std::uint8_t> bytes;
    std::string via; // the frame log's name of the meter it reaches; empty: the slot's meter
};

struct WriteCase {
    std::string name;
    std::vector<json> meters;  // the line
    std::string slot;          // --slot TYPE:ADDRESS[:CHANNEL][@SERIAL]
    std::string family;        // the slot's meter: "6x", "relay" or "m4"
    std::uint32_t address = 0; // its address (the serial number of a relay meter)
    std::string table = "1";   // the entry of its dump's "tables" that the slot's channel writes
    Form form = Form::Scrambled;
    float version = 0; // what the read-out must make of the version texts (0: none read)
    float gmax = 12.5f;
    std::vector<GmaxCell> gmaxCells = {}; // none: the type has no Gmax cell to write
    int pointWrites = 18;
    bool readBack = true;        // types 13 and 15 are not read back: K stays as loaded
    bool sharedZeroGain = false; // K0 and Ku are one pair of cells for every channel
    bool wholeBlock = false;     // WholeTable: the block 05E0..0671 (146 bytes) written once, in order
    std::string warning = {};    // the plausibility warning said with the question, if any
};

void PrintTo(const WriteCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string LogName(const std::string& family, std::uint32_t address)
{
    return family == "6x" ? std::to_string(address) : family + ":" + std::to_string(address);
}

json Meter6x(int address, const char* model, json extra = json::object())
{
    json m = {{"address", address}, {"protocol", "6x"}, {"model", model}};
    m.update(extra);
    return m;
}

// The version texts of a meter (rules A to E of the read-out turn them into the slot's version).
json Texts(json version, const char* subversion = nullptr)
{
    json t = {{"version", std::move(version)}};
    if (subversion) t["subversion"] = subversion;
    return t;
}

// КВТ-64 at address 3: V[2] "." V[5] V[6], or with "S" third V[2] "0" V[5] V[6] "." S[1] S[2], plus 0.001.
WriteCase Kvt64(std::string name, int channel, json texts, Form form, float version)
{
    const std::uint16_t gmax = channel == 1 ? 0x00CC : 0x00D0;
    return {.name = std::move(name),
            .meters = {Meter6x(3, "kvt64", {{"texts", std::move(texts)}})},
            .slot = "1:3:" + std::to_string(channel),
            .family = "6x",
            .address = 3,
            .table = std::to_string(channel),
            .form = form,
            .version = version,
            .gmaxCells = {{gmax, BigEndian(12.5f)}}};
}

// КВТ-64-1 at address 5 with a size code of 1 before the write. Version bytes 04 00 read "4.00":
// V[1] "0" V[3] V[4] "." S[1] S[2], plus 0.001.
WriteCase Kvt641(std::string name, const char* modification, float gmax, std::uint8_t index, json texts, Form form,
                 float version)
{
    texts["modification"] = modification;
    return {.name = std::move(name),
            .meters = {Meter6x(5, "kvt641", {{"texts", std::move(texts)}, {"size_code", 1}})},
            .slot = "2:5:1",
            .family = "6x",
            .address = 5,
            .form = form,
            .version = version,
            .gmax = gmax,
            .gmaxCells = {{0x000A, {index}}}};
}

// КВТ-64К at address 7: with "2" second V[2] "0" V[4] V[5] "." S[1] S[2], else V[2] "." V[4] V[5];
// plus 0.001.
WriteCase Kvt61(std::string name, json texts, Form form, float version)
{
    return {.name = std::move(name),
            .meters = {Meter6x(7, "kvt61", {{"texts", std::move(texts)}})},
            .slot = "3:7:1",
            .family = "6x",
            .address = 7,
            .form = form,
            .version = version,
            .gmaxCells = {{0x0009, BigEndian(12.5f)}}};
}

// КВТ-76 at address 11: V[2] "." V[5] V[6], nothing added.
WriteCase Kvt76(std::string name, int channel, const char* version, Form form, float expected)
{
    const std::uint16_t gmax = channel == 1 ? 0x0134 : 0x0138;
    return {.name = std::move(name),
            .meters = {Meter6x(11, "kvt76", {{"texts", Texts(version)}})},
            .slot = "5:11:" + std::to_string(channel),
            .family = "6x",
            .address = 11,
            .table = std::to_string(channel),
            .form = form,
            .version = expected,
            .gmaxCells = {{gmax, BigEndian(12.5f)}},
            .pointWrites = form == Form::WholeTable ? 0 : 18,
            .wholeBlock = form == Form::WholeTable};
}

// ДЛН-08.03С at address 17, modification 2 (Gmax list 6.3 16 25 40 63 160 250 630, size codes
// 15 25 32 40 50 80 100 150), Gmax 40 before the write. Version: the text without its first
// character, plus 0.0001. Gmax 630 is position 7 with size code 150.
WriteCase Dln0803s(std::string name, const char* version, Form form, float expected)
{
    return {.name = std::move(name),
            .meters = {Meter6x(17, "dln0803s", {{"modification", 2}, {"gmax", 40.0}, {"texts", Texts(version)}})},
            .slot = "8:17:1",
            .family = "6x",
            .address = 17,
            .form = form,
            .version = expected,
            .gmax = 630.0f,
            .gmaxCells = {{0x0008, {7}}, {0x0009, {150}}}};
}

// ДЛН-08.05С at address 21: the first of three or more characters goes, plus 0.001.
WriteCase Dln0805s(std::string name, const char* version, Form form, float expected)
{
    return {.name = std::move(name),
            .meters = {Meter6x(21, "dln0805s", {{"texts", Texts(version)}})},
            .slot = "10:21:1",
            .family = "6x",
            .address = 21,
            .form = form,
            .version = expected,
            .gmaxCells = {{0x0010, BigEndian(12.5f)}}};
}

std::vector<WriteCase> EveryType()
{
    return {
        Kvt64("Type1Kvt64Channel2", 2, Texts("V3.011"), Form::Scrambled, 3.111f),
        Kvt641("Type2Kvt641SeriesMGmax63IsPosition4", "M", 63.0f, 4, Texts({{"hex", "0405"}}), Form::Scrambled,
               4005.001f),
        Kvt61("Type3Kvt61", Texts("V2.10", "12"), Form::Scrambled, 2010.121f),
        {.name = "Type4Kvt66Channel2GmaxAt0138",
         .meters = {Meter6x(9, "kvt66")},
         .slot = "4:9:2",
         .family = "6x",
         .address = 9,
         .table = "2",
         .form = Form::WholeTable,
         .gmaxCells = {{0x0138, BigEndian(12.5f)}},
         .pointWrites = 0,
         .wholeBlock = true},
        Kvt76("Type5Kvt76Channel2", 2, "V7.005", Form::Scrambled, 7.05f),
        {.name = "Type6Kvt78Channel2",
         .meters = {Meter6x(13, "kvt78")},
         .slot = "6:13:2",
         .family = "6x",
         .address = 13,
         .table = "2",
         .gmaxCells = {{0x048C, LittleEndian(12.5f)}}},
        {.name = "Type7Kvt64M1",
         .meters = {Meter6x(15, "kvt64m1")},
         .slot = "7:15:1",
         .family = "6x",
         .address = 15,
         .gmaxCells = {{0x0082, LittleEndian(12.5f)}}},
        Dln0803s("Type8Dln0803sModification2Gmax630", "V0.70", Form::Scrambled, 0.7001f),
        {.name = "Type9Dln0805",
         .meters = {{{"address", 19}, {"protocol", "m4"}, {"model", "dln0805"}, {"gmax", 20.0}}},
         .slot = "9:19:1",
         .family = "m4",
         .address = 19,
         .form = Form::M4},
        Dln0805s("Type10Dln0805s", "V3.05", Form::Scrambled, 3.051f),
        {.name = "Type11Dln0807Channel2",
         .meters = {{{"address", 23}, {"protocol", "m4"}, {"model", "dln0807"}, {"gmax", {20.0, 30.0}}}},
         .slot = "11:23:2",
         .family = "m4",
         .address = 23,
         .table = "2",
         .form = Form::M4},
        // Each channel of a ДЛН-08.07С is a meter at an address of its own; the second one's Gmax
        // goes 316 bytes on, at 014C, least significant byte first. The first meter stays as it was.
        {.name = "Type12Dln0807sChannel2GmaxAt014C",
         .meters = {Meter6x(25, "dln0807s"), Meter6x(26, "dln0807s")},
         .slot = "12:26:2",
         .family = "6x",
         .address = 26,
         .form = Form::Plain,
         .gmaxCells = {{0x014C, LittleEndian(12.5f)}}},
        {.name = "Type13Dln0809",
         .meters = {Meter6x(27, "dln0809")},
         .slot = "13:27:1",
         .family = "6x",
         .address = 27,
         .gmaxCells = {{0x0068, LittleEndian(12.5f)}},
         .readBack = false},
        // The points go through the relay; Gmax is a plain 6x frame to the network address.
        {.name = "Type14Kvt64KUGmaxThroughItsNetworkAddress",
         .meters = {{{"serial", 44412345}, {"protocol", "relay"}, {"model", "kvt64ku"}, {"net_address", 31}}},
         .slot = "14:31:1@44412345",
         .family = "relay",
         .address = 44412345,
         .gmaxCells = {{0x0023, LittleEndian(12.5f), "31"}}},
        // Both whole tables first (20 writes), then the main pass (18).
        {.name = "Type15Gzu08Reverse",
         .meters = {{{"serial", 44454321}, {"protocol", "relay"}, {"model", "gzu08"}}},
         .slot = "15:0:2@44454321",
         .family = "relay",
         .address = 44454321,
         .table = "2",
         .gmaxCells = {{0x0023, LittleEndian(12.5f)}},
         .pointWrites = 38,
         .readBack = false,
         .sharedZeroGain = true},
        // Gmax 12.5 as an M4 float: 0.78125 x 2^4, so exponent byte 64 + 4 = 44, mantissa C800, and
        // the check byte 44 + C8 + 00 = 10C, kept as 0C.
        {.name = "Type16Kvt09M4Channel2",
         .meters = {{{"address", 29}, {"protocol", "m4"}, {"model", "kvt09m4"}, {"gmax", {6.0, 3.5}}}},
         .slot = "16:29:2",
         .family = "m4",
         .address = 29,
         .table = "2",
         .form = Form::M4,
         .gmaxCells = {{0x0250, {0x44, 0xC8, 0x00, 0x0C}}}},
    };
}

// Each bound from both sides; the version texts are chosen so that the read-out's rule gives the
// number in the name.
std::vector<WriteCase> VersionBounds()
{
    using F = Form;
    return {
        Kvt64("Type1Version3_101Plain", 1, Texts("V3.010"), F::Plain, 3.101f),
        Kvt64("Type1Version3_111Scrambled", 1, Texts("V3.011"), F::Scrambled, 3.111f),
        Kvt64("Type1Version3005_001Plain", 1, Texts("V3S.05", "00"), F::Plain, 3005.001f),
        Kvt64("Type1Version3017_201Scrambled", 1, Texts("V3S.17", "20"), F::Scrambled, 3017.201f),
        Kvt641("Type2Version4000_011Plain", "M", 63.0f, 4, Texts({{"hex", "0400"}}, "01"), F::Plain, 4000.011f),
        Kvt641("Type2Version4000_021Scrambled", "M", 63.0f, 4, Texts({{"hex", "0400"}}, "02"), F::Scrambled, 4000.021f),
        Kvt61("Type3Version1_791Plain", Texts("V1.79"), F::Plain, 1.791f),
        Kvt61("Type3Version1_801Scrambled", Texts("V1.80"), F::Scrambled, 1.801f),
        Kvt61("Type3Version2010_101Plain", Texts("V2.10", "10"), F::Plain, 2010.101f),
        Kvt61("Type3Version2010_111Scrambled", Texts("V2.10", "11"), F::Scrambled, 2010.111f),
        Kvt76("Type5Version6_99WholeTable", 1, "V6.099", F::WholeTable, 6.99f),
        // Nothing is added to this type's version: the text 7.00 is 7.0, at the bound.
        Kvt76("Type5Version7_00Scrambled", 1, "V7.000", F::Scrambled, 7.0f),
        Dln0803s("Type8Version0_6601Plain", "V0.66", F::Plain, 0.6601f),
        Dln0803s("Type8Version0_6701Scrambled", "V0.67", F::Scrambled, 0.6701f),
        Dln0805s("Type10Version3_011Plain", "V3.01", F::Plain, 3.011f),
        Dln0805s("Type10Version3_021Scrambled", "V3.02", F::Scrambled, 3.021f),
    };
}

// The КВТ-64-1's Gmax goes as its position in the list of the meter's series; a value in no list
// is position 0.
std::vector<WriteCase> GmaxPositions()
{
    const json texts = Texts({{"hex", "0405"}});
    WriteCase noList = Kvt641("Type2SeriesMGmax64InNoListIsPosition0", "M", 64.0f, 0, texts, Form::Scrambled, 4005.001f);
    noList.warning = "Gmax = 64 нет в списке типоразмеров прибора: будет записан типоразмер с индексом 0";
    return {
        noList,
        Kvt641("Type2StandardGmax600IsPosition7", "", 600.0f, 7, texts, Form::Scrambled, 4005.001f),
    };
}

// --- Running the tool ---------------------------------------------------------------------------

struct ToolRun {
    int status = 0;
    json result;
    std::string err;
};

ToolRun RunTool(const MeterSimProcess& sim, const std::string& slot, std::vector<std::string> command,
                const std::string& timeouts = "50,150,2")
{
    std::vector<std::string> args = {"--port", sim.DevicePath(), "--timeouts", timeouts, "--json", "--slot", slot};
    args.insert(args.end(), command.begin(), command.end());
    std::ostringstream out, err;
    ToolRun r;
    r.status = RunClbTool(args, out, err);
    r.result = json::parse(out.str(), nullptr, false);
    r.err = err.str();
    return r;
}

float Float(const json& v)
{
    return v.is_number() ? v.get<float>() : NAN;
}

std::vector<float> Floats(const json& list)
{
    std::vector<float> out;
    for (const auto& v : list)
        out.push_back(Float(v));
    return out;
}

std::vector<float> Floats(const std::array<float, 10>& a)
{
    return {a.begin(), a.end()};
}

std::vector<std::string> Messages(std::initializer_list<std::pair<const char*, int>> texts)
{
    std::vector<std::string> out = {Question};
    for (const auto& [text, count] : texts)
        out.insert(out.end(), static_cast<std::size_t>(count), text);
    return out;
}

// The tables a meter holds after the slot's channel got K0, Ku and the points of both tables: the
// shared K0 and Ku cells hold K0 and Ku.
json WrittenTable(const Coefficients& c)
{
    std::vector<float> k = Floats(c.k), obr = Floats(c.obr);
    obr[0] = k[0];
    obr[1] = k[1];
    return {{"K", k}, {"Obr", obr}};
}

void ExpectTable(const json& actual, const json& expected, const std::string& what)
{
    for (const char* t : {"K", "Obr"}) {
        ASSERT_EQ(actual[t].size(), 10u) << what << " " << t;
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(Float(actual[t][i]), Float(expected[t][i])) << what << " " << t << "[" << i << "]";
    }
}

const char* AreaOf(const std::string& family)
{
    return family == "m4" ? "mem" : "rtc2k";
}

class CoefficientWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(CoefficientWrite, MeterHoldsTheFileInTheSlotsCells)
{
    const WriteCase& c = GetParam();
    TempFolder folder("clbwrite.");
    const Coefficients file = FileValues(c.gmax, c.slot);
    const std::string path = folder / "coefficients.kvt";
    WriteKvt(path, file, IdOf(c.slot));

    MeterSimProcess sim(json{{"meters", c.meters}});
    const json before = sim.Dump();
    const ToolRun run = RunTool(sim, c.slot, {"write", "1", path, "--yes"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    json said = Messages({});
    if (!c.warning.empty()) said[0] = "Проверьте коэффициенты перед записью:\n- " + c.warning + "\n\n" + Question;
    EXPECT_EQ(run.result["messages"], said);
    EXPECT_EQ(run.result["written"], true);
    EXPECT_EQ(run.result["outcome"], c.readBack ? "записано и проверено"
                                                : "записано (этот тип прибора не читается обратно: не проверено)");
    const json after = sim.Dump();
    const json& meter = DumpMeter(after, c.family, c.address);
    const json& was = DumpMeter(before, c.family, c.address);

    // The tables: the slot's channel holds the file, every other channel and meter what it held.
    for (const auto& [key, table] : meter["tables"].items()) {
        json expected = was["tables"][key];
        if (key == c.table) {
            expected = WrittenTable(file);
        } else if (c.sharedZeroGain) {
            for (const char* t : {"K", "Obr"}) {
                expected[t][0] = file.k[0];
                expected[t][1] = file.k[1];
            }
        }
        ExpectTable(table, expected, "table " + key);
    }
    ASSERT_TRUE(meter["tables"].contains(c.table));
    for (std::size_t m = 0; m < c.meters.size(); ++m) {
        const json& other = after["meters"][m];
        if (other.value("address", 0u) == c.address || other.value("serial", 0u) == c.address) continue;
        ExpectTable(other["tables"]["1"], before["meters"][m]["tables"]["1"], "the other meter");
    }
    if (meter.contains("block_checksum_ok")) {
        EXPECT_EQ(meter["block_checksum_ok"], true);
    }

    // Gmax: in its cell, in the meter's byte order or as its position and size code.
    for (const auto& g : c.gmaxCells) {
        const auto kept = DumpBytes(after, c.family, c.address, AreaOf(c.family), g.addr, g.bytes.size());
        EXPECT_EQ(kept, g.bytes) << "Gmax cell " << g.addr;
    }
    if (c.family == "m4" && !c.gmaxCells.empty()) {
        // The rest of the block is written back as the meter had it.
        const std::uint16_t rest = c.gmaxCells[0].addr + 4;
        EXPECT_EQ(DumpBytes(after, "m4", c.address, "mem", rest, 4),
                  DumpBytes(before, "m4", c.address, "mem", rest, 4));
    }
    if (meter.contains("gmax")) { // the value the meter takes its Gmax cell for
        json expected = was["gmax"];
        if (!c.gmaxCells.empty()) {
            if (expected.is_array())
                expected[static_cast<std::size_t>(std::stoi(c.table)) - 1] = c.gmax;
            else
                expected = c.gmax;
        }
        EXPECT_EQ(meter["gmax"], expected);
    }

    // The form, from the write frames the meter received.
    const std::vector<Write> writes = Writes(ParseLog(sim.LogLines()));
    const std::string self = LogName(c.family, c.address);
    int plain = 0, scrambled = 0, m4 = 0;
    std::vector<const Write*> others;
    for (const auto& w : writes) {
        bool gmax = false;
        for (const auto& g : c.gmaxCells)
            gmax = gmax || (w.addr == g.addr && w.meter == (g.via.empty() ? self : g.via));
        if (gmax) continue;
        EXPECT_EQ(w.meter, self) << "a write to another meter at " << w.addr;
        if (IsM4(w.meter))
            ++m4;
        else if (w.data.size() == 4)
            ++plain;
        else if (w.data.size() == 9)
            ++scrambled;
        else
            others.push_back(&w);
    }
    // Each scrambled block carries fresh filler: a cell written twice (the ГЗУ-08's two passes, its
    // shared K0 and Ku cells) never gets the same bytes again.
    for (std::size_t i = 0; i < writes.size(); ++i)
        for (std::size_t j = i + 1; j < writes.size(); ++j)
            if (writes[i].data.size() == 9 && writes[i].addr == writes[j].addr) {
                EXPECT_NE(writes[i].data, writes[j].data) << "two scrambled writes alike at " << writes[i].addr;
            }
    EXPECT_EQ(plain, c.form == Form::Plain ? c.pointWrites : 0) << "plain writes";
    EXPECT_EQ(scrambled, c.form == Form::Scrambled ? c.pointWrites : 0) << "scrambled writes";
    EXPECT_EQ(m4, c.form == Form::M4 ? c.pointWrites : 0) << "M4 writes";
    if (c.wholeBlock) {
        // One pass over the guarded block, piece after piece: 144 bytes of the tables and the checksum.
        std::uint32_t next = 0x05E0;
        for (const Write* w : others) {
            EXPECT_EQ(w->addr, next) << "the block is written in order, once";
            next = w->addr + static_cast<std::uint32_t>(w->data.size());
        }
        EXPECT_EQ(next, 0x05E0u + 146u);
    }
    for (const auto& g : c.gmaxCells) {
        const std::string via = g.via.empty() ? self : g.via;
        int count = 0;
        for (const auto& w : writes) {
            if (w.meter != via || w.addr != g.addr) continue;
            ++count;
            ASSERT_GE(w.data.size(), g.bytes.size());
            EXPECT_EQ(std::vector<std::uint8_t>(w.data.begin(), w.data.begin() + static_cast<long>(g.bytes.size())),
                      g.bytes);
        }
        EXPECT_EQ(count, 1) << "Gmax writes at " << g.addr << " to " << via;
    }

    // The slot: K as read back from the meter (as loaded where the type is not read back), Obr and
    // Gmax as loaded, the version as the read-out made it.
    const json& slot = run.result["slots"][0];
    EXPECT_EQ(Floats(slot["K"]), c.readBack ? Floats(meter["tables"][c.table]["K"]) : Floats(file.k));
    EXPECT_EQ(Floats(slot["Obr"]), Floats(file.obr));
    EXPECT_EQ(Float(slot["gmax"]), c.gmax);
    if (c.version != 0) {
        EXPECT_FLOAT_EQ(Float(slot["version"]), c.version);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryType, CoefficientWrite, ::testing::ValuesIn(EveryType()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(VersionBounds, CoefficientWrite, ::testing::ValuesIn(VersionBounds()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(GmaxPositions, CoefficientWrite, ::testing::ValuesIn(GmaxPositions()),
                         [](const auto& info) { return info.param.name; });

// --- A meter that stops answering in the middle ------------------------------------------------

// The slot meter's replies up to its first write, leaving out the poller's (group 0C: the live
// values), and the poller's requests among them.
struct BeforeWriting {
    int replies = 0;
    int polls = 0;
};

BeforeWriting CountBeforeFirstWrite(const std::vector<Frame>& frames, const std::string& meter)
{
    BeforeWriting b;
    bool poll = false;
    for (const auto& f : frames) {
        if (f.meter != meter) continue;
        if (f.kind == "RX") {
            if (AsWrite(f)) break;
            poll = f.bytes.size() > 3 && f.bytes[3] == 0x0C;
            if (poll) ++b.polls;
        } else if (f.kind == "TX" && !poll) {
            ++b.replies;
        }
    }
    return b;
}

struct SilentCase {
    std::string name;
    WriteCase write;
    int requestsBeforeFirstWrite; // after the read-out: the pre-flight read (and the ДЛН-08.03С's modification)
    int silentFrom;               // the first request left unanswered, counted after the read-out
    int gmaxLanded;               // how many of the Gmax cells the meter answered
    bool gmaxFails;
    int pointsLanded; // per-point writes that the meter took
};

void PrintTo(const SilentCase& c, std::ostream* os)
{
    *os << c.name;
}

class CoefficientWriteSilent : public ::testing::TestWithParam<SilentCase> {};

TEST_P(CoefficientWriteSilent, EachFailedCallIsToldOnceAndTheWriteGoesOn)
{
    const SilentCase& c = GetParam();
    const WriteCase& w = c.write;
    const std::string self = LogName(w.family, w.address);
    TempFolder folder("clbwrite.");
    const Coefficients file = FileValues(w.gmax, w.slot);
    const std::string path = folder / "coefficients.kvt";
    WriteKvt(path, file, IdOf(w.slot));

    // How many replies the read-out takes, from a meter that answers everything.
    int readOut = 0;
    {
        MeterSimProcess sim(json{{"meters", w.meters}});
        const ToolRun run = RunTool(sim, w.slot, {"read"}, "50,100,2");
        ASSERT_EQ(run.status, 0) << run.err;
        readOut = CountBeforeFirstWrite(ParseLog(sim.LogLines()), self).replies;
    }

    json meters = w.meters;
    meters[0]["faults"] = {{"silent", {{"from", readOut + c.silentFrom}}}};
    MeterSimProcess sim(json{{"meters", meters}});
    const ToolRun run = RunTool(sim, w.slot, {"write", "1", path, "--yes"}, "50,100,2");
    const std::vector<Frame> frames = ParseLog(sim.LogLines());
    const BeforeWriting b = CountBeforeFirstWrite(frames, self);
    if (b.polls != 0 || b.replies != readOut + c.requestsBeforeFirstWrite)
        GTEST_SKIP() << "the meter's replies before the write were " << b.replies << " with " << b.polls
                     << " polls, not " << readOut + c.requestsBeforeFirstWrite
                     << ": the fault is not where this case puts it";

    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    EXPECT_EQ(run.result["written"], false);
    EXPECT_EQ(run.result["messages"],
              json(Messages({{GmaxWriteError, c.gmaxFails ? 1 : 0}, {WriteError, 18 - c.pointsLanded}})));
    EXPECT_EQ(run.result["outcome"], std::string("не записано: ") + (c.gmaxFails ? GmaxWriteError : WriteError) +
                                         "; прибор мог быть записан частично");

    // What the meter answered, from its frame log (a silent meter still hears the requests, so its
    // memory does not tell). Every failed call was sent as often as the repeat count says (2).
    int landed = 0, unanswered = 0;
    std::vector<std::pair<int, int>> gmax(w.gmaxCells.size()); // answered, unanswered per cell
    for (const auto& wr : Writes(frames)) {
        bool isGmax = false;
        for (std::size_t k = 0; k < w.gmaxCells.size(); ++k) {
            if (wr.addr != w.gmaxCells[k].addr) continue;
            isGmax = true;
            (wr.answered ? gmax[k].first : gmax[k].second)++;
        }
        if (!isGmax) (wr.answered ? landed : unanswered)++;
    }
    EXPECT_EQ(landed, c.pointsLanded);
    EXPECT_EQ(unanswered, 2 * (18 - c.pointsLanded));
    for (std::size_t k = 0; k < w.gmaxCells.size(); ++k)
        EXPECT_EQ(gmax[k], (static_cast<int>(k) < c.gmaxLanded ? std::pair(1, 0) : std::pair(0, 2)))
            << "Gmax cell " << w.gmaxCells[k].addr;

    // The read-back from a meter that does not answer stores 0.
    EXPECT_EQ(Floats(run.result["slots"][0]["K"]), std::vector<float>(10, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(
    MidWrite, CoefficientWriteSilent,
    ::testing::Values(
        // The pre-flight read of K0 answers; the meter falls silent at the Gmax write.
        SilentCase{"Kvt64FromTheGmaxWrite", Kvt64("", 1, Texts("V3.010"), Form::Plain, 3.101f), 1, 2, 0, true, 0},
        // Gmax, K0, Ku, point 1 of K and of Obr land; the other 14 calls fail.
        SilentCase{"Kvt64AfterFourPoints", Kvt64("", 1, Texts("V3.010"), Form::Plain, 3.101f), 1, 7, 1, false, 4},
        // Pre-flight, modification asked (2 requests), index written, modification asked again (2),
        // then the size code is not taken: one Gmax message.
        SilentCase{"Dln0803sAtTheSizeCode", Dln0803s("", "V0.66", Form::Plain, 0.6601f), 3, 7, 1, true, 0}),
    [](const auto& info) { return info.param.name; });

// --- Declining, and what the read-back shows ------------------------------------------------------

// Answering No sends nothing: the meter keeps its tables and Gmax, and the slot keeps the loaded
// values.
TEST(CoefficientWriteQuestion, NoWritesNothing)
{
    const WriteCase w = Kvt64("", 1, Texts("V3.010"), Form::Plain, 3.101f);
    TempFolder folder("clbwrite.");
    const Coefficients file = FileValues(w.gmax, w.slot);
    const std::string path = folder / "coefficients.kvt";
    WriteKvt(path, file, IdOf(w.slot));
    MeterSimProcess sim(json{{"meters", w.meters}});
    const json before = sim.Dump();
    const ToolRun run = RunTool(sim, w.slot, {"write", "1", path});
    EXPECT_EQ(run.status, 1) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    EXPECT_EQ(run.result["written"], false);
    EXPECT_EQ(run.result["outcome"],
              "не записано: запись не подтверждена (без --yes на вопрос о записи ответ \"нет\")");
    EXPECT_EQ(run.result["messages"], json(Messages({})));
    EXPECT_TRUE(Writes(ParseLog(sim.LogLines())).empty()) << "a write frame reached the meter";
    const json after = sim.Dump();
    ExpectTable(DumpMeter(after, "6x", 3)["tables"]["1"], DumpMeter(before, "6x", 3)["tables"]["1"], "table 1");
    EXPECT_EQ(DumpBytes(after, 3, "rtc2k", 0x00CC, 4), DumpBytes(before, 3, "rtc2k", 0x00CC, 4));
    const json& slot = run.result["slots"][0];
    EXPECT_EQ(Floats(slot["K"]), Floats(file.k));
    EXPECT_EQ(Floats(slot["Obr"]), Floats(file.obr));
    EXPECT_EQ(Float(slot["gmax"]), file.gmax);
}

// A cell that the meter keeps to itself (read-only) shows its own value after the write: the slot's
// K table and its boxes are what the meter holds, not what was loaded, and the check of the
// read-back says the write did not take.
TEST(CoefficientWriteReadBack, ShowsWhatTheMeterKept)
{
    WriteCase w = Kvt64("", 1, Texts("V3.010"), Form::Plain, 3.101f);
    // K point 8 of channel 1.
    w.meters[0]["readonly"] = json::array({json{{"area", "rtc2k"}, {"addr", "0x073C"}, {"count", 4}}});
    TempFolder folder("clbwrite.");
    const Coefficients file = FileValues(w.gmax, w.slot);
    const std::string path = folder / "coefficients.kvt";
    WriteKvt(path, file, IdOf(w.slot));
    MeterSimProcess sim(json{{"meters", w.meters}});
    const float kept = Float(DumpMeter(sim.Dump(), "6x", 3)["tables"]["1"]["K"][9]);
    ASSERT_NE(kept, file.k[9]);
    const ToolRun run = RunTool(sim, w.slot, {"write", "1", path, "--yes"});
    ASSERT_EQ(run.status, 1) << run.err;
    // 32896 / 65536 as people write it.
    const std::string told = "Проверка записи не прошла: прибор хранит для точки 8 значение 0.5 вместо 0.5019531";
    EXPECT_EQ(run.result["messages"], json({Question, told}));
    EXPECT_EQ(run.result["outcome"], "не записано: " + told);
    std::vector<float> expected = Floats(file.k);
    expected[9] = kept;
    EXPECT_EQ(Floats(DumpMeter(sim.Dump(), "6x", 3)["tables"]["1"]["K"]), expected);
    EXPECT_EQ(Floats(run.result["slots"][0]["K"]), expected);
    // The boxes show the table as read back, times Gmax 12.5: point 1 72/65536 x 12.5, point 8 the
    // kept 0.5 x 12.5.
    const json& points = run.result["slots"][0]["shown"]["points"];
    EXPECT_EQ(points[0], "0.01373");
    EXPECT_EQ(points[7], "6.25000");
}

} // namespace
