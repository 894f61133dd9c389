#include "MeterSimProcess.h"

#include "TestFiles.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStopTimeout = 5s;
constexpr auto kSignalTimeout = 5s;

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string DefaultExecutable() {
#ifdef METERSIM_PATH
    return METERSIM_PATH;
#else
    return {};
#endif
}

// Async-signal-safe, for the child between fork and exec.
void CloseDescriptorsFrom(int first) {
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
    rlimit limit{};
    const rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? std::min<rlim_t>(limit.rlim_cur, 65536)
                            : 65536;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd)
        ::close(static_cast<int>(fd));
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

MeterSimProcess::MeterSimProcess(const nlohmann::json& scenario, MeterSimOptions options)
    : options_(std::move(options)) {
    Start(scenario.dump(2));
}

MeterSimProcess::MeterSimProcess(const std::string& scenarioText, MeterSimOptions options)
    : options_(std::move(options)) {
    Start(scenarioText);
}

MeterSimProcess::MeterSimProcess(const char* scenarioText, MeterSimOptions options)
    : MeterSimProcess(std::string(scenarioText), std::move(options)) {}

MeterSimProcess::~MeterSimProcess() {
    Stop();
    const std::string err = ErrorOutput();
    if (!err.empty()) std::cerr << "metersim said:\n" << err;
    Cleanup();
}

void MeterSimProcess::Start(const std::string& scenarioText) {
    // A constructor that throws gets no destructor: whatever was started is ended here.
    try {
        Launch(scenarioText);
    } catch (...) {
        Stop();
        Cleanup();
        throw;
    }
}

void MeterSimProcess::Launch(const std::string& scenarioText) {
    executable_ = options_.executable.empty() ? DefaultExecutable() : options_.executable;
    const std::string& exe = executable_;
    if (exe.empty())
        throw std::runtime_error("MeterSimProcess: no metersim path given and METERSIM_PATH not set");

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/metersim-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("MeterSimProcess: mkdtemp: " + std::string(std::strerror(errno)));
    folder_ = pattern;
    link_ = folder_ + "/line";
    logPath_ = folder_ + "/frames.log";
    dumpPath_ = folder_ + "/dump.json";
    errPath_ = folder_ + "/stderr.txt";
    const std::string scenarioPath = folder_ + "/scenario.json";
    {
        std::ofstream out(scenarioPath, std::ios::binary);
        out << scenarioText;
        if (!out) Fail("cannot write " + scenarioPath);
    }

    std::vector<std::string> args = {exe, "--scenario", scenarioPath, "--link", link_, "--dump", dumpPath_};
    if (options_.log) args.insert(args.end(), {"--log", logPath_});
    if (options_.baud) args.insert(args.end(), {"--baud", std::to_string(options_.baud)});
    if (options_.pacing) args.push_back("--pacing");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) Fail("pipe2: " + std::string(std::strerror(errno)));
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
        ::close(out[0]);
        ::close(out[1]);
        Fail("cannot create " + errPath_);
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        dup2(out[1], STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Nothing else of the test goes along: an inherited descriptor of a port that the test has
        // opened and locked would keep the lock alive after the test closes the port.
        CloseDescriptorsFrom(3);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const int forkErrno = errno;
    ::close(out[1]);
    ::close(err);
    stdout_ = out[0];
    if (pid_ < 0) {
        ::close(stdout_);
        stdout_ = -1;
        Fail("fork: " + std::string(std::strerror(forkErrno)));
    }
    const std::string line = ReadLine(options_.startTimeout, "READY");
    if (line != "READY " + link_) Fail("unexpected first line from metersim: \"" + line + "\"");
    plugged_ = true;
}

std::string MeterSimProcess::ReadLine(std::chrono::milliseconds timeout, const char* waitingFor) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto nl = pendingOut_.find('\n'); nl != std::string::npos) {
            std::string line = pendingOut_.substr(0, nl);
            pendingOut_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            Fail(std::string("no ") + waitingFor + " from metersim within " +
                 std::to_string(timeout.count()) + " ms");
        pollfd pfd{stdout_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) Fail("poll: " + std::string(std::strerror(errno)));
        if (r <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(stdout_, buf, sizeof buf);
        if (n > 0) {
            pendingOut_.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            exitStatus_ = DecodeStatus(status);
            pid_ = -1;
            Fail(std::string("metersim ended with status ") + std::to_string(exitStatus_) +
                 (exitStatus_ == 127 ? " (could not run " + executable_ + ")" : std::string()) +
                 " while waiting for " + waitingFor);
        }
    }
}

void MeterSimProcess::Fail(const std::string& what) {
    std::string message = "MeterSimProcess: " + what;
    if (const std::string err = ErrorOutput(); !err.empty()) message += "\nmetersim said:\n" + err;
    throw std::runtime_error(message);
}

std::string MeterSimProcess::ErrorOutput() const {
    return errPath_.empty() ? std::string() : ReadFile(errPath_);
}

nlohmann::json MeterSimProcess::Dump() {
    if (pid_ <= 0) Fail("Dump: metersim is not running");
    // The simulator renames a complete file into place, so the file's reappearance means done.
    std::remove(dumpPath_.c_str());
    ::kill(pid_, SIGUSR1);
    const auto deadline = Clock::now() + kSignalTimeout;
    while (!PathExists(dumpPath_)) {
        if (Clock::now() > deadline) Fail("no dump within 5 s of SIGUSR1");
        std::this_thread::sleep_for(2ms);
    }
    return nlohmann::json::parse(ReadFile(dumpPath_));
}

nlohmann::json MeterSimProcess::FinalDump() const {
    if (!PathExists(dumpPath_)) throw std::runtime_error("MeterSimProcess: no dump file at " + dumpPath_);
    return nlohmann::json::parse(ReadFile(dumpPath_));
}

std::vector<std::string> MeterSimProcess::LogLines() const {
    std::vector<std::string> lines;
    if (!options_.log) return lines;
    const std::string text = ReadFile(logPath_);
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines; // a line still being written (no newline yet) is left out
}

void MeterSimProcess::Unplug() {
    if (pid_ <= 0 || !plugged_) Fail("Unplug: the line is not plugged in");
    ::kill(pid_, SIGUSR2);
    const auto deadline = Clock::now() + kSignalTimeout;
    while (PathExists(link_)) {
        if (Clock::now() > deadline) Fail("the link did not go within 5 s of unplugging");
        std::this_thread::sleep_for(2ms);
    }
    plugged_ = false;
}

void MeterSimProcess::Replug() {
    // An "unplug" fault unplugs the line from inside the simulator: the link is gone then.
    if (pid_ <= 0 || (plugged_ && PathExists(link_))) Fail("Replug: the line is not unplugged");
    ::kill(pid_, SIGUSR2);
    const std::string line =
        ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kSignalTimeout), "READY after replug");
    if (line != "READY " + link_) Fail("unexpected line from metersim after replug: \"" + line + "\"");
    plugged_ = true;
}

int MeterSimProcess::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kStopTimeout;
        int status = 0;
        pid_t r;
        while ((r = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        if (r == 0) {
            ::kill(pid_, SIGKILL);
            r = waitpid(pid_, &status, 0);
        }
        exitStatus_ = r == pid_ ? DecodeStatus(status) : -1;
        pid_ = -1;
        plugged_ = false;
    }
    if (stdout_ >= 0) {
        ::close(stdout_);
        stdout_ = -1;
    }
    return exitStatus_;
}

void MeterSimProcess::Cleanup() {
    if (folder_.empty()) return;
    KeepLog();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    folder_.clear();
    errPath_.clear();
}

// Opt-in for scripts/compare-frame-logs: with METERSIM_KEEP_LOGS naming a folder, every frame log
// is copied there when its simulator goes, named after the test program, the test that ran (the
// gtest filter ctest gives each test) and the simulator's number within that test.
void MeterSimProcess::KeepLog() const {
    const char* keep = std::getenv("METERSIM_KEEP_LOGS");
    if (!keep || !*keep || !options_.log) return;
    static int counter = 0;
    std::string test;
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    for (std::string arg; std::getline(cmdline, arg, '\0');)
        if (arg.rfind("--gtest_filter=", 0) == 0) test = arg.substr(15);
    for (char& c : test)
        if (c == '/' || c == '*' || c == ':') c = '_';
    const std::string name = std::string(program_invocation_short_name) + "." + (test.empty() ? "all" : test) + "." +
                             std::to_string(++counter) + ".log";
    std::error_code ec;
    std::filesystem::create_directories(keep, ec);
    std::filesystem::copy_file(logPath_, std::filesystem::path(keep) / name,
                               std::filesystem::copy_options::overwrite_existing, ec);
}

namespace {

std::uint32_t MeterAddress(const nlohmann::json& meter) {
    return meter.contains("serial") ? meter.at("serial").get<std::uint32_t>() : meter.at("address").get<std::uint32_t>();
}

std::vector<std::uint8_t> AreaBytes(const nlohmann::json& meter, const std::string& area, std::uint32_t addr,
                                    std::size_t count) {
    const auto it = meter.at("areas").find(area);
    if (it == meter.at("areas").end())
        throw std::out_of_range("DumpBytes: the " + meter.at("protocol").get<std::string>() + " meter " +
                                std::to_string(MeterAddress(meter)) + " has no area " + area);
    const std::uint64_t unit = it->contains("unit") ? it->at("unit").get<std::uint64_t>() : 1;
    const std::uint64_t size = it->at("size").get<std::uint64_t>() * unit;
    const std::uint64_t first = std::uint64_t{addr} * unit;
    if (first > size || count > size - first) throw std::out_of_range("DumpBytes: range past the end of " + area);
    const auto fill = static_cast<std::uint8_t>(std::stoul(it->at("fill").get<std::string>(), nullptr, 16));
    std::vector<std::uint8_t> out(count, fill);
    for (const auto& run : it->at("runs")) {
        const std::uint64_t start = run.at("addr").get<std::uint64_t>() * unit;
        const std::string hex = run.at("hex").get<std::string>();
        for (std::size_t i = 0; 2 * i + 1 < hex.size(); ++i) {
            const std::uint64_t at = start + i;
            if (at < first || at >= first + count) continue;
            out[at - first] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        }
    }
    return out;
}

} // namespace

const nlohmann::json& DumpMeter(const nlohmann::json& dump, const std::string& protocol, std::uint32_t address) {
    for (const auto& meter : dump.at("meters"))
        if (meter.at("protocol") == protocol && MeterAddress(meter) == address) return meter;
    throw std::out_of_range("DumpMeter: no " + protocol + " meter at " + std::to_string(address));
}

std::vector<std::uint8_t> DumpBytes(const nlohmann::json& dump, const std::string& protocol, std::uint32_t address,
                                    const std::string& area, std::uint32_t addr, std::size_t count) {
    return AreaBytes(DumpMeter(dump, protocol, address), area, addr, count);
}

std::vector<std::uint8_t> DumpBytes(const nlohmann::json& dump, int meterAddress, const std::string& area,
                                    std::uint32_t addr, std::size_t count) {
    const nlohmann::json* found = nullptr;
    for (const auto& meter : dump.at("meters")) {
        if (meterAddress < 0 || MeterAddress(meter) != static_cast<std::uint32_t>(meterAddress)) continue;
        if (found)
            throw std::out_of_range("DumpBytes: meters of several protocols at address " +
                                    std::to_string(meterAddress) + "; name the protocol");
        found = &meter;
    }
    if (!found) throw std::out_of_range("DumpBytes: no meter at address " + std::to_string(meterAddress));
    return AreaBytes(*found, area, addr, count);
}

std::map<std::string, std::map<std::uint64_t, std::string>> MeterMemory(const nlohmann::json& meter)
{
    std::map<std::string, std::map<std::uint64_t, std::string>> out;
    for (const auto& [area, a] : meter["areas"].items()) {
        auto& bytes = out[area];
        const std::uint64_t unit = a.value("unit", 1);
        for (const auto& run : a["runs"]) {
            const std::string hex = run["hex"];
            const std::uint64_t at = run["addr"].get<std::uint64_t>() * unit;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
                const std::string b = hex.substr(i, 2);
                if (b != a["fill"].get<std::string>()) bytes[at + i / 2] = b;
            }
        }
    }
    return out;
}
