// The print button's coefficient sheet, printed into a PDF through the print
// dialog's seam and read back with pdftotext: every text at its millimetre
// position, the value formats, one or two columns, one page per meter, and a
// serial number that stops everything before the dialog.
#include "Cp1251.h"
#include "CoefficientSheet.h"
#include "SheetPrint.h"
#include "UiTestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Word {
    int page;
    double x, y; // millimetres, top-left
    std::string text;
};

// The words of a PDF with their pages and positions, by pdftotext -bbox.
std::vector<Word> ReadWords(const fs::path& pdf)
{
    const fs::path html = pdf.string() + ".html";
    EXPECT_EQ(std::system(("pdftotext -bbox '" + pdf.string() + "' '" + html.string() + "'").c_str()), 0);
    const std::string h = ReadFile(html);
    std::vector<Word> words;
    const std::regex item(R"re(<page |<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="[0-9.]+" yMax="[0-9.]+">([^<]*)</word>)re");
    int page = 0;
    for (auto it = std::sregex_iterator(h.begin(), h.end(), item); it != std::sregex_iterator(); ++it) {
        if (!(*it)[1].matched) {
            ++page;
            continue;
        }
        words.push_back({page, std::stod((*it)[1]) * 25.4 / 72, std::stod((*it)[2]) * 25.4 / 72, (*it)[3]});
    }
    return words;
}

class SheetPrint : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("clb-sheet-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "clb.ini", std::ios::binary)
            << Utf8ToCp1251Lossy("[Sheet]\r\nAddress=г. Город, ул. Заводская, 1\r\nPhone=Сервис: 100-200\r\nWeb=mail@example.org\r\n");
        std::string error;
        ASSERT_TRUE(settings.Open((dir / "clb.ini").string(), error)) << error;
    }
    void TearDown() override
    {
        SetNextPrintDialogAnswer(std::nullopt);
        if (const char* keep = std::getenv("CLB_KEEP_PDF"); keep && fs::exists(dir / "sheet.pdf"))
            fs::copy_file(dir / "sheet.pdf", keep, fs::copy_options::overwrite_existing);
        fs::remove_all(dir);
    }
    void Configure(int n, std::uint8_t type, const std::string& serial, std::uint8_t channel, float gmax)
    {
        DeviceSlot& s = dev.Slot(n);
        s.SetTypeCode(type);
        s.SetSerialText(serial);
        s.SetChannel(channel);
        dev.Drivers[static_cast<size_t>(n - 1)] = MakeSlotDriver(type);
        CoefficientSet& c = dev.Coefficients(n);
        c.PollEnabled = true;
        c.Gmax = gmax;
        c.K[0] = 0.5f;
        c.K[1] = 1.0f;
        for (int i = 2; i <= 9; ++i) c.K[i] = 0.1f * static_cast<float>(i - 1);
    }
    std::vector<Word> Print()
    {
        const fs::path pdf = dir / "sheet.pdf";
        SetNextPrintDialogAnswer(PrintDialogAnswer{true, pdf.string()});
        EXPECT_TRUE(PrintCoefficientSheet(dev, host, settings, nullptr));
        EXPECT_FALSE(PrintDialogAnswerPending());
        return ReadWords(pdf);
    }
    // The word that starts a text, at its place within half a millimetre.
    void ExpectAt(const std::vector<Word>& words, int page, double x, double y, const std::string& first)
    {
        for (const Word& w : words)
            if (w.page == page && w.text == first && std::fabs(w.x - x) <= 0.5 && std::fabs(w.y - y) <= 0.5) return;
        std::string near;
        for (const Word& w : words)
            if (w.text == first) near += " (" + std::to_string(w.page) + ": " + std::to_string(w.x) + ", " + std::to_string(w.y) + ")";
        ADD_FAILURE() << "\"" << first << "\" not at page " << page << " (" << x << ", " << y << "); found at" << near;
    }
    int Pages(const std::vector<Word>& words)
    {
        int n = 0;
        for (const Word& w : words) n = std::max(n, w.page);
        return n;
    }

    fs::path dir;
    DevManager dev;
    UiTestHost host;
    Settings settings;
};

TEST_F(SheetPrint, OneSlotGivesOneColumn)
{
    Configure(1, 1, "0012345", 1, 26214);
    dev.Coefficients(1).K[2] = 9.5f / 26214;
    const auto w = Print();
    EXPECT_EQ(Pages(w), 1);
    ExpectAt(w, 1, 20, 20, "КВТ-64");
    ExpectAt(w, 1, 80, 20, "Калибровочные");
    ExpectAt(w, 1, 20, 28, "Зав.");
    ExpectAt(w, 1, 40, 28, "12345");
    ExpectAt(w, 1, 65, 48, "Значения");
    ExpectAt(w, 1, 22, 60, "Gmax");
    ExpectAt(w, 1, 72, 60, "26214.00");
    ExpectAt(w, 1, 70, 68, "0.50000");
    ExpectAt(w, 1, 22, 76, "Kу");
    ExpectAt(w, 1, 70, 85, "9.50000");
    ExpectAt(w, 1, 22, 141, "точка");
    ExpectAt(w, 1, 70, 141, "20971.200");
    ExpectAt(w, 1, 102, 190, "подпись");
    ExpectAt(w, 1, 152, 190, "ФИО");
    ExpectAt(w, 1, 140, 222, "место");
    ExpectAt(w, 1, 24, 262, "г.");
    ExpectAt(w, 1, 24, 270, "Сервис:");
    ExpectAt(w, 1, 24, 278, "mail@example.org");
    ExpectAt(w, 1, 40, 185, TodayText());
    for (const Word& x : w) EXPECT_NE(x.text, "Значения для") << "one column only";
}

TEST_F(SheetPrint, TwoChannelsOfOneMeterShareASheetWithTwoColumns)
{
    Configure(1, 8, "12345", 1, 100);
    Configure(2, 8, "12345", 2, 100);
    dev.Coefficients(1).K[2] = 0.095f; // 9.5
    dev.Coefficients(2).K[2] = 0.1f;   // 10
    dev.Coefficients(2).K[3] = 2.5f;   // 250
    const auto w = Print();
    EXPECT_EQ(Pages(w), 1);
    ExpectAt(w, 1, 50, 48, "Значения");
    ExpectAt(w, 1, 125, 48, "Значения");
    ExpectAt(w, 1, 72, 60, "100.00");
    ExpectAt(w, 1, 147, 60, "100.00");
    ExpectAt(w, 1, 70, 85, "9.50000");
    ExpectAt(w, 1, 145, 85, "10.0000");
    ExpectAt(w, 1, 145, 93, "250.000");
    ExpectAt(w, 1, 145, 68, "0.50000");
}

TEST_F(SheetPrint, TwoMetersGiveTwoPagesSlotOneFirst)
{
    Configure(1, 1, "12345", 1, 30);
    Configure(2, 8, "67890", 1, 30);
    const auto w = Print();
    EXPECT_EQ(Pages(w), 2);
    ExpectAt(w, 1, 40, 28, "12345");
    ExpectAt(w, 2, 40, 28, "67890");
    ExpectAt(w, 2, 20, 20, "ДЛН-08.03С");
    ExpectAt(w, 2, 24, 278, "mail@example.org");
}

TEST_F(SheetPrint, ASerialThatIsNoNumberStopsBeforeTheDialog)
{
    Configure(1, 1, "12345", 1, 30);
    Configure(2, 1, "error", 2, 30);
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, (dir / "sheet.pdf").string()});
    EXPECT_FALSE(PrintCoefficientSheet(dev, host, settings, nullptr));
    EXPECT_TRUE(PrintDialogAnswerPending()) << "the dialog was not reached";
    EXPECT_EQ(host.messages, std::vector<std::string>{"\"error\" не является допустимым целым числом"});
    EXPECT_FALSE(fs::exists(dir / "sheet.pdf"));
}

TEST_F(SheetPrint, APrintFailureIsToldAndLeavesNoFile)
{
    Configure(1, 1, "12345", 1, 30);
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, (dir / "missing" / "sheet.pdf").string()});
    EXPECT_FALSE(PrintCoefficientSheet(dev, host, settings, nullptr));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "Ошибка печати в файл " + (dir / "missing" / "sheet.pdf").string());
}

} // namespace

CLB_UI_TEST_MAIN
