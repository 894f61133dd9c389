#include "PlantSender.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A failure that lies in an event itself (a text the server's types refuse)
// rather than in the connection or the rights.
bool RefusedForContent(const std::string& sqlstate)
{
    return sqlstate.size() == 5 && (sqlstate.rfind("22", 0) == 0 || sqlstate.rfind("23", 0) == 0);
}

struct Pass {
    std::size_t Sent = 0;
    std::vector<std::string> Warnings;
    std::string Problem;
};

// Sends everything the outbox holds; false (Problem set) at the first failure
// that is not an event's own.
bool Deliver(PlantConnection& db, PlantOutbox& outbox, std::size_t batchSize, Pass& pass)
{
    for (;;) {
        std::string error;
        OutboxBatch batch = outbox.Read(batchSize, error);
        if (!error.empty()) {
            pass.Problem = error;
            return false;
        }
        if (batch.Events.empty() && batch.Rejected.empty()) return true;
        if (!batch.Events.empty() && !InsertPlantEvents(db, batch.Events)) {
            if (!RefusedForContent(db.SqlState())) {
                pass.Problem = db.Error();
                return false;
            }
            // One event the server will never take must not hold back the rest:
            // each goes alone, and the one refused is set aside with a warning.
            for (const auto& e : batch.Events) {
                if (InsertPlantEvents(db, {e})) continue;
                if (!RefusedForContent(db.SqlState())) {
                    pass.Problem = db.Error();
                    return false;
                }
                batch.Warnings.push_back("Сервер учёта не принял событие " + e.Id + ": " + db.Error() +
                                         "; оно сохранено в plant-outbox.rejected");
                batch.Rejected += OutboxLine(e) + "\n";
            }
        }
        if (!outbox.MarkSent(batch, error)) {
            pass.Problem = error;
            return false;
        }
        pass.Sent += batch.Events.size();
        pass.Warnings.insert(pass.Warnings.end(), batch.Warnings.begin(), batch.Warnings.end());
    }
}

bool Open(PlantConnection& db, const PlantSenderOptions& o, std::string& problem)
{
    if (!CheckPlantDatabase(o.Database, problem)) return false;
    if (!db.Connect(o.Database, "clb " + o.Bench, o.ConnectLimit)) {
        problem = db.Error();
        return false;
    }
    if (!EnsurePlantSchema(db, problem)) {
        db.Close();
        return false;
    }
    return true;
}

} // namespace

PlantSyncResult SyncPlantOutbox(const PlantSenderOptions& options)
{
    PlantSyncResult result;
    PlantOutbox outbox(options.OutboxPath);
    result.Waiting = outbox.Pending();
    std::string problem;
    if (!outbox.TakeSending(problem)) {
        result.Problem = problem;
        return result;
    }
    if (result.Waiting == 0) {
        result.Delivered = true;
        return result;
    }
    PlantConnection db;
    if (!Open(db, options, problem)) {
        result.Problem = problem;
        return result;
    }
    Pass pass;
    Deliver(db, outbox, options.Batch, pass);
    result.Sent = pass.Sent;
    result.Warnings = pass.Warnings;
    result.Problem = pass.Problem;
    result.Waiting = outbox.Pending();
    result.Delivered = pass.Problem.empty() && result.Waiting == 0;
    return result;
}

PlantSender::PlantSender(PlantSenderOptions options) : FOptions(std::move(options))
{
    if (::pipe2(FStopPipe, O_CLOEXEC) != 0) FStopPipe[0] = FStopPipe[1] = -1;
    FStatus.Waiting = PlantOutbox(FOptions.OutboxPath).Pending();
}

PlantSender::~PlantSender()
{
    Stop();
    for (int fd : FStopPipe)
        if (fd >= 0) ::close(fd);
}

void PlantSender::Start()
{
    if (FThread.joinable()) return;
    FThread = std::thread([this] { Run(); });
}

void PlantSender::Stop()
{
    {
        const std::lock_guard<std::mutex> hold(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    if (FStopPipe[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] const ssize_t n = ::write(FStopPipe[1], &b, 1);
    }
    if (FThread.joinable()) FThread.join();
}

void PlantSender::Wake()
{
    {
        const std::lock_guard<std::mutex> hold(FLock);
        FWoken = true;
    }
    FWake.notify_all();
}

PlantStatus PlantSender::Status() const
{
    const std::lock_guard<std::mutex> hold(FLock);
    return FStatus;
}

void PlantSender::Watch(std::vector<std::string> serials)
{
    serials.erase(std::remove(serials.begin(), serials.end(), std::string()), serials.end());
    {
        const std::lock_guard<std::mutex> hold(FLock);
        if (serials == FWatched) return;
        FWatched = std::move(serials);
        FWatchChanged = true;
        FWoken = true;
    }
    FWake.notify_all();
}

void PlantSender::Wait(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> hold(FLock);
    FWake.wait_for(hold, limit, [this] { return FStopping || FWoken; });
    FWoken = false;
}

void PlantSender::Run()
{
    PlantOutbox outbox(FOptions.OutboxPath);
    PlantConnection db(FStopPipe[0]);
    auto retry = FOptions.RetryFirst;
    auto nextTry = std::chrono::steady_clock::now();
    auto nextLookup = std::chrono::steady_clock::now();
    constexpr auto LookupEvery = std::chrono::seconds(30);
    for (;;) {
        std::vector<std::string> watched;
        bool watchChanged = false;
        {
            const std::lock_guard<std::mutex> hold(FLock);
            if (FStopping) break;
            watched = FWatched;
            watchChanged = FWatchChanged;
        }
        const std::size_t waiting = outbox.Pending();
        {
            const std::lock_guard<std::mutex> hold(FLock);
            FStatus.Waiting = waiting;
        }
        const auto now = std::chrono::steady_clock::now();
        const bool lookupDue = !watched.empty() && (watchChanged || now >= nextLookup);
        if ((waiting > 0 || lookupDue) && now >= nextTry) {
            std::string problem;
            Pass pass;
            bool ok = db.Connected() || Open(db, FOptions, problem);
            if (ok && waiting > 0) {
                if (outbox.TakeSending(problem)) {
                    ok = Deliver(db, outbox, FOptions.Batch, pass);
                    problem = pass.Problem;
                } else {
                    ok = false; // another program sends this outbox now; it is not a fault of the server
                }
            }
            std::map<std::string, std::optional<PlantRecordRow>> last;
            if (ok && lookupDue) {
                for (const auto& serial : watched) {
                    std::optional<PlantRecordRow> row;
                    if (!LastPlantEvent(db, serial, row)) {
                        ok = false;
                        problem = db.Error();
                        break;
                    }
                    last[serial] = row;
                }
                if (ok) nextLookup = now + LookupEvery;
            }
            {
                const std::lock_guard<std::mutex> hold(FLock);
                if (FStopping) break;
                FStatus.Connected = db.Connected();
                FStatus.Sent += pass.Sent;
                FStatus.Problem = problem;
                for (auto& w : pass.Warnings) FStatus.Warnings.push_back(std::move(w));
                if (FStatus.Warnings.size() > 20)
                    FStatus.Warnings.erase(FStatus.Warnings.begin(), FStatus.Warnings.end() - 20);
                if (ok && lookupDue) {
                    FStatus.Last = std::move(last);
                    if (FWatched == watched) FWatchChanged = false;
                }
                FStatus.Waiting = outbox.Pending();
            }
            if (pass.Sent > 0) nextLookup = now; // the meters' latest events may have changed
            if (ok) {
                retry = FOptions.RetryFirst;
                nextTry = now;
            } else {
                if (!db.Connected()) db.Close();
                nextTry = std::chrono::steady_clock::now() + retry;
                retry = std::min(retry * 2, FOptions.RetryMax);
            }
        }
        const auto untilTry = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextTry - std::chrono::steady_clock::now());
        Wait(std::max(std::min(FOptions.Check, untilTry), std::chrono::milliseconds(10)));
    }
}

std::string PlantStatusWord(const PlantStatus& s)
{
    if (!s.Problem.empty()) return "Учёт: нет связи, ждут " + std::to_string(s.Waiting);
    if (s.Waiting > 0) return "Учёт: ждут " + std::to_string(s.Waiting);
    return "Учёт: всё отправлено";
}

std::string PlantStatusTooltip(const PlantStatus& s, const std::vector<std::string>& serials)
{
    std::string text = "Учёт завода: ";
    text += !s.Problem.empty() ? s.Problem : s.Connected ? std::string("сервер отвечает") : std::string("ждёт событий");
    text += "\nЖдут отправки: " + std::to_string(s.Waiting) + " событий";
    for (const auto& serial : serials) {
        if (serial.empty()) continue;
        const auto it = s.Last.find(serial);
        if (it == s.Last.end()) continue;
        text += "\n" + serial + ": ";
        if (!it->second) {
            text += "в учёте ещё нет событий";
            continue;
        }
        const PlantRecordRow& r = *it->second;
        text += (r.Kind == "calibration" ? "последняя калибровка " : r.Kind == "restore" ? "последнее восстановление "
                                                                                         : "последняя запись ") +
                r.Time + ", стенд " + r.Bench + ", оператор " + r.Operator + ": " + r.Outcome;
    }
    for (const auto& w : s.Warnings) text += "\n" + w;
    return text;
}
