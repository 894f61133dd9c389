// The window's traffic log comes from the settings file: [Settings] Trace names
// the file, TraceFormat=jsonl picks JSON lines; a file that cannot be made is
// reported once and the line works without a log.
#include "MainController.h"
#include "RecordingHost.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TraceSetting : public ::testing::Test {
protected:
    void SetUp() override
    {
        folders = ResolveProgramFolders((folder / "clbview").string(), "clbview");
    }
    void Settings(const std::string& lines)
    {
        fs::create_directories(fs::path(folders.SettingsFile).parent_path());
        std::ofstream(folders.SettingsFile) << "[Settings]\n" << lines;
    }
    TempFolder temp{"clb-trace-setting-"};
    fs::path folder = temp.Path();
    ProgramFolders folders;
    RecordingHost host;
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
    EXPECT_TRUE(host.Messages().empty());
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
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_NE(host.Messages()[0].find("/nonexistent-dir/line.log"), std::string::npos);
}

} // namespace
