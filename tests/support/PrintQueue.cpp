#include "PrintQueue.h"

#include "PdfWords.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
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
    std::optional<PaperBox> Ink(const PaperBox& window) const
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
        return PaperBox{mm(left), mm(top), mm(right), mm(bottom)};
    }

private:
    int width_ = 0, height_ = 0;
    std::string grey_;
};

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

// Variables of the environment given back as they were when this goes.
class SavedEnvironment {
public:
    explicit SavedEnvironment(std::vector<std::string> names) : names_(std::move(names))
    {
        for (const std::string& n : names_) {
            const char* v = std::getenv(n.c_str());
            values_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;
    ~SavedEnvironment()
    {
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (values_[i]) ::setenv(names_[i].c_str(), values_[i]->c_str(), 1);
            else ::unsetenv(names_[i].c_str());
    }

private:
    std::vector<std::string> names_;
    std::vector<std::optional<std::string>> values_;
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

} // namespace

std::vector<PaperWord> ReadPaperWords(const fs::path& pdf)
{
    std::vector<PdfWord> read;
    EXPECT_TRUE(ReadPdfWords(pdf, read)) << "pdftotext -bbox failed";
    std::vector<PaperWord> words;
    constexpr double mm = 25.4 / 72;
    for (const PdfWord& w : read)
        words.push_back({w.Page, {w.XMin * mm, w.YMin * mm, w.XMax * mm, w.YMax * mm}, w.Text});
    return words;
}

int PdfPageCount(const fs::path& pdf)
{
    const fs::path info = pdf.string() + ".info";
    if (Run("pdfinfo '" + pdf.string() + "' >'" + info.string() + "'") != 0) return -1;
    std::smatch m;
    const std::string text = ReadFile(info);
    return std::regex_search(text, m, std::regex(R"(Pages:\s*(\d+))")) ? std::stoi(m[1]) : -1;
}

void ExpectSameInk(const fs::path& direct, const fs::path& queued, const std::vector<PaperWord>& words, int pages)
{
    double largest = 0;
    for (int page = 1; page <= pages; ++page) {
        const Raster a(direct, page), b(queued, page);
        int compared = 0;
        for (const PaperWord& w : words) {
            if (w.page != page) continue;
            const PaperBox window{w.box.left - 1, w.box.top - 1, w.box.right + 1, w.box.bottom + 1};
            const std::optional<PaperBox> want = a.Ink(window), got = b.Ink(window);
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

struct CupsServer::Parts {
    Parts()
        : environment_({"CUPS_SERVER", "PRINTER", "LPDEST"}),
          root_(fs::temp_directory_path() / ("clb-cups-" + std::to_string(::getpid()))),
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

    // Declared in the order of making: what was made is undone also when the
    // constructor stops half way, the server first, the variables last.
    SavedEnvironment environment_;
    RemovedAtEnd root_;
    std::string queue_;
    RemovedAtEnd pdfConf_;
    ChildProcess cupsd_;
};

CupsServer::CupsServer() : parts_(std::make_unique<Parts>()) {}
CupsServer::~CupsServer() = default;

const std::string& CupsServer::Queue() const
{
    return parts_->queue_;
}

fs::path CupsServer::Output() const
{
    return parts_->root_.Path() / "out";
}

std::string CupsServer::ErrorLog() const
{
    return ReadFile(parts_->root_.Path() / "log/error_log");
}

void CupsServer::ClearOutput() const
{
    for (const auto& e : fs::directory_iterator(Output())) fs::remove(e.path());
}

fs::path CupsServer::WaitForOutput() const
{
    for (int i = 0; i < 600; ++i) {
        for (const auto& e : fs::directory_iterator(Output())) {
            const std::string b = ReadFile(e.path());
            if (b.size() > 100 && b.find("%%EOF") != std::string::npos) {
                if (const char* keep = std::getenv("CLB_KEEP_PDF"))
                    fs::copy_file(e.path(), keep, fs::copy_options::overwrite_existing);
                return e.path();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "no PDF out of the queue; " << ErrorLog();
    return {};
}

void CupsServer::Check(std::string& skip, std::string& broken)
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
}
