// The recorder of the traffic log: what the port carries for the protocols to
// report to. It knows events, not protocols: recording only copies the bytes
// and the port clock's time into a queue, and a writer thread that looks
// every WriterPeriodMs turns them into lines (with the line maker it was given)
// and writes them, so tracing does not stretch an exchange. Lines are written
// in the order the events were recorded. TulvTrace (UlvTrace.h) is the
// recorder with the lines that decode each protocol's frames.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TulvTraceFamily : std::uint8_t { Proto6x, Relay, M4, ModBus };

enum class TulvTraceKind : std::uint8_t {
    Sent,     // a request went out (bytes)
    Received, // bytes taken as a reply frame, complete or not (bytes)
    Noise,    // bytes skipped before a reply's start byte (bytes)
    Dropped,  // bytes thrown away before a request: a late reply, or stray bytes (bytes)
    Answer,   // the attempt got its answer
    Timeout,  // the attempt timed out; Value = ms waited
    Repeat,   // another attempt begins; Value = its number, Value2 = attempts allowed
    Error,    // the attempt or the exchange failed; Value = error code
};

struct TulvTraceEvent {
    std::uint64_t TimeMs = 0;
    TulvTraceFamily Family = TulvTraceFamily::Proto6x;
    TulvTraceKind Kind = TulvTraceKind::Sent;
    std::uint32_t Value = 0;
    std::uint32_t Value2 = 0;
    std::vector<std::uint8_t> Bytes;
};

class TulvTraceRecorder {
public:
    // One event as the line to write (without the newline); startMs is the
    // moment times count from.
    using LineMaker = std::string (*)(const TulvTraceEvent& e, std::uint64_t startMs);

    // Writes to path (created or truncated). IsOpen tells whether the file could be opened.
    TulvTraceRecorder(const std::string& path, LineMaker makeLine);
    ~TulvTraceRecorder(); // writes what is queued and closes the file
    TulvTraceRecorder(const TulvTraceRecorder&) = delete;
    TulvTraceRecorder& operator=(const TulvTraceRecorder&) = delete;

    bool IsOpen() const { return FFile != nullptr; }
    const std::string& Path() const { return FPath; }

    // The moment (on a port's clock) that times count from; the first call wins.
    void StartAt(std::uint64_t nowMs);
    // How often the writer thread writes what has been queued.
    static constexpr int WriterPeriodMs = 50;
    // Queues an event; never waits for the file nor wakes the writer.
    void Record(TulvTraceEvent&& e);
    // Waits until every event recorded so far is written and flushed.
    void Flush();

private:
    void WriterBody();

    std::string FPath;
    LineMaker FMakeLine;
    std::FILE* FFile = nullptr;
    std::mutex FMutex;
    std::condition_variable FWake;
    std::condition_variable FDrained;
    std::deque<TulvTraceEvent> FQueue;
    std::uint64_t FRecorded = 0;
    std::uint64_t FWritten = 0;
    bool FStarted = false;
    std::uint64_t FStartMs = 0;
    bool FStop = false;
    bool FFlushWanted = false;
    std::thread FWriter;
};
