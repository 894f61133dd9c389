// The as-found backups on disk: names, order, never replacing one another, exact values, and the
// folder the load dialog starts in.
#include "CoefficientBackup.h"
#include "CoefficientFiles.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

DeviceSlot Slot(std::uint8_t type, const char* serial, std::uint8_t channel)
{
    return MakeSlot(type, 0, channel, serial);
}

TEST(CoefficientBackup, NamedByTimeNeverReplacedAndListedOldestFirst)
{
    TempFolder saved("clbbackup.");
    const DeviceSlot slot = Slot(1, "12/34", 2);
    EXPECT_EQ(LoadDialogFolder(saved.Str(), slot), saved.Str() + "/KVT-64");

    CoefficientTables t;
    // Values whose shortest texts are long, and the extremes of a single.
    t.K = {0.1f, 1.0f / 3.0f, 1e-38f, 3.4028235e38f, -2.5e-7f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f};
    t.Obr = {0.1f, 1.0f / 3.0f, std::nextafter(1.0f, 2.0f), 7e-45f, 0.7f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.5f};
    t.Gmax = 12.5f;
    // 2026-12-10 14:50:58 local time.
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 10;
    when.tm_hour = 14;
    when.tm_min = 50;
    when.tm_sec = 58;
    when.tm_isdst = -1;
    const std::time_t at = std::mktime(&when);
    std::vector<std::string> written;
    for (int i = 0; i < 3; ++i) {
        std::string path, error;
        ASSERT_TRUE(WriteBackup(saved.Str(), slot, t, at + (i == 2 ? -60 : 0), path, error)) << error;
        written.push_back(path);
    }
    const std::string folder = saved.Str() + "/KVT-64/backup/";
    EXPECT_EQ(written[0], folder + "12_34#2-20261210-145058.kvt");
    EXPECT_EQ(written[1], folder + "12_34#2-20261210-145058_2.kvt");
    EXPECT_EQ(written[2], folder + "12_34#2-20261210-144958.kvt");
    // Other channels, other meters and other files are not this meter's backups.
    std::ofstream(folder + "12_34#1-20261210-150000.kvt") << "x";
    std::ofstream(folder + "12_34#2-20261210-150000.txt") << "x";
    std::ofstream(folder + "12_34#2-notes.kvt") << "x";
    EXPECT_EQ(ListBackups(saved.Str(), slot), (std::vector<std::string>{written[2], written[0], written[1]}));
    EXPECT_EQ(LoadDialogFolder(saved.Str(), slot), saved.Str() + "/KVT-64/backup");

    // Loading a backup gives back every value bit for bit.
    CoefficientSet back;
    std::string error;
    ASSERT_TRUE(LoadCoefficientFile(written[1], slot, back, error)) << error;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(back.K[i]), std::bit_cast<std::uint32_t>(t.K[i])) << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(back.Obr[i]), std::bit_cast<std::uint32_t>(t.Obr[i])) << i;
    }
    EXPECT_EQ(back.Gmax, t.Gmax);
}

// Types whose folder the program does not make beforehand get theirs on the first backup.
TEST(CoefficientBackup, EveryTypeHasAFolder)
{
    TempFolder saved("clbbackup.");
    for (std::uint8_t type = 1; type <= 16; ++type) {
        const DeviceSlot slot = Slot(type, "1", 1);
        std::string path, error;
        EXPECT_TRUE(WriteBackup(saved.Str(), slot, CoefficientTables{}, 0, path, error)) << int(type) << error;
        EXPECT_EQ(fs::path(path).parent_path().filename(), "backup");
        EXPECT_EQ(ListBackups(saved.Str(), slot).size(), 1u) << int(type);
    }
    std::string path, error;
    EXPECT_FALSE(WriteBackup(saved.Str(), DeviceSlot{}, CoefficientTables{}, 0, path, error));
}

} // namespace
