// clbtool sheet FILE.pdf against the simulator: the program itself (a copy in
// a folder of the test's own, beside its settings file with the footer lines)
// reads the meters out and prints their coefficient sheets into a PDF, which
// pdftotext reads back: the values the meters hold, at their millimetres, one
// page per meter; and no sheet when the read-out or the file fails.
#include "Cp1251.h"
#include "MeterSimProcess.h"
#include "PdfWords.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Word {
    int page;
    double x, y; // millimetres, top-left
    std::string text;
};

std::vector<Word> ReadWords(const fs::path& pdf)
{
    std::vector<PdfWord> read;
    EXPECT_TRUE(ReadPdfWords(pdf, read)) << "pdftotext -bbox failed";
    std::vector<Word> words;
    for (const PdfWord& w : read)
        words.push_back({w.Page, w.XMin * 25.4 / 72, w.YMin * 25.4 / 72, w.Text});
    return words;
}

struct ToolRun {
    int status = -1;
    json out;
    std::string err;
};

json Kvt64(int address, std::uint32_t serial, json gmax, json tables)
{
    return {{"address", address}, {"protocol", "6x"}, {"model", "kvt64"}, {"texts", {{"version", "V3.011"}}},
            {"factory_number", serial}, {"gmax", std::move(gmax)}, {"tables", std::move(tables)}};
}

class ClbtoolSheet : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program keeps its settings beside itself; its printing module goes with it.
        fs::copy_file(CLBTOOL_PATH, dir / "clbtool");
        fs::copy_file(fs::path(CLBTOOL_PATH).parent_path() / "libclbprint.so", dir / "libclbprint.so");
        std::ofstream(dir / "clbtool.ini", std::ios::binary)
            << Utf8ToCp1251Lossy("[Sheet]\r\nAddress=г. Город, ул. Заводская, 1\r\nPhone=Сервис: 100-200\r\nWeb=mail@example.org\r\n");
    }
    void TearDown() override
    {
        sim.reset();
        if (const char* keep = std::getenv("CLB_KEEP_PDF"); keep && fs::exists(dir / "sheet.pdf"))
            fs::copy_file(dir / "sheet.pdf", keep, fs::copy_options::overwrite_existing);
    }

    // clbtool --json with the slots and the command, against the simulator.
    ToolRun Tool(const std::vector<std::string>& slots, const std::vector<std::string>& command)
    {
        std::vector<std::string> args = {(dir / "clbtool").string(), "--port", sim->DevicePath(), "--timeouts", "20,100,3", "--json"};
        for (const auto& s : slots) args.insert(args.end(), {"--slot", s});
        args.insert(args.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const fs::path out = dir / "out.json", err = dir / "err.txt";
        const pid_t child = ::fork();
        if (child == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ToolRun r;
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = json::parse(ReadFile(out), nullptr, false);
        r.err = ReadFile(err);
        EXPECT_FALSE(r.out.is_discarded()) << "no JSON; " << r.err;
        return r;
    }

    void ExpectAt(const std::vector<Word>& words, int page, double x, double y, const std::string& text)
    {
        for (const Word& w : words)
            if (w.page == page && w.text == text && std::fabs(w.x - x) <= 0.5 && std::fabs(w.y - y) <= 0.5) return;
        std::string near;
        for (const Word& w : words)
            if (w.text == text) near += " (" + std::to_string(w.page) + ": " + std::to_string(w.x) + ", " + std::to_string(w.y) + ")";
        ADD_FAILURE() << "\"" << text << "\" not at page " << page << " (" << x << ", " << y << "); found at" << near;
    }
    int Pages(const std::vector<Word>& words)
    {
        int n = 0;
        for (const Word& w : words) n = std::max(n, w.page);
        return n;
    }
    static std::string Today()
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char buf[16];
        std::strftime(buf, sizeof buf, "%d.%m.%Y", &local);
        return buf;
    }

    // Open to every user, as a folder made by hand would be.
    TempFolder temp{"clb-toolsheet-", {}, true};
    fs::path dir = temp.Path();
    std::unique_ptr<MeterSimProcess> sim;
};

TEST_F(ClbtoolSheet, TwoChannelsOfOneMeterAreReadOutAndShareOneSheet)
{
    // K0 26214 of type code 1 prints as its Gmax; the points as flows.
    sim = std::make_unique<MeterSimProcess>(json{
        {"meters",
         {Kvt64(1, 12064001, {2.5, 16.0},
                {{"1", {{"K", {13107.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5}}}},
                 {"2", {{"K", {26214.0, 26214.0, 0.002, 0.004, 0.008, 0.016, 0.032, 0.064, 0.128, 0.25}}}}})}}});
    const fs::path pdf = dir / "sheet.pdf";
    const ToolRun r = Tool({"1:1:1", "1:1:2"}, {"sheet", pdf.string()});
    ASSERT_EQ(r.status, 0) << r.out.dump() << r.err;
    EXPECT_EQ(r.out.value("printed", ""), pdf.string());

    const std::vector<Word> w = ReadWords(pdf);
    ASSERT_EQ(Pages(w), 1);
    ExpectAt(w, 1, 20, 20, "КВТ-64");
    ExpectAt(w, 1, 40, 28, "12064001");
    ExpectAt(w, 1, 50, 48, "Значения");
    ExpectAt(w, 1, 125, 48, "Значения");
    ExpectAt(w, 1, 72, 60, "2.50");
    ExpectAt(w, 1, 147, 60, "16.00");
    ExpectAt(w, 1, 70, 68, "1.25000");
    ExpectAt(w, 1, 145, 68, "16.00000");
    ExpectAt(w, 1, 70, 85, "0.00250");
    ExpectAt(w, 1, 145, 85, "0.03200");
    ExpectAt(w, 1, 70, 141, "1.25000");
    ExpectAt(w, 1, 145, 141, "4.00000");
    ExpectAt(w, 1, 40, 185, Today());
    ExpectAt(w, 1, 24, 262, "г.");
    ExpectAt(w, 1, 24, 270, "Сервис:");
    ExpectAt(w, 1, 24, 278, "mail@example.org");
}

TEST_F(ClbtoolSheet, TwoMetersGiveTwoPagesSlotOneFirst)
{
    const json tables = {{"1", {{"K", {0.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5}}}}};
    sim = std::make_unique<MeterSimProcess>(
        json{{"meters", {Kvt64(1, 12064001, {2.5, 16.0}, tables), Kvt64(2, 64002, {30.0, 16.0}, tables)}}});
    const fs::path pdf = dir / "sheet.pdf";
    // Named relative to the working folder (the test's folder): told by its whole path.
    const ToolRun r = Tool({"1:2:1", "1:1:1"}, {"sheet", "sheet.pdf"});
    ASSERT_EQ(r.status, 0) << r.out.dump() << r.err;
    EXPECT_EQ(r.out.value("printed", ""), pdf.string());
    EXPECT_EQ(r.out.value("pages", 0), 2);

    const std::vector<Word> w = ReadWords(pdf);
    ASSERT_EQ(Pages(w), 2);
    ExpectAt(w, 1, 40, 28, "64002");
    ExpectAt(w, 2, 40, 28, "12064001");
    for (int page : {1, 2}) {
        ExpectAt(w, page, 65, 48, "Значения");
        ExpectAt(w, page, 24, 278, "mail@example.org");
    }
    ExpectAt(w, 1, 72, 60, "30.00");
    ExpectAt(w, 1, 70, 141, "15.0000"); // 0.5 of Gmax 30: four decimals from 10 up
    ExpectAt(w, 2, 72, 60, "2.50");
    ExpectAt(w, 2, 70, 141, "1.25000");
    for (const Word& x : w) EXPECT_NE(x.text, "канала") << "one column per meter";
}

TEST_F(ClbtoolSheet, NoSheetWithoutAReadOutOrWhereTheFileCannotBeWritten)
{
    sim = std::make_unique<MeterSimProcess>(json{{"meters", {Kvt64(1, 12064001, {2.5, 16.0}, json::object())}}});
    // No meter at address 5: the read-out fails, nothing is printed.
    const fs::path pdf = dir / "sheet.pdf";
    ToolRun r = Tool({"1:5:1"}, {"sheet", pdf.string()});
    EXPECT_EQ(r.status, 1) << r.out.dump() << r.err;
    EXPECT_FALSE(r.out.contains("printed"));
    EXPECT_FALSE(fs::exists(pdf));

    // A folder that does not exist: the file error, and no file left anywhere.
    const fs::path lost = dir / "missing" / "sheet.pdf";
    r = Tool({"1:1:1"}, {"sheet", lost.string()});
    EXPECT_EQ(r.status, 2) << r.out.dump() << r.err;
    ASSERT_EQ(r.out["messages"].size(), 1u) << r.out.dump();
    EXPECT_EQ(r.out["messages"][0], "Ошибка печати в файл " + lost.string());
    EXPECT_FALSE(fs::exists(dir / "missing"));
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".pdf"), std::string::npos) << e.path();
}

// The program is the only one that links no Qt: without its printing module it
// still reads out, and the sheet is refused with a message that names where
// the module was looked for; a file in its place that is no module is refused too.
TEST_F(ClbtoolSheet, WithoutItsPrintingModuleTheSheetIsRefusedAndTheReadOutStands)
{
    sim = std::make_unique<MeterSimProcess>(json{{"meters", {Kvt64(1, 12064001, {2.5, 16.0}, json::object())}}});
    const fs::path pdf = dir / "sheet.pdf";
    fs::remove(dir / "libclbprint.so");
    ToolRun r = Tool({"1:1:1"}, {"sheet", pdf.string()});
    EXPECT_EQ(r.status, 2) << r.out.dump() << r.err;
    ASSERT_EQ(r.out["messages"].size(), 1u) << r.out.dump();
    EXPECT_EQ(r.out["messages"][0], "Печать недоступна: библиотека печати libclbprint.so не найдена (искали в: " +
                                        dir.string() + ", " + dir.string() + "/../lib/clbtool)");
    ASSERT_EQ(r.out["slots"].size(), 1u);
    EXPECT_TRUE(r.out["slots"][0]["read_done"]);
    EXPECT_FALSE(fs::exists(pdf));

    std::ofstream(dir / "libclbprint.so") << "not a library\n";
    r = Tool({"1:1:1"}, {"sheet", pdf.string()});
    EXPECT_EQ(r.status, 2) << r.out.dump() << r.err;
    ASSERT_EQ(r.out["messages"].size(), 1u) << r.out.dump();
    const std::string said = r.out["messages"][0];
    EXPECT_EQ(said.rfind("Печать недоступна: не удалось загрузить библиотеку печати " + (dir / "libclbprint.so").string(), 0), 0u)
        << said;
    EXPECT_FALSE(fs::exists(pdf));
}

} // namespace
