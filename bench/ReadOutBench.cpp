// Read-out of a two-slot configuration (`clbtool read`) at 9600 and at 19200
// baud against the simulator pacing its replies at the baud rate. Prints the
// ratio of the read-out's time to the time its bytes (requests and replies,
// 10 bits a byte) need on the wire, and the same ratio for a minimal client
// that replays the very same frames on the same kind of line (write a request,
// read its reply, next): the difference is what the tool spends beyond the
// exchange itself. The wire alone is 1.0; the bound is 1.10.
//
// The read-out is timed twice: in this process (RunClbTool) and as the program
// itself, started, reading out and ended (clbtool of this build, or the one
// named by the environment variable CLBTOOL), which adds what a user waits for
// beyond the exchange: loading the program and its libraries. Each is also
// shown against the minimal client (the replay).
//
// With a TRACE file the read-out writes its traffic log there (the figures
// with and without it should not differ beyond the noise of the runs).
//
//   bench_readout [SCENARIO] [RUNS] [TRACE]
#include "ClbTool.h"
#include "MeterSimProcess.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Exchange {
    std::vector<std::uint8_t> request;
    std::size_t replyBytes = 0;
};

struct Traffic {
    std::size_t bytes = 0;
    std::size_t replyBytes = 0;
    std::vector<Exchange> exchanges;
};

// Every request the meters received and the length of the reply each got.
Traffic FromLog(const std::vector<std::string>& lines)
{
    Traffic t;
    for (const auto& line : lines) {
        std::istringstream l(line);
        std::string time, kind, who, tok;
        l >> time >> kind >> who;
        if (kind != "RX" && kind != "TX") continue;
        std::vector<std::uint8_t> bytes;
        while (l >> tok && tok != "#") bytes.push_back(static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16)));
        t.bytes += bytes.size();
        if (kind == "RX") {
            t.exchanges.push_back({bytes, 0});
        } else {
            t.replyBytes += bytes.size();
            if (!t.exchanges.empty()) t.exchanges.back().replyBytes += bytes.size();
        }
    }
    return t;
}

// The floor: a client that only writes each request and reads its reply.
double Replay(const std::string& scenario, std::uint32_t baud, const Traffic& traffic)
{
    MeterSimProcess sim(scenario, MeterSimOptions{baud, true, false});
    const int fd = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("cannot open " + sim.DevicePath());
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    const auto t0 = Clock::now();
    for (const auto& e : traffic.exchanges) {
        if (::write(fd, e.request.data(), e.request.size()) != static_cast<ssize_t>(e.request.size()))
            throw std::runtime_error("replay: write failed");
        std::size_t got = 0;
        while (got < e.replyBytes) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 2000) <= 0) throw std::runtime_error("replay: no reply");
            std::uint8_t buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(fd);
    return elapsed;
}

// The read-out as a process of its own: from its start to its end. Its output is discarded.
double RunAsProcess(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> all = args;
    all.insert(all.begin(), program);
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    const auto t0 = Clock::now();
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (failed != 0) throw std::runtime_error("cannot start " + program);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(program + ": the read-out failed");
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string scenarioPath =
        argc > 1 && *argv[1] ? argv[1] : std::string(CLB_SOURCE_DIR "/tests/data/demo-two-meters.json");
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string tracePath = argc > 3 ? argv[3] : "";
    std::ifstream f(scenarioPath);
    std::stringstream text;
    text << f.rdbuf();

    const char* named = std::getenv("CLBTOOL");
    const std::string program = named && *named ? named : CLBTOOL_PATH;
    bool within = true;
    for (const std::uint32_t baud : {9600u, 19200u}) {
        double best = 1e9, bestReplay = 1e9, bestProcess = 1e9, wire = 0;
        for (int run = 0; run < runs; ++run) {
            MeterSimProcess sim(text.str(), MeterSimOptions{baud, true});
            std::ostringstream out, err;
            const auto t0 = Clock::now();
            std::vector<std::string> args = {"--port",   sim.DevicePath(), "--baud",     std::to_string(baud),
                                             "--slot",   "1:1:1",          "--slot",     "5:2:2",
                                             "--timeouts", "100,300,3"};
            if (!tracePath.empty()) args.insert(args.end(), {"--trace", tracePath});
            args.push_back("read");
            const int status = RunClbTool(args, out, err);
            const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
            if (status != 0) {
                std::cerr << "read-out failed:\n" << err.str();
                return 1;
            }
            const Traffic traffic = FromLog(sim.LogLines());
            wire = static_cast<double>(traffic.bytes) * 10.0 / baud;
            const double replay = Replay(text.str(), baud, traffic);
            double process = 0;
            {
                MeterSimProcess own(text.str(), MeterSimOptions{baud, true, false});
                args[1] = own.DevicePath();
                process = RunAsProcess(program, args);
            }
            best = std::min(best, elapsed / wire);
            bestReplay = std::min(bestReplay, replay / wire);
            bestProcess = std::min(bestProcess, process / wire);
            // The simulator paces both directions: a reply starts once its request
            // would have crossed the line, and leaves byte by byte at the baud rate.
            std::printf("%5u baud, run %d: %zu bytes (%zu in replies) in %zu exchanges, wire %.3f s, "
                        "read-out %.3f s (%.3f), as a process %.3f s (%.3f), replay %.3f s (%.3f)\n",
                        baud, run + 1, traffic.bytes, traffic.replyBytes, traffic.exchanges.size(), wire, elapsed,
                        elapsed / wire, process, process / wire, replay, replay / wire);
        }
        const bool ok = best <= 1.10;
        within = within && ok;
        std::printf("%5u baud: read-out / wire time %.3f, replay %.3f, beyond the replay %.0f ms (bound 1.10) %s\n",
                    baud, best, bestReplay, (best - bestReplay) * wire * 1000.0, ok ? "within" : "ABOVE");
        std::printf("%5u baud: as a process / wire time %.3f, / replay %.3f, beyond the replay %.0f ms\n", baud,
                    bestProcess, bestProcess / bestReplay, (bestProcess - bestReplay) * wire * 1000.0);
    }
    return within ? 0 : 1;
}
