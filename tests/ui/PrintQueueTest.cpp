// Printing through a real print queue: a CUPS server of the test's own (its
// configuration, spool and socket in a temporary folder) with a cups-pdf queue
// as the default printer. The print file page and the coefficient sheets go to
// the default printer, and the PDF that comes out of the queue is compared
// with the same document printed straight into a PDF file.
//
// The queue renders the job to PostScript and back to PDF with Ghostscript,
// which turns the fonts into glyph procedures without their letters, so the
// queue's PDF cannot be read as text. Its words are found by their ink: both
// PDFs are rasterised, and the ink around every word of the direct PDF (whose
// words pdftotext reads at their places) must be the same in the queue's PDF.
//
// Needs root (cupsd, and cups-pdf's configuration in its fixed folder); the
// packages come from scripts/setup, and when they are missing under root the
// tests fail rather than pass unseen.
#include "CoefficientActions.h"
#include "CoefficientSheet.h"
#include "Cp1251.h"
#include "PagePrinter.h"
#include "PdfWords.h"
#include "SheetPrint.h"
#include "TestFiles.h"
#include "UiTestHost.h"

#include <QPrinterInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void WriteOrThrow(const fs::path& p, const std::string& text)
{
    if (!WriteFile(p, text)) throw std::runtime_error("cannot write " + p.string());
}

int Run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A rectangle on the paper, in millimetres from its top-left corner.
struct Box {
    double left, top, right, bottom;
};

struct Word {
    int page; // from 1
    Box box;
    std::string text;
};

// The words of a PDF with their pages and boxes.
std::vector<Word> ReadWords(const fs::path& pdf)
{
    std::vector<PdfWord> read;
    EXPECT_TRUE(ReadPdfWords(pdf, read)) << "pdftotext -bbox failed";
    std::vector<Word> words;
    constexpr double mm = 25.4 / 72;
    for (const PdfWord& w : read)
        words.push_back({w.Page, {w.XMin * mm, w.YMin * mm, w.XMax * mm, w.YMax * mm}, w.Text});
    return words;
}

int PageCount(const fs::path& pdf)
{
    const fs::path info = pdf.string() + ".info";
    if (Run("pdfinfo '" + pdf.string() + "' >'" + info.string() + "'") != 0) return -1;
    std::smatch m;
    const std::string text = ReadFile(info);
    return std::regex_search(text, m, std::regex(R"(Pages:\s*(\d+))")) ? std::stoi(m[1]) : -1;
}

// One page of a PDF rasterised in grey by pdftoppm.
class Raster {
public:
    static constexpr int Dpi = 300;

    Raster(const fs::path& pdf, int page)
    {
        const std::string prefix = pdf.string() + ".p" + std::to_string(page);
        if (Run("pdftoppm -gray -r " + std::to_string(Dpi) + " -f " + std::to_string(page) + " -l " +
                std::to_string(page) + " -singlefile '" + pdf.string() + "' '" + prefix + "' 2>/dev/null") != 0)
            throw std::runtime_error("pdftoppm failed on " + pdf.string());
        const std::string pgm = ReadFile(prefix + ".pgm");
        std::smatch m;
        if (!std::regex_search(pgm, m, std::regex(R"(^P5\s+(\d+)\s+(\d+)\s+255\s)")))
            throw std::runtime_error("no grey raster of " + pdf.string());
        width_ = std::stoi(m[1]);
        height_ = std::stoi(m[2]);
        grey_ = pgm.substr(static_cast<size_t>(m.length(0)));
        if (grey_.size() != static_cast<size_t>(width_) * static_cast<size_t>(height_))
            throw std::runtime_error("short raster of " + pdf.string());
    }

    // The box around the ink inside a window (both in millimetres), if any.
    std::optional<Box> Ink(const Box& window) const
    {
        auto px = [](double mm) { return static_cast<int>(std::lround(mm / 25.4 * Dpi)); };
        const int x0 = std::max(0, px(window.left)), x1 = std::min(width_, px(window.right));
        const int y0 = std::max(0, px(window.top)), y1 = std::min(height_, px(window.bottom));
        int left = x1, right = -1, top = y1, bottom = -1;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (static_cast<unsigned char>(grey_[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)]) < 128) {
                    left = std::min(left, x);
                    right = std::max(right, x + 1);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y + 1);
                }
        if (right < 0) return std::nullopt;
        auto mm = [](int p) { return p * 25.4 / Dpi; };
        return Box{mm(left), mm(top), mm(right), mm(bottom)};
    }

private:
    int width_ = 0, height_ = 0;
    std::string grey_;
};

// Every word of the direct PDF has the same ink around it in the queue's PDF,
// within half a millimetre on each side, page by page. The window around a
// word reaches 1 mm beyond its box, so that a word moved by less than that is
// measured, not cut off.
void ExpectSameInk(const fs::path& direct, const fs::path& queued, const std::vector<Word>& words, int pages)
{
    double largest = 0;
    for (int page = 1; page <= pages; ++page) {
        const Raster a(direct, page), b(queued, page);
        int compared = 0;
        for (const Word& w : words) {
            if (w.page != page) continue;
            const Box window{w.box.left - 1, w.box.top - 1, w.box.right + 1, w.box.bottom + 1};
            const std::optional<Box> want = a.Ink(window), got = b.Ink(window);
            if (!want) continue; // a blank
            ++compared;
            ASSERT_TRUE(got) << "no ink of \"" << w.text << "\" on page " << page << " of the queue's PDF";
            const double moved = std::max({std::fabs(got->left - want->left), std::fabs(got->top - want->top),
                                           std::fabs(got->right - want->right), std::fabs(got->bottom - want->bottom)});
            largest = std::max(largest, moved);
            EXPECT_LE(moved, 0.5) << "\"" << w.text << "\" on page " << page << ": ink at (" << got->left << ", " << got->top
                                  << ")-(" << got->right << ", " << got->bottom << ") mm, in the direct PDF at (" << want->left
                                  << ", " << want->top << ")-(" << want->right << ", " << want->bottom << ") mm";
        }
        EXPECT_GT(compared, 0) << "page " << page;
    }
    ::testing::Test::RecordProperty("largest_ink_difference_um", std::to_string(std::lround(largest * 1000)));
}

// Removes a file or folder when it goes.
class RemovedAtEnd {
public:
    explicit RemovedAtEnd(fs::path p = {}) : path_(std::move(p)) {}
    RemovedAtEnd(const RemovedAtEnd&) = delete;
    RemovedAtEnd& operator=(const RemovedAtEnd&) = delete;
    ~RemovedAtEnd()
    {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// A child process that is ended (SIGTERM, then SIGKILL) and reaped when this goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    void Start(const std::vector<std::string>& argv)
    {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Ends with the test, should the test itself be killed.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

// Files of earlier runs that were killed before they could clean up: the
// cups-pdf configuration and the folder of a process that is gone.
void RemoveLeftovers()
{
    const std::regex mine(R"((?:cups-pdf-clbtest|clb-cups-)(\d+)(?:\.conf)?)");
    for (const fs::path& folder : {fs::path("/etc/cups"), fs::temp_directory_path()}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            std::smatch m;
            const std::string name = e.path().filename().string();
            if (std::regex_match(name, m, mine) && !fs::exists("/proc/" + m[1].str())) fs::remove_all(e.path(), ec);
        }
    }
}

// cupsd in the foreground with a cups-pdf queue "clbtest<pid>" as its default
// printer. Everything it made goes with it, whether the tests pass or fail.
class CupsServer {
public:
    CupsServer()
        : root_(fs::temp_directory_path() / ("clb-cups-" + std::to_string(::getpid()))),
          queue_("clbtest" + std::to_string(::getpid())),
          // cups-pdf reads the configuration of its instance from its own fixed folder.
          pdfConf_(fs::path("/etc/cups") / ("cups-pdf-" + queue_ + ".conf"))
    {
        const fs::path& root = root_.Path();
        fs::remove_all(root);
        for (const char* d : {"etc", "spool/tmp", "cache", "state", "log", "out", "anon"}) fs::create_directories(root / d);
        // The filters run as lp, the backend as root: the folders they write are open.
        for (const char* d : {"spool", "spool/tmp", "out", "anon"}) fs::permissions(root / d, fs::perms::all);
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
        const std::string r = root.string();
        WriteOrThrow(root / "etc/cupsd.conf", "Listen " + r + "/cups.sock\nLogLevel warn\nWebInterface No\nBrowsing No\n"
                                           "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n");
        WriteOrThrow(root / "etc/cups-files.conf",
                  "ServerRoot " + r + "/etc\nRequestRoot " + r + "/spool\nTempDir " + r + "/spool/tmp\nCacheDir " + r +
                      "/cache\nStateDir " + r + "/state\nErrorLog " + r + "/log/error_log\nAccessLog " + r +
                      "/log/access_log\nPageLog " + r + "/log/page_log\nServerBin /usr/lib/cups\n"
                      "DataDir /usr/share/cups\nUser lp\nGroup lp\nSystemGroup root\n");
        WriteOrThrow(pdfConf_.Path(), "Out " + r + "/out\nAnonDirName " + r + "/anon\nSpool " + r + "/spool/cups-pdf\nLog " + r +
                                       "/log\nGrp root\nUserUMask 0000\n");
        cupsd_.Start({"/usr/sbin/cupsd", "-f", "-c", r + "/etc/cupsd.conf", "-s", r + "/etc/cups-files.conf"});
        for (int i = 0; i < 400 && cupsd_.Running() && !fs::exists(root / "cups.sock"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!fs::exists(root / "cups.sock")) throw std::runtime_error("cupsd did not start: " + ReadFile(root / "log/error_log"));
        // The queue's server and nothing else picks the default printer.
        ::setenv("CUPS_SERVER", (r + "/cups.sock").c_str(), 1);
        ::unsetenv("PRINTER");
        ::unsetenv("LPDEST");
        const std::string admin = "/usr/sbin/lpadmin -p " + queue_ + " -E -v cups-pdf:/" + queue_ +
                                  " -P /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd -o pdftops-renderer-default=gs && "
                                  "/usr/sbin/lpadmin -d " + queue_;
        if (Run("(" + admin + ") >'" + r + "/log/lpadmin' 2>&1") != 0)
            throw std::runtime_error("lpadmin failed: " + ReadFile(root / "log/lpadmin"));
    }

    const std::string& Queue() const { return queue_; }
    fs::path Output() const { return root_.Path() / "out"; }
    std::string ErrorLog() const { return ReadFile(root_.Path() / "log/error_log"); }

private:
    // Declared in the order of making: what was made is undone also when the
    // constructor stops half way, the server first.
    RemovedAtEnd root_;
    std::string queue_;
    RemovedAtEnd pdfConf_;
    ChildProcess cupsd_;
};

class PrintQueue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0) {
            skip = "needs root (cupsd and the cups-pdf configuration)";
            return;
        }
        for (const char* need : {"/usr/sbin/cupsd", "/usr/sbin/lpadmin", "/usr/lib/cups/backend/cups-pdf",
                                 "/usr/lib/cups/filter/pdftopdf", "/usr/lib/cups/filter/pdftops",
                                 "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd", "/usr/bin/gs", "/usr/bin/pdftoppm"})
            if (!fs::exists(need)) {
                broken = std::string(need) + " is missing (scripts/setup installs it)";
                return;
            }
        RemoveLeftovers();
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
        for (const auto& e : fs::directory_iterator(server->Output())) fs::remove(e.path());
    }
    void TearDown() override
    {
        if (!dir.empty()) fs::remove_all(dir);
    }

    // The one PDF that the queue writes, once complete.
    fs::path WaitForOutput()
    {
        for (int i = 0; i < 600; ++i) {
            for (const auto& e : fs::directory_iterator(server->Output())) {
                const std::string b = ReadFile(e.path());
                if (b.size() > 100 && b.find("%%EOF") != std::string::npos) {
                    if (const char* keep = std::getenv("CLB_KEEP_PDF")) fs::copy_file(e.path(), keep, fs::copy_options::overwrite_existing);
                    return e.path();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no PDF out of the queue; " << server->ErrorLog();
        return {};
    }

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
    EXPECT_EQ(PageCount(queued), 1);

    // The direct PDF has line i's top-left corner at (200, 150 + 100 i) dots:
    // line 1 at 150, line 32 at 3250.
    const std::vector<Word> words = ReadWords(dir / "direct.pdf");
    constexpr double dot = 25.4 / PrintDotsPerInch;
    for (int line : {1, 2, 31, 32}) {
        const std::string label = "line " + std::to_string(line);
        const auto w = std::find_if(words.begin(), words.end(), [&](const Word& w) {
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
    EXPECT_EQ(PageCount(queued), 2) << "a page per meter";

    // Every text of the direct PDF starts at its millimetres...
    const std::vector<Word> words = ReadWords(dir / "direct.pdf");
    int texts = 0;
    for (size_t p = 0; p < sheets.Pages.size(); ++p)
        for (const SheetText& t : sheets.Pages[p].Texts) {
            const std::string first = t.Text.substr(0, t.Text.find(' '));
            if (first.empty()) continue;
            ++texts;
            const bool at = std::any_of(words.begin(), words.end(), [&](const Word& w) {
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
