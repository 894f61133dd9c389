// Ends the test binary when the guarded code has not returned in time: a hang
// would otherwise hold the whole test run. It says which test hung and what.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class Watchdog {
public:
    // what: what did not happen ("the poller did not stop"); empty: the test did not end.
    explicit Watchdog(std::chrono::milliseconds limit, std::string what = "")
        : FWhat(what.empty() ? std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                   " did not end"
                             : std::move(what)),
          FThread([this, limit] {
              std::unique_lock<std::mutex> lock(FMutex);
              if (!FCv.wait_for(lock, limit, [&] { return FDone; })) {
                  std::fprintf(stderr, "watchdog: %s within %lld ms\n", FWhat.c_str(),
                               static_cast<long long>(limit.count()));
                  std::_Exit(1);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FDone = true;
        }
        FCv.notify_all();
        FThread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string FWhat;
    std::mutex FMutex;
    std::condition_variable FCv;
    bool FDone = false;
    std::thread FThread;
};
