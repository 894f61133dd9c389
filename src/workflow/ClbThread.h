// The polling thread: while connected it reads each enabled slot's live value,
// turns it into a flow with the slot's coefficients and shows it.
//
// The serial port and the drivers are used by one thread at a time: the main
// thread uses them only while the poller is paused and not busy. The command
// state, the busy flag and the live values are atomics.
#pragma once

#include "DevManager.h"
#include "Host.h"
#include "UlvUtils.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <functional>
#include <thread>


// The flow of a code-1 meter from its raw reading G: the calibration curve
// through the points (K[j+2], Obr[j+2]), extrapolated towards (2, 2) above the
// last point, scaled by Gmax.
float CalibrationCurveFlow(float G, const CoefficientSet& c);

// The flow that a reading G stands for, per type code.
float FlowFromReading(std::uint8_t typeCode, float G, const CoefficientSet& c);

// One live reading of a slot as the poller takes it: the reading G, what the
// type's row reads after it (for its effect on Ok), and the flow G stands for.
// Ok is false for a slot that is not polled or has no driver.
struct LiveFlow {
    float G = 0;
    float Flow = 0;
    bool Ok = false;
};
LiveFlow ReadLiveFlow(SlotDriver& driver, const DeviceSlot& slot, const CoefficientSet& c);

class TClbThread {
public:
    enum State : std::uint8_t { Run = 0, Pause = 1, Stop = 2 };

    // Starts the worker; it parks itself paused. The hand-over waits of the
    // main thread (WaitNotBusy) run on handOverClock.
    TClbThread(DevManager& dev, Host& host, TulvClock& handOverClock = RealClock());
    // Tells the worker to stop and waits for it.
    ~TClbThread();
    TClbThread(const TClbThread&) = delete;
    TClbThread& operator=(const TClbThread&) = delete;

    // Values above 2 are ignored; once Stop is set, nothing leaves it.
    void SetState(std::uint8_t state);
    std::uint8_t GetState() const { return FPollState.load(); }
    bool IsBusy() const { return FBusy.load(); }

    // The last flow of a slot and whether its last poll succeeded.
    float CurrentFlow(int slot) const { return FCurrentFlow.at(static_cast<std::size_t>(slot - 1)).load(); }
    bool FlowOk(int slot) const { return FFlowOk.at(static_cast<std::size_t>(slot - 1)).load(); }
    // Completed polling cycles (for the command-line front and tests).
    std::uint64_t Cycles() const { return FCycles.load(); }

    // Waits until the worker is outside a slot's reads, after the caller set
    // Pause: at once when it is not inside them, else in sleeps of 50 ms, at most
    // maxSleeps of them, and then on while it is still inside (its transactions
    // end by their own timeouts), up to HandOverLimitMs from the start of the
    // wait. True when the worker is out: the caller may use the port. False when
    // it was still inside at the limit: the user has been told (through Host)
    // and the caller must leave the port alone.
    bool WaitNotBusy(int maxSleeps);
    static constexpr std::uint32_t HandOverLimitMs = 15000;
    // The message of a hand-over that ran out.
    static const char* const HandOverTimeoutText;

    // Whether the port of every slot with a driver is open and not lost (and
    // there is one): polling resumed over anything else would only fail.
    // Call it only while the worker is paused and not busy.
    bool LineUsable();

    // Shows the flow of a slot (main thread).
    void ShowFlow(int slot);

private:
    void Body();
    // Sleeps ms, ending early once done() holds (checked whenever the state
    // changes).
    template <class Pred> void Nap(std::uint32_t ms, Pred done);
    void PollSlot(int n);
    // True when slot n's port is closed or gone; then polling is paused (and the
    // user told once that the port was lost).
    bool PortGone(int n);

    DevManager& FDev;
    Host& FHost;
    TulvClock& FHandOverClock;
    std::mutex FWakeMutex;
    std::condition_variable FWake; // signalled at every state change
    std::atomic<std::uint8_t> FPollState{Pause};
    std::atomic<bool> FBusy{false};
    std::array<std::atomic<float>, 2> FCurrentFlow{};
    std::array<std::atomic<bool>, 2> FFlowOk{};
    std::atomic<std::uint64_t> FCycles{0};
    // Runs a display step on the main thread, unless the poller is stopping.
    void Step(const std::function<void()>& step);
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

// Around any other use of the port while connected: pause the poller (when it
// runs) and wait until it is outside its reads; afterwards give it back the
// state it had, except that a poller that was running stays paused when the
// port has been closed or lost meanwhile (connecting again starts it).
class PausePolling {
public:
    explicit PausePolling(TClbThread& poller);
    ~PausePolling(); // RestorePolling
    PausePolling(const PausePolling&) = delete;
    PausePolling& operator=(const PausePolling&) = delete;

    // False when the poller was still inside its reads when the wait ran out
    // (the user has been told): the port is not the caller's to use.
    bool Ready() const { return FReady; }

private:
    TClbThread& FPoller;
    std::uint8_t FSaved;
    bool FReady = true;
};
