// Ending a long command cleanly on Ctrl-C or SIGTERM: both signals are held
// back and taken by the thread that asks for them.
#pragma once

#include <csignal>
#include <ctime>
#include <pthread.h>

// SIGINT and SIGTERM held back from every thread created while it lives (the
// poller among them) and taken by the main thread with WaitForStop.
class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&FSet);
        sigaddset(&FSet, SIGINT);
        sigaddset(&FSet, SIGTERM);
        FActive = pthread_sigmask(SIG_BLOCK, &FSet, &FOld) == 0;
    }
    ~StopSignals()
    {
        if (!FActive) return;
        // One that came in late is taken here, not by the default action.
        Take(0);
        pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that came within ms milliseconds, or 0.
    int Take(long ms)
    {
        if (!FActive) return 0;
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        const int sig = sigtimedwait(&FSet, nullptr, &ts);
        if ((sig == SIGINT || sig == SIGTERM) && FCaught == 0) FCaught = sig;
        return sig == SIGINT || sig == SIGTERM ? sig : 0;
    }
    int Caught() const { return FCaught; }

private:
    sigset_t FSet{};
    sigset_t FOld{};
    bool FActive = false;
    int FCaught = 0;
};
