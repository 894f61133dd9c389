// The print button's coefficient sheet, printed into a PDF through the print
// dialog's seam and read back with pdftotext: every text at its millimetre
// position, the value formats, one or two columns, one page per meter, and a
// serial number that stops everything before the dialog.
#include "CoefficientSheet.h"
#include "Cp1251.h"
#include "PdfWords.h"
#include "SheetPrint.h"
#include "TestFiles.h"
#include "UiTestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Word {
    int page;
    double x, y; // millimetres, top-left
    std::string text;
};

// The words of a PDF with their pages and positions.
std::vector<Word> ReadWords(const fs::path& pdf)
{
    std::vector<PdfWord> read;
    EXPECT_TRUE(ReadPdfWords(pdf, read)) << "pdftotext -bbox failed";
    std::vector<Word> words;
    for (const PdfWord& w : read)
        words.push_back({w.Page, w.XMin * 25.4 / 72, w.YMin * 25.4 / 72, w.Text});
    return words;
}

class SheetPrint : public ::testing::Test {
protected:
    void SetUp() override
    {
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

    // Open to every user, as a folder made by hand would be.
    TempFolder temp{"clb-sheet-", {}, true};
    fs::path dir = temp.Path();
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
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"\"error\" не является допустимым целым числом"});
    EXPECT_FALSE(fs::exists(dir / "sheet.pdf"));
}

TEST_F(SheetPrint, APrintFailureIsToldAndLeavesNoFile)
{
    Configure(1, 1, "12345", 1, 30);
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, (dir / "missing" / "sheet.pdf").string()});
    EXPECT_FALSE(PrintCoefficientSheet(dev, host, settings, nullptr));
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0], "Ошибка печати в файл " + (dir / "missing" / "sheet.pdf").string());
}

} // namespace

CLB_UI_TEST_MAIN
