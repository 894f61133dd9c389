// Sampling of a calibration run on the simulated stand, paced at the baud
// rate: the meter under test alone (a reference typed in by hand) and the
// meter with a reference on the same line, read alternately, at 9600 and
// 19200 baud. Prints the samples per second and the same figure that the
// line allows: the frames that went out and came back (from the simulator's
// frame log, 10 bits a byte) divided into the time they need on the wire.
// The ratio is the share of the line the run uses; the bound is 0.80.
//
//   bench_calibration_sampling [SECONDS]
#include "ClbThread.h"
#include "Connection.h"
#include "FlowReference.h"
#include "FlowSampler.h"
#include "MeterSimProcess.h"
#include "ReadOut.h"
#include "RecordingHost.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The bytes of every frame of the log from line `from` on.
std::size_t WireBytes(const std::vector<std::string>& lines, std::size_t from)
{
    std::size_t bytes = 0;
    for (std::size_t i = from; i < lines.size(); ++i) {
        std::istringstream l(lines[i]);
        std::string time, kind, who, tok;
        l >> time >> kind >> who;
        if (kind != "RX" && kind != "TX") continue;
        while (l >> tok && tok != "#") ++bytes;
    }
    return bytes;
}

struct Figures {
    double samplesPerSecond = 0;
    double limit = 0;
};

Figures Measure(std::uint32_t baud, bool withReference, double seconds)
{
    const char* scenario = R"({"line": {"stand": {"schedule": [{"flow": 5.0, "hold_s": 1000, "noise_pct": 0.1}]}},
        "meters": [
          {"address": 3, "protocol": "6x", "model": "kvt78", "gmax": [10, 10],
           "stand": {"error": [[0.05, 4.0], [1.0, -1.5]], "noise_pct": 0.05}},
          {"address": 4, "protocol": "6x", "model": "kvt78", "gmax": [10, 10],
           "stand": {"reference": true, "noise_pct": 0.02}}]})";
    MeterSimProcess sim(std::string(scenario), MeterSimOptions{baud, true, true});
    RecordingHost host;
    DevManager dev;
    dev.Slot(1).SetTypeCode(6);
    dev.Slot(1).SetNetAddress(3);
    dev.Slot(1).SetChannel(1);
    TulvComPort port;
    PortChoice choice;
    choice.Number = 0;
    choice.Path = sim.DevicePath();
    choice.Baud = baud;
    SetUpPort(port, choice, false);
    if (!port.Open()) throw std::runtime_error("cannot open " + sim.DevicePath());
    const TimeoutProfile profile{50, 300, 2};
    dev.CreateDrivers(port, profile);
    if (!ReadOut(dev, host).ReadAllDevices()) throw std::runtime_error("the meter was not read out");
    DeviceSlot refSlot;
    refSlot.SetTypeCode(6);
    refSlot.SetNetAddress(4);
    refSlot.SetChannel(1);
    MeterReference reference(refSlot, port, profile, host);
    std::string error;
    if (!reference.Connect(error)) throw std::runtime_error("the reference was not read out: " + error);
    SlotMeter meter(dev, 1);

    const std::size_t from = sim.LogLines().size();
    std::size_t samples = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        MeterReading m;
        if (!meter.Read(m, error)) throw std::runtime_error("meter: " + error);
        ++samples;
        if (withReference) {
            double flow = 0;
            if (!reference.Read(flow, error)) throw std::runtime_error("reference: " + error);
            ++samples;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    port.Close();
    // The log is written as frames pass: give it a moment to catch up.
    sim.Stop();
    const std::size_t bytes = WireBytes(sim.LogLines(), from);
    const double wire = static_cast<double>(bytes) * 10.0 / baud;
    return {samples / elapsed, samples / wire};
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::stod(argv[1]) : 5.0;
    constexpr double Bound = 0.80;
    bool ok = true;
    std::printf("%-8s %-22s %14s %14s %8s\n", "baud", "meters", "samples/s", "line limit/s", "ratio");
    for (std::uint32_t baud : {9600u, 19200u}) {
        for (bool withReference : {false, true}) {
            const Figures f = Measure(baud, withReference, seconds);
            const double ratio = f.samplesPerSecond / f.limit;
            ok = ok && ratio >= Bound;
            std::printf("%-8u %-22s %14.1f %14.1f %8.3f\n", baud,
                        withReference ? "meter and reference" : "meter alone", f.samplesPerSecond, f.limit, ratio);
        }
    }
    std::printf("bound: at least %.2f of the line's limit: %s\n", Bound, ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
