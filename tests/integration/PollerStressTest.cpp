// The poller and the main thread sharing one port, many times over: the main
// thread pauses the running poller (PausePolling), sometimes makes a
// transaction of its own on the port while it holds the pause, and lets the
// poller go on; the pause lands at every point of the poller's cycle, inside
// its transactions too. Built with ThreadSanitizer this finds data races; a
// watchdog turns a deadlock into a failure with a message instead of a hang;
// the simulator's frame log shows whether two threads ever wrote into one
// frame.
//
// CLB_STRESS_CYCLES sets the number of cycles (by default 10,000 in the
// ThreadSanitizer build, where races are looked for, and 1,000 elsewhere). PausePolling
// waits in 50 ms steps, which would make 10,000 cycles take more than eight
// minutes; so every fiftieth cycle pauses through it, and the others make the
// same handshake directly (state Pause, then wait until the poller is not
// busy) without the fixed steps.
#include "ClbThread.h"
#include "DevManager.h"
#include "MeterSimProcess.h"
#include "Connection.h"
#include "RecordingHost.h"
#include "Slots.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <optional>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

json Kvt64(int address)
{
    return {{"address", address},
            {"protocol", "6x"},
            {"model", "kvt64"},
            {"texts", {{"id", "KVT-64"}, {"version", "V3.011"}}},
            {"factory_number", 12064000 + address},
            {"gmax", {2.5, 16.0}},
            {"live", {{"G", {0.25, 0.5}}}}};
}

DeviceSlot Slot(int address)
{
    return MakeSlot(1, address, 1);
}

int CyclesWanted()
{
    const char* v = std::getenv("CLB_STRESS_CYCLES");
    const int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : CLB_STRESS_DEFAULT_CYCLES;
}

// Fails the test, with what it was doing, when the progress counter stands
// still for a minute: a deadlock ends the run instead of hanging it.
class Watchdog {
public:
    Watchdog(std::atomic<std::uint64_t>& progress, std::function<std::string()> describe)
        : FProgress(progress), FDescribe(std::move(describe)), FThread([this] { Run(); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FDone = true;
        }
        FWake.notify_all();
        FThread.join();
    }

private:
    void Run()
    {
        std::uint64_t last = FProgress.load();
        auto since = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(FMutex);
        while (!FWake.wait_for(lock, 1s, [this] { return FDone; })) {
            const std::uint64_t now = FProgress.load();
            if (now != last) {
                last = now;
                since = std::chrono::steady_clock::now();
                continue;
            }
            if (std::chrono::steady_clock::now() - since < 60s) continue;
            std::fprintf(stderr,
                         "PollerStress: no progress for 60 s, the poller or the main thread is stuck: %s\n",
                         FDescribe().c_str());
            std::fflush(stderr);
            std::_Exit(1);
        }
    }
    std::atomic<std::uint64_t>& FProgress;
    std::function<std::string()> FDescribe;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FDone = false;
    std::thread FThread;
};

TEST(PollerStress, PauseAndResumeWithTransactionsOfTheMainThread)
{
    MeterSimProcess sim(json{{"meters", {Kvt64(1), Kvt64(2)}}});
    DevManager dev;
    dev.Slots[0] = Slot(1);
    dev.Slots[1] = Slot(2);
    TulvComPort port;
    dev.CreateDrivers(port, TimeoutProfile{50, 150, 1});
    RecordingHost host;
    TClbThread poller(dev, host);
    Connection connection(dev, port, poller, host);
    PortChoice choice;
    choice.Number = 0;
    choice.Path = sim.DevicePath();
    choice.Baud = 9600;
    ASSERT_TRUE(connection.BConnectClick(choice)) << host.Transcript();
    ASSERT_EQ(poller.GetState(), TClbThread::Run);

    const int cycles = CyclesWanted();
    std::atomic<std::uint64_t> progress{0};
    int cycle = 0;
    Watchdog watchdog(progress, [&] {
        return "cycle " + std::to_string(progress.load()) + " of " + std::to_string(cycles) + ", poller state " +
               std::to_string(poller.GetState()) + ", busy " + std::to_string(poller.IsBusy()) + ", poller cycles " +
               std::to_string(poller.Cycles());
    });

    std::uint32_t seed = 12345;
    auto random = [&](std::uint32_t below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % below;
    };
    int pausedWhileBusy = 0, ownTransactions = 0;
    for (cycle = 0; cycle < cycles; ++cycle) {
        // Where in the poller's cycle the pause lands.
        switch (cycle % 20 == 5 ? 3 : random(3)) {
        case 0: break; // at once after the resume
        case 1: std::this_thread::sleep_for(std::chrono::milliseconds(random(10))); break;
        case 2: std::this_thread::sleep_for(std::chrono::microseconds(random(2000))); break;
        default: {
            // Inside a transaction of the poller.
            const auto until = std::chrono::steady_clock::now() + 300ms;
            while (!poller.IsBusy() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(200us);
            break;
        }
        }
        if (poller.IsBusy()) ++pausedWhileBusy;
        {
            std::optional<PausePolling> pause;
            if (cycle % 50 == 0) {
                pause.emplace(poller);
            } else {
                poller.SetState(TClbThread::Pause);
                while (poller.IsBusy()) std::this_thread::sleep_for(100us);
            }
            if (poller.GetState() != TClbThread::Pause || poller.IsBusy()) {
                ADD_FAILURE() << "cycle " << cycle << ": the poller is not paused and idle (state "
                              << int(poller.GetState()) << ", busy " << poller.IsBusy() << ")";
                break;
            }
            if (random(5) == 0) {
                // The main thread's own use of the port, as writing coefficients does.
                auto& d = *std::get<1>(dev.Driver(1 + static_cast<int>(random(2))));
                std::uint8_t b[4];
                d.ReadRtc2k(0x0700, b, 4);
                ++ownTransactions;
                if (d.LastError() != 0) {
                    ADD_FAILURE() << "cycle " << cycle << ": the main thread's transaction failed with "
                                  << d.LastError();
                    break;
                }
                if (poller.IsBusy()) {
                    ADD_FAILURE() << "cycle " << cycle << ": the poller started while paused";
                    break;
                }
            }
            if (!pause) poller.SetState(TClbThread::Run);
        }
        if (poller.GetState() != TClbThread::Run) {
            ADD_FAILURE() << "cycle " << cycle << ": the poller was not given back its running state";
            break;
        }
        progress.fetch_add(1);
    }
    RecordProperty("Cycles", cycle);
    RecordProperty("PausedWhileBusy", pausedWhileBusy);
    RecordProperty("OwnTransactions", ownTransactions);
    EXPECT_EQ(cycle, cycles);
    EXPECT_GT(pausedWhileBusy, 0) << "no pause landed inside a transaction of the poller";
    EXPECT_GT(ownTransactions, 0);

    // The poller still polls both meters.
    const auto before = poller.Cycles();
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (poller.Cycles() < before + 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(poller.Cycles(), before + 3) << "the poller stopped";
    EXPECT_TRUE(poller.FlowOk(1));
    EXPECT_TRUE(poller.FlowOk(2));
    connection.BDisconnectClick();
    EXPECT_TRUE(host.Messages().empty()) << host.Transcript();

    // Every frame the simulator saw was a well-formed request to one of its
    // meters, and each was answered: nothing interleaved on the line.
    int requests = 0, replies = 0, shown = 0;
    for (const std::string& line : sim.LogLines()) {
        std::istringstream in(line);
        std::string time, kind;
        in >> time >> kind;
        if (kind == "RX") {
            ++requests;
        } else if (kind == "TX") {
            ++replies;
        } else if (shown++ < 10) {
            ADD_FAILURE() << "frame log: " << line;
        }
    }
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(requests, replies);
    EXPECT_GT(requests, ownTransactions) << "the poller made no transactions";
    RecordProperty("Requests", requests);
}

} // namespace
