// The window's traffic log comes from the settings file: [Settings] Trace names
// the file, TraceFormat=jsonl picks JSON lines; a file that cannot be made is
// reported once and the line works without a log.
#include "MainController.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class QuietHost : public Host {
public:
    MsgAnswer MessageBox(const std::string& text, const std::string&, MsgIcon, MsgButtons) override
    {
        messages.push_back(text);
        return MsgAnswer::No;
    }
    std::optional<std::string> ChooseFile(const FileDialog&) override { return std::nullopt; }
    void SetProgress(int, int, int) override {}
    void ShowProgress(bool) override {}
    void SetBox(const std::string&, std::optional<std::string>, std::optional<BoxColour>) override {}
    void SetConnectButtons(bool, bool) override {}
    bool PollBoxChecked(int) override { return true; }
    void RefreshSlots() override {}
    bool Print(const PrintDocument&, std::string&) override { return true; }
    void RunOnMainThread(const std::function<void()>& step) override { step(); }
    void ProcessMessages() override {}
    std::vector<std::string> messages;
};

class TraceSetting : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("clb-trace-setting-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        folders = ResolveProgramFolders((folder / "clbview").string(), "clbview");
    }
    void TearDown() override { fs::remove_all(folder); }
    void Settings(const std::string& lines)
    {
        fs::create_directories(fs::path(folders.SettingsFile).parent_path());
        std::ofstream(folders.SettingsFile) << "[Settings]\n" << lines;
    }
    fs::path folder;
    ProgramFolders folders;
    QuietHost host;
};

TEST_F(TraceSetting, NamesTheFileThePortLogsTo)
{
    const std::string log = (folder / "line.jsonl").string();
    Settings("Trace=" + log + "\nTraceFormat=jsonl\n");
    MainController c(host, folders);
    c.Startup();
    ASSERT_NE(c.Port().Trace(), nullptr);
    EXPECT_EQ(c.Port().Trace()->Path(), log);
    EXPECT_TRUE(fs::exists(log));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(TraceSetting, WithoutTheKeyThereIsNoLog)
{
    Settings("Baud=0\n");
    MainController c(host, folders);
    c.Startup();
    EXPECT_EQ(c.Port().Trace(), nullptr);
}

TEST_F(TraceSetting, AFileThatCannotBeMadeIsReportedAndTheLineWorksWithoutIt)
{
    Settings("Trace=/nonexistent-dir/line.log\n");
    MainController c(host, folders);
    c.Startup();
    EXPECT_EQ(c.Port().Trace(), nullptr);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].find("/nonexistent-dir/line.log"), std::string::npos);
}

} // namespace
