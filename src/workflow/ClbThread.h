// The polling thread: while connected it reads each enabled slot's live value,
// turns it into a flow with the slot's coefficients and shows it.
//
// The serial port and the drivers are used by one thread at a time: the main
// thread uses them only while the poller is paused and not busy. The command
// state, the busy flag and the live values are atomics.
#pragma once

#include "DevManager.h"
#include "Host.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>

// The flow of a code-1 meter from its raw reading G: the calibration curve
// through the points (K[j+2], Obr[j+2]), extrapolated towards (2, 2) above the
// last point, scaled by Gmax.
float CalibrationCurveFlow(float G, const CoefficientSet& c);

// The flow that a reading G stands for, per type code.
float FlowFromReading(std::uint8_t typeCode, float G, const CoefficientSet& c);

class TClbThread {
public:
    enum State : std::uint8_t { Run = 0, Pause = 1, Stop = 2 };

    // Starts the worker; it parks itself paused.
    TClbThread(DevManager& dev, Host& host);
    // Tells the worker to stop and waits for it.
    ~TClbThread();
    TClbThread(const TClbThread&) = delete;
    TClbThread& operator=(const TClbThread&) = delete;

    void SetState(std::uint8_t state); // values above 2 are ignored
    std::uint8_t GetState() const { return FPollState.load(); }
    bool IsBusy() const { return FBusy.load(); }

    // The last flow of a slot and whether its last poll succeeded.
    float CurrentFlow(int slot) const { return FCurrentFlow.at(static_cast<std::size_t>(slot - 1)).load(); }
    bool FlowOk(int slot) const { return FFlowOk.at(static_cast<std::size_t>(slot - 1)).load(); }
    // Completed polling cycles (for the command-line front and tests).
    std::uint64_t Cycles() const { return FCycles.load(); }

    // Waits until the worker is outside a slot's reads: sleeps of 50 ms, at most
    // maxSleeps of them, and then on for as long as it is still inside one (its
    // own timeouts bound that), so that the port is never used by two threads.
    void WaitNotBusy(int maxSleeps);

    // Shows the flow of a slot (main thread).
    void ShowFlow(int slot);

private:
    void Body();
    void PollSlot(int n);
    // True when slot n's port is closed or gone; then polling is paused (and the
    // user told once that the port was lost).
    bool PortGone(int n);

    DevManager& FDev;
    Host& FHost;
    std::atomic<std::uint8_t> FPollState{Pause};
    std::atomic<bool> FBusy{false};
    std::array<std::atomic<float>, 2> FCurrentFlow{};
    std::array<std::atomic<bool>, 2> FFlowOk{};
    std::atomic<std::uint64_t> FCycles{0};
    std::thread FThread;
};

// Around any other use of the port while connected: pause the poller (when it
// runs) and wait until it is outside its reads; afterwards give it back the
// state it had.
class PausePolling {
public:
    explicit PausePolling(TClbThread& poller);
    ~PausePolling(); // RestorePolling
    PausePolling(const PausePolling&) = delete;
    PausePolling& operator=(const PausePolling&) = delete;

private:
    TClbThread& FPoller;
    std::uint8_t FSaved;
};
