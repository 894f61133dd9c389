// The traffic log: every frame sent and received on a port, and the outcome of
// every exchange, for a technician chasing a fault on a bench.
//
// The protocols report their events through the port they talk to (see
// TulvPort::Trace); a port without a trace costs one pointer test per event.
// Recording only copies the bytes and the port clock's time into a queue; a
// writer thread that looks every 50 ms decodes, formats and writes them, so
// tracing does not stretch an exchange. Lines are written in the order the events were recorded.
//
// Text form, one line per event (time in ms since the trace began on the port's clock):
//   12.000 6x    -> 55 03 FC 0F 01 03 01 24 04 6F | адрес 3; 0F 01 чтение Rtc2k; Rtc2k 0x0124; 4 байт; КС верна
//   22.000 6x    <- AA 03 FC 0F 01 04 3F 80 00 00 D3 | адрес 3; ...; данные 3F 80 00 00; КС верна
//   22.000 6x    == ответ
//  532.000 6x    == тайм-аут через 510 мс
// The JSON-lines form carries the same as one object a line.
#pragma once

#include "UlvComPort.h"
#include "UlvUtils.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TulvTraceFamily : std::uint8_t { Proto6x, Relay, M4, ModBus };

enum class TulvTraceKind : std::uint8_t {
    Sent,        // a request went out (bytes)
    Received,    // bytes taken as a reply frame, complete or not (bytes)
    Noise,       // bytes skipped before a reply's start byte (bytes)
    Dropped,     // bytes thrown away before a request: a late reply, or stray bytes (bytes)
    Answer,      // the attempt got its answer
    Timeout,     // the attempt timed out; Value = ms waited
    Repeat,      // another attempt begins; Value = its number, Value2 = attempts allowed
    Error,       // the attempt or the exchange failed; Value = error code
};

// A frame decoded for a person: what each part of it means. Fields the frame
// does not carry stay empty (-1 for numbers).
struct TulvFrameFields {
    std::string Address;      // network address, relay serial number or slave address
    std::string Command;      // the command bytes as hex ("0F 01"), M4 letter, ModBus function
    std::string Name;         // what the command does
    std::string Area;         // memory area
    long long Cell = -1;      // first cell (byte address or register number)
    int Count = -1;           // bytes or registers asked for
    std::vector<std::uint8_t> Data;
    int Checksum = -1;        // 1 good, 0 bad, -1 the frame is incomplete
    std::string Note;         // anything else worth saying (exception code, text)
};

const char* TraceFamilyName(TulvTraceFamily family);
// One frame of a family decoded; request tells which way it went.
TulvFrameFields DecodeTraceFrame(TulvTraceFamily family, const std::uint8_t* bytes, std::size_t count, bool request);
// The fields as a readable text ("адрес 3; 0F 01 чтение Rtc2k; ...").
std::string FrameFieldsText(const TulvFrameFields& f);
std::string TraceHex(const std::uint8_t* bytes, std::size_t count);

struct TulvTraceEvent {
    std::uint64_t TimeMs = 0;
    TulvTraceFamily Family = TulvTraceFamily::Proto6x;
    TulvTraceKind Kind = TulvTraceKind::Sent;
    std::uint32_t Value = 0;
    std::uint32_t Value2 = 0;
    std::vector<std::uint8_t> Bytes;
};

class TulvTrace {
public:
    enum class Format { Text, JsonLines };

    // Writes to path (created or truncated). Open tells whether the file could be opened.
    TulvTrace(const std::string& path, Format format);
    ~TulvTrace(); // writes what is queued and closes the file
    TulvTrace(const TulvTrace&) = delete;
    TulvTrace& operator=(const TulvTrace&) = delete;

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

    // One event as the line the trace writes (without the newline).
    static std::string FormatText(const TulvTraceEvent& e, std::uint64_t startMs);
    static std::string FormatJson(const TulvTraceEvent& e, std::uint64_t startMs);

private:
    void WriterBody();

    std::string FPath;
    Format FFormat;
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

// The calls the protocols make; each does nothing when the port has no trace.
inline void TraceBytes(TulvPort* port, TulvTraceFamily family, TulvTraceKind kind, const std::uint8_t* bytes,
                       std::size_t count)
{
    if (port == nullptr || port->Trace() == nullptr) return;
    TulvTraceEvent e;
    e.TimeMs = port->Clock().NowMs();
    e.Family = family;
    e.Kind = kind;
    e.Bytes.assign(bytes, bytes + count);
    port->Trace()->Record(std::move(e));
}

inline void TraceOutcome(TulvPort* port, TulvTraceFamily family, TulvTraceKind kind, std::uint32_t value = 0,
                         std::uint32_t value2 = 0)
{
    if (port == nullptr || port->Trace() == nullptr) return;
    TulvTraceEvent e;
    e.TimeMs = port->Clock().NowMs();
    e.Family = family;
    e.Kind = kind;
    e.Value = value;
    e.Value2 = value2;
    port->Trace()->Record(std::move(e));
}

// The end of one receive: the noise skipped, the bytes taken, and the outcome
// (answer, timeout after the time since startMs, or the error code).
void TraceReceive(TulvPort* port, TulvTraceFamily family, const std::vector<std::uint8_t>& noise,
                  const std::uint8_t* taken, std::size_t count, ProtocolErrorCode code, std::uint64_t startMs);
