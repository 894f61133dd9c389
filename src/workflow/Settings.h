// The settings file: an ini file with CR LF line ends, updated in place (other
// sections, keys and comments are kept) and written atomically at every change.
// A file that is valid UTF-8 (with or without a byte-order mark) is read as
// UTF-8, anything else as code page 1251; it is written back in the form it was
// read. A new file is written in UTF-8.
//
//   [Settings]  Port=1..16 (COM1..COM16)   Baud=0 (9600) | 1 (19200)
//               Device=<device path>: a serial device chosen by name (its
//               stable /dev/serial/by-id path), used instead of Port when given
//               RS485=0|1: RS-485 direction control by the adapter's driver
//               (off by default); RS485RtsOnSend=1 (RTS high while sending) |
//               0 (RTS low while sending); RS485DelayBefore, RS485DelayAfter:
//               milliseconds RTS is switched before the first and after the
//               last bit, 0..100 (default 0)
//               Echo=0|1: drop the echo of each request before reading the
//               reply, for two-wire adapters that hear themselves (off by default)
//   [Device1]   NB, NP, NR: byte timeout, packet timeout, repeat count
//   [Device<code>] Shapka, Colontitle: header and footer lines of the print file
//   [Ports]     COM<n>=<device path>: where COMn is on this computer
//   [Sheet]     Address, Phone, Web: the footer lines of the coefficient sheet
//   [Plant]     Database=<libpq connection string or URI>: the plant record
//               (empty: off; the password comes from ~/.pgpass or PGPASSWORD,
//               never from this file); Bench=<the bench's name> (empty: the
//               computer's name)
#pragma once

#include "UlvComPort.h"

#include <cstdint>
#include <memory>
#include <string>

struct TimeoutProfile {
    std::int32_t ByteTimeout = 100;
    std::int32_t PacketTimeout = 300;
    std::int32_t RepeatCount = 3;
};

class Settings {
public:
    enum class TextForm { Utf8, Utf8WithMark, Cp1251 };

    Settings();
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // Reads the file. A missing file gives the defaults (it is created at the
    // first write). An unreadable file also gives the defaults, and false with
    // a message naming it; the file is then never overwritten.
    bool Open(const std::string& path, std::string& error);
    const std::string& Path() const { return FPath; }
    // How the file's text is stored (and will be written back).
    TextForm Form() const { return FForm; }

    // Port number 1..16; stored values outside that range read as 1.
    int Port() const;
    bool SetPort(int port, std::string& error);
    // 0 = 9600 baud, 1 = 19200 baud; other stored values read as 0.
    int Baud() const;
    bool SetBaud(int baud, std::string& error);
    // The one timeout profile (section Device1), used for every meter type.
    TimeoutProfile Timeouts() const;
    bool SetTimeouts(const TimeoutProfile& profile, std::string& error);
    // Header and footer lines of the print file for a type code (UTF-8).
    std::string Shapka(int typeCode) const;
    std::string Colontitle(int typeCode) const;
    // A footer line of the coefficient sheet ([Sheet] Address, Phone or Web; UTF-8).
    std::string SheetFooterLine(const char* key) const { return GetText("Sheet", key); }
    // The device path of COMn: [Ports] COMn when given, else /dev/ttyS<n-1>.
    std::string PortPath(int n) const;
    // A serial device chosen by name ([Settings] Device, UTF-8); empty when the
    // port is chosen by number. An empty path removes the key.
    std::string Device() const { return GetText("Settings", "Device"); }
    bool SetDevice(const std::string& path, std::string& error);
    // The traffic log of the serial line ([Settings] Trace, a file path, UTF-8;
    // empty: none) and its form ([Settings] TraceFormat: "jsonl" for JSON lines,
    // anything else text).
    std::string TraceFile() const { return GetText("Settings", "Trace"); }
    bool TraceJsonLines() const { return GetText("Settings", "TraceFormat") == "jsonl"; }

    // The plant record ([Plant] Database and Bench, UTF-8; empty: not given).
    std::string PlantDatabase() const { return GetText("Plant", "Database"); }
    std::string PlantBench() const { return GetText("Plant", "Bench"); }

    // The RS-485 and echo keys of [Settings]; values outside their ranges read
    // as the defaults (everything off, RTS high while sending, no delays).
    TulvLineSettings Line() const;

private:
    long GetLong(const char* section, const char* key, long def) const;
    std::string GetText(const std::string& section, const char* key) const;
    std::string Decode(const char* stored) const;
    bool SetText(const char* section, const char* key, const std::string& utf8, std::string& error);
    bool Write(std::string& error);

    struct Ini;
    std::unique_ptr<Ini> FIni;
    std::string FPath;
    bool FWritable = true;
    TextForm FForm = TextForm::Utf8;
};
