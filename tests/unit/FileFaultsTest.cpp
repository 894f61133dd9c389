// Faults around every file the tool writes and reads: the TXT, KVT and TPR
// coefficient files, the .clb configuration file and the settings file.
//
// Saving: a full disk, a folder the user may not write, a symbolic link, and a
// process killed half-way. Loading: a configuration file of the wrong size,
// and text with NUL bytes, other line ends, a UTF-8 byte-order mark, the byte
// that code page 1251 leaves undefined, or ten megabytes of it.
//
// Faults that would hit the test process itself (a file size limit, another
// user) are set up in a child process.
#include "AtomicFile.h"
#include "Child.h"
#include "CoefficientFiles.h"
#include "Cp1251.h"
#include "DevManager.h"
#include "Settings.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {


std::string DataFile(const std::string& name)
{
    return std::string(CLB_FILES_DATA_DIR) + "/" + name;
}

std::string ReadAll(const std::string& path)
{
    std::string bytes, error;
    EXPECT_TRUE(ReadWholeFile(path, bytes, error, 64u << 20)) << error;
    return bytes;
}

std::string Replace(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The test folders are open to every user and lie under /tmp rather than
// TMPDIR: a child that became nobody must reach them.

// Runs body in a child process and returns what it reported. A child that is
// not done within a minute is killed; Fault then says so.
ChildResult InChild(const std::function<std::string()>& body)
{
    return RunInChild(body, std::chrono::seconds(60));
}

// Becomes the user nobody when running as root; "" or why not.
std::string DropRoot()
{
    const std::string why = DropToNobody();
    return why.empty() ? why : "cannot become nobody: " + why;
}

// --- Saving ------------------------------------------------------------------------

DeviceSlot MeterSlot()
{
    return MakeSlot(1, 3, 1, "12345678");
}

// The data of save number `version` (0 is what the old file holds).
CoefficientSet Values(int version)
{
    CoefficientSet c;
    c.Gmax = 10.0f * static_cast<float>(version) + 5.0f;
    c.K[0] = 0.25f * static_cast<float>(version);
    c.K[1] = 1.0f;
    for (int i = 2; i <= 9; ++i) {
        c.Obr[i] = 0.125f * static_cast<float>(i - 1);
        c.K[i] = c.Obr[i] * (1.0f + 0.03125f * static_cast<float>(version));
    }
    return c;
}

std::string SlotFileBytes(int version)
{
    DevManager m;
    m.Slot(1) = MeterSlot();
    m.Slot(1).SetNetAddress(static_cast<std::uint8_t>(version + 1));
    std::string bytes(DevManager::ClbMagic.begin(), DevManager::ClbMagic.end());
    for (const auto& s : m.Slots) bytes.append(s.Bytes().begin(), s.Bytes().end());
    return bytes;
}

// Hand-kept lines that a save must carry along; they make the KVT and the
// settings file large enough that a kill lands inside the write.
std::string Notes(const char* section)
{
    std::string s = std::string("[") + section + "]\r\n";
    for (int i = 0; i < 4000; ++i)
        s += "Line" + std::to_string(i) + "=" + std::string(120, static_cast<char>('a' + i % 26)) + "\r\n";
    return s;
}

struct Saver {
    const char* Name;
    const char* File;
    std::function<std::string()> Old; // the file before the save
    // Saves the data of version 1 or 2 to path.
    std::function<bool(const std::string& path, int version, std::string& error)> Save;
    // The coefficient files report "Ошибка создания файла <path>" alone; the
    // other files add the system's reason after a colon.
    bool BareMessage;
};

void PrintTo(const Saver& s, std::ostream* os)
{
    *os << s.Name;
}

bool SaveCoefficients(const std::string& path, int version, std::string& error)
{
    return SaveCoefficientFile(path, MeterSlot(), Values(version), nullptr, error);
}

const Saver Savers[] = {
    {"Txt", "meter.txt", [] { return CoefficientTxtBytes(MeterSlot(), Values(0)); }, SaveCoefficients, true},
    {"Kvt", "meter.kvt", [] { return CoefficientKvtBytes(MeterSlot(), Values(0), "") + Notes("Notes"); },
     SaveCoefficients, true},
    {"Tpr", "meter.tpr", [] { return CoefficientTprBytes(MeterSlot(), Values(0), "", ""); }, SaveCoefficients, true},
    {"SlotFile", "bench.clb", [] { return SlotFileBytes(0); },
     [](const std::string& path, int version, std::string& error) {
         DevManager m;
         m.Slot(1) = MeterSlot();
         m.Slot(1).SetNetAddress(static_cast<std::uint8_t>(version + 1));
         return m.SaveSlotFile(path, error);
     },
     false},
    {"Settings", "tool.ini",
     [] { return "[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB=100\r\n" + Notes("Notes"); },
     [](const std::string& path, int version, std::string& error) {
         Settings s;
         return s.Open(path, error) && s.SetPort(version + 1, error);
     },
     false},
};

class SaveFault : public ::testing::TestWithParam<Saver> {
protected:
    void ExpectCreateMessage(const std::string& error, const std::string& path)
    {
        const std::string head = "Ошибка создания файла " + path;
        if (GetParam().BareMessage)
            EXPECT_EQ(error, head);
        else
            EXPECT_EQ(error.rfind(head + ": ", 0), 0u) << error;
    }
    // What a save of version gives over the old file, made in a folder of its own.
    std::string Expected(int version)
    {
        TempFolder scratch("clb_faults_", "/tmp", true);
        const std::string path = scratch / GetParam().File;
        WriteFile(path, GetParam().Old());
        std::string error;
        EXPECT_TRUE(GetParam().Save(path, version, error)) << error;
        return ReadAll(path);
    }
};

TEST_P(SaveFault, OnAFullDiskKeepsTheOldFile)
{
    const Saver& s = GetParam();
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / s.File;
    const std::string old = s.Old();
    WriteFile(path, old);
    // The file size limit stands for a full disk: writes past 16 bytes fail with EFBIG.
    ChildResult r = InChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 16;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("Fsetrlimit failed");
        std::string error;
        return std::string(s.Save(path, 1, error) ? "1" : "0") + error;
    });
    ASSERT_TRUE(r.Fault.empty()) << r.Fault;
    ASSERT_FALSE(r.Report.empty());
    EXPECT_EQ(r.Report[0], '0') << "the save reported success";
    ExpectCreateMessage(r.Report.substr(1), path);
    EXPECT_EQ(ReadAll(path), old);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{s.File}) << "a temporary file was left";
}

TEST_P(SaveFault, IntoAReadOnlyFolderKeepsTheOldFile)
{
    const Saver& s = GetParam();
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / s.File;
    const std::string old = s.Old();
    WriteFile(path, old);
    ::chmod(path.c_str(), 0644);
    ::chmod(dir.Path().c_str(), 0555);
    // root writes into any folder: the save runs as nobody then.
    ChildResult r = InChild([&] {
        std::string why = DropRoot();
        if (!why.empty()) return "F" + why;
        if (::access(dir.Path().c_str(), W_OK) == 0) return std::string("Fthe folder is writable for this user");
        std::string error;
        return std::string(s.Save(path, 1, error) ? "1" : "0") + error;
    });
    ::chmod(dir.Path().c_str(), 0755);
    ASSERT_TRUE(r.Fault.empty()) << r.Fault;
    ASSERT_FALSE(r.Report.empty());
    ASSERT_NE(r.Report[0], 'F') << r.Report.substr(1);
    EXPECT_EQ(r.Report[0], '0') << "the save reported success";
    ExpectCreateMessage(r.Report.substr(1), path);
    EXPECT_EQ(ReadAll(path), old);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{s.File});
}

TEST_P(SaveFault, ThroughASymlinkReplacesItsTarget)
{
    const Saver& s = GetParam();
    TempFolder dir("clb_faults_", "/tmp", true);
    fs::create_directory(dir / "real");
    fs::create_directory(dir / "links");
    const std::string target = dir / (std::string("real/") + s.File);
    const std::string link = dir / (std::string("links/") + s.File);
    WriteFile(target, s.Old());
    ::chmod(target.c_str(), 0640);
    fs::create_symlink(std::string("../real/") + s.File, link);
    std::string error;
    ASSERT_TRUE(s.Save(link, 1, error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), std::string("../real/") + s.File);
    EXPECT_EQ(ReadAll(target), Expected(1));
    struct stat st{};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the target keeps its permissions";
    EXPECT_EQ(FileNames(dir / "real"), std::vector<std::string>{s.File});
    EXPECT_EQ(FileNames(dir / "links"), std::vector<std::string>{s.File});
}

TEST_P(SaveFault, KilledMidSaveLeavesTheOldOrTheNewFile)
{
    const Saver& s = GetParam();
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / s.File;
    const std::string old = s.Old();
    const std::string v1 = Expected(1), v2 = Expected(2);
    ASSERT_NE(v1, v2);
    {
        // Saving over either version gives the same file, so these three are all there can be.
        TempFolder scratch("clb_faults_", "/tmp", true);
        std::string error;
        WriteFile(scratch / s.File, v1);
        ASSERT_TRUE(s.Save(scratch / s.File, 2, error)) << error;
        ASSERT_EQ(ReadAll(scratch / s.File), v2);
    }
    auto which = [&](const std::string& bytes) -> const char* {
        return bytes == old ? "old" : bytes == v1 ? "version 1" : bytes == v2 ? "version 2" : nullptr;
    };
    WriteFile(path, old);
    int leftovers = 0;
    for (int round = 0; round < 30; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a test that died
            for (int i = 0;; ++i) {
                std::string error;
                (void)s.Save(path, 1 + i % 2, error);
            }
        }
        // From at once to a few saves in, spread over the rounds.
        std::this_thread::sleep_for(std::chrono::microseconds((round * 7919) % 40000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);

        const std::string now = ReadAll(path);
        EXPECT_NE(which(now), nullptr) << "round " << round << ": the file holds " << now.size()
                                       << " bytes of neither version";
        for (const std::string& name : dir.Names()) {
            if (name == s.File) continue;
            // Only a temporary that was already complete can be left: one killed
            // between naming it and renaming it over the file.
            ++leftovers;
            EXPECT_EQ(name.rfind(std::string(s.File) + ".tmp", 0), 0u) << "round " << round << ": " << name;
            const std::string bytes = ReadAll(dir / name);
            EXPECT_TRUE(bytes == v1 || bytes == v2) << "round " << round << ": " << name << " holds " << bytes.size()
                                                    << " bytes of neither version";
        }
        // The next save removes it.
        std::string error;
        ASSERT_TRUE(s.Save(path, 1, error)) << error;
        EXPECT_EQ(dir.Names(), std::vector<std::string>{s.File}) << "round " << round;
    }
    RecordProperty("KillsLeavingACompleteTemporary", leftovers);
}

INSTANTIATE_TEST_SUITE_P(Files, SaveFault, ::testing::ValuesIn(Savers),
                         [](const auto& info) { return std::string(info.param.Name); });

// --- Loading the configuration file ----------------------------------------------

std::string ValidSlotFile()
{
    DevManager m;
    m.Slot(1) = MeterSlot();
    m.Slot(2).SetTypeCode(4);
    m.Slot(2).SetNetAddress(10); // 0x0A, a line feed to a text tool
    std::string bytes(DevManager::ClbMagic.begin(), DevManager::ClbMagic.end());
    for (const auto& s : m.Slots) bytes.append(s.Bytes().begin(), s.Bytes().end());
    return bytes;
}

// A slot table that no file holds, to see whether a load changed it.
DevManager Sentinel()
{
    DevManager m;
    m.Slot(1).SetTypeCode(7);
    m.Slot(1).SetSerialText("kept");
    m.Slot(2).SetTypeCode(2);
    m.Coefficients(1).ReadDone = true;
    return m;
}

void ExpectSentinel(const DevManager& m)
{
    const DevManager s = Sentinel();
    EXPECT_EQ(m.Slots[0].Bytes(), s.Slots[0].Bytes());
    EXPECT_EQ(m.Slots[1].Bytes(), s.Slots[1].Bytes());
    EXPECT_TRUE(m.Coefficients(1).ReadDone);
}

class ClbOfWrongSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ClbOfWrongSize, IsRefusedAndChangesNothing)
{
    const std::size_t size = GetParam();
    const std::string valid = ValidSlotFile();
    ASSERT_EQ(valid.size(), 116u);
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / "cut.clb";
    WriteFile(path, size <= valid.size() ? valid.substr(0, size) : valid + std::string(size - valid.size(), '\0'));
    DevManager m = Sentinel();
    std::string error;
    EXPECT_EQ(m.LoadSlotFile(path, error), DevManager::LoadResult::WrongSize);
    EXPECT_EQ(error, "Неверный размер файла конфигурации " + path);
    ExpectSentinel(m);
}

std::vector<std::size_t> WrongSizes()
{
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 115; ++n)
        sizes.push_back(n);
    sizes.push_back(117);
    return sizes;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ClbOfWrongSize, ::testing::ValuesIn(WrongSizes()),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

struct ClbCase {
    const char* Name;
    std::function<std::string(const std::string& valid)> Bytes;
    DevManager::LoadResult Result;
};

void PrintTo(const ClbCase& c, std::ostream* os)
{
    *os << c.Name;
}

class ClbAsText : public ::testing::TestWithParam<ClbCase> {};

TEST_P(ClbAsText, OnlyTheExactImageLoads)
{
    const ClbCase& c = GetParam();
    const std::string valid = ValidSlotFile();
    const std::string bytes = c.Bytes(valid);
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / "text.clb";
    WriteFile(path, bytes);
    DevManager m = Sentinel();
    std::string error;
    ASSERT_EQ(m.LoadSlotFile(path, error), c.Result) << error;
    if (c.Result != DevManager::LoadResult::Loaded) {
        EXPECT_NE(error.find(path), std::string::npos) << error;
        ExpectSentinel(m);
        return;
    }
    // The records are binary images: every byte is taken as it is, the serial text aside.
    for (int n = 0; n < 2; ++n) {
        const std::string image(m.Slots[n].Bytes().begin(), m.Slots[n].Bytes().end());
        EXPECT_EQ(image.substr(0, 10), bytes.substr(4 + 56 * n, 10)) << "slot " << n + 1;
        EXPECT_EQ(image.substr(27), bytes.substr(4 + 56 * n + 27, 29)) << "slot " << n + 1;
        EXPECT_EQ(m.Slots[n].SerialText(), "-");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ClbAsText,
    ::testing::Values(
        // A file that went through a text transfer: the line feed byte became CR LF.
        ClbCase{"LineFeedTurnedIntoCrLf", [](const std::string& v) { return Replace(v, "\n", "\r\n"); },
                DevManager::LoadResult::WrongSize},
        ClbCase{"ByteOrderMarkInFront", [](const std::string& v) { return "\xEF\xBB\xBF" + v; },
                DevManager::LoadResult::WrongSize},
        // Accepted by design: the records are binary, so NUL, CR, LF and 0x98 are
        // ordinary byte values in them (here in the reserved bytes).
        ClbCase{"RecordsHoldingNulCrLfAndAnUndefinedByte",
                [](const std::string& v) {
                    std::string b = v;
                    b[4 + 34] = '\0';
                    b[4 + 35] = '\r';
                    b[4 + 36] = '\n';
                    b[4 + 37] = static_cast<char>(0x98);
                    b[60 + 40] = static_cast<char>(0x98);
                    return b;
                },
                DevManager::LoadResult::Loaded}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- Loading the settings file -----------------------------------------------------

struct SettingsCase {
    const char* Name;
    std::function<std::string()> Bytes;
    bool Accepted;
    const char* Detail; // refused: the reason; accepted: a line that a rewrite keeps
};

void PrintTo(const SettingsCase& c, std::ostream* os)
{
    *os << c.Name;
}

class SettingsText : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsText, IsReadOrRefusedWithoutBeingDamaged)
{
    const SettingsCase& c = GetParam();
    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / "tool.ini";
    const std::string bytes = c.Bytes();
    WriteFile(path, bytes);
    Settings s;
    std::string error;
    const bool opened = s.Open(path, error);
    if (!c.Accepted) {
        EXPECT_FALSE(opened);
        EXPECT_EQ(error, "Ошибка чтения файла " + path + ": " + c.Detail);
        EXPECT_EQ(s.Port(), 1) << "the defaults apply";
        EXPECT_EQ(s.PortPath(3), "/dev/ttyS2");
        EXPECT_FALSE(s.SetPort(5, error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(ReadAll(path), bytes) << "the file was overwritten";
        return;
    }
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(s.Port(), 3);
    EXPECT_EQ(s.PortPath(3), "/dev/ttyUSB1");
    ASSERT_TRUE(s.SetPort(5, error)) << error;
    const std::string rewritten = ReadAll(path);
    EXPECT_NE(rewritten.find("Port=5\r\n"), std::string::npos);
    EXPECT_NE(rewritten.find(c.Detail), std::string::npos) << "a line of the file was lost";
}

const std::string SettingsBody = "[Settings]\r\nPort=3\r\n[Ports]\r\nCOM3=/dev/ttyUSB1\r\n[Device1]\r\nShapka=\xD6\xE5\xF5 1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsText,
    ::testing::Values(
        // The ini reader would stop at the NUL and a rewrite would drop [Ports].
        SettingsCase{"NulByteBeforeASection",
                     [] { return Replace(SettingsBody, "[Ports]", std::string("\0\r\n[Ports]", 10)); }, false,
                     "нулевой байт в тексте"},
        // A byte-order mark says UTF-8; text behind it that is not UTF-8 is
        // neither one form nor the other.
        SettingsCase{"ByteOrderMarkBefore1251Text", [] { return "\xEF\xBB\xBF" + SettingsBody; }, false,
                     "метка UTF-8 в начале, но текст не в UTF-8"},
        SettingsCase{"ByteOrderMarkBeforeUtf8Text",
                     [] { return "\xEF\xBB\xBF" + Replace(SettingsBody, "\xD6\xE5\xF5", "Цех"); }, true,
                     "\xEF\xBB\xBF[Settings]\r\nPort=5\r\n"},
        SettingsCase{"CrLineEnds", [] { return Replace(SettingsBody, "\r\n", "\r"); }, true,
                     "Shapka=\xD6\xE5\xF5 1\r\n"},
        SettingsCase{"LfLineEnds", [] { return Replace(SettingsBody, "\r\n", "\n"); }, true,
                     "COM3=/dev/ttyUSB1\r\n"},
        // Accepted by design: the file is hand-edited text whose lines are kept
        // as they are; an undefined byte in a header line shows as U+FFFD and is
        // written back unchanged.
        SettingsCase{"UndefinedByteInAHeaderLine", [] { return Replace(SettingsBody, "\xF5 1", "\xF5 \x98"); }, true,
                     "Shapka=\xD6\xE5\xF5 \x98\r\n"},
        // Accepted by design: a large file is still a settings file; all of it is kept.
        SettingsCase{"TenMegabytes",
                     [] {
                         std::string b = SettingsBody + "[Notes]\r\n";
                         for (int i = 0; b.size() < (10u << 20); ++i)
                             b += "Note" + std::to_string(i) + "=" + std::string(1000, 'n') + "\r\n";
                         return b + "[Last]\r\nKey=end\r\n";
                     },
                     true, "[Last]\r\nKey=end\r\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SettingsHeader, AnUndefinedByteReadsAsReplacementCharacter)
{
    TempFolder dir("clb_faults_", "/tmp", true);
    WriteFile(dir / "tool.ini", Replace(SettingsBody, "\xF5 1", "\xF5 \x98"));
    Settings s;
    std::string error;
    ASSERT_TRUE(s.Open(dir / "tool.ini", error)) << error;
    EXPECT_EQ(s.Shapka(1), "Цех \xEF\xBF\xBD");
}

// --- Loading the coefficient files ------------------------------------------------

CoefficientSet Unloaded()
{
    CoefficientSet c;
    c.Gmax = 77;
    for (int i = 0; i < 10; ++i) {
        c.K[i] = 100.0f + static_cast<float>(i);
        c.Obr[i] = 200.0f + static_cast<float>(i);
    }
    return c;
}

struct LoadTextCase {
    const char* Name;
    const char* Source; // a file as the tool writes it
    std::uint8_t Type;
    std::function<std::string(const std::string&)> Change;
    const char* Refusal; // nullptr: read as the source is
};

std::string AtLine2(const std::string& bytes, const std::string& insert)
{
    std::string b = bytes;
    b.insert(b.find("\r\n") + 2, insert);
    return b;
}

const auto WithNul = [](const std::string& b) { return AtLine2(b, std::string(1, '\0')); };
const auto WithBom = [](const std::string& b) { return "\xEF\xBB\xBF" + b; };
const auto WithUndefinedByte = [](const std::string& b) { return AtLine2(b, "\x98"); };
const auto WithLf = [](const std::string& b) { return Replace(b, "\r\n", "\n"); };
const auto WithCr = [](const std::string& b) { return Replace(b, "\r\n", "\r"); };
// Ten megabytes of empty lines after the file.
const auto TenMegabytes = [](const std::string& b) {
    std::string padded = b;
    padded.reserve(b.size() + (10u << 20));
    while (padded.size() < b.size() + (10u << 20))
        padded += "\r\n";
    return padded;
};

void PrintTo(const LoadTextCase& c, std::ostream* os)
{
    *os << c.Name;
}

class CoefficientText : public ::testing::TestWithParam<LoadTextCase> {};

TEST_P(CoefficientText, IsReadAsTheSourceOrRefusedWithoutAChange)
{
    const LoadTextCase& c = GetParam();
    DeviceSlot slot;
    slot.SetTypeCode(c.Type);
    slot.SetChannel(1);
    std::string error;
    CoefficientSet fromSource = Unloaded();
    ASSERT_TRUE(LoadCoefficientFile(DataFile(c.Source), slot, fromSource, error)) << error;

    TempFolder dir("clb_faults_", "/tmp", true);
    const std::string path = dir / (std::string("changed") + fs::path(c.Source).extension().string());
    WriteFile(path, c.Change(ReadAll(DataFile(c.Source))));
    CoefficientSet set = Unloaded();
    const bool loaded = LoadCoefficientFile(path, slot, set, error);
    const CoefficientSet& expected = c.Refusal ? Unloaded() : fromSource;
    EXPECT_EQ(set.Gmax, expected.Gmax);
    EXPECT_EQ(set.K, expected.K);
    EXPECT_EQ(set.Obr, expected.Obr);
    if (!c.Refusal) {
        EXPECT_TRUE(loaded) << error;
        return;
    }
    EXPECT_FALSE(loaded);
    EXPECT_EQ(error.rfind("Неверный файл " + path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.Refusal), std::string::npos) << error;
}

// The TXT loader's NUL, byte-order mark, 0x98 and LF cases are files of their
// own in CoefficientFilesTest; the same faults are made here from the written
// KVT and TPR files.
INSTANTIATE_TEST_SUITE_P(
    Files, CoefficientText,
    ::testing::Values(
        LoadTextCase{"TxtWithCrLineEnds", "written_type1.txt", 1, WithCr, nullptr},
        // Accepted by design: the TXT and TPR readers stop after the eighth
        // measured flow and never look at what follows.
        LoadTextCase{"TxtOfTenMegabytes", "written_type1.txt", 1, TenMegabytes, nullptr},
        LoadTextCase{"KvtWithNulByte", "written_new.kvt", 1, WithNul, "нулевой байт"},
        LoadTextCase{"KvtWithByteOrderMark", "written_new.kvt", 1, WithBom, "UTF-8"},
        LoadTextCase{"KvtWithUndefinedByte", "written_new.kvt", 1, WithUndefinedByte, "0x98"},
        LoadTextCase{"KvtWithLfLineEnds", "written_new.kvt", 1, WithLf, nullptr},
        LoadTextCase{"KvtWithCrLineEnds", "written_new.kvt", 1, WithCr, nullptr},
        // Accepted by design: empty lines are nothing to an ini file.
        LoadTextCase{"KvtOfTenMegabytes", "written_new.kvt", 1, TenMegabytes, nullptr},
        LoadTextCase{"TprWithNulByte", "written_type11.tpr", 11, WithNul, "нулевой байт"},
        LoadTextCase{"TprWithByteOrderMark", "written_type11.tpr", 11, WithBom, "UTF-8"},
        LoadTextCase{"TprWithUndefinedByte", "written_type11.tpr", 11, WithUndefinedByte, "0x98"},
        LoadTextCase{"TprWithLfLineEnds", "written_type11.tpr", 11, WithLf, nullptr},
        LoadTextCase{"TprWithCrLineEnds", "written_type11.tpr", 11, WithCr, nullptr},
        LoadTextCase{"TprOfTenMegabytes", "written_type11.tpr", 11, TenMegabytes, nullptr}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- Code page 1251 through the files ---------------------------------------------

// The codec itself is checked against iconv byte by byte (UtilsTest); here every
// printable byte it defines goes through the settings file into a print page and
// through a KVT update, and comes out as the same byte.
TEST(CodePageThroughFiles, EveryDefinedByteComesBackUnchanged)
{
    std::string all;
    for (int b = 0x20; b <= 0xFF; ++b)
        if (b != 0x98) all += static_cast<char>(b);
    const std::string text = "<" + all + ">";

    TempFolder dir("clb_faults_", "/tmp", true);
    WriteFile(dir / "tool.ini", "[Device1]\r\nShapka=" + text + "\r\nColontitle=" + text + "\r\n");
    Settings settings;
    std::string error;
    ASSERT_TRUE(settings.Open(dir / "tool.ini", error)) << error;
    const std::string shown = settings.Shapka(1);
    EXPECT_EQ(shown, Cp1251ToUtf8(text));
    std::string back;
    ASSERT_TRUE(Utf8ToCp1251(shown, back)) << "the header is no longer 1251 text";
    EXPECT_EQ(back, text);

    ASSERT_TRUE(settings.SetPort(2, error)) << error;
    EXPECT_NE(ReadAll(dir / "tool.ini").find("Shapka=" + text + "\r\n"), std::string::npos);

    // The header (longer than its 50 columns, so written whole) and the footer of the print page.
    ASSERT_TRUE(SaveCoefficientFile(dir / "page.tpr", MeterSlot(), Values(1), &settings, error)) << error;
    const std::string page = ReadAll(dir / "page.tpr");
    EXPECT_EQ(page.rfind(text + std::string(16, ' ') + "\r\n", 0), 0u);
    EXPECT_NE(page.find("\r\n" + std::string(28, ' ') + text + "\r\n"), std::string::npos);

    // A hand-kept section of a KVT file survives the update of the known keys.
    WriteFile(dir / "meter.kvt", "[Notes]\r\nText=" + text + "\r\n");
    ASSERT_TRUE(SaveCoefficientFile(dir / "meter.kvt", MeterSlot(), Values(1), nullptr, error)) << error;
    EXPECT_EQ(ReadAll(dir / "meter.kvt").rfind("[Notes]\r\nText=" + text + "\r\n", 0), 0u);
}

} // namespace
