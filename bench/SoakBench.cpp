// Soak: the poller reads two meters on the simulator (pacing at 9600 baud) for
// a long time, as on a calibration bench left connected all day. Prints, each
// with its bound, the resident memory and the open descriptors at the start
// and at the end, and the CPU time per polling cycle over the first and the
// last minute; exits 1 when a bound is missed.
//
//   bench_soak [SECONDS [SCENARIO]]      default 600 s, tests/data/demo-two-meters.json
//
// "Start" is taken once the poller has finished its first cycle, so that what
// a connection sets up once is not counted as growth.
#include "ClbThread.h"
#include "DevManager.h"
#include "MeterSimProcess.h"
#include "Connection.h"
#include "RecordingHost.h"
#include "Slots.h"
#include "UlvComPort.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

long ResidentKb()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int OpenDescriptors()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - 1; // the descriptor of the listing itself
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Sample {
    double Cpu;
    std::uint64_t Cycles;
};

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    if (seconds < 2) {
        std::cerr << "usage: bench_soak [SECONDS [SCENARIO]]   (SECONDS at least 2)\n";
        return 2;
    }
    const std::string scenarioPath =
        argc > 2 && *argv[2] ? argv[2] : std::string(CLB_SOURCE_DIR "/tests/data/demo-two-meters.json");
    std::ifstream f(scenarioPath);
    std::stringstream text;
    text << f.rdbuf();
    // A minute at each end, or half the run when it is shorter than two minutes.
    const auto window = std::chrono::seconds(std::min(60, seconds / 2));

    MeterSimOptions options;
    options.baud = 9600;
    options.pacing = true;
    options.log = false; // a log would only grow the simulator's folder
    MeterSimProcess sim(text.str(), options);

    DevManager dev;
    dev.Slots[0] = MakeSlot(1, 1, 1);
    dev.Slots[1] = MakeSlot(5, 2, 2);
    TulvComPort port;
    dev.CreateDrivers(port, TimeoutProfile{100, 300, 3});
    RecordingHost host;
    host.SystemTextsInRussian = true;
    TClbThread poller(dev, host);
    Connection connection(dev, port, poller, host);
    PortChoice choice;
    choice.Number = 0;
    choice.Path = sim.DevicePath();
    choice.Baud = 9600;
    if (!connection.BConnectClick(choice)) {
        std::cerr << "connecting failed:\n" << host.Transcript();
        return 1;
    }
    while (poller.Cycles() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const long rssStart = ResidentKb();
    const int fdStart = OpenDescriptors();
    const auto t0 = std::chrono::steady_clock::now();
    auto sample = [&] { return Sample{CpuSeconds(), poller.Cycles()}; };
    const Sample s0 = sample();
    std::this_thread::sleep_until(t0 + window);
    const Sample s1 = sample();
    std::this_thread::sleep_until(t0 + std::chrono::seconds(seconds) - window);
    const Sample s2 = sample();
    std::this_thread::sleep_until(t0 + std::chrono::seconds(seconds));
    const Sample s3 = sample();
    const long rssEnd = ResidentKb();
    const int fdEnd = OpenDescriptors();
    const bool flowsOk = poller.FlowOk(1) && poller.FlowOk(2);
    connection.BDisconnectClick();

    const double firstMs = s1.Cycles > s0.Cycles ? (s1.Cpu - s0.Cpu) * 1000.0 / double(s1.Cycles - s0.Cycles) : -1;
    const double lastMs = s3.Cycles > s2.Cycles ? (s3.Cpu - s2.Cpu) * 1000.0 / double(s3.Cycles - s2.Cycles) : -1;
    // Flat: the last minute's cost of a cycle at most a quarter above the first
    // minute's, with 0.05 ms of room for the scheduler's noise.
    const double cpuBound = firstMs * 1.25 + 0.05;

    const bool memoryOk = rssStart > 0 && rssEnd - rssStart < 1024;
    const bool fdOk = fdStart >= 0 && fdEnd == fdStart;
    const bool cpuOk = firstMs > 0 && lastMs > 0 && lastMs <= cpuBound;
    auto verdict = [](bool ok) { return ok ? "within" : "ABOVE"; };

    std::printf("soak: %d s, %llu polling cycles of two meters at 9600 baud, flows %s at the end\n", seconds,
                static_cast<unsigned long long>(s3.Cycles - s0.Cycles), flowsOk ? "ok" : "FAILING");
    std::printf("resident memory: start %ld kB, end %ld kB, growth %ld kB (bound < 1024 kB) %s\n", rssStart, rssEnd,
                rssEnd - rssStart, verdict(memoryOk));
    std::printf("open descriptors: start %d, end %d (bound: unchanged) %s\n", fdStart, fdEnd, verdict(fdOk));
    std::printf("CPU per cycle: first %lld s %.3f ms over %llu cycles, last %lld s %.3f ms over %llu cycles "
                "(bound: last <= %.3f ms) %s\n",
                static_cast<long long>(window.count()), firstMs, static_cast<unsigned long long>(s1.Cycles - s0.Cycles),
                static_cast<long long>(window.count()), lastMs, static_cast<unsigned long long>(s3.Cycles - s2.Cycles),
                cpuBound, verdict(cpuOk));
    if (!host.Messages().empty()) std::printf("messages:\n%s", host.Transcript().c_str());
    return memoryOk && fdOk && cpuOk && flowsOk ? 0 : 1;
}
