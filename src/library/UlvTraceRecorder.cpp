#include "UlvTraceRecorder.h"

#include <chrono>

TulvTraceRecorder::TulvTraceRecorder(const std::string& path, LineMaker makeLine) : FPath(path), FMakeLine(makeLine)
{
    FFile = std::fopen(path.c_str(), "w");
    if (FFile != nullptr) FWriter = std::thread([this] { WriterBody(); });
}

TulvTraceRecorder::~TulvTraceRecorder()
{
    if (FWriter.joinable()) {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FWake.notify_one();
        FWriter.join();
    }
    if (FFile != nullptr) std::fclose(FFile);
}

void TulvTraceRecorder::StartAt(std::uint64_t nowMs)
{
    std::lock_guard lock(FMutex);
    if (FStarted) return;
    FStarted = true;
    FStartMs = nowMs;
}

void TulvTraceRecorder::Record(TulvTraceEvent&& e)
{
    if (FFile == nullptr) return;
    {
        std::lock_guard lock(FMutex);
        if (!FStarted) {
            FStarted = true;
            FStartMs = e.TimeMs;
        }
        FQueue.push_back(std::move(e));
        ++FRecorded;
    }
    // No wake-up here: the writer looks every WriterPeriodMs, so an exchange
    // never pays for a thread switch.
}

void TulvTraceRecorder::Flush()
{
    if (FFile == nullptr) return;
    std::unique_lock lock(FMutex);
    const std::uint64_t target = FRecorded;
    FFlushWanted = true;
    FWake.notify_one();
    FDrained.wait(lock, [&] { return FWritten >= target; });
}

void TulvTraceRecorder::WriterBody()
{
    std::unique_lock lock(FMutex);
    for (;;) {
        FWake.wait_for(lock, std::chrono::milliseconds(WriterPeriodMs), [&] { return FStop || FFlushWanted; });
        FFlushWanted = false;
        if (FQueue.empty()) {
            if (FStop) break;
            FDrained.notify_all();
            continue;
        }
        std::deque<TulvTraceEvent> batch;
        batch.swap(FQueue);
        const std::uint64_t start = FStartMs;
        lock.unlock();
        std::string text;
        for (const auto& e : batch) {
            text += FMakeLine(e, start);
            text += '\n';
        }
        std::fwrite(text.data(), 1, text.size(), FFile);
        std::fflush(FFile);
        lock.lock();
        FWritten += batch.size();
        FDrained.notify_all();
    }
}
