// The save and load buttons of a slot against a simulated meter: polling paused
// around a save and given back, the print page on paper (a PDF read back with
// pdftotext), a save that cannot be written, and the paths of loading that end
// before, at and after the write question.
#include "Child.h"
#include "CoefficientActions.h"
#include "CoefficientFiles.h"
#include "Cp1251.h"
#include "PagePrinter.h"
#include "PdfWords.h"
#include "Settings.h"
#include "TestFiles.h"
#include "WorkflowFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace workflow_test;

namespace {

// A KVT file of a КВТ-64 with every key the tool writes (code page 1251, CR LF);
// K0 and Ku in the meter's converter units.
std::string FullKvt(int gmax)
{
    std::string s = "[Device]\r\nId=" + Utf8ToCp1251Lossy("КВТ-64") + "\r\nNum=12064001\r\nGmax=" +
                    std::to_string(gmax) + "\r\n";
    const char* const points = "1=0.125\r\n2=0.25\r\n3=0.375\r\n4=0.5\r\n5=0.625\r\n6=0.75\r\n7=0.875\r\n8=1\r\n";
    s += std::string("[Koeff]\r\nK0=0\r\nKu=27852\r\n") + points;
    s += std::string("[Kobr]\r\nK0=0\r\nKu=26214\r\n") + points;
    return s;
}

// Write requests (0F 81) that reached the meter, from the simulator's frame log.
int MemoryWrites(const MeterSimProcess& sim)
{
    int n = 0;
    for (const auto& line : sim.LogLines())
        if (line.find(" RX ") != std::string::npos && line.find(" 0F 81 ") != std::string::npos) ++n;
    return n;
}

class CoefficientActionsTest : public Workflow {
protected:
    // One КВТ-64 on channel 1, connected and polled.
    void Connect()
    {
        Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
        dev.Coefficients(1).PollEnabled = true;
        ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
        actions = std::make_unique<CoefficientActions>(dev, *poller, host, &settings, dir.string());
    }

    // Open to every user: a save runs as an ordinary user in a folder inside.
    TempFolder temp{"clb-actions-", {}, true};
    fs::path dir = temp.Path();
    Settings settings;
    std::unique_ptr<CoefficientActions> actions;
};

TEST_F(CoefficientActionsTest, SavingWhilePollingPausesThePollerAndGivesItBack)
{
    Connect();
    std::uint8_t stateInDialog = 0xFF;
    bool busyInDialog = true;
    host.OnDialog = [&] {
        stateInDialog = poller->GetState();
        busyInDialog = poller->IsBusy();
    };
    host.Files = {(dir / "meter.kvt").string()};
    ASSERT_TRUE(actions->BSave01Click(1)) << host.Transcript();
    EXPECT_EQ(stateInDialog, TClbThread::Pause);
    EXPECT_FALSE(busyInDialog) << "the dialog runs with the poller outside its reads";
    EXPECT_EQ(poller->GetState(), TClbThread::Run);
    ASSERT_EQ(host.Dialogs().size(), 1u);
    EXPECT_EQ(host.Dialogs()[0].FileName, (dir / "KVT-64" / "12064001#1.txt").string());
    EXPECT_EQ(host.Dialogs()[0].DefaultExt, "kvt");
    EXPECT_TRUE(host.Dialogs()[0].Save);
    EXPECT_NE(ReadFile(dir / "meter.kvt").find("Gmax=2.5\r\n"), std::string::npos);

    // Polling goes on afterwards.
    const auto cycles = poller->Cycles();
    for (int i = 0; i < 400 && poller->Cycles() < cycles + 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_GE(poller->Cycles(), cycles + 2);
}

TEST_F(CoefficientActionsTest, APrintFileIsPrintedLineByLineAtItsPlace)
{
    std::string error;
    const fs::path ini = dir / "settings.ini";
    WriteFile(ini, Utf8ToCp1251Lossy("[Device1]\r\nShapka=ООО Поверка\r\nColontitle=Подпись поверителя\r\n"));
    ASSERT_TRUE(settings.Open(ini.string(), error)) << error;

    Connect();
    host.Files = {(dir / "sheet.tpr").string()};
    host.OnPrint = [pdf = (dir / "sheet.pdf").string()](const PrintDocument& d, std::string& error) {
        return PrintToPdf(d, pdf, error);
    };
    ASSERT_TRUE(actions->BSave01Click(1)) << host.Transcript();

    ASSERT_EQ(host.Printed.size(), 1u);
    const PrintDocument& page = host.Printed[0];
    ASSERT_EQ(page.Lines.size(), 32u) << "the page is the file, line by line";
    EXPECT_EQ(page.FontFamily, "Courier New");
    EXPECT_EQ(page.FontPoints, 10);
    EXPECT_EQ(page.Lines[0].Y, 150);
    EXPECT_EQ(page.Lines[31].Y, 3250);
    EXPECT_EQ(page.Lines[2].Text, "Прибор = КВТ-64");

    // Read the paper back: each word sits on the line of its text, at 600 dots
    // an inch, the lines starting 200 dots from the left edge.
    std::vector<PdfWord> words;
    ASSERT_TRUE(ReadPdfWords(dir / "sheet.pdf", words)) << "pdftotext -bbox failed";
    std::map<int, std::string> lines;
    std::map<int, double> left;
    for (const PdfWord& w : words) {
        const double x = w.XMin * 600 / 72, y = w.YMin * 600 / 72;
        const double line = (y - 150) / 100;
        ASSERT_NEAR(line, std::round(line), 0.05) << w.Text << " lies between two lines";
        const int i = static_cast<int>(std::lround(line));
        if (!left.count(i)) left[i] = x;
        lines[i] += (lines[i].empty() ? "" : " ") + w.Text;
    }
    EXPECT_EQ(lines[0], "ООО Поверка");
    EXPECT_EQ(lines[2], "Прибор = КВТ-64");
    EXPECT_EQ(lines[5], "Gmax = 2.500000000");
    EXPECT_EQ(lines[10], "точка № Gобр Gизм Коэфф");
    EXPECT_EQ(lines[27], "место для печати");
    EXPECT_EQ(lines[31], "Подпись поверителя");
    EXPECT_NEAR(left[2], 200, 2) << "a line without leading blanks starts at x = 200 dots";
    EXPECT_NEAR(left[31], 200 + 28 * 50, 6) << "28 blanks of 0.6 em at 10 points (50 dots) before the footer";
}

TEST_F(CoefficientActionsTest, ASaveThatCannotBeWrittenIsToldAndKeepsThePreviousFile)
{
    // Root writes into any folder; the save runs in a child that drops to an
    // ordinary user, in a folder it may read but not write.
    const fs::path folder = dir / "locked";
    fs::create_directories(folder);
    const fs::path file = folder / "meter.kvt";
    WriteFile(file, "[Device]\r\nGmax=7\r\n");
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                fs::perms::others_exec | fs::perms::group_read | fs::perms::group_exec);
    const ChildResult child = RunInChild(
        [&] {
            if (!DropToNobody().empty()) ::_exit(3);
            DevManager d;
            d.Slots[0] = Slot(1, 1, 1);
            d.Slot(1).SetSerialText("12064001");
            d.Coefficients(1).ReadDone = true;
            d.Coefficients(1).Gmax = 30;
            TestHost h;
            TClbThread p(d, h);
            CoefficientActions a(d, p, h, nullptr, dir.string());
            h.Files = {file.string()};
            const bool saved = a.BSave01Click(1);
            std::string report = (saved ? "saved\n" : "failed\n");
            for (const auto& m : h.Messages()) report += m + "\n";
            return report;
        },
        std::chrono::seconds(60));
    const std::string& report = child.Report;
    fs::permissions(folder, fs::perms::owner_all);
    ASSERT_TRUE(child.Fault.empty()) << child.Fault << ": " << report;
    EXPECT_EQ(report, "failed\nОшибка создания файла " + file.string() + "\n");
    EXPECT_EQ(ReadFile(file), "[Device]\r\nGmax=7\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no temporary file left";
}

// The load button takes nothing it could not read whole: each of these is told
// with its reason, nothing is asked and nothing reaches the meter.
TEST_F(CoefficientActionsTest, AFileThatCannotBeLoadedAsksNothingAndWritesNothing)
{
    Connect();
    const CoefficientSet before = dev.Coefficients(1);
    WriteFile(dir / "empty.kvt", "");
    WriteFile(dir / "meter.dat", FullKvt(40));
    WriteFile(dir / "meter.kvt.bak", FullKvt(40));
    WriteFile(dir / "no_point.kvt", std::regex_replace(FullKvt(40), std::regex("\r\n3=0.375"), ""));
    fs::create_directories(dir / "folder.kvt");
    struct Case {
        const char* File;
        const char* Reason;
    };
    for (const Case& c : {Case{"missing.kvt", "файл не найден"}, Case{"folder.kvt", "это папка"},
                          Case{"empty.kvt", "файл пуст"}, Case{"meter.dat", "\".dat\" не относится"},
                          Case{"meter.kvt.bak", "\".bak\" не относится"}, Case{"no_point.kvt", "нет ключа [Koeff] 3"}}) {
        host.ClearMessages();
        host.Files = {(dir / c.File).string()};
        host.DefaultAnswer = MsgAnswer::Yes;
        EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::Refused) << c.File;
        ASSERT_EQ(host.Messages().size(), 1u) << c.File;
        EXPECT_NE(host.Messages()[0].find((dir / c.File).string()), std::string::npos) << host.Messages()[0];
        EXPECT_NE(host.Messages()[0].find(c.Reason), std::string::npos) << host.Messages()[0];
        EXPECT_EQ(dev.Coefficients(1).K, before.K) << c.File;
        EXPECT_EQ(dev.Coefficients(1).Gmax, before.Gmax) << c.File;
    }
    ASSERT_EQ(host.Dialogs().size(), 6u);
    EXPECT_EQ(host.Dialogs()[0].DefaultExt, "") << "the open dialog adds no extension";
    EXPECT_EQ(host.Dialogs()[0].FileName, "") << "no file of the meter yet: the dialog opens its folder";
    EXPECT_EQ(MemoryWrites(*sim), 0);
}

// The load dialog lists every format at once and offers the meter's file
// written last, whichever format it has.
TEST_F(CoefficientActionsTest, TheLoadDialogShowsEveryFormatAndOffersTheFileWrittenLast)
{
    Connect();
    const fs::path txt = dir / "KVT-64" / "12064001#1.txt", kvt = dir / "KVT-64" / "12064001#1.kvt";
    fs::create_directories(dir / "KVT-64");
    for (const fs::path& p : {txt, kvt}) {
        host.Files = {p.string()};
        ASSERT_TRUE(actions->BSave01Click(1)) << host.Transcript();
    }
    fs::last_write_time(txt, fs::last_write_time(kvt) - std::chrono::hours(1));
    host.ClearDialogs();
    host.Files.clear();
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::NotRun);
    ASSERT_EQ(host.Dialogs().size(), 1u);
    EXPECT_EQ(host.Dialogs()[0].Filter.rfind("Все файлы коэффициентов (*.txt *.kvt *.tpr)|*.txt;*.kvt;*.tpr|", 0), 0u)
        << host.Dialogs()[0].Filter;
    EXPECT_EQ(host.Dialogs()[0].FileName, kvt.string());

    // The old format written again is the one offered.
    fs::last_write_time(txt, fs::last_write_time(kvt) + std::chrono::hours(1));
    actions->BLoad01Click(1);
    EXPECT_EQ(host.Dialogs().back().FileName, txt.string());
}

// A file of older tools without Id is written after a warning; a print file's
// question says that its values are rounded.
TEST_F(CoefficientActionsTest, AKvtWithoutIdWarnsAndAPrintFileTellsItsRounding)
{
    Connect();
    const std::string noId = std::regex_replace(FullKvt(40), std::regex("Id=[^\r]*\r\n"), "");
    WriteFile(dir / "old.kvt", noId);
    host.Files = {(dir / "old.kvt").string()};
    host.DefaultAnswer = MsgAnswer::No;
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::Declined);
    ASSERT_EQ(host.Messages().size(), 2u);
    EXPECT_EQ(host.Messages()[0],
              "В файле " + (dir / "old.kvt").string() + " нет ключа [Device] Id: тип прибора не проверен");
    EXPECT_EQ(host.Messages()[1], WriteQuestion);

    host.ClearMessages();
    host.Files = {(dir / "page.tpr").string()};
    ASSERT_TRUE(actions->BSave01Click(1)) << host.Transcript();
    host.Files = {(dir / "page.tpr").string()};
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::Declined);
    ASSERT_FALSE(host.Messages().empty());
    EXPECT_EQ(host.Messages().back(), std::string(TprRoundingNotice) + "\n\n" + WriteQuestion);
    EXPECT_EQ(MemoryWrites(*sim), 0);
}

TEST_F(CoefficientActionsTest, ARefusedFileIsToldAndNothingIsAsked)
{
    Connect();
    const CoefficientSet before = dev.Coefficients(1);
    WriteFile(dir / "other.txt", Utf8ToCp1251Lossy("КВТ 64\r\n1\r\n30\r\n0\r\n1\r\n\r\n1 2 3 4 5 6 7 8\r\n1 2 3 4 5 6 7 8\r\n"));
    host.Files = {(dir / "other.txt").string()};
    host.DefaultAnswer = MsgAnswer::Yes;
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::Refused);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0],
              "Неверный файл " + (dir / "other.txt").string() + ": в файле прибор \"КВТ 64\", а в слоте КВТ-64");
    EXPECT_EQ(dev.Coefficients(1).K, before.K);
    EXPECT_EQ(dev.Coefficients(1).Gmax, before.Gmax);
    EXPECT_EQ(MemoryWrites(*sim), 0);
}

TEST_F(CoefficientActionsTest, DecliningKeepsTheLoadedValuesAndTheBoxes)
{
    Connect();
    const auto box = host.BoxState("EG011").Text;
    WriteFile(dir / "new.kvt", FullKvt(40));
    host.Files = {(dir / "new.kvt").string()};
    host.DefaultAnswer = MsgAnswer::No;
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::Declined);
    EXPECT_EQ(dev.Coefficients(1).Gmax, 40.0f);
    EXPECT_EQ(dev.Coefficients(1).K[2], 0.125f);
    EXPECT_EQ(dev.Coefficients(1).Obr[1], 26214.0f);
    EXPECT_EQ(host.BoxState("EG011").Text, box) << "the boxes show the last read-out until a write";
    EXPECT_EQ(MemoryWrites(*sim), 0);
    EXPECT_EQ(poller->GetState(), TClbThread::Run);
}

TEST_F(CoefficientActionsTest, AnAdapterUnpluggedWhileIdleIsFoundBeforeAnythingIsSent)
{
    host.PollSlots[0] = false; // connected, nothing polled: the line is idle
    Connect();
    sim->Unplug();
    WriteFile(dir / "new.kvt", FullKvt(40));
    host.Files = {(dir / "new.kvt").string()};
    host.DefaultAnswer = MsgAnswer::Yes;
    EXPECT_EQ(actions->BLoad01Click(1), CoefficientActions::LoadResult::NotWritable);
    ASSERT_EQ(host.Messages().size(), 2u) << host.Transcript();
    EXPECT_EQ(host.Messages()[0], WriteQuestion);
    EXPECT_NE(host.Messages()[1].find(sim->DevicePath()), std::string::npos) << host.Messages()[1];
    EXPECT_NE(host.Messages()[1].find("потеряна"), std::string::npos) << host.Messages()[1];
    EXPECT_FALSE(port.Opened()) << "the lost port is closed";
    EXPECT_TRUE(host.ConnectEnabled);

    // The adapter is back: the first connect succeeds.
    sim->Replug();
    EXPECT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
    EXPECT_EQ(dev.Coefficients(1).Gmax, 2.5f) << "the meter was never written";
}

} // namespace
