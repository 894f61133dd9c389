// Every meter type through the command-line front against the simulator: what
// the read-out fills into the slot (version, serial number, Gmax, the two
// tables, modification and sensor index), the texts of the coefficient boxes,
// the live flow of two polling cycles, and what the add-device probe reads.
//
// Each row is one type code with a scenario of its own: values that no other
// row and no factory table shares, so a value read from the wrong cell, in the
// wrong byte order or for the wrong channel shows. The expected texts are
// worked from the scenario with the box and flow formulas of each type; where
// that is not plain, the comment beside the row shows the working.
#include "ClbTool.h"
#include "MeterSimProcess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using nlohmann::json;

namespace {

// What one slot must show after the read-out, and what polling and the probe give.
struct SlotExpect {
    std::string serial;
    float version = 0; // 0: the type's read-out does not ask for the version
    float gmax = 0;
    json table; // {"K": [...], "Obr": [...]} as the scenario gives the slot's channel
    int modification = 0;
    int sensorIndex = 0;
    std::string zero;
    std::optional<std::string> gain; // nothing: the box keeps its (empty) text
    std::string firstPoint;
    std::string lastPoint;
    double flow = 0; // every polling cycle
    std::string flowText;
    std::string identity; // as the add-device probe reads it ("" where it reads none)
};

struct TypeCase {
    TypeCase(std::string name_, int code_, json line_, std::vector<std::string> slots_)
        : name(std::move(name_)), code(code_), line(std::move(line_)), slots(std::move(slots_))
    {
    }
    std::string name;
    int code = 0;
    json line;
    std::vector<std::string> slots; // --slot SPECs
    std::vector<SlotExpect> expect;
};

void PrintTo(const TypeCase& c, std::ostream* os)
{
    *os << c.name;
}

json Line(std::vector<json> meters)
{
    return {{"meters", meters}};
}

json Table(std::vector<double> k, std::vector<double> obr)
{
    return {{"K", k}, {"Obr", obr}};
}

// A value of an M4 meter: M4 floats keep a 16-bit mantissa, so whole numbers of
// 65536ths (below 1) travel exactly, as 4-byte floats do.
constexpr double M4(int n)
{
    return n / 65536.0;
}

// --- One row per type code ------------------------------------------------------

TypeCase Kvt64()
{
    const json ch1 = Table({32.75, 13107.0, 0.002, 0.004, 0.008, 0.016, 0.032, 0.064, 0.125, 0.5},
                           {32.75, 13107.0, 0.0021, 0.0042, 0.0083, 0.0165, 0.0328, 0.0651, 0.1262, 0.498});
    const json ch2 = Table({-0.5, 19660.5, 0.0015, 0.003, 0.006, 0.012, 0.024, 0.05, 0.15, 0.6},
                           {-0.5, 19660.5, 0.0016, 0.0031, 0.0062, 0.0121, 0.0243, 0.0502, 0.1497, 0.6012});
    TypeCase c{"Type1Kvt64TwoChannels",
               1,
               Line({{{"address", 3},
                      {"protocol", "6x"},
                      {"model", "kvt64"},
                      {"texts", {{"version", "V5S.18"}, {"subversion", "42"}}},
                      {"factory_number", 12064317},
                      {"gmax", {4.0, 12.5}},
                      {"live", {{"G", {33.25, 0.75}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"1:3:1", "1:3:2"}};
    // Rule A with "S" in third place: V[2] "0" V[5] V[6] "." S[1] S[2] = "5018.42", plus 0.001.
    // Zero box K0 x Gmax / 26214: 32.75 x 4 / 26214 = 0.0049973; -0.5 x 12.5 / 26214 = -0.00023842.
    // Curve, channel 1: f = (33.25 - 32.75) x 13107 / 26214 = 0.25, between the points 7 (0.125 ->
    // 0.1262) and 8 (0.5 -> 0.498). Channel 2: f = (0.75 + 0.5) x 19660.5 / 26214 = 0.9375, above the
    // last point 0.6 -> 0.6012, so it runs on towards (2, 2).
    const double f1 = 0.1262 + (0.498 - 0.1262) * (0.25 - 0.125) / (0.5 - 0.125); // 0.2501333
    const double f2 = 0.6012 + (2 - 0.6012) * (0.9375 - 0.6) / (2 - 0.6);         // 0.93841
    c.expect = {
        {"12064317", 5018.421f, 4.0f, ch1, 0, 0, "0.00500", "13107.0", "0.00800", "2.00000", f1 * 4.0, "1.00053",
         "KVT-64"},
        {"12064317", 5018.421f, 12.5f, ch2, 0, 0, "-0.00024", "19660.5", "0.01875", "7.50000", f2 * 12.5, "11.7301",
         "KVT-64"},
    };
    return c;
}

TypeCase Kvt641()
{
    const json t = Table({0.004, 1.0625, 0.0012, 0.0027, 0.0052, 0.0104, 0.0206, 0.0412, 0.1025, 0.5125},
                         {0.004, 1.0625, 0.0011, 0.0026, 0.0051, 0.0101, 0.0202, 0.0405, 0.1011, 0.5062});
    TypeCase c{"Type2Kvt641",
               2,
               Line({{{"address", 5},
                      {"protocol", "6x"},
                      {"model", "kvt641"},
                      {"texts", {{"version", {{"hex", "0407"}}}, {"subversion", "21"}, {"modification", "M"}}},
                      // A tab inside the number: bytes below 32 are shown as blanks.
                      {"factory_number", {{"hex", "36 34 31 09 32 30 30 37"}}},
                      {"size_code", 6},
                      {"live", {{"G", 0.125}, {"SFR", 0.3}}},
                      {"tables", {{"1", t}}}}}),
               {"2:5:1"}};
    // Rule B: the version bytes 04 07 read as "4.07": V[1] "0" V[3] V[4] "." S[1] S[2] = "4007.21",
    // plus 0.001. From version 4000 on the modification is asked: "M" is the M series, whose size
    // code 6 is Gmax 250. Last point 0.5125 x 250 = 128.125; flow 0.125 x 250.
    c.expect = {{"641 2007", 4007.211f, 250.0f, t, 0, 0, "1.00000", "1.06250", "0.30000", "128.125", 0.125 * 250,
                 "31.2500", "KVT64-1"}};
    return c;
}

TypeCase Kvt61()
{
    const json t = Table({0.0125, 0.9875, 0.0013, 0.0024, 0.0049, 0.0098, 0.0197, 0.0395, 0.0988, 0.4975},
                         {0.0125, 0.9875, 0.0014, 0.0025, 0.005, 0.0099, 0.0199, 0.0399, 0.0997, 0.4993});
    TypeCase c{"Type3Kvt61",
               3,
               Line({{{"address", 7},
                      {"protocol", "6x"},
                      {"model", "kvt61"},
                      {"texts", {{"version", "V2.34"}, {"subversion", "56"}}},
                      {"factory_number", "К6100715"}, // a Cyrillic letter: code page 1251 in the meter
                      {"gmax", 40.0},
                      {"live", {{"G", 7.375}, {"SFR", 7.0}}},
                      {"tables", {{"1", t}}}}}),
               {"3:7:1"}};
    // Rule C with "2" in second place: V[2] "0" V[4] V[5] "." S[1] S[2] = "2034.56", plus 0.001.
    c.expect = {{"К6100715", 2034.561f, 40.0f, t, 0, 0, "0.50000", "0.98750", "0.05200", "19.9000", 7.375, "7.37500",
                 "КВТ-61"}};
    return c;
}

TypeCase Kvt66()
{
    const json ch1 = Table({0.02, 1.015, 0.0011, 0.0023, 0.0046, 0.0093, 0.0188, 0.0377, 0.0951, 0.4822},
                           {0.02, 1.015, 0.0012, 0.0024, 0.0048, 0.0096, 0.0193, 0.0386, 0.0968, 0.4868});
    const json ch2 = Table({-0.01, 0.985, 0.0009, 0.0021, 0.0044, 0.0091, 0.0185, 0.0372, 0.0944, 0.4811},
                           {-0.01, 0.985, 0.001, 0.0022, 0.0045, 0.0094, 0.019, 0.038, 0.0955, 0.4833});
    TypeCase c{"Type4Kvt66TwoChannels",
               4,
               Line({{{"address", 9},
                      {"protocol", "6x"},
                      {"model", "kvt66"},
                      {"factory_number", 66001234},
                      {"gmax", {6.0, 10.0}},
                      {"live", {{"G", {0.3, 0.45}}, {"SFR", {0.31, 0.46}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"4:9:1", "4:9:2"}};
    // No version is read. Boxes K x Gmax; flow G x Gmax.
    c.expect = {
        {"66001234", 0, 6.0f, ch1, 0, 0, "0.12000", "1.01500", "0.00660", "2.89320", 0.3 * 6, "1.80000", "KVT-66"},
        {"66001234", 0, 10.0f, ch2, 0, 0, "-0.10000", "0.98500", "0.00900", "4.81100", 0.45 * 10, "4.50000", "KVT-66"},
    };
    return c;
}

TypeCase Kvt76()
{
    const json ch1 = Table({0.005, 1.002, 0.0012, 0.0026, 0.0051, 0.0102, 0.0203, 0.0406, 0.1012, 0.5031},
                           {0.005, 1.002, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    const json ch2 = Table({0.004, 0.998, 0.0008, 0.0019, 0.0041, 0.0088, 0.0179, 0.0366, 0.0933, 0.4799},
                           {0.004, 0.998, 0.0007, 0.0018, 0.004, 0.0087, 0.0178, 0.0365, 0.0932, 0.4798});
    TypeCase c{"Type5Kvt76TwoChannels",
               5,
               Line({{{"address", 11},
                      {"protocol", "6x"},
                      {"model", "kvt76"},
                      {"texts", {{"version", "V6.137"}}},
                      {"factory_number", 76000555},
                      {"gmax", {16.0, 25.0}},
                      {"live", {{"G", {0.25, 0.2}}, {"SFR", {0.26, 0.21}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"5:11:1", "5:11:2"}};
    // Rule D: V[2] "." V[5] V[6] = "6.37", nothing added.
    c.expect = {
        {"76000555", 6.37f, 16.0f, ch1, 0, 0, "0.08000", "1.00200", "0.01920", "8.04960", 0.25 * 16, "4.00000",
         "KVT-76"},
        {"76000555", 6.37f, 25.0f, ch2, 0, 0, "0.10000", "0.99800", "0.02000", "11.9975", 0.2 * 25, "5.00000",
         "KVT-76"},
    };
    return c;
}

TypeCase Kvt78()
{
    const json ch1 = Table({0.35, 1.04, 0.0011, 0.0026, 0.0052, 0.0103, 0.0207, 0.0411, 0.1019, 0.5044},
                           {0.35, 1.04, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    const json ch2 = Table({-0.125, 0.96, 0.0009, 0.0024, 0.0047, 0.0097, 0.0196, 0.0394, 0.0987, 0.4961},
                           {-0.125, 0.96, 0.0011, 0.0025, 0.0049, 0.0098, 0.0199, 0.0397, 0.0993, 0.4989});
    TypeCase c{"Type6Kvt78TwoChannels",
               6,
               Line({{{"address", 13},
                      {"protocol", "6x"},
                      {"model", "kvt78"},
                      {"factory_number", 78012345},
                      {"gmax", {30.0, 60.0}},
                      {"live", {{"G", {12.5, 33.75}}, {"SFR", {12.0, 33.0}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"6:13:1", "6:13:2"}};
    // The zero box shows K0 as it is; the flow is G as read.
    c.expect = {
        {"78012345", 0, 30.0f, ch1, 0, 0, "0.35000", "1.04000", "0.03300", "15.1320", 12.5, "12.5000", "KVT-64M"},
        {"78012345", 0, 60.0f, ch2, 0, 0, "-0.12500", "0.96000", "0.05400", "29.7660", 33.75, "33.7500", "KVT-64M"},
    };
    return c;
}

TypeCase Kvt64M1()
{
    const json t = Table({1.5, 1.01, 0.0012, 0.0027, 0.0053, 0.0104, 0.0205, 0.0409, 0.1015, 0.5021},
                         {1.5, 1.01, 0.0011, 0.0024, 0.0049, 0.0099, 0.0198, 0.0397, 0.0994, 0.4987});
    TypeCase c{"Type7Kvt64M1",
               7,
               Line({{{"address", 15},
                      {"protocol", "6x"},
                      {"model", "kvt64m1"},
                      {"factory_number", 64100777},
                      {"gmax", 100.0},
                      {"live", {{"G", 42.125}, {"SFR", 42.0}}},
                      {"tables", {{"1", t}}}}}),
               {"7:15:1"}};
    c.expect = {
        {"64100777", 0, 100.0f, t, 0, 0, "1.50000", "1.01000", "0.12000", "50.2100", 42.125, "42.1250", "KVT-64M-1"}};
    return c;
}

TypeCase Dln0803s()
{
    const json t = Table({0.01, 1.03, 0.0011, 0.0026, 0.0052, 0.0102, 0.0205, 0.0408, 0.1016, 0.5038},
                         {0.01, 1.03, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    TypeCase c{"Type8Dln0803sModification2",
               8,
               Line({{{"address", 17},
                      {"protocol", "6x"},
                      {"model", "dln0803s"},
                      {"modification", 2}, // identity "DLN0803-CM"
                      {"gmax", 40.0},      // its fourth size (position 3) in the list of modification 2
                      {"texts", {{"version", "V1.23"}}},
                      {"factory_number", {{"hex", "30 38 30 33 1F 30 34 32"}}},
                      {"live", {{"G", 18.5}, {"SFR", 18.0}}},
                      {"tables", {{"1", t}}}}}),
               {"8:17:1"}};
    // The version is the text without its first character, plus 0.0001: 1.2301.
    c.expect = {{"0803 042", 1.2301f, 40.0f, t, 2, 0, "0.40000", "1.03000", "0.04400", "20.1520", 18.5, "18.5000",
                 "DLN0803-CM"}};
    return c;
}

TypeCase Dln0805()
{
    const json t = Table({0.0625, 1.03125, M4(72), M4(172), M4(328), M4(656), M4(1320), M4(2636), M4(6560), M4(32864)},
                         {0.0625, 1.03125, M4(64), M4(160), M4(320), M4(640), M4(1280), M4(2560), M4(6400), M4(32768)});
    TypeCase c{"Type9Dln0805",
               9,
               Line({{{"address", 19},
                      {"protocol", "m4"},
                      {"model", "dln0805"},
                      {"factory_number", "08051919"},
                      {"gmax", 20.0},
                      {"live", {{"G", 9.25}, {"ADC", {0.5, 0.75}}}},
                      {"tables", {{"1", t}}}}}),
               {"9:19:1"}};
    // The zero box shows K0 as it is. Points: 72/65536 x 20 = 0.0219727, 32864/65536 x 20 = 10.0293.
    c.expect = {{"08051919", 0, 20.0f, t, 0, 0, "0.06250", "1.03125", "0.02197", "10.0293", 9.25, "9.25000", ""}};
    return c;
}

TypeCase Dln0805s()
{
    const json t = Table({0.015, 0.995, 0.0011, 0.0024, 0.0049, 0.0099, 0.0198, 0.0401, 0.1004, 0.5009},
                         {0.015, 0.995, 0.0012, 0.0025, 0.0052, 0.0103, 0.0204, 0.0409, 0.1021, 0.5042});
    TypeCase c{"Type10Dln0805s",
               10,
               Line({{{"address", 21},
                      {"protocol", "6x"},
                      {"model", "dln0805s"},
                      {"texts", {{"version", "V4.27"}}},
                      {"factory_number", "08052121"},
                      {"gmax", 25.0},
                      {"live", {{"G", 3.625}, {"SFR", 3.5}}},
                      {"tables", {{"1", t}}}}}),
               {"10:21:1"}};
    // Rule E: the first of three or more characters goes: "4.27", plus 0.001.
    c.expect = {
        {"08052121", 4.271f, 25.0f, t, 0, 0, "0.37500", "0.99500", "0.02750", "12.5225", 3.625, "3.62500", "DLN-805C"}};
    return c;
}

TypeCase Dln0807()
{
    const json ch1 =
        Table({0.03125, 0.96875, M4(200), M4(656), M4(1312), M4(2624), M4(13120), M4(29504), M4(59008), 2 * M4(39328)},
              {0.03125, 0.96875, M4(192), M4(640), M4(1280), M4(2560), M4(13056), M4(29440), M4(58880), 2 * M4(39296)});
    const json ch2 =
        Table({-0.0625, 1.0625, M4(208), M4(664), M4(1320), M4(2636), M4(13152), M4(29536), M4(59040), 2 * M4(39344)},
              {-0.0625, 1.0625, M4(200), M4(656), M4(1312), M4(2624), M4(13120), M4(29504), M4(59008), 2 * M4(39328)});
    TypeCase c{"Type11Dln0807TwoChannels",
               11,
               Line({{{"address", 23},
                      {"protocol", "m4"},
                      {"model", "dln0807"},
                      {"factory_number", "08072323"},
                      {"gmax", {12.0, 40.0}},
                      {"live", {{"G", {7.5, 31.25}}, {"GFlow", {7.25, 31.0}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"11:23:1", "11:23:2"}};
    // Points: 200/65536 x 12 = 0.0366211, 2 x 39328/65536 x 12 = 14.4023; 208/65536 x 40 = 0.126953,
    // 2 x 39344/65536 x 40 = 48.0273. Zero -0.0625 x 40 = -2.5 has two characters before the point.
    c.expect = {
        {"08072323", 0, 12.0f, ch1, 0, 0, "0.37500", "0.96875", "0.03662", "14.4023", 7.5, "7.50000", ""},
        {"08072323", 0, 40.0f, ch2, 0, 0, "-2.5000", "1.06250", "0.12695", "48.0273", 31.25, "31.2500", ""},
    };
    return c;
}

TypeCase Dln0807s()
{
    const json ch1 = Table({0.0075, 1.0075, 0.0011, 0.0025, 0.0051, 0.0101, 0.0202, 0.0403, 0.1008, 0.5017},
                           {0.0075, 1.0075, 0.0012, 0.0027, 0.0053, 0.0105, 0.0209, 0.0415, 0.1027, 0.5061});
    const json ch2 = Table({-0.0025, 0.9925, 0.0009, 0.0023, 0.0048, 0.0097, 0.0195, 0.0391, 0.0979, 0.4958},
                           {-0.0025, 0.9925, 0.0008, 0.0022, 0.0047, 0.0096, 0.0193, 0.0388, 0.0972, 0.4937});
    // The second channel answers at the next address and keeps memory of its own.
    TypeCase c{"Type12Dln0807sTwoAddresses",
               12,
               Line({{{"address", 25},
                      {"protocol", "6x"},
                      {"model", "dln0807s"},
                      {"factory_number", "08072500"},
                      {"gmax", 50.0},
                      {"live", {{"G", 21.5}, {"SFR", 21.0}}},
                      {"tables", {{"1", ch1}}}},
                     {{"address", 26},
                      {"protocol", "6x"},
                      {"model", "dln0807s"},
                      {"factory_number", "08072500"},
                      {"gmax", 80.0},
                      {"live", {{"G", 64.25}, {"SFR", 64.0}}},
                      {"tables", {{"1", ch2}}}}}),
               {"12:25:1", "12:26:2"}};
    c.expect = {
        {"08072500", 0, 50.0f, ch1, 0, 0, "0.37500", "1.00750", "0.05500", "25.0850", 21.5, "21.5000", "DLN-08.07.C"},
        {"08072500", 0, 80.0f, ch2, 0, 0, "-0.20000", "0.99250", "0.07200", "39.6640", 64.25, "64.2500", "DLN-08.07.C"},
    };
    return c;
}

TypeCase Dln0809()
{
    const json t = Table({0.0625, 1.25, 0.0011, 0.0026, 0.0051, 0.0102, 0.0203, 0.0405, 0.1011, 0.5023},
                         {0.0625, 1.25, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    TypeCase c{"Type13Dln0809",
               13,
               Line({{{"address", 27},
                      {"protocol", "6x"},
                      {"model", "dln0809"},
                      {"factory_number", 80900027},
                      {"gmax", 8.0},
                      {"live", {{"G", 0.5625}, {"SFR", 0.5}}},
                      {"tables", {{"1", t}}}}}),
               {"13:27:1"}};
    // Flow Ku x ((G - K0) x Gmax) = 1.25 x ((0.5625 - 0.0625) x 8) = 5.
    c.expect = {{"80900027", 0, 8.0f, t, 0, 0, "0.50000", "1.25000", "0.00880", "4.01840",
                 1.25 * ((0.5625 - 0.0625) * 8), "5.00000", "DLN-0809"}};
    return c;
}

TypeCase Kvt64KU()
{
    const json t = Table({1.5, 1.02, 0.0011, 0.0026, 0.0052, 0.0101, 0.0203, 0.0404, 0.1012, 0.5032},
                         {1.5, 1.02, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    TypeCase c{"Type14Kvt64KU",
               14,
               Line({{{"serial", 44412345},
                      {"protocol", "relay"},
                      {"model", "kvt64ku"},
                      {"factory_number", 1400123}, // not the relay address: the number is read from its cell
                      {"gmax", 5.6},
                      {"live", {{"G", 1.75}, {"SFR", 1.5}}},
                      {"error_flags", 0x07}, // bits 0..2 only: no fault that the poller looks at
                      {"tables", {{"1", t}}}}}),
               {"14:0:1@44412345"}};
    // The slot keeps sensor index 0: divisor 56. Boxes Gmax x (K / 56) = K x 0.1; the gain box keeps
    // its text. Flow: G as read.
    c.expect = {
        {"1400123", 0, 5.6f, t, 0, 0, "0.15000", std::nullopt, "0.00011", "0.05032", 1.75, "1.75000", "KVT-64KU"}};
    return c;
}

TypeCase Gzu08()
{
    // The two directions share K0 and Ku and have point tables of their own.
    const json ch1 = Table({0.25, 1.05, 0.0012, 0.0028, 0.0054, 0.0106, 0.0212, 0.0418, 0.1036, 0.5064},
                           {0.25, 1.05, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5});
    const json ch2 = Table({0.25, 1.05, 0.0009, 0.0023, 0.0047, 0.0096, 0.0194, 0.0391, 0.0977, 0.4952},
                           {0.25, 1.05, 0.0008, 0.0022, 0.0046, 0.0095, 0.0193, 0.039, 0.0976, 0.4951});
    TypeCase c{"Type15Gzu08BothDirections",
               15,
               Line({{{"serial", 44454321},
                      {"protocol", "relay"},
                      {"model", "gzu08"},
                      {"factory_number", 8015321},
                      {"sensor_index", 3},
                      {"gmax", 48.0},
                      {"live", {{"G", 2.25}, {"SFR", 2.0}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"15:0:1@44454321", "15:0:2@44454321"}};
    // Sensor index 3: divisor 96, so Gmax x (K / 96) = K / 2. Both directions poll the meter's one
    // live value: Ku x ((G - K0) x Gmax) = 1.05 x ((2.25 - 0.25) x 48) = 100.8.
    const double flow = 1.05 * ((2.25 - 0.25) * 48);
    c.expect = {
        {"8015321", 0, 48.0f, ch1, 0, 3, "0.12500", std::nullopt, "0.00060", "0.25320", flow, "100.800", "GZU-08"},
        {"8015321", 0, 48.0f, ch2, 0, 3, "0.12500", std::nullopt, "0.00045", "0.24760", flow, "100.800", "GZU-08"},
    };
    return c;
}

TypeCase Kvt09M4()
{
    const json ch1 =
        Table({0.125, 1.0234375, M4(72), M4(168), M4(336), M4(664), M4(1320), M4(2640), M4(6576), M4(32896)},
              {0.125, 1.0234375, M4(68), M4(164), M4(332), M4(660), M4(1316), M4(2628), M4(6552), M4(32832)});
    const json ch2 =
        Table({-0.25, 0.9765625, M4(60), M4(156), M4(312), M4(628), M4(1256), M4(2520), M4(6320), M4(32640)},
              {-0.25, 0.9765625, M4(62), M4(158), M4(316), M4(632), M4(1264), M4(2536), M4(6352), M4(32704)});
    TypeCase c{"Type16Kvt09M4TwoChannels",
               16,
               Line({{{"address", 29},
                      {"protocol", "m4"},
                      {"model", "kvt09m4"},
                      {"factory_number", "09402929"},
                      {"gmax", {6.0, 3.5}},
                      {"live", {{"G", {4.5, 2.75}}}},
                      {"tables", {{"1", ch1}, {"2", ch2}}}}}),
               {"16:29:1", "16:29:2"}};
    // Gains 131/128 = 1.0234375 and 125/128 = 0.9765625 (no ties at five decimals). Points:
    // 72/65536 x 6 = 0.00659180, 32896/65536 x 6 = 3.01172; 60/65536 x 3.5 = 0.00320435,
    // 32640/65536 x 3.5 = 1.74316.
    c.expect = {
        {"09402929", 0, 6.0f, ch1, 0, 0, "0.75000", "1.02344", "0.00659", "3.01172", 4.5, "4.50000", ""},
        {"09402929", 0, 3.5f, ch2, 0, 0, "-0.87500", "0.97656", "0.00320", "1.74316", 2.75, "2.75000", ""},
    };
    // The add-device dialog never offers this type; the command line probes it as the other
    // M4 meters (types 9 and 11): no identity, the number read, found when it is not empty.
    return c;
}

// --- Running the command-line front ---------------------------------------------------

struct ToolRun {
    int status = 0;
    json result;
    std::string err;
};

ToolRun RunTool(const MeterSimProcess& sim, const TypeCase& c, std::vector<std::string> command)
{
    std::vector<std::string> args = {"--port", sim.DevicePath(), "--timeouts", "50,150,2", "--json"};
    for (const auto& s : c.slots) {
        args.push_back("--slot");
        args.push_back(s);
    }
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

class ReadOutTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ReadOutTypes, ReadFillsTheSlotsAndTheirBoxes)
{
    const TypeCase& c = GetParam();
    MeterSimProcess sim(c.line);
    const ToolRun run = RunTool(sim, c, {"read"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    EXPECT_EQ(run.result["messages"], json::array());
    const json& slots = run.result["slots"];
    ASSERT_EQ(slots.size(), c.expect.size());
    for (size_t n = 0; n < c.expect.size(); ++n) {
        SCOPED_TRACE("slot " + std::to_string(n + 1));
        const json& s = slots[n];
        const SlotExpect& e = c.expect[n];
        EXPECT_EQ(s["type"], c.code);
        EXPECT_EQ(s["read_done"], true);
        EXPECT_EQ(s["serial"], e.serial);
        EXPECT_FLOAT_EQ(Float(s["version"]), e.version);
        EXPECT_EQ(Float(s["gmax"]), e.gmax);
        EXPECT_EQ(s["modification"], e.modification);
        EXPECT_EQ(s["sensor_index"], e.sensorIndex);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(Float(s["K"][i]), e.table["K"][i].get<float>()) << "K[" << i << "]";
            EXPECT_EQ(Float(s["Obr"][i]), e.table["Obr"][i].get<float>()) << "Obr[" << i << "]";
        }
        const json& shown = s["shown"];
        EXPECT_EQ(shown["zero"], e.zero);
        EXPECT_EQ(shown["gain"], e.gain ? json(*e.gain) : json(nullptr));
        ASSERT_EQ(shown["points"].size(), 8u);
        EXPECT_EQ(shown["points"][0], e.firstPoint);
        EXPECT_EQ(shown["points"][7], e.lastPoint);
    }
}

TEST_P(ReadOutTypes, PollTurnsEachReadingIntoTheSlotsFlow)
{
    const TypeCase& c = GetParam();
    MeterSimProcess sim(c.line);
    const ToolRun run = RunTool(sim, c, {"poll", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    const json& cycles = run.result["cycles"];
    ASSERT_EQ(cycles.size(), 2u);
    for (size_t k = 0; k < cycles.size(); ++k) {
        ASSERT_EQ(cycles[k].size(), c.expect.size()) << "cycle " << k + 1 << ": every slot is polled";
        for (size_t n = 0; n < c.expect.size(); ++n) {
            SCOPED_TRACE("cycle " + std::to_string(k + 1) + ", slot " + std::to_string(n + 1));
            const json& p = cycles[k][n];
            const SlotExpect& e = c.expect[n];
            EXPECT_EQ(p["slot"], n + 1);
            EXPECT_EQ(p["ok"], true);
            EXPECT_NEAR(Float(p["flow"]), e.flow, 1e-5 * std::max(1.0, std::fabs(e.flow)));
            EXPECT_EQ(p["text"], e.flowText);
        }
    }
}

TEST_P(ReadOutTypes, ProbeReadsIdentityAndSerialNumber)
{
    const TypeCase& c = GetParam();
    MeterSimProcess sim(c.line);
    const ToolRun run = RunTool(sim, c, {"probe"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    EXPECT_EQ(run.result["messages"], json::array());
    const json& slots = run.result["slots"];
    ASSERT_EQ(slots.size(), c.expect.size());
    for (size_t n = 0; n < c.expect.size(); ++n) {
        SCOPED_TRACE("slot " + std::to_string(n + 1));
        EXPECT_EQ(slots[n]["ok"], true);
        EXPECT_EQ(slots[n]["identity"], c.expect[n].identity);
        EXPECT_EQ(slots[n]["serial"], c.expect[n].serial);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryType, ReadOutTypes,
                         ::testing::Values(Kvt64(), Kvt641(), Kvt61(), Kvt66(), Kvt76(), Kvt78(), Kvt64M1(), Dln0803s(),
                                           Dln0805(), Dln0805s(), Dln0807(), Dln0807s(), Dln0809(), Kvt64KU(), Gzu08(),
                                           Kvt09M4()),
                         [](const auto& info) { return info.param.name; });

// A sensor index beyond the divisor table (the meter keeps one byte) has no divisor: the
// read-out succeeds and keeps the index, and the boxes that need the divisor show "error"
// rather than a value divided by something from outside the table.
TEST(ReadOutSensorIndex, BeyondTheDivisorTableShowsNoValue)
{
    TypeCase c = Gzu08();
    c.line["meters"][0]["sensor_index"] = 7;
    MeterSimProcess sim(c.line);
    const ToolRun run = RunTool(sim, c, {"read"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(run.result.is_discarded()) << "the output is no JSON";
    const json& s = run.result["slots"][0];
    EXPECT_EQ(s["sensor_index"], 7);
    EXPECT_EQ(s["read_done"], true);
    EXPECT_EQ(s["shown"]["zero"], "error");
    EXPECT_EQ(s["shown"]["gain"], nullptr);
    EXPECT_EQ(s["shown"]["points"], json(std::vector<std::string>(8, "error")));
}

// --- What the probe accepts and refuses -------------------------------------------------------------

struct ProbeCase {
    std::string name;
    json meter;
    std::string slot;
    bool ok;
    std::string identity;
    std::string serial;
    std::vector<std::string> messages;
    int requests; // what the meter was asked: identity, serial number, then the extra check
};

void PrintTo(const ProbeCase& c, std::ostream* os)
{
    *os << c.name;
}

const char* const NoContact = "Не удалось установить связь с прибором";
const char* const NoChannel2 = "В данной модификации прибора отсутствует канал G2.\r\nВыберите другой канал расхода.";

class ProbeRules : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeRules, AcceptOrRefuseTheMeter)
{
    const ProbeCase& c = GetParam();
    MeterSimProcess sim(Line({c.meter}));
    std::ostringstream out, err;
    const int status = RunClbTool(
        {"--port", sim.DevicePath(), "--slot", c.slot, "--timeouts", "50,150,2", "--json", "probe"}, out, err);
    EXPECT_EQ(status, c.ok ? 0 : 1) << err.str();
    const json j = json::parse(out.str(), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "the output is no JSON";
    ASSERT_EQ(j["slots"].size(), 1u);
    EXPECT_EQ(j["slots"][0]["ok"], c.ok);
    EXPECT_EQ(j["slots"][0]["identity"], c.identity);
    EXPECT_EQ(j["slots"][0]["serial"], c.serial);
    EXPECT_EQ(j["messages"], json(c.messages));
    EXPECT_EQ(sim.Dump()["meters"][0]["requests"], c.requests);
}

json Meter6x(int address, const char* model, json extra)
{
    json m = {{"address", address}, {"protocol", "6x"}, {"model", model}};
    m.update(extra);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    IdentityAndChannels, ProbeRules,
    ::testing::Values(
        // Modification bytes 1 and 3 mean "no channel G2"; channel 1 does not ask for the byte.
        ProbeCase{"Kvt64ChannelOneDoesNotAskForTheModification",
                  Meter6x(2, "kvt64", {{"modification_byte", 3}, {"factory_number", 12064002}}),
                  "1:2:1",
                  true,
                  "KVT-64",
                  "12064002",
                  {},
                  2},
        ProbeCase{"Kvt64ChannelTwoOfAModificationWithoutIt",
                  Meter6x(2, "kvt64", {{"modification_byte", 3}, {"factory_number", 12064002}}),
                  "1:2:2",
                  false,
                  "KVT-64",
                  "12064002",
                  {NoChannel2},
                  3},
        ProbeCase{"Kvt78ChannelTwoOfAModificationWithoutIt",
                  Meter6x(4, "kvt78", {{"modification_byte", 1}, {"factory_number", 78000004}}),
                  "6:4:2",
                  false,
                  "KVT-64M",
                  "78000004",
                  {NoChannel2},
                  3},
        // 225315 marks induction channels on a КВТ-76 only; a КВТ-66 must say 218502.
        ProbeCase{"Kvt66WithTheWordOfAKvt76",
                  Meter6x(6, "kvt66", {{"induction_word", 225315}, {"factory_number", 66000006}}),
                  "4:6:1",
                  false,
                  "KVT-66",
                  "66000006",
                  {"В приборе нет индукционных каналов расхода.", NoContact},
                  3},
        ProbeCase{"Kvt76WithItsOwnWord",
                  Meter6x(6, "kvt76", {{"induction_word", 225315}, {"factory_number", 76000006}}),
                  "5:6:1",
                  true,
                  "KVT-76",
                  "76000006",
                  {},
                  3},
        // The identity must equal "KVT64-1": a longer one is another meter, and its number is not read.
        ProbeCase{"Kvt641WithALongerIdentity",
                  Meter6x(8, "kvt641", {{"texts", {{"id", "KVT64-1M"}}}}),
                  "2:8:1",
                  false,
                  "KVT64-1M",
                  "",
                  {NoContact},
                  1},
        // The identity must be a non-empty part of "GZU-08".
        ProbeCase{"Gzu08WithAShortenedIdentity",
                  {{"serial", 44400808}, {"protocol", "relay"}, {"model", "gzu08"}, {"texts", {{"id", "GZU-0"}}}},
                  "15:0:1@44400808",
                  true,
                  "GZU-0",
                  "44400808",
                  {},
                  2},
        ProbeCase{"Gzu08WithALongerIdentity",
                  {{"serial", 44400808}, {"protocol", "relay"}, {"model", "gzu08"}, {"texts", {{"id", "GZU-081"}}}},
                  "15:0:1@44400808",
                  false,
                  "GZU-081",
                  "",
                  {NoContact},
                  1}),
    [](const auto& info) { return info.param.name; });

} // namespace
