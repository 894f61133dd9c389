// Printing through a real print queue (PrintQueue.h: a CUPS server of the
// test's own with a cups-pdf queue as the default printer). The print file
// page and the coefficient sheets go to the default printer, and the PDF that
// comes out of the queue is compared, by its ink, with the same document
// printed straight into a PDF file.
#include "CoefficientActions.h"
#include "CoefficientSheet.h"
#include "Cp1251.h"
#include "PagePrinter.h"
#include "PrintQueue.h"
#include "SheetPrint.h"
#include "TestFiles.h"
#include "UiTestHost.h"

#include <QPrinterInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void WriteOrThrow(const fs::path& p, const std::string& text)
{
    if (!WriteFile(p, text)) throw std::runtime_error("cannot write " + p.string());
}

class PrintQueue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CupsServer::Check(skip, broken);
        if (!skip.empty() || !broken.empty()) return;
        try {
            server = std::make_unique<CupsServer>();
        } catch (const std::exception& e) {
            broken = e.what();
        }
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override
    {
        if (!skip.empty()) GTEST_SKIP() << skip;
        ASSERT_TRUE(broken.empty()) << broken;
        dir = server->Output().parent_path() / "direct";
        fs::create_directories(dir);
        server->ClearOutput();
    }
    void TearDown() override
    {
        if (!dir.empty()) fs::remove_all(dir);
    }

    fs::path WaitForOutput() { return server->WaitForOutput(); }

    static inline std::string skip, broken;
    static inline std::unique_ptr<CupsServer> server;
    fs::path dir;
};

TEST_F(PrintQueue, ThePrintFilePageComesOutWithItsLinesAtTheirDots)
{
    ASSERT_EQ(QPrinterInfo::defaultPrinter().printerName().toStdString(), server->Queue());
    std::string file;
    for (int i = 1; i <= 32; ++i) file += Utf8ToCp1251Lossy("Строка " + std::to_string(i)) + "\r\n";
    const PrintDocument page = PrintFilePage("meter.tpr", file);
    std::string error;
    ASSERT_TRUE(PrintToPdf(page, (dir / "direct.pdf").string(), error)) << error;
    ASSERT_TRUE(PrintOnDefaultPrinter(page, error)) << error;
    const fs::path queued = WaitForOutput();
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(PdfPageCount(queued), 1);

    // The direct PDF has line i's top-left corner at (200, 150 + 100 i) dots:
    // line 1 at 150, line 32 at 3250.
    const std::vector<PaperWord> words = ReadPaperWords(dir / "direct.pdf");
    constexpr double dot = 25.4 / PrintDotsPerInch;
    for (int line : {1, 2, 31, 32}) {
        const std::string label = "line " + std::to_string(line);
        const auto w = std::find_if(words.begin(), words.end(), [&](const PaperWord& w) {
            return std::fabs(w.box.top - (150 + 100 * (line - 1)) * dot) <= 0.5 && std::fabs(w.box.left - 200 * dot) <= 0.5;
        });
        ASSERT_NE(w, words.end()) << label << " not at its place";
        EXPECT_EQ(w->text, "Строка") << label;
    }
    ASSERT_EQ(words.size(), 64u);
    // ... and so has the paper out of the queue.
    ExpectSameInk(dir / "direct.pdf", queued, words, 1);
}

TEST_F(PrintQueue, TheSheetsComeOutWithEveryTextAtItsMillimetres)
{
    DevManager dev;
    const char* serials[] = {"0012345", "67890"};
    for (int n = 1; n <= 2; ++n) {
        dev.Slot(n).SetTypeCode(1);
        dev.Slot(n).SetSerialText(serials[n - 1]);
        dev.Slot(n).SetChannel(1);
        dev.Drivers[static_cast<size_t>(n - 1)] = MakeSlotDriver(1);
        CoefficientSet& c = dev.Coefficients(n);
        c.PollEnabled = true;
        c.Gmax = 100.0f * static_cast<float>(n);
        c.K[0] = 0.5f;
        c.K[1] = 1.0f;
        for (int i = 2; i <= 9; ++i) c.K[i] = 0.095f * static_cast<float>(i - 1);
    }
    WriteOrThrow(dir / "clb.ini", Utf8ToCp1251Lossy("[Sheet]\r\nAddress=г. Город, ул. Заводская, 1\r\nPhone=Сервис: 100-200\r\n"
                                                 "Web=mail@example.org\r\n"));
    Settings settings;
    std::string error;
    ASSERT_TRUE(settings.Open((dir / "clb.ini").string(), error)) << error;

    std::array<SheetGroup, 2> groups;
    ASSERT_TRUE(GroupSheets(dev, groups, error)) << error;
    const SheetDocument sheets = LayoutSheets(dev, groups, SheetFooterFrom(settings), TodayText());
    ASSERT_EQ(sheets.Pages.size(), 2u);
    ASSERT_TRUE(PrintSheetsToPdf(sheets, (dir / "direct.pdf").string(), error)) << error;
    UiTestHost host;
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, ""}); // the dialog's OK on the default printer
    ASSERT_TRUE(PrintCoefficientSheet(dev, host, settings, nullptr)) << (host.Messages().empty() ? "" : host.Messages()[0]);
    const fs::path queued = WaitForOutput();
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(PdfPageCount(queued), 2) << "a page per meter";

    // Every text of the direct PDF starts at its millimetres...
    const std::vector<PaperWord> words = ReadPaperWords(dir / "direct.pdf");
    int texts = 0;
    for (size_t p = 0; p < sheets.Pages.size(); ++p)
        for (const SheetText& t : sheets.Pages[p].Texts) {
            const std::string first = t.Text.substr(0, t.Text.find(' '));
            if (first.empty()) continue;
            ++texts;
            const bool at = std::any_of(words.begin(), words.end(), [&](const PaperWord& w) {
                return w.page == static_cast<int>(p) + 1 && w.text == first && std::fabs(w.box.left - t.X) <= 0.5 &&
                       std::fabs(w.box.top - t.Y) <= 0.5;
            });
            EXPECT_TRUE(at) << "\"" << t.Text << "\" not at (" << t.X << ", " << t.Y << ") on page " << p + 1;
        }
    EXPECT_GE(texts, 2 * 30);
    // ... and the queue puts the ink of every word where the direct PDF has it.
    ExpectSameInk(dir / "direct.pdf", queued, words, 2);
}

} // namespace

CLB_UI_TEST_MAIN
