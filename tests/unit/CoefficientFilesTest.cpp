// The coefficient files: each writer against a hand-written file of its layout,
// the in-place update of a KVT file, the readers with their refusals, and a
// write that fails.
#include "CoefficientFiles.h"

#include "AtomicFile.h"
#include "Settings.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

std::string DataFile(const std::string& name)
{
    return std::string(CLB_FILES_DATA_DIR) + "/" + name;
}

std::string Bytes(const std::string& path)
{
    std::string bytes, error;
    EXPECT_TRUE(ReadWholeFile(path, bytes, error)) << error;
    return bytes;
}

DeviceSlot Slot(std::uint8_t type, const char* serial = "12345678", std::uint8_t channel = 1,
                std::uint8_t modification = 0)
{
    DeviceSlot s = MakeSlot(type, 0, channel, serial);
    s.SetModification(modification);
    return s;
}

// Points 1..8 at 1/8 .. 8/8 of Gmax, measured 1.03125 times the reference:
// every product with Gmax 30 or 12.5 is exact in binary, so the fixtures'
// nine decimals follow by hand (0.125 * 1.03125 * 30 = 3.8671875).
CoefficientSet EighthPoints(float gmax, float k0, float ku)
{
    CoefficientSet c;
    c.Gmax = gmax;
    c.K[0] = k0;
    c.K[1] = ku;
    for (int i = 2; i <= 9; ++i) {
        c.Obr[i] = 0.125f * static_cast<float>(i - 1);
        c.K[i] = c.Obr[i] * 1.03125f;
    }
    return c;
}

// The KVT example: K0 = 0.001f, a point below 0.00001, a negative point.
CoefficientSet KvtExample()
{
    CoefficientSet c = EighthPoints(30, 0.001f, 1);
    c.K[2] = 1e-6f;
    c.K[3] = 0.1f;
    c.K[4] = -0.5f;
    for (int i = 5; i <= 9; ++i)
        c.K[i] = 0.125f * static_cast<float>(i - 3);
    c.Obr[0] = 0;
    c.Obr[1] = 1;
    return c;
}

struct WriteCase {
    const char* Name;
    std::function<DeviceSlot()> MakeSlot;
    std::function<CoefficientSet()> MakeSet;
    const char* Extension;
    const char* Fixture;
};

class WriterTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriterTest, WritesTheFileByteForByte)
{
    const WriteCase& c = GetParam();
    TempFolder dir("clb_coeff_", "/tmp");
    Settings settings;
    std::string error;
    // Header and footer of the print page, as the settings file keeps them (code page 1251).
    WriteFile(dir / "tool.ini", "[Device11]\r\nShapka=\xCE\xCE\xCE \xCF\xEE\xE2\xE5\xF0\xEA\xE0\r\n"
                          "Colontitle=\xCF\xEE\xE2\xE5\xF0\xE8\xF2\xE5\xEB\xFC: \xC8\xE2\xE0\xED\xEE\xE2\r\n");
    ASSERT_TRUE(settings.Open(dir / "tool.ini", error)) << error;
    const std::string path = dir / (std::string("out") + c.Extension);
    ASSERT_TRUE(SaveCoefficientFile(path, c.MakeSlot(), c.MakeSet(), &settings, error)) << error;
    EXPECT_EQ(Bytes(path), Bytes(DataFile(c.Fixture)));
}

INSTANTIATE_TEST_SUITE_P(Formats, WriterTest,
                         ::testing::Values(
                             // Line 4 is K0 * Gmax / 26214 = 0.5 * 30 / 26214 = 0.000572213.
                             WriteCase{"TxtOfType1ConvertsK0", [] { return Slot(1); },
                                       [] { return EighthPoints(30, 0.5f, 1); }, ".txt", "written_type1.txt"},
                             WriteCase{"TxtOfType15HasFractionsAndFlows", [] { return Slot(15, "А-17", 2); },
                                       [] { return EighthPoints(12.5f, 0.25f, 0.75f); }, ".TXT", "written_type15.txt"},
                             WriteCase{"NewKvtInTableOrder", [] { return Slot(1); }, [] { return KvtExample(); },
                                       ".kvt", "written_new.kvt"},
                             // Type 11 prints K0 * Gmax = 15 first; point 8 has a reference of 0.
                             WriteCase{"TprWithHeaderFooterAndZeroReference", [] { return Slot(11, "12345678", 2); },
                                       [] {
                                           CoefficientSet c = EighthPoints(30, 0.5f, 1);
                                           c.Obr[9] = 0;
                                           return c;
                                       },
                                       ".tpr", "written_type11.tpr"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(KvtWriter, UpdatesAnExistingFileInPlaceKeepingOtherSections)
{
    TempFolder dir("clb_coeff_", "/tmp");
    const std::string path = dir / "bench.kvt";
    WriteFile(path, Bytes(DataFile("existing_other_sections.kvt")));
    std::string error;
    ASSERT_TRUE(SaveCoefficientFile(path, Slot(1), KvtExample(), nullptr, error)) << error;
    EXPECT_EQ(Bytes(path), Bytes(DataFile("updated_other_sections.kvt")));
    // Saving again changes nothing more.
    ASSERT_TRUE(SaveCoefficientFile(path, Slot(1), KvtExample(), nullptr, error)) << error;
    EXPECT_EQ(Bytes(path), Bytes(DataFile("updated_other_sections.kvt")));
}

struct NumberCase {
    const char* Name;
    double Value;
    const char* Text;
};
class KvtNumber : public ::testing::TestWithParam<NumberCase> {};
TEST_P(KvtNumber, WritesFifteenSignificantDigits)
{
    EXPECT_EQ(KvtNumberText(GetParam().Value), GetParam().Text);
}
INSTANTIATE_TEST_SUITE_P(Values, KvtNumber,
                         ::testing::Values(NumberCase{"Zero", 0.0, "0"}, NumberCase{"NegativeZero", -0.0, "0"},
                                           NumberCase{"FloatThousandth", 0.001f, "0.00100000004749745"},
                                           NumberCase{"Integer", 30, "30"}, NumberCase{"Negative", -0.5, "-0.5"},
                                           NumberCase{"SmallestFixed", 0.00001, "0.00001"},
                                           // The float 1e-5 is 9.99999974737875e-6: below the bound, so scientific.
                                           NumberCase{"JustBelowFixed", 1e-5f, "9.99999974737875E-6"},
                                           NumberCase{"FifteenIntegerDigits", 999999999999999.0, "999999999999999"},
                                           NumberCase{"SixteenIntegerDigits", 1e15, "1E15"},
                                           NumberCase{"RoundsUpAcrossDigits", 0.99999999999999999, "1"},
                                           NumberCase{"FractionOfLargeValue", 123456.7890625, "123456.7890625"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A set of values no file holds, to see what a load changed.
CoefficientSet Sentinel()
{
    CoefficientSet c;
    c.Gmax = 77;
    for (int i = 0; i < 10; ++i) {
        c.K[i] = 100.0f + static_cast<float>(i);
        c.Obr[i] = 200.0f + static_cast<float>(i);
    }
    c.ReadDone = true;
    return c;
}

void ExpectSame(const CoefficientSet& a, const CoefficientSet& b)
{
    EXPECT_EQ(a.Gmax, b.Gmax);
    EXPECT_EQ(a.K, b.K);
    EXPECT_EQ(a.Obr, b.Obr);
}

struct LoadCase {
    const char* Name;
    const char* File;
    std::uint8_t Type;
    float Gmax, K0, Ku;
    std::array<float, 2> Obr01; // what Obr[0] and Obr[1] must hold afterwards
    float Obr2, K2, Obr9, K9;
};

class LoadAccepted : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadAccepted, StoresTheValuesOfTheFile)
{
    const LoadCase& c = GetParam();
    CoefficientSet set = Sentinel();
    std::string error, warning;
    ASSERT_TRUE(LoadCoefficientFile(DataFile(c.File), Slot(c.Type), set, error, &warning)) << error;
    EXPECT_EQ(warning, "");
    EXPECT_FLOAT_EQ(set.Gmax, c.Gmax);
    EXPECT_FLOAT_EQ(set.K[0], c.K0);
    EXPECT_FLOAT_EQ(set.K[1], c.Ku);
    EXPECT_FLOAT_EQ(set.Obr[0], c.Obr01[0]);
    EXPECT_FLOAT_EQ(set.Obr[1], c.Obr01[1]);
    EXPECT_FLOAT_EQ(set.Obr[2], c.Obr2);
    EXPECT_FLOAT_EQ(set.K[2], c.K2);
    EXPECT_FLOAT_EQ(set.Obr[9], c.Obr9);
    EXPECT_FLOAT_EQ(set.K[9], c.K9);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadAccepted,
    ::testing::Values(
        // TXT keeps Obr[0] and Obr[1]; the points are divided by Gmax.
        LoadCase{"TxtWhoseNameContainsTheDisplayName",
                 "load_name_with_suffix.txt",
                 1,
                 30,
                 0.5f,
                 1.25f,
                 {200, 201},
                 0.125f,
                 0.12890625f,
                 1,
                 1.03125f},
        LoadCase{"TxtWithLfTabsAndRowsOverTwoLines",
                 "load_lf_tabs.txt",
                 1,
                 30,
                 0.5f,
                 1.25f,
                 {200, 201},
                 0.125f,
                 0.12890625f,
                 1,
                 1.03125f},
        // Type 11 stores K0 / Gmax: 0.3 / 30.
        LoadCase{
            "TxtOfType11DividesK0", "load_type11.txt", 11, 30, 0.01f, 1, {200, 201}, 0.125f, 0.12890625f, 1, 1.03125f},
        // Type 15 scales nothing and keeps Ku.
        LoadCase{"TxtOfType15AsWritten",
                 "written_type15.txt",
                 15,
                 12.5f,
                 0.25f,
                 101,
                 {200, 201},
                 0.125f,
                 0.12890625f,
                 1,
                 1.03125f},
        // 0.000572213 * 26214 / 30 = 0.49999971...
        LoadCase{"OlderTprOfType1ConvertsK0",
                 "load_legacy_type1.tpr",
                 1,
                 30,
                 0.000572213f * 26214.0f / 30.0f,
                 1.25f,
                 {200, 201},
                 0.125f,
                 0.12890625f,
                 1,
                 1.03125f},
        // The page this tool prints: K0 from its second K0 line, deviation marker skipped.
        LoadCase{"TprAsThisToolWritesIt",
                 "written_type11.tpr",
                 11,
                 30,
                 0.5f,
                 1,
                 {200, 201},
                 0.125f,
                 0.12890625f,
                 0,
                 1.03125f},
        LoadCase{"KvtAsWrittenHere", "written_new.kvt", 1, 30, 0.001f, 1, {0, 1}, 0.125f, 1e-6f, 1, 0.75f}),
    [](const auto& info) { return std::string(info.param.Name); });

struct RefusedCase {
    const char* Name;
    const char* File;
    std::uint8_t Type;
    const char* Reason; // what the message holds after the file name
};

class LoadRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(LoadRefused, ChangesNothingAndSaysWhy)
{
    const RefusedCase& c = GetParam();
    CoefficientSet set = Sentinel();
    std::string error;
    const std::string path = DataFile(c.File);
    EXPECT_FALSE(LoadCoefficientFile(path, Slot(c.Type), set, error));
    ExpectSame(set, Sentinel());
    EXPECT_EQ(error.rfind("Неверный файл " + path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadRefused,
    ::testing::Values(RefusedCase{"TxtWithBlankInsteadOfHyphen", "load_name_with_blank.txt", 1,
                                  "в файле прибор \"КВТ 64\", а в слоте КВТ-64"},
                      RefusedCase{"TxtOfAnotherType", "written_type1.txt", 11,
                                  "в файле прибор \"КВТ-64\", а в слоте ДЛН-08.07"},
                      RefusedCase{"TxtWithCommaInANumber", "load_not_a_number.txt", 1, "\"7,5\" не число"},
                      RefusedCase{"TxtCutShort", "load_truncated.txt", 1, "обрывается"},
                      RefusedCase{"TxtWithGmaxZero", "load_gmax_zero.txt", 1, "Gmax равен нулю"},
                      RefusedCase{"TxtWithByteOrderMark", "load_bom.txt", 1, "UTF-8"},
                      RefusedCase{"TxtWithNulByte", "load_nul.txt", 1, "нулевой байт"},
                      RefusedCase{"TxtWithUndefinedByte", "load_undefined_byte.txt", 1, "0x98"},
                      RefusedCase{"BinaryFile", "load_binary.bin.txt", 1, "не текстовый"},
                      RefusedCase{"OlderTprWithCommaInGmax", "load_legacy_bad_gmax.tpr", 1, "не число"},
                      RefusedCase{"TprOfAnotherType", "written_type11.tpr", 1,
                                  "в файле прибор \"ДЛН-08.07\", а в слоте КВТ-64"},
                      RefusedCase{"KvtWithCommaInAValue", "load_not_a_number.kvt", 1, "Ku = \"1,5\" не число"},
                      RefusedCase{"KvtOfAnotherType", "load_wrong_id.kvt", 1,
                                  "[Device] Id = \"ДЛН-08.07\", а прибор слота КВТ-64"},
                      // A key that the tool writes is never filled in with a default.
                      RefusedCase{"KvtWithOnlyDevice", "load_device_only.kvt", 1, "нет ключа [Koeff] K0"},
                      // 1e39 is beyond the largest float (3.4e38).
                      RefusedCase{"KvtWithGmaxBeyondFloat", "load_out_of_range.kvt", 1, "вне диапазона"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Load, MissingFileOfEveryFormatIsRefused)
{
    for (const char* ext : {".txt", ".kvt", ".tpr"}) {
        CoefficientSet set = Sentinel();
        std::string error;
        const std::string path = "/nonexistent-folder/none" + std::string(ext);
        EXPECT_FALSE(LoadCoefficientFile(path, Slot(1), set, error)) << ext;
        EXPECT_EQ(error, "Ошибка открытия файла " + path + ": файл не найден");
        ExpectSame(set, Sentinel());
    }
}

// Nothing that was not read as a whole file of a known format is ever taken:
// each is refused with its reason and the values stay as they were.
TEST(Load, WhatIsNoCoefficientFileIsRefusedWithItsReason)
{
    TempFolder dir("clb_coeff_", "/tmp");
    const std::string written = Bytes(DataFile("written_new.kvt"));
    WriteFile(dir / "empty.kvt", "");
    WriteFile(dir / "saved.kvt.bak", written);
    WriteFile(dir / "meter.dat", written);
    WriteFile(dir / "noextension", written);
    fs::create_directory(dir / "folder.kvt");
    // Without one key of each kind: Gmax, a K table value, an Obr table value.
    auto without = [&](const std::string& section, const std::string& key) {
        const std::size_t at = written.find("[" + section + "]");
        const std::size_t line = written.find("\r\n" + key + "=", at);
        const std::size_t end = written.find("\r\n", line + 2);
        return written.substr(0, line) + written.substr(end);
    };
    WriteFile(dir / "no_gmax.kvt", without("Device", "Gmax"));
    WriteFile(dir / "no_point.kvt", without("Koeff", "5"));
    WriteFile(dir / "no_obr_ku.kvt", without("Kobr", "Ku"));
    WriteFile(dir / "kvt64m1.kvt", std::regex_replace(written, std::regex("Id=[^\r]*"), "Id=\xCA\xC2\xD2-64M1"));
    WriteFile(dir / "empty_value.kvt", std::regex_replace(written, std::regex("\n8=[^\r]*"), "\n8="));
    struct Case {
        std::string File;
        std::string Message;
    };
    const std::string open = "Ошибка открытия файла ", bad = "Неверный файл ";
    for (const Case& c : std::vector<Case>{
             {"missing.kvt", open + (dir / "missing.kvt") + ": файл не найден"},
             {"folder.kvt", open + (dir / "folder.kvt") + ": это папка, а не файл"},
             {"empty.kvt", bad + (dir / "empty.kvt") + ": файл пуст"},
             {"saved.kvt.bak", bad + (dir / "saved.kvt.bak") +
                                   ": расширение \".bak\" не относится ни к одному формату (.txt, .kvt, .tpr)"},
             {"meter.dat", bad + (dir / "meter.dat") +
                               ": расширение \".dat\" не относится ни к одному формату (.txt, .kvt, .tpr)"},
             {"noextension", bad + (dir / "noextension") +
                                 ": у имени файла нет расширения формата (.txt, .kvt или .tpr)"},
             {"no_gmax.kvt", bad + (dir / "no_gmax.kvt") + ": нет ключа [Device] Gmax"},
             {"no_point.kvt", bad + (dir / "no_point.kvt") + ": нет ключа [Koeff] 5"},
             {"no_obr_ku.kvt", bad + (dir / "no_obr_ku.kvt") + ": нет ключа [Kobr] Ku"},
             {"empty_value.kvt", bad + (dir / "empty_value.kvt") + ": у ключа [Koeff] 8 нет значения"},
             // The name of the slot's type occurs in that of a related type: still another type.
             {"kvt64m1.kvt", bad + (dir / "kvt64m1.kvt") + ": [Device] Id = \"КВТ-64M1\", а прибор слота КВТ-64"},
         }) {
        CoefficientSet set = Sentinel();
        std::string error;
        EXPECT_FALSE(LoadCoefficientFile(dir / c.File, Slot(1), set, error)) << c.File;
        EXPECT_EQ(error, c.Message);
        ExpectSame(set, Sentinel());
    }
}

// Older tools wrote no Id: such a file is taken, with a warning that its type
// was not checked.
TEST(Load, KvtWithoutIdIsTakenWithAWarning)
{
    TempFolder dir("clb_coeff_", "/tmp");
    std::string bytes = Bytes(DataFile("written_new.kvt"));
    const std::size_t id = bytes.find("Id=");
    bytes.erase(id, bytes.find("\r\n", id) + 2 - id);
    WriteFile(dir / "old.kvt", bytes);
    CoefficientSet set = Sentinel();
    std::string error, warning;
    ASSERT_TRUE(LoadCoefficientFile(dir / "old.kvt", Slot(1), set, error, &warning)) << error;
    EXPECT_EQ(warning, "В файле " + (dir / "old.kvt") + " нет ключа [Device] Id: тип прибора не проверен");
    EXPECT_EQ(set.Gmax, 30.0f);
}

TEST(Load, ATruncatedCopyOfEveryWrittenFileIsRefused)
{
    // Cutting a written file anywhere inside its numbers never loads a part of it.
    struct Case {
        const char* File;
        std::uint8_t Type;
        const char* LastValue; // the last value the reader takes
    };
    TempFolder dir("clb_coeff_", "/tmp");
    for (Case c : {Case{"written_type1.txt", 1, "30.937500000 "}, Case{"written_type15.txt", 15, "1.031250000 "},
                   Case{"written_type11.tpr", 11, "30.937500000"}}) {
        const std::string whole = Bytes(DataFile(c.File));
        const std::string ext = fs::path(c.File).extension().string();
        // Inside the last value: "30.93" would still read as a number.
        const std::size_t lastDigit = whole.rfind(c.LastValue) + 5;
        ASSERT_NE(whole.rfind(c.LastValue), std::string::npos);
        for (std::size_t cut : {std::size_t{3}, whole.size() / 2, lastDigit}) {
            const std::string path = dir / ("cut" + ext);
            WriteFile(path, whole.substr(0, cut));
            CoefficientSet set = Sentinel();
            std::string error;
            EXPECT_FALSE(LoadCoefficientFile(path, Slot(c.Type), set, error)) << c.File << " cut at " << cut;
            ExpectSame(set, Sentinel());
        }
    }
}

TEST(Save, FailedWriteKeepsTheOldFileAndLeavesNoTemporaryFile)
{
    TempFolder dir("clb_coeff_", "/tmp");
    const std::string old = "old contents\r\n";
    WriteFile(dir / "plain", old);
    std::string error;
    // The folder does not exist; a file stands where a folder should be.
    for (const std::string& path : {dir / "missing/a.txt", dir / "plain/a.kvt"}) {
        EXPECT_FALSE(SaveCoefficientFile(path, Slot(1), EighthPoints(30, 0.5f, 1), nullptr, error));
        EXPECT_EQ(error, "Ошибка создания файла " + path);
    }
    // The file system refuses the data half-way (a file size limit below the file's size).
    WriteFile(dir / "meter.txt", old);
    WriteFile(dir / "meter.tpr", old);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool txt = SaveCoefficientFile(dir / "meter.txt", Slot(1), EighthPoints(30, 0.5f, 1), nullptr, error);
    std::string txtError = error;
    bool tpr = SaveCoefficientFile(dir / "meter.tpr", Slot(1), EighthPoints(30, 0.5f, 1), nullptr, error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(txt);
    EXPECT_EQ(txtError, "Ошибка создания файла " + (dir / "meter.txt"));
    EXPECT_FALSE(tpr);
    EXPECT_EQ(Bytes(dir / "meter.txt"), old);
    EXPECT_EQ(Bytes(dir / "meter.tpr"), old);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"meter.tpr", "meter.txt", "plain"}));
}

TEST(Save, UnreadableExistingKvtIsNotReplaced)
{
    // A folder where the KVT file should be cannot be read: nothing is written.
    TempFolder dir("clb_coeff_", "/tmp");
    fs::create_directory(dir / "x.kvt");
    std::string error;
    EXPECT_FALSE(SaveCoefficientFile(dir / "x.kvt", Slot(1), KvtExample(), nullptr, error));
    EXPECT_TRUE(fs::is_directory(dir / "x.kvt"));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"x.kvt"}));
}

struct FormatCase {
    const char* Name;
    const char* File;
    CoefficientFormat Format;
};
class FormatChoice : public ::testing::TestWithParam<FormatCase> {};
TEST_P(FormatChoice, FollowsTheExtension)
{
    EXPECT_EQ(CoefficientFormatOf(GetParam().File), GetParam().Format);
}
INSTANTIATE_TEST_SUITE_P(Names, FormatChoice,
                         ::testing::Values(FormatCase{"Txt", "/a/b/12#1.txt", CoefficientFormat::Txt},
                                           FormatCase{"UpperCaseKvt", "/a/b/12#1.KVT", CoefficientFormat::Kvt},
                                           FormatCase{"Tpr", "c.tpr", CoefficientFormat::Tpr},
                                           FormatCase{"ExtensionContainingTxt", "c.txt2", CoefficientFormat::Txt},
                                           FormatCase{"Dat", "c.dat", CoefficientFormat::None},
                                           FormatCase{"NoExtension", "/a.kvt/file", CoefficientFormat::None},
                                           FormatCase{"OnlyLastExtensionCounts", "c.txt.bak", CoefficientFormat::None}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(DefaultName, FollowsTypeSerialChannelAndModification)
{
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(1), true), "/p/saved/KVT-64/12345678#1.txt");
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved/", Slot(8, "55", 1, 1), true), "/p/saved/DLN-0803C/55#1.txt");
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(8, "55", 1, 2), true), "/p/saved/DLN-0803C/55#1_SM.txt");
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(8, "55", 1, 3), true), std::nullopt);
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(8, "55", 1, 2), false), "/p/saved/DLN-0803C/55#1.txt");
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(16, "9/1", 2), true), "/p/saved/KVT-09M4/9_1#2.txt");
    EXPECT_EQ(DefaultCoefficientFileName("/p/saved", Slot(0), true), std::nullopt);
}

} // namespace

namespace {

TEST(KvtRoundTrip, GivesBackEveryFloatExactly)
{
    // Fifteen significant digits are more than a float needs (nine), so every
    // value comes back bit for bit, including the awkward ones.
    TempFolder dir("clb_coeff_", "/tmp");
    CoefficientSet set;
    set.Gmax = 3.4028235e38f;
    const std::array<float, 10> k{0.001f,          1.0f / 3,    1e-30f, -7.5e-6f,    16777217.0f,
                                  1.17549435e-38f, 123456.789f, -0.1f,  9.99999e14f, 2.5e15f};
    set.K = k;
    for (int i = 0; i < 10; ++i)
        set.Obr[i] = -k[i] / 7;
    std::string error;
    const std::string path = dir / "round.kvt";
    ASSERT_TRUE(SaveCoefficientFile(path, Slot(6, "R-1", 2), set, nullptr, error)) << error;
    CoefficientSet back = Sentinel();
    ASSERT_TRUE(LoadCoefficientFile(path, Slot(6), back, error)) << error;
    ExpectSame(back, set);
}

} // namespace
