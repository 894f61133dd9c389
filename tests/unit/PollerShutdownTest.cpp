// Stopping the poller from the main thread while its worker waits for a step
// on the main thread: a host that queues steps, as a window does, must not
// make the destructor wait forever.
#include "ClbThread.h"
#include "RecordingHost.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Steps of other threads wait in a queue until the "main thread" processes
// its messages, as a window's event loop would run them.
class QueuedHost : public RecordingHost {
public:
    QueuedHost()
    {
        DefaultAnswer = MsgAnswer::Ok;
        PollSlots[0] = PollSlots[1] = false;
    }
    void RunOnMainThread(const std::function<void()>& step) override
    {
        if (std::this_thread::get_id() == main) {
            step();
            return;
        }
        std::unique_lock<std::mutex> lock(m);
        const std::uint64_t ticket = ++posted;
        queue.push_back(step);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [&] { return ran >= ticket; });
        --waiting;
    }
    void ProcessMessages() override
    {
        std::unique_lock<std::mutex> lock(m);
        while (!queue.empty()) {
            auto step = queue.front();
            queue.pop_front();
            lock.unlock();
            step();
            lock.lock();
            ++ran;
            cv.notify_all();
        }
    }
    // Waits until the worker is blocked in a step.
    void AwaitWaitingWorker()
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return waiting > 0; });
    }

    std::thread::id main = std::this_thread::get_id();
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    std::uint64_t posted = 0, ran = 0;
    int waiting = 0;
};


TEST(PollerShutdown, StopsWhileItsWorkerWaitsForTheMainThread)
{
    for (int round = 0; round < 20; ++round) {
        DevManager dev;
        QueuedHost host;
        auto poller = std::make_unique<TClbThread>(dev, host);
        // The worker's first step (showing the progress bar) waits in the
        // queue: nobody on the main thread has processed messages yet.
        host.AwaitWaitingWorker();
        Watchdog watchdog(std::chrono::seconds(3), "the poller did not stop");
        poller.reset();
        EXPECT_EQ(host.waiting, 0);
    }
}

TEST(PollerShutdown, ShowsNothingAfterTheStop)
{
    DevManager dev;
    QueuedHost host;
    auto poller = std::make_unique<TClbThread>(dev, host);
    host.AwaitWaitingWorker();
    host.ProcessMessages(); // the progress bar shown
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    host.ProcessMessages();
    Watchdog watchdog(std::chrono::seconds(3), "the poller did not stop");
    poller.reset();
    const std::uint64_t posted = host.posted;
    host.ProcessMessages();
    EXPECT_EQ(host.posted, posted) << "no step is posted once the poller is gone";
}


// While the poller is being stopped, the main thread processes its messages;
// a click handled there (Disconnect pauses the poller, Connect runs it) must
// not take it out of Stop again, or the worker never ends.
TEST(PollerShutdown, NothingLeavesStop)
{
    DevManager dev;
    QueuedHost host;
    auto poller = std::make_unique<TClbThread>(dev, host);
    host.AwaitWaitingWorker();
    TClbThread* p = poller.get();
    int clicks = 0;
    std::unique_lock<std::mutex> lock(host.m);
    ++host.posted;
    host.queue.push_back([&] {
        p->SetState(TClbThread::Pause);
        p->SetState(TClbThread::Run);
        p->SetState(TClbThread::Pause);
        ++clicks;
        EXPECT_EQ(p->GetState(), TClbThread::Stop);
    });
    lock.unlock();
    Watchdog watchdog(std::chrono::seconds(5), "the poller did not stop");
    poller.reset();
    EXPECT_EQ(clicks, 1) << "the clicks were handled while the poller stopped";
}

} // namespace
