// Slots, configuration files, the settings file and atomic writes, on real files.
#include "AtomicFile.h"
#include "DevManager.h"
#include "Settings.h"
#include "TestFiles.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {


std::string Hex(const std::string& bytes, size_t from, size_t count)
{
    std::string s;
    char buf[4];
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(bytes[i]));
        s += buf;
    }
    return s;
}

TEST(DeviceSlot, FieldsSitAtTheirOffsetsLittleEndian)
{
    DeviceSlot s;
    s.SetTypeCode(15);
    s.SetNetAddress(7);
    s.SetRelayAddress(44412345); // 0x02A5ADB9
    s.SetSerialText("44412345");
    s.SetChannel(2);
    s.SetSoftwareVersion(1.0f);
    s.SetModification(3);
    s.SetSensorIndex(4);
    s.Bytes()[2] = 0x5A; // reserved bytes are kept as they are
    const auto& b = s.Bytes();
    std::string img(b.begin(), b.end());
    EXPECT_EQ(Hex(img, 0, 4), "0F075A00");
    EXPECT_EQ(Hex(img, 4, 4), "B9ADA502");
    EXPECT_EQ(Hex(img, 10, 9), "083434343132333435");
    EXPECT_EQ(Hex(img, 27, 7), "020000803F0304");
    EXPECT_EQ(s.SerialText(), "44412345");
    EXPECT_EQ(s.RelayAddress(), 44412345u);
    EXPECT_EQ(s.SoftwareVersion(), 1.0f);
}

TEST(DeviceSlot, SerialTextIsCutAndADamagedLengthIsBounded)
{
    DeviceSlot s;
    s.SetSerialText("12345678901234567890");
    EXPECT_EQ(s.SerialText(), "1234567890123456");
    s.Bytes()[10] = 200; // a damaged file: never read past the 16 characters
    EXPECT_EQ(s.SerialText().size(), 16u);
    s.SetSerialText("Ёж-1");
    EXPECT_EQ(s.Bytes()[10], 4);
    EXPECT_EQ(s.SerialText(), "Ёж-1");
}

TEST(DevManager, SavingRightAfterStartGivesTheEmptyImage)
{
    TempFolder dir("clbcfg");
    DevManager m;
    std::string err;
    ASSERT_TRUE(m.SaveSlotFile(dir / "a.clb", err)) << err;
    std::string f = ReadFile(dir / "a.clb");
    ASSERT_EQ(f.size(), 116u);
    EXPECT_EQ(Hex(f, 0, 4), "CA0000CF");
    for (size_t rec : {4u, 60u}) {
        EXPECT_EQ(static_cast<unsigned char>(f[rec]), 0) << "type code of the record at " << rec;
        EXPECT_EQ(Hex(f, rec + 10, 2), "012D") << "serial text \"-\"";
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"a.clb"}) << "no temporary file left";
}

TEST(DevManager, LoadingCompactsAndHidesSerialNumbers)
{
    TempFolder dir("clbcfg");
    DevManager src;
    src.Slot(2).SetTypeCode(4);
    src.Slot(2).SetNetAddress(9);
    src.Slot(2).SetChannel(2);
    src.Slot(2).SetSerialText("00012345");
    src.Slot(2).Bytes()[40] = 0x77; // reserved
    std::string err;
    ASSERT_TRUE(src.SaveSlotFile(dir / "b.clb", err));

    DevManager m;
    m.Coefficients(1).ReadDone = m.Coefficients(2).ReadDone = true;
    ASSERT_EQ(m.LoadSlotFile(dir / "b.clb", err), DevManager::LoadResult::Loaded);
    EXPECT_EQ(m.Slot(2).SerialText(), "-");
    EXPECT_FALSE(m.Coefficients(1).ReadDone);
    EXPECT_FALSE(m.Coefficients(2).ReadDone);
    m.CompactSlots();
    EXPECT_EQ(m.Slot(1).TypeCode(), 4);
    EXPECT_EQ(m.Slot(1).NetAddress(), 9);
    EXPECT_EQ(m.Slot(1).Channel(), 2);
    EXPECT_EQ(m.Slot(1).Bytes()[40], 0x77);
    EXPECT_EQ(m.Slot(2).TypeCode(), 0);
    EXPECT_EQ(m.Slot(2).NetAddress(), 9) << "only the type code of slot 2 is cleared";
}

TEST(DevManager, BadFilesLeaveTheSlotTableUnchanged)
{
    TempFolder dir("clbcfg");
    DevManager good;
    good.Slot(1).SetTypeCode(1);
    std::string err;
    ASSERT_TRUE(good.SaveSlotFile(dir / "good.clb", err));
    const std::string valid = ReadFile(dir / "good.clb");

    struct Case {
        std::string name;
        std::string bytes;
        DevManager::LoadResult result;
    };
    std::string wrongMagic = valid;
    wrongMagic[3] = static_cast<char>(0xCE);
    std::vector<Case> cases = {
        {"empty", "", DevManager::LoadResult::WrongSize},
        {"magic only", valid.substr(0, 4), DevManager::LoadResult::WrongSize},
        {"one byte short", valid.substr(0, 115), DevManager::LoadResult::WrongSize},
        {"one byte long", valid + "x", DevManager::LoadResult::WrongSize},
        {"ten megabytes", valid + std::string(10 * 1024 * 1024, '\0'), DevManager::LoadResult::WrongSize},
        {"wrong magic", wrongMagic, DevManager::LoadResult::WrongMagic},
        {"three bytes", "\xCA\x00\x00", DevManager::LoadResult::WrongSize},
    };
    for (const auto& c : cases) {
        WriteFile(dir / "bad.clb", c.bytes);
        DevManager m;
        m.Slot(1).SetTypeCode(7);
        m.Slot(1).SetSerialText("kept");
        m.Coefficients(1).ReadDone = true;
        std::string e;
        EXPECT_EQ(m.LoadSlotFile(dir / "bad.clb", e), c.result) << c.name;
        EXPECT_EQ(m.Slot(1).TypeCode(), 7) << c.name;
        EXPECT_EQ(m.Slot(1).SerialText(), "kept") << c.name;
        EXPECT_TRUE(m.Coefficients(1).ReadDone) << c.name;
        if (c.result == DevManager::LoadResult::WrongSize) {
            EXPECT_NE(e.find("bad.clb"), std::string::npos) << c.name;
        }
    }
    DevManager m;
    std::string e;
    EXPECT_EQ(m.LoadSlotFile(dir / "missing.clb", e), DevManager::LoadResult::Unreadable);
    EXPECT_NE(e.find("missing.clb"), std::string::npos);
}

TEST(DevManager, SignatureAndReset)
{
    EXPECT_EQ(DevManager::BuildSignature(), "C132");
    DevManager m;
    m.Slot(1).SetTypeCode(3);
    m.Slot(1).SetNetAddress(5);
    m.Slot(1).SetChannel(1);
    m.Slot(1).SetSerialText("1234");
    m.Coefficients(1).ReadDone = true;
    m.ResetSlots();
    EXPECT_EQ(m.Slot(1).TypeCode(), 0);
    EXPECT_EQ(m.Slot(1).Channel(), 0);
    EXPECT_EQ(m.Slot(1).SerialText(), "-");
    EXPECT_EQ(m.Slot(1).NetAddress(), 5) << "other fields keep their bytes";
    EXPECT_FALSE(m.Coefficients(1).ReadDone);
}

TEST(AtomicFile, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary)
{
    if (::geteuid() == 0) {
        // root ignores folder permissions; use a folder that does not exist instead
        TempFolder dir("clbcfg");
        std::string err;
        EXPECT_FALSE(WriteFileAtomic(dir / "no/such/folder/x.clb", "data", err));
        EXPECT_NE(err.find("x.clb"), std::string::npos);
        EXPECT_NE(err.find("Ошибка создания файла "), std::string::npos);
        return;
    }
    TempFolder dir("clbcfg");
    WriteFile(dir / "x.ini", "old");
    ::chmod(dir.Path().c_str(), 0500);
    std::string err;
    EXPECT_FALSE(WriteFileAtomic(dir / "x.ini", "new", err));
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(ReadFile(dir / "x.ini"), "old");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"x.ini"});
}

TEST(AtomicFile, WritesThroughASymlinkAndKeepsThePermissions)
{
    TempFolder dir("clbcfg");
    WriteFile(dir / "target.txt", "old");
    ::chmod((dir / "target.txt").c_str(), 0640);
    fs::create_symlink("target.txt", dir / "link.txt");
    std::string err;
    ASSERT_TRUE(WriteFileAtomic(dir / "link.txt", "new", err)) << err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
    EXPECT_EQ(ReadFile(dir / "target.txt"), "new");
    struct stat st{};
    ::stat((dir / "target.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Settings, DefaultsWithoutAFile)
{
    TempFolder dir("clbcfg");
    Settings s;
    std::string err;
    ASSERT_TRUE(s.Open(dir / "tool.ini", err));
    EXPECT_EQ(s.Port(), 1);
    EXPECT_EQ(s.Baud(), 0);
    EXPECT_EQ(s.Timeouts().ByteTimeout, 100);
    EXPECT_EQ(s.Timeouts().PacketTimeout, 300);
    EXPECT_EQ(s.Timeouts().RepeatCount, 3);
    EXPECT_EQ(s.Shapka(1), "");
    EXPECT_EQ(s.PortPath(1), "/dev/ttyS0");
    EXPECT_FALSE(fs::exists(dir / "tool.ini")) << "created only at the first write";
}

TEST(Settings, UpdatesInPlaceInCodePage1251WithCrLf)
{
    TempFolder dir("clbcfg");
    // A hand-edited file: a comment, another section, Cyrillic header lines in 1251, LF line ends.
    WriteFile(dir / "tool.ini", "; comment\n[Settings]\nPort=3\nBaud=1\n[Device4]\nShapka=\xCA\xC2\xD2-66 \xB9 1\n"
                               "Colontitle=end\n[Ports]\nCOM3=/dev/ttyUSB0\n[Other]\nKey=Value\n");
    Settings s;
    std::string err;
    ASSERT_TRUE(s.Open(dir / "tool.ini", err)) << err;
    EXPECT_EQ(s.Port(), 3);
    EXPECT_EQ(s.Baud(), 1);
    EXPECT_EQ(s.Shapka(4), "КВТ-66 № 1");
    EXPECT_EQ(s.Colontitle(4), "end");
    EXPECT_EQ(s.PortPath(3), "/dev/ttyUSB0");
    EXPECT_EQ(s.PortPath(4), "/dev/ttyS3");

    ASSERT_TRUE(s.SetPort(5, err)) << err;
    ASSERT_TRUE(s.SetTimeouts({40, 250, 2}, err)) << err;
    const std::string text = ReadFile(dir / "tool.ini");
    EXPECT_NE(text.find("; comment\r\n"), std::string::npos);
    EXPECT_NE(text.find("Port=5\r\n"), std::string::npos);
    EXPECT_NE(text.find("Shapka=\xCA\xC2\xD2-66 \xB9 1\r\n"), std::string::npos) << "1251 bytes kept";
    EXPECT_NE(text.find("[Other]"), std::string::npos);
    EXPECT_NE(text.find("NB=40"), std::string::npos);
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }

    Settings again;
    ASSERT_TRUE(again.Open(dir / "tool.ini", err));
    EXPECT_EQ(again.Port(), 5);
    EXPECT_EQ(again.Timeouts().PacketTimeout, 250);
    EXPECT_EQ(again.Timeouts().RepeatCount, 2);
}

TEST(Settings, OutOfRangeValuesReadAsDefaults)
{
    TempFolder dir("clbcfg");
    WriteFile(dir / "tool.ini", "[Settings]\r\nPort=40\r\nBaud=7\r\n");
    Settings s;
    std::string err;
    ASSERT_TRUE(s.Open(dir / "tool.ini", err));
    EXPECT_EQ(s.Port(), 1);
    EXPECT_EQ(s.Baud(), 0);
}

} // namespace

namespace {

TEST(DevManagerDrivers, EachSlotGetsADriverOfItsClassConfiguredForIt)
{
    TulvComPort port;
    DevManager m;
    m.Slot(1).SetTypeCode(15);
    m.Slot(1).SetNetAddress(3);
    m.Slot(1).SetRelayAddress(44412345);
    m.Slot(2).SetTypeCode(1);
    m.Slot(2).SetNetAddress(4);
    m.Slot(2).SetRelayAddress(44499999); // not a relay type: never handed on
    m.CreateDrivers(port, TimeoutProfile{40, 250, 2});

    ASSERT_EQ(m.Driver(1).index(), 15u);
    auto& gzu = *std::get<15>(m.Driver(1));
    EXPECT_EQ(gzu.ComPort(), &port);
    EXPECT_EQ(gzu.NetAddr(), 3);
    EXPECT_EQ(gzu.GZU_NetAddr(), 44412345u);
    EXPECT_EQ(gzu.ByteTimeout(), 40u);
    EXPECT_EQ(gzu.PacketTimeout(), 250u);
    EXPECT_EQ(gzu.RepeatCount(), 2);
    EXPECT_TRUE(gzu.EWrite());
    EXPECT_EQ(gzu.Signature(), "") << "the four-character signature leaves the stamp text empty";

    ASSERT_EQ(m.Driver(2).index(), 1u);
    EXPECT_EQ(std::get<1>(m.Driver(2))->GZU_NetAddr(), 0u);
    EXPECT_EQ(std::get<1>(m.Driver(2))->NetAddr(), 4);

    for (std::uint8_t code : {0, 17, 200}) {
        m.Slot(1).SetTypeCode(code);
        m.CreateDrivers(port, TimeoutProfile{});
        EXPECT_FALSE(HasDriver(m.Driver(1))) << int(code);
    }
    // Every code 1..16 makes the class whose alternative index is the code.
    for (std::uint8_t code = 1; code <= 16; ++code) EXPECT_EQ(MakeSlotDriver(code).index(), code);
    m.FreeDrivers();
    EXPECT_FALSE(HasDriver(m.Driver(2)));
}

} // namespace
