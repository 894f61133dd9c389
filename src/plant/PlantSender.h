// Delivery of a bench's outbox to the plant record.
//
// PlantSender runs on a thread of its own: it looks at the outbox every
// second (or at once after Wake), connects when something waits, makes sure
// of the schema, sends the waiting events in batches and moves the outbox's
// cursor once the server has committed them. A server that is down, slow,
// restarted or refusing only makes it wait and try again (1 s, doubling up to
// 30 s); no caller ever waits for it, and Status() always answers at once.
// SyncPlantOutbox does the same once on the calling thread.
#pragma once

#include "PlantRecord.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct PlantSenderOptions {
    std::string Database;   // the libpq connection string ([Plant] Database)
    std::string Bench;      // the bench's name (for the server's list of sessions)
    std::string OutboxPath; // OutboxPath(JournalPath(settings))
    std::chrono::milliseconds ConnectLimit{5000};
    std::chrono::milliseconds StatementLimit{30000};
    std::chrono::milliseconds Check{1000};
    std::chrono::milliseconds RetryFirst{1000};
    std::chrono::milliseconds RetryMax{30000};
    std::size_t Batch = 500;
};

struct PlantStatus {
    bool Connected = false;  // the last attempt reached the server
    std::size_t Waiting = 0; // events in the outbox not yet on the server
    std::uint64_t Sent = 0;  // events delivered since the start
    std::string Problem;     // why the last attempt failed; empty when it went through
    std::vector<std::string> Warnings; // lines of the outbox that were skipped
    // The latest event of each watched serial, as the server last answered
    // (nothing in the map: not asked yet; an empty optional: no event there).
    std::map<std::string, std::optional<PlantRecordRow>> Last;
};

// The short word for the status bar and the longer text of its tooltip.
std::string PlantStatusWord(const PlantStatus& status);
std::string PlantStatusTooltip(const PlantStatus& status, const std::vector<std::string>& serials);

// One delivery on the calling thread: connects, makes sure of the schema and
// sends everything waiting.
struct PlantSyncResult {
    bool Delivered = false;  // nothing is left waiting
    std::size_t Sent = 0;
    std::size_t Waiting = 0;
    std::string Problem;
    std::vector<std::string> Warnings;
};
PlantSyncResult SyncPlantOutbox(const PlantSenderOptions& options);

class PlantSender {
public:
    explicit PlantSender(PlantSenderOptions options);
    // Stops at once, whatever the server is doing.
    ~PlantSender();
    PlantSender(const PlantSender&) = delete;
    PlantSender& operator=(const PlantSender&) = delete;

    void Start();
    void Stop();
    // Looks at the outbox now (after an append).
    void Wake();
    PlantStatus Status() const;
    // The meters whose latest event the status should carry.
    void Watch(std::vector<std::string> serials);

private:
    void Run();
    void Wait(std::chrono::milliseconds limit);

    PlantSenderOptions FOptions;
    mutable std::mutex FLock;
    std::condition_variable FWake;
    bool FWoken = false;
    bool FStopping = false;
    int FStopPipe[2] = {-1, -1};
    PlantStatus FStatus;
    std::vector<std::string> FWatched;
    bool FWatchChanged = false;
    std::thread FThread;
};
