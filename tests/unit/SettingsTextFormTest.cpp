// The settings file as Linux users edit it: UTF-8 (with or without a
// byte-order mark) or code page 1251, read in either form, written back in the
// form it was read, and its header lines reaching the 1251 print file the same
// way from both.
#include "AtomicFile.h"
#include "CoefficientFiles.h"
#include "Cp1251.h"
#include "ProgramFolders.h"
#include "Settings.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path)
{
    std::string bytes, error;
    EXPECT_TRUE(ReadWholeFile(path, bytes, error)) << error;
    return bytes;
}

std::string To1251(const std::string& utf8)
{
    std::string out;
    EXPECT_TRUE(Utf8ToCp1251(utf8, out)) << utf8;
    return out;
}

// 15 letters: padded to 50 columns it needs 35 blanks in front.
const std::string Header = "Цех калибровки3";
const std::string Footer = "Поверитель: Ёлкин Ж.";

std::string SettingsText(const std::string& header, const std::string& footer)
{
    return "; настройки стенда\n[Settings]\nPort=2\n[Device1]\nShapka=" + header + "\nColontitle=" + footer +
           "\n[Device4]\nShapka=" + header + "\n";
}

DeviceSlot MeterSlot()
{
    return MakeSlot(1, 3, 1, "12345678");
}

CoefficientSet Values()
{
    CoefficientSet c;
    c.Gmax = 15.0f;
    c.K[0] = 0.25f;
    c.K[1] = 1.0f;
    for (int i = 2; i <= 9; ++i) {
        c.Obr[i] = 0.125f * static_cast<float>(i - 1);
        c.K[i] = c.Obr[i] * 1.03125f;
    }
    return c;
}

struct FormCase {
    const char* Name;
    std::string Bytes;
    Settings::TextForm Form;
};

std::vector<FormCase> Forms()
{
    const std::string utf8 = SettingsText(Header, Footer);
    return {
        {"Utf8", utf8, Settings::TextForm::Utf8},
        {"Utf8WithMark", "\xEF\xBB\xBF" + utf8, Settings::TextForm::Utf8WithMark},
        {"Cp1251", To1251(utf8), Settings::TextForm::Cp1251},
    };
}

TEST(SettingsTextForm, AHeaderReachesThePrintFileTheSameFromEveryForm)
{
    TempFolder dir("clb_textform_");
    std::string reference;
    for (const auto& c : Forms()) {
        SCOPED_TRACE(c.Name);
        WriteFile(dir / "tool.ini", c.Bytes);
        Settings s;
        std::string error;
        ASSERT_TRUE(s.Open(dir / "tool.ini", error)) << error;
        EXPECT_EQ(s.Form(), c.Form);
        EXPECT_EQ(s.Shapka(1), Header);
        EXPECT_EQ(s.Colontitle(1), Footer);
        const std::string tpr = dir / (std::string(c.Name) + ".tpr");
        ASSERT_TRUE(SaveCoefficientFile(tpr, MeterSlot(), Values(), &s, error)) << error;
        const std::string bytes = ReadAll(tpr);
        // 50 columns count letters, not bytes.
        EXPECT_EQ(bytes.rfind(std::string(35, ' ') + To1251(Header) + std::string(16, ' ') + "\r\n", 0), 0u);
        EXPECT_NE(bytes.find("\r\n" + std::string(28, ' ') + To1251(Footer) + "\r\n"), std::string::npos);
        if (reference.empty())
            reference = bytes;
        else
            EXPECT_EQ(bytes, reference) << "the print file differs by the settings file's form";
    }
}

TEST(SettingsTextForm, IsWrittenBackInTheFormItWasRead)
{
    // A device name with letters of both kinds: stored in the file's own form.
    const std::string device = "/dev/serial/by-id/usb-Завод_Адаптер_№7-if00-port0";
    for (const auto& c : Forms()) {
        SCOPED_TRACE(c.Name);
        TempFolder dir("clb_textform_");
        WriteFile(dir / "tool.ini", c.Bytes);
        Settings s;
        std::string error;
        ASSERT_TRUE(s.Open(dir / "tool.ini", error)) << error;
        ASSERT_TRUE(s.SetPort(5, error)) << error;
        ASSERT_TRUE(s.SetDevice(device, error)) << error;
        const std::string text = ReadAll(dir / "tool.ini");
        const bool is1251 = c.Form == Settings::TextForm::Cp1251;
        const auto stored = [&](const std::string& utf8) { return is1251 ? To1251(utf8) : utf8; };
        EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0) == 0, c.Form == Settings::TextForm::Utf8WithMark);
        EXPECT_NE(text.find(stored("; настройки стенда\r\n")), std::string::npos);
        EXPECT_NE(text.find(stored("Shapka=" + Header + "\r\n")), std::string::npos);
        EXPECT_NE(text.find(stored("Device=" + device + "\r\n")), std::string::npos);
        EXPECT_EQ(IsUtf8(text), !is1251);

        // A text the code page cannot hold is refused and changes nothing.
        std::string refused;
        EXPECT_EQ(s.SetDevice("/dev/serial/by-id/usb-\xE6\x97\xA5\xE6\x9C\xAC-if00", refused), !is1251);
        if (is1251) {
            EXPECT_NE(refused.find("1251"), std::string::npos) << refused;
            EXPECT_EQ(ReadAll(dir / "tool.ini"), text);
            ASSERT_TRUE(s.SetDevice(device, error)) << error; // as before, for the reread below
        }

        Settings again;
        ASSERT_TRUE(again.Open(dir / "tool.ini", error)) << error;
        EXPECT_EQ(again.Form(), c.Form);
        EXPECT_EQ(again.Shapka(4), Header);
        EXPECT_EQ(again.Port(), 5);
        // Clearing the device goes back to the numbered port.
        ASSERT_TRUE(again.SetDevice("", error)) << error;
        EXPECT_EQ(again.Device(), "");
        EXPECT_EQ(ReadAll(dir / "tool.ini").find("Device="), std::string::npos);
    }
}

TEST(SettingsTextForm, ANewFileIsUtf8AndLineBreaksAreRefused)
{
    TempFolder dir("clb_textform_");
    Settings s;
    std::string error;
    ASSERT_TRUE(s.Open(dir / "tool.ini", error)) << error;
    ASSERT_TRUE(s.SetDevice("/dev/serial/by-id/usb-Завод-if00", error)) << error;
    EXPECT_EQ(ReadAll(dir / "tool.ini"), "[Settings]\r\nDevice=/dev/serial/by-id/usb-Завод-if00\r\n");
    const std::string before = ReadAll(dir / "tool.ini");
    EXPECT_FALSE(s.SetDevice("/dev/ttyUSB0\r\n[Settings]\r\nPort=9", error));
    EXPECT_FALSE(s.SetDevice("/dev/\xFF", error)) << "not UTF-8";
    EXPECT_EQ(ReadAll(dir / "tool.ini"), before);
    Settings again;
    ASSERT_TRUE(again.Open(dir / "tool.ini", error)) << error;
    EXPECT_EQ(again.Form(), Settings::TextForm::Utf8);
    EXPECT_EQ(again.Device(), "/dev/serial/by-id/usb-Завод-if00");
}

// Installed, the programs keep their files under the user's data folder even
// when the bin folder happens to be writable (root, or a package unpacked
// into a folder of the user's own); a build folder keeps them beside the program.
TEST(ProgramFoldersInstalled, AnInstalledProgramUsesTheUsersDataFolder)
{
    TempFolder dir("clb_textform_");
    fs::create_directories(dir / "usr/bin");
    fs::create_directories(dir / "build/tools");
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    const ProgramFolders installed = ResolveProgramFolders(dir / "usr/bin/clbtool", "clbtool");
    const ProgramFolders built = ResolveProgramFolders(dir / "build/tools/clbtool", "clbtool");
    if (old)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(installed.SettingsFile, dir / "data/clbtool/clbtool.ini");
    EXPECT_EQ(built.SettingsFile, dir / "build/tools/clbtool.ini");
}

} // namespace
