// Printing through a real print queue: a CUPS server of the test's own (its
// configuration, spool and socket in a temporary folder) with a cups-pdf queue
// as the default printer. The print file page and the coefficient sheet go to
// the default printer, and the PDF that comes out of the queue is read back.
// Needs root (cupsd and cups-pdf's own configuration); skipped otherwise.
#include "CoefficientActions.h"
#include "CoefficientSheet.h"
#include "Cp1251.h"
#include "PagePrinter.h"
#include "SheetPrint.h"
#include "UiTestHost.h"

#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

struct Word {
    double x, y; // points from the paper's top-left corner
    std::string text;
};

std::vector<Word> ReadWords(const fs::path& pdf)
{
    const fs::path html = pdf.string() + ".html";
    EXPECT_EQ(std::system(("pdftotext -bbox '" + pdf.string() + "' '" + html.string() + "'").c_str()), 0);
    const std::string h = ReadFile(html);
    std::vector<Word> words;
    const std::regex word(R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="[0-9.]+" yMax="[0-9.]+">([^<]*)</word>)re");
    for (auto it = std::sregex_iterator(h.begin(), h.end(), word); it != std::sregex_iterator(); ++it)
        words.push_back({std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
    return words;
}

// cupsd in the foreground with a cups-pdf queue "clbtest<pid>" as its default printer.
class PrintQueue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0 || !fs::exists("/usr/sbin/cupsd") || !fs::exists("/usr/lib/cups/backend/cups-pdf")) {
            skip = "needs root, cupsd and cups-pdf";
            return;
        }
        root = fs::temp_directory_path() / ("clb-cups-" + std::to_string(::getpid()));
        fs::remove_all(root);
        for (const char* d : {"etc", "spool/tmp", "cache", "state", "log", "out", "anon"}) fs::create_directories(root / d);
        // The filters run as lp, the backend as root: the folders they write are open.
        for (const char* d : {"spool", "spool/tmp", "out", "anon"}) fs::permissions(root / d, fs::perms::all);
        fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::group_read);
        const std::string r = root.string();
        WriteFile(root / "etc/cupsd.conf", "Listen " + r + "/cups.sock\nLogLevel warn\nWebInterface No\nBrowsing No\n"
                                           "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n");
        WriteFile(root / "etc/cups-files.conf",
                  "ServerRoot " + r + "/etc\nRequestRoot " + r + "/spool\nTempDir " + r + "/spool/tmp\nCacheDir " + r +
                      "/cache\nStateDir " + r + "/state\nErrorLog " + r + "/log/error_log\nAccessLog " + r +
                      "/log/access_log\nPageLog " + r + "/log/page_log\nServerBin /usr/lib/cups\n"
                      "DataDir /usr/share/cups\nUser lp\nGroup lp\nSystemGroup root\n");
        // cups-pdf reads the configuration of its instance from its own fixed folder.
        queue = "clbtest" + std::to_string(::getpid());
        pdfConf = fs::path("/etc/cups") / ("cups-pdf-" + queue + ".conf");
        WriteFile(pdfConf, "Out " + r + "/out\nAnonDirName " + r + "/anon\nSpool " + r + "/spool/cups-pdf\nLog " + r +
                               "/log\nGrp root\nUserUMask 0000\n");
        cupsd = ::fork();
        if (cupsd == 0) {
            ::execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (r + "/etc/cupsd.conf").c_str(), "-s",
                    (r + "/etc/cups-files.conf").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !fs::exists(root / "cups.sock"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::setenv("CUPS_SERVER", (r + "/cups.sock").c_str(), 1);
        const std::string admin = "lpadmin -p " + queue + " -E -v cups-pdf:/" + queue +
                                  " -P /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd -o pdftops-renderer-default=gs 2>/dev/null && lpadmin -d " + queue;
        if (!fs::exists(root / "cups.sock") || std::system(admin.c_str()) != 0) skip = "the print queue did not start";
    }
    static void TearDownTestSuite()
    {
        if (cupsd > 0) {
            ::kill(cupsd, SIGTERM);
            ::waitpid(cupsd, nullptr, 0);
        }
        if (!pdfConf.empty()) fs::remove(pdfConf);
        if (!root.empty()) fs::remove_all(root);
    }
    void SetUp() override
    {
        if (!skip.empty()) GTEST_SKIP() << skip;
        for (const auto& e : fs::directory_iterator(root / "out")) fs::remove(e.path());
    }
    // The one PDF that the queue writes, once complete.
    fs::path WaitForOutput()
    {
        for (int i = 0; i < 600; ++i) {
            for (const auto& e : fs::directory_iterator(root / "out")) {
                const std::string b = ReadFile(e.path());
                if (b.size() > 100 && b.find("%%EOF") != std::string::npos) {
                    if (const char* keep = std::getenv("CLB_KEEP_PDF")) fs::copy_file(e.path(), keep, fs::copy_options::overwrite_existing);
                    return e.path();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no PDF out of the queue; " << ReadFile(root / "log/error_log");
        return {};
    }

    static inline std::string skip, queue;
    static inline fs::path root, pdfConf;
    static inline pid_t cupsd = -1;
};

TEST_F(PrintQueue, ThePrintFilePageGoesToTheDefaultPrinterLineByLine)
{
    ASSERT_EQ(QPrinterInfo::defaultPrinter().printerName().toStdString(), queue);
    std::string file;
    for (int i = 1; i <= 32; ++i) file += Utf8ToCp1251Lossy("Строка " + std::to_string(i)) + "\r\n";
    std::string error;
    ASSERT_TRUE(PrintOnDefaultPrinter(PrintFilePage("meter.tpr", file), error)) << error;
    const fs::path pdf = WaitForOutput();
    ASSERT_FALSE(pdf.empty());

    // The queue's PDF is rendered again by Ghostscript into glyph-only fonts, so
    // its words are told by their places, not their letters. Lines are 100 dots
    // of the printer's resolution apart, line 32 at 3100 dots below line 1, each
    // line two words ("Строка" and its number).
    const double dpi = QPrinter(QPrinterInfo::defaultPrinter(), QPrinter::HighResolution).resolution();
    std::map<long, int> wordsPerLine;
    const auto words = ReadWords(pdf);
    ASSERT_FALSE(words.empty());
    double top = words.front().y;
    for (const Word& w : words) top = std::min(top, w.y);
    top = top * dpi / 72;
    for (const Word& w : words) {
        const double line = (w.y * dpi / 72 - top) / 100;
        ASSERT_NEAR(line, std::round(line), 0.05) << "a word lies between two lines";
        ++wordsPerLine[std::lround(line)];
    }
    ASSERT_EQ(wordsPerLine.size(), 32u);
    EXPECT_EQ(wordsPerLine.begin()->first, 0);
    EXPECT_EQ(wordsPerLine.rbegin()->first, 31) << "line 32 at 3250 dots when line 1 is at 150";
    for (const auto& [line, count] : wordsPerLine) EXPECT_EQ(count, 2) << "line " << line + 1;
    // The first line starts 200 dots from the paper's left edge, below its top by 150 dots less the
    // text's height above its top-left corner.
    EXPECT_NEAR(words.front().x * dpi / 72, 200, 120);
    EXPECT_LT(top, 150);
}

TEST_F(PrintQueue, TheSheetGoesToTheDefaultPrinterAsOnePage)
{
    DevManager dev;
    DeviceSlot& s = dev.Slot(1);
    s.SetTypeCode(1);
    s.SetSerialText("0012345");
    s.SetChannel(1);
    dev.Drivers[0] = MakeSlotDriver(1);
    dev.Coefficients(1).PollEnabled = true;
    dev.Coefficients(1).Gmax = 100;
    dev.Coefficients(1).K[2] = 0.095f;
    UiTestHost host;
    Settings settings;
    SetNextPrintDialogAnswer(PrintDialogAnswer{true, ""}); // the dialog's OK on the default printer
    ASSERT_TRUE(PrintCoefficientSheet(dev, host, settings, nullptr)) << (host.messages.empty() ? "" : host.messages[0]);
    const fs::path pdf = WaitForOutput();
    ASSERT_FALSE(pdf.empty());

    // What came out of the queue is one page with the sheet's words on it
    // (positions through the queue are not checked: see the PDF tests).
    const auto words = ReadWords(pdf);
    EXPECT_GE(words.size(), 40u);
    EXPECT_EQ(std::system(("pdfinfo '" + pdf.string() + "' | grep -q '^Pages: *1$'").c_str()), 0);
}

} // namespace

CLB_UI_TEST_MAIN
