// Read-out of a two-slot configuration at 9600 baud against the simulator
// pacing its replies at the baud rate. Prints the ratio of the read-out's time
// to the time its bytes (requests and replies, 10 bits a byte) need on the
// wire. The wire alone is 1.0; the bound is 1.10.
#include "ClbTool.h"
#include "MeterSimProcess.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv)
{
    const std::string scenarioPath = argc > 1 && *argv[1] ? argv[1] : std::string(CLB_SOURCE_DIR "/tests/data/demo-two-meters.json");
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::ifstream f(scenarioPath);
    std::stringstream text;
    text << f.rdbuf();

    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
        MeterSimProcess sim(text.str(), MeterSimOptions{9600, true});
        std::ostringstream out, err;
        const auto t0 = std::chrono::steady_clock::now();
        const int status = RunClbTool({"--port", sim.DevicePath(), "--baud", "9600", "--slot", "1:1:1", "--slot",
                                       "5:2:2", "--timeouts", "100,300,3", "read"},
                                      out, err);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (status != 0) {
            std::cerr << "read-out failed:\n" << err.str();
            return 1;
        }
        // Bytes on the wire: every request the meters received and every reply they sent.
        std::size_t bytes = 0, replyBytes = 0;
        for (const auto& line : sim.LogLines()) {
            std::istringstream l(line);
            std::string time, kind, who;
            l >> time >> kind >> who;
            if (kind != "RX" && kind != "TX") continue;
            std::string tok;
            while (l >> tok && tok != "#") {
                ++bytes;
                if (kind == "TX") ++replyBytes;
            }
        }
        const double wire = bytes * 10.0 / 9600.0;
        const double ratio = elapsed / wire;
        best = std::min(best, ratio);
        // The simulator paces both directions: a reply starts once its request
        // would have crossed the line, and leaves byte by byte at the baud rate.
        std::printf("run %d: %zu bytes (%zu in replies), wire %.3f s, read-out %.3f s, ratio %.3f\n", run + 1, bytes,
                    replyBytes, wire, elapsed, ratio);
    }
    std::printf("read-out / wire time: %.3f (bound 1.10) %s\n", best, best <= 1.10 ? "within" : "ABOVE");
    return 0;
}
