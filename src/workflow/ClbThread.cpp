#include "ClbThread.h"

#include "MeterTypes.h"
#include "SlotBoxes.h"
#include "UlvUtils.h"

#include <chrono>
#include <cmath>

// --- Flow values --------------------------------------------------------------

float CalibrationCurveFlow(float G, const CoefficientSet& c)
{
    using R = long double;
    R f = (static_cast<R>(G) - c.K[0]) * c.K[1] / static_cast<R>(26214.0f);
    R s = 1;
    if (f < 0) {
        s = -1;
        f = -f;
    }
    auto x = [&](int j) { return static_cast<R>(c.K[j + 2]); };
    auto y = [&](int j) { return static_cast<R>(c.Obr[j + 2]); };
    for (int j = 0; j <= 6; ++j) {
        if (j == 0 && f <= x(0)) {
            f = f * y(0) / x(0);
            break;
        }
        if (x(j) < f && f <= x(j + 1)) {
            f = y(j) + (y(j + 1) - y(j)) * (f - x(j)) / (x(j + 1) - x(j));
            break;
        }
        if (j == 6 && f > x(7)) {
            f = y(7) + (2 - y(7)) * (f - x(7)) / (2 - x(7));
            break;
        }
    }
    return static_cast<float>(s * f * c.Gmax);
}

namespace {

constexpr int ErrorWordMask = 0x18; // bits 3 and 4 of the ultrasonic error word

} // namespace

float FlowFromReading(std::uint8_t typeCode, float G, const CoefficientSet& c)
{
    using R = long double;
    switch (MeterTypeOf(typeCode).Poll.Flow) {
    case FlowFormula::Curve: return CalibrationCurveFlow(G, c);
    case FlowFormula::TimesGmax: return static_cast<float>(static_cast<R>(G) * c.Gmax);
    case FlowFormula::ZeroGain: return static_cast<float>(c.K[1] * ((static_cast<R>(G) - c.K[0]) * c.Gmax));
    default: return G;
    }
}

// --- The worker -----------------------------------------------------------------

const char* const TClbThread::HandOverTimeoutText =
    "Опрос приборов не завершил обмен с прибором за 15 с, и порт остаётся за ним: действие не выполнено. "
    "Повторите его, когда обмен закончится.";

TClbThread::TClbThread(DevManager& dev, Host& host, TulvClock& handOverClock)
    : FDev(dev), FHost(host), FHandOverClock(handOverClock)
{
    FThread = std::thread(&TClbThread::Body, this);
}

TClbThread::~TClbThread()
{
    SetState(Stop);
    // A worker that was already waiting for a step on the main thread when the
    // stop came gets it run here: whoever destroys the poller is the main
    // thread, and a host that queues steps runs them when it processes messages.
    while (!FDone.load()) {
        try {
            FHost.ProcessMessages();
        } catch (...) {
            // Nothing may leave a destructor; the worker ends all the same.
        }
        SleepMs(2);
    }
    if (FThread.joinable()) FThread.join();
}

void TClbThread::Step(const std::function<void()>& step)
{
    // After a stop nothing more is shown: the window is going away.
    if (GetState() != Stop) FHost.RunOnMainThread(step);
}

void TClbThread::SetState(std::uint8_t state)
{
    if (state > Stop) return;
    {
        // Under the lock, so that a worker about to nap cannot miss the change.
        std::lock_guard<std::mutex> lock(FWakeMutex);
        // Stop is final: a pause or run asked for after it (a handler that
        // still ran while the window closed) would keep the worker alive.
        if (FPollState.load() == Stop) return;
        FPollState.store(state);
    }
    FWake.notify_all();
}

template <class Pred> void TClbThread::Nap(std::uint32_t ms, Pred done)
{
    std::unique_lock<std::mutex> lock(FWakeMutex);
    FWake.wait_for(lock, std::chrono::milliseconds(ms), done);
}

bool TClbThread::WaitNotBusy(int maxSleeps)
{
    // Busy is set before the worker looks at the state once more, so a worker
    // seen not busy after the pause was set does not start a slot's reads.
    if (!IsBusy()) return true;
    TulvClock& clock = FHandOverClock;
    const std::uint64_t start = clock.NowMs();
    for (int i = 0; i < maxSleeps; ++i) {
        clock.SleepMs(50);
        if (!IsBusy()) return true;
    }
    // Still inside a transaction: its own timeouts end it, and it is waited
    // for rather than the port being used by two threads; but not forever.
    while (IsBusy()) {
        if (clock.NowMs() - start >= HandOverLimitMs) {
            FHost.MessageBox(HandOverTimeoutText, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            return false;
        }
        clock.SleepMs(10);
    }
    return true;
}

bool TClbThread::LineUsable()
{
    bool any = false;
    for (int n = 1; n <= 2; ++n) {
        TulvPort* port = DriverPort(FDev.Driver(n));
        if (port == nullptr) continue;
        if (!port->Opened() || port->Lost()) return false;
        any = true;
    }
    return any;
}

void TClbThread::ShowFlow(int slot)
{
    const std::string box = FlowBoxName(slot);
    if (FDev.Coefficients(slot).PollEnabled.load()) {
        FHost.SetBox(box, FormatValue(6, CurrentFlow(slot)), FlowOk(slot) ? TooltipBackground : 0xFF0000);
    } else {
        FHost.SetBox(box, std::nullopt, 0xA0A0A4);
    }
}

LiveFlow ReadLiveFlow(SlotDriver& driver, const DeviceSlot& slot, const CoefficientSet& c)
{
    LiveFlow live;
    const std::uint8_t code = slot.TypeCode();
    const std::uint8_t ch = slot.Channel();
    const PollRule& row = MeterTypeOf(code).Poll;
    if (!row.Poll || !HasDriver(driver)) return live;
    float G = 0;
    bool ok = false;
    WithDriver(driver, [&](auto& d) {
        if constexpr (requires { d.ClbReadG(std::uint8_t{}); })
            G = d.ClbReadG(ch);
        else
            G = d.ClbReadG();
        ok = d.LastError() == 0;
        switch (row.Second) {
        case SecondRead::SFR:
            if constexpr (requires { d.ClbReadSFR(std::uint8_t{}); })
                d.ClbReadSFR(ch);
            else if constexpr (requires { d.ClbReadSFR(); })
                d.ClbReadSFR();
            ok = ok && d.LastError() == 0;
            break;
        case SecondRead::ADCCur:
            if constexpr (requires(float s) { d.ClbReadADCCur(std::uint8_t{}, s); }) {
                float second = 0;
                d.ClbReadADCCur(ch, second);
                ok = ok && d.LastError() == 0;
            }
            break;
        case SecondRead::GFlow:
            if constexpr (requires { d.ClbReadGFlow(std::uint8_t{}); }) {
                d.ClbReadGFlow(ch);
                ok = ok && d.LastError() == 0;
            }
            break;
        case SecondRead::SFRAndErrors:
            if constexpr (requires { d.ClbReadSFR(); d.ReadErrors(); }) {
                d.ClbReadSFR();
                ok = ok && d.LastError() == 0;
                const int errors = d.ReadErrors();
                ok = ok && d.LastError() == 0 && (errors & ErrorWordMask) == 0;
            }
            break;
        case SecondRead::None:
            break;
        }
    });
    live.G = G;
    live.Ok = ok;
    live.Flow = FlowFromReading(code, G, c);
    return live;
}

void TClbThread::PollSlot(int n)
{
    if (!MeterTypeOf(FDev.Slot(n).TypeCode()).Poll.Poll || !HasDriver(FDev.Driver(n))) {
        FFlowOk[n - 1] = false;
        return;
    }
    const LiveFlow live = ReadLiveFlow(FDev.Driver(n), FDev.Slot(n), FDev.Coefficients(n));
    FFlowOk[n - 1] = live.Ok;
    FCurrentFlow[n - 1] = live.Flow;
}

bool TClbThread::PortGone(int n)
{
    TulvPort* port = DriverPort(FDev.Driver(n));
    if (port == nullptr || (port->Opened() && !port->Lost())) return false;
    // The adapter went away (or the port was closed under a running poller,
    // which only a write that lost the line does): polling stops at once. The
    // poller holds the port here, so it closes it itself.
    // Whoever closed the port has told the user; a port found gone is told here.
    const bool tell = port->Opened();
    const std::string name = port->Name();
    if (port->Opened()) port->Close();
    FFlowOk[n - 1] = false;
    // The pause is published after the close: whoever sees it sees the port closed.
    std::uint8_t running = Run;
    FPollState.compare_exchange_strong(running, Pause);
    FBusy = false;
    if (tell) {
        Step([&] {
            FHost.SetConnectButtons(true, false);
            FHost.SetProgress(0, 0, 0);
            FHost.MessageBox("Связь с портом " + name + " потеряна. Опрос остановлен; подключитесь снова, когда адаптер вернётся.",
                             "Ошибка", MsgIcon::Error, MsgButtons::Ok);
        });
    }
    return true;
}

void TClbThread::Body()
{
    // However the worker ends, the destructor's wait ends with it.
    struct DoneFlag {
        std::atomic<bool>& done;
        ~DoneFlag() { done = true; }
    } doneFlag{FDone};
    FBusy = false;
    Step([&] { FHost.ShowProgress(true); });
    while (GetState() != Stop) {
        // Paused, the worker sleeps until the state changes and leaves the
        // window alone: the bar belongs to whoever holds the port now (the
        // read-out moves it), and an idle window is not woken.
        if (GetState() == Pause) {
            Nap(1000, [&] { return GetState() != Pause; });
            continue;
        }
        // 50 ms between cycles; a pause or a stop ends the gap at once.
        Nap(50, [&] { return GetState() != Run; });
        if (GetState() != Run) continue;
        int position = 0;
        // The host compares with what the bar shows before it crosses threads.
        FHost.SetProgress(0, 2, 0);
        for (int n = 1; n <= 2; ++n) {
            if (FDev.Coefficients(n).PollEnabled.load()) {
                while (GetState() == Pause) Nap(50, [&] { return GetState() != Pause; });
                if (GetState() != Run) break;
                Nap(50, [&] { return GetState() == Stop; });
                // Busy first, then look at the state again: whoever pauses the
                // poller and then sees Busy clear knows it will not start.
                FBusy = true;
                if (GetState() != Run) {
                    FBusy = false;
                    break;
                }
                if (PortGone(n)) break;
                try {
                    PollSlot(n);
                } catch (const std::exception&) {
                    // An error inside a driver does not end polling.
                    FFlowOk[n - 1] = false;
                }
                if (PortGone(n)) break;
                FBusy = false;
                ++position;
                Step([&] {
                    ShowFlow(n);
                    FHost.SetProgress(0, 2, position);
                });
            } else {
                Step([&] { ShowFlow(n); });
            }
        }
        ++FCycles;
        Step([&] { FHost.PollCycleDone(); });
    }
    Step([&] { FHost.ShowProgress(false); });
}

// --- Pausing around other users of the port ----------------------------------------

PausePolling::PausePolling(TClbThread& poller) : FPoller(poller), FSaved(poller.GetState())
{
    if (FSaved == TClbThread::Run) {
        FPoller.SetState(TClbThread::Pause);
        FReady = FPoller.WaitNotBusy(51);
    }
}

PausePolling::~PausePolling()
{
    // A port closed or lost while the poller was paused (a write that lost the
    // line closes it) leaves it paused: connecting again starts it. When the
    // wait ran out the port was not touched, and the poller goes on as it was.
    if (FSaved == TClbThread::Run && FReady && !FPoller.LineUsable()) return;
    FPoller.SetState(FSaved);
}
