// The simulator's one clock: CLOCK_MONOTONIC as a duration since its epoch, so that the same value
// serves poll timeouts, reply deadlines and absolute sleeps (clock_nanosleep with TIMER_ABSTIME).
#pragma once

#include <chrono>
#include <ctime>

namespace metersim {

using MonoTime = std::chrono::nanoseconds;

inline MonoTime MonoNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

inline timespec ToTimespec(MonoTime t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(t.count() % 1'000'000'000);
    return ts;
}

} // namespace metersim
