#include "PlantOutbox.h"

#include "AtomicFile.h"
#include "CalibrationRun.h"
#include "DeviceCatalogue.h"
#include "DeviceSlot.h"
#include "NumberText.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* Version = "1";

std::uint32_t Crc32(const std::string& bytes)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string Hex8(std::uint32_t v)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(8, '0');
    for (int i = 7; i >= 0; --i, v >>= 4) s[i] = digits[v & 0xF];
    return s;
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '%' || c == ';' || c == '=' || c == '\r' || c == '\n') {
            out += '%';
            out += Hex8(static_cast<unsigned char>(c)).substr(6);
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::string Number(double v)
{
    return std::isnan(v) ? std::string() : ShortestText(v);
}

double NumberOf(const std::string& text)
{
    double v = std::numeric_limits<double>::quiet_NaN();
    if (!text.empty()) std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

const char* const PointNames[] = {"nominal", "reference", "found_reading", "left_reading",
                                  "found_error", "left_error", "mpe", "verdict"};

std::string PointValue(const PlantPoint& p, int i)
{
    switch (i) {
    case 0: return Number(p.Nominal);
    case 1: return Number(p.Reference);
    case 2: return Number(p.FoundReading);
    case 3: return Number(p.LeftReading);
    case 4: return Number(p.FoundError);
    case 5: return Number(p.LeftError);
    case 6: return Number(p.Mpe);
    default: return p.Verdict;
    }
}

void SetPointValue(PlantPoint& p, int i, const std::string& v)
{
    switch (i) {
    case 0: p.Nominal = NumberOf(v); break;
    case 1: p.Reference = NumberOf(v); break;
    case 2: p.FoundReading = NumberOf(v); break;
    case 3: p.LeftReading = NumberOf(v); break;
    case 4: p.FoundError = NumberOf(v); break;
    case 5: p.LeftError = NumberOf(v); break;
    case 6: p.Mpe = NumberOf(v); break;
    default: p.Verdict = v; break;
    }
}

std::string Sibling(const std::string& outboxPath, const char* name)
{
    return (std::filesystem::path(outboxPath).parent_path() / name).string();
}

bool WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string PlantEvent::Field(const std::string& name) const
{
    for (const auto& [n, v] : Fields)
        if (n == name) return v;
    return {};
}

std::string NewEventId()
{
    // 48 bits of Unix milliseconds, then 12 bits that count within a
    // millisecond in this process, then 62 random bits.
    static std::mutex lock;
    static std::uint64_t lastMs = 0;
    static std::uint16_t counter = 0;
    std::uint64_t ms = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::system_clock::now().time_since_epoch())
                                                      .count());
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (ms <= lastMs) {
            ms = lastMs;
            if (++counter > 0x0FFF) {
                ++ms; // more than 4096 ids in a millisecond: borrow the next one
                counter = 0;
            }
        } else {
            counter = 0;
        }
        lastMs = ms;
    }
    std::array<unsigned char, 16> b{};
    std::size_t got = 0;
    while (got < 8) {
        const ssize_t n = ::getrandom(b.data() + 8 + got, 8 - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < 8) { // no random source: the clock's nanoseconds and the process id
        std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          (static_cast<std::uint64_t>(::getpid()) << 32);
        for (int i = 0; i < 8; ++i, x >>= 8) b[8 + i] = static_cast<unsigned char>(x);
    }
    for (int i = 0; i < 6; ++i) b[i] = static_cast<unsigned char>(ms >> (8 * (5 - i)));
    b[6] = static_cast<unsigned char>(0x70 | ((counter >> 8) & 0x0F));
    b[7] = static_cast<unsigned char>(counter & 0xFF);
    b[8] = static_cast<unsigned char>(0x80 | (b[8] & 0x3F));
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 0xF];
    }
    return s;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
    return "?";
}

PlantEvent JournalEvent(const JournalEntry& entry, const std::string& kind, const std::string& bench)
{
    PlantEvent e;
    e.Id = NewEventId();
    e.Kind = kind;
    e.Bench = bench;
    e.Host = HostName();
    e.Operator = entry.Operator;
    e.Time = entry.Time;
    JournalEntry withPath = entry;
    withPath.File = JournalFilePath(entry.File);
    const auto names = JournalFields(JournalHeader());
    const auto values = JournalFields(JournalLine(withPath));
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) e.Fields.emplace_back(names[i], values[i]);
    return e;
}

PlantEvent CalibrationEvent(const CalibrationResult& result, const DeviceSlot& slot, const std::string& port,
                            const std::string& bench)
{
    JournalEntry entry;
    entry.Time = JournalTime(std::time(nullptr));
    entry.Operator = OperatorName();
    entry.Port = port;
    entry.TypeCode = slot.TypeCode();
    if (const DeviceTypeInfo* type = FindDeviceType(slot.TypeCode())) entry.DisplayName = std::string(type->DisplayName);
    entry.Serial = slot.SerialText();
    entry.Channel = slot.Channel();
    entry.Version = slot.SoftwareVersion();
    entry.Form = result.VerifyOnly ? "verification" : "calibration";
    entry.File = result.BackupPath;
    entry.Found = result.Before;
    if (result.Written && result.NewTable) entry.Left = *result.NewTable;
    else if (result.Before) entry.Left = *result.Before;
    const bool judged = result.Outcome == RunOutcome::Passed || result.Outcome == RunOutcome::NotPassed;
    entry.Outcome = judged ? (result.MeterPassed ? "годен" : "не годен") : result.Message;
    entry.Differences = result.Differences;
    PlantEvent e = JournalEvent(entry, "calibration", bench);
    // Against which reference, and the class the points were judged by.
    e.Fields.emplace_back("reference", result.ReferenceDescription);
    e.Fields.emplace_back("reference_uncertainty_pct", Number(result.ReferenceUncertaintyPct));
    e.Fields.emplace_back("class", std::to_string(result.AccuracyClass));
    e.Fields.emplace_back("qp", Number(result.Qp));
    int n = 0;
    for (const CalibrationPoint& point : result.Points) {
        PlantPoint p;
        p.Number = ++n;
        p.Nominal = point.Target;
        if (point.AsFound) {
            p.Reference = point.AsFound->Reference.Stats.Mean;
            p.FoundReading = point.AsFound->Meter.Stats.Mean;
            p.FoundError = point.AsFound->ErrorPct;
        }
        if (point.AsLeft) {
            p.LeftReading = point.AsLeft->Meter.Stats.Mean;
            p.LeftError = point.AsLeft->ErrorPct;
        }
        if (const PassPoint* j = point.Judged(result.VerifyOnly)) {
            p.Mpe = j->MpePct;
            if (judged) p.Verdict = VerdictText(j->PointVerdict);
        }
        e.Points.push_back(p);
    }
    return e;
}

std::string OutboxLine(const PlantEvent& e)
{
    std::string line = std::string("v=") + Version;
    auto add = [&line](const std::string& name, const std::string& value) {
        line += ";" + Escaped(name) + "=" + Escaped(value);
    };
    add("id", e.Id);
    add("kind", e.Kind);
    add("bench", e.Bench);
    add("host", e.Host);
    add("operator", e.Operator);
    add("time", e.Time);
    for (const auto& [name, value] : e.Fields) add("f." + name, value);
    for (const auto& p : e.Points)
        for (int i = 0; i < 8; ++i) add("p." + std::to_string(p.Number) + "." + PointNames[i], PointValue(p, i));
    return line + ";crc=" + Hex8(Crc32(line));
}

std::optional<PlantEvent> ParseOutboxLine(const std::string& line)
{
    const std::size_t crcAt = line.rfind(";crc=");
    if (crcAt == std::string::npos || line.size() != crcAt + 13) return std::nullopt;
    const std::string body = line.substr(0, crcAt);
    if (Hex8(Crc32(body)) != line.substr(crcAt + 5)) return std::nullopt;
    PlantEvent e;
    bool versionSeen = false;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find(';', start);
        if (end == std::string::npos) end = body.size();
        const std::string field = body.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = field.find('=');
        if (eq == std::string::npos) return std::nullopt;
        const auto name = Unescaped(field.substr(0, eq));
        const auto value = Unescaped(field.substr(eq + 1));
        if (!name || !value) return std::nullopt;
        if (!versionSeen) {
            if (*name != "v" || *value != Version) return std::nullopt;
            versionSeen = true;
        } else if (*name == "id") e.Id = *value;
        else if (*name == "kind") e.Kind = *value;
        else if (*name == "bench") e.Bench = *value;
        else if (*name == "host") e.Host = *value;
        else if (*name == "operator") e.Operator = *value;
        else if (*name == "time") e.Time = *value;
        else if (name->rfind("f.", 0) == 0) e.Fields.emplace_back(name->substr(2), *value);
        else if (name->rfind("p.", 0) == 0) {
            const std::size_t dot = name->find('.', 2);
            if (dot == std::string::npos) return std::nullopt;
            int number = 0;
            const std::string n = name->substr(2, dot - 2);
            if (std::from_chars(n.data(), n.data() + n.size(), number).ec != std::errc()) return std::nullopt;
            if (e.Points.empty() || e.Points.back().Number != number) {
                e.Points.emplace_back();
                e.Points.back().Number = number;
            }
            const std::string what = name->substr(dot + 1);
            for (int i = 0; i < 8; ++i)
                if (what == PointNames[i]) SetPointValue(e.Points.back(), i, *value);
        }
        if (end == body.size()) break;
    }
    if (!versionSeen || e.Id.empty()) return std::nullopt;
    return e;
}

std::string OutboxPath(const std::string& journalPath)
{
    return Sibling(journalPath, "plant-outbox.log");
}

bool AppendOutbox(const std::string& path, const PlantEvent& event, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "Ошибка открытия очереди учёта " + path + ": " + std::strerror(errno);
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
        if (last != '\n') bytes = "\n"; // the rest of a line an earlier crash cut short
    }
    bytes += OutboxLine(event) + "\n";
    const bool written = WriteAll(fd, bytes);
    const int writeErrno = errno;
    const bool synced = written && ::fdatasync(fd) == 0;
    const int syncErrno = errno;
    ::close(fd); // the lock goes with it
    if (!written || !synced) {
        error = "Ошибка записи очереди учёта " + path + ": " + std::strerror(written ? syncErrno : writeErrno);
        return false;
    }
    return true;
}

PlantOutbox::PlantOutbox(std::string path) : FPath(std::move(path)) {}

PlantOutbox::~PlantOutbox()
{
    if (FLock >= 0) ::close(FLock);
}

bool PlantOutbox::TakeSending(std::string& error)
{
    if (FLock >= 0) return true;
    const std::string lockPath = Sibling(FPath, "plant-outbox.lock");
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "Ошибка открытия файла " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = "очередь учёта " + FPath + " уже отправляет другая программа";
        ::close(fd);
        return false;
    }
    FLock = fd;
    return true;
}

std::uint64_t PlantOutbox::Cursor() const
{
    std::string bytes, error;
    std::uint64_t at = 0;
    if (ReadWholeFile(Sibling(FPath, "plant-outbox.sent"), bytes, error, 64))
        std::from_chars(bytes.data(), bytes.data() + bytes.size(), at);
    return at;
}

OutboxBatch PlantOutbox::Read(std::size_t maxEvents, std::string& error)
{
    OutboxBatch batch;
    const int fd = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) error = "Ошибка открытия очереди учёта " + FPath + ": " + std::strerror(errno);
        return batch;
    }
    // Shared with other readers, never while an append is half done.
    while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
    }
    struct stat st {};
    ::fstat(fd, &st);
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t at = Cursor();
    if (at > size) at = 0; // the outbox was emptied after the cursor was written
    batch.End = at;
    std::string rejected;
    std::string pending;
    char buf[65536];
    std::uint64_t offset = at;
    bool done = false;
    while (!done && offset < size) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        offset += static_cast<std::uint64_t>(n);
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            if (batch.Events.size() >= maxEvents) {
                done = true;
                break;
            }
            const std::string line = pending.substr(start, nl - start);
            const std::uint64_t lineAt = batch.End;
            batch.End += nl - start + 1;
            if (line.empty()) continue;
            if (auto e = ParseOutboxLine(line)) {
                batch.Events.push_back(std::move(*e));
            } else {
                batch.Warnings.push_back("В очереди учёта " + FPath + " пропущена повреждённая строка (байт " +
                                         std::to_string(lineAt) + ", " + std::to_string(line.size()) +
                                         " байт): она оборвана или испорчена; сохранена в plant-outbox.rejected");
                rejected += line + "\n";
            }
        }
        pending.erase(0, start);
    }
    // A tail without its line end is what a crash left: every append ends its line.
    if (!done && !pending.empty() && batch.End + pending.size() == size && batch.Events.size() < maxEvents) {
        batch.Warnings.push_back("В очереди учёта " + FPath + " пропущена оборванная последняя строка (байт " +
                                 std::to_string(batch.End) + ", " + std::to_string(pending.size()) +
                                 " байт); сохранена в plant-outbox.rejected");
        rejected += pending + "\n";
        batch.End = size;
    }
    ::close(fd);
    batch.Rejected = std::move(rejected);
    return batch;
}

bool PlantOutbox::MarkSent(const OutboxBatch& batch, std::string& error)
{
    const std::uint64_t end = batch.End;
    if (!batch.Rejected.empty()) {
        const std::string path = Sibling(FPath, "plant-outbox.rejected");
        const int out = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (out < 0 || !WriteAll(out, batch.Rejected) || ::fdatasync(out) != 0) {
            error = "Ошибка записи файла " + path + ": " + std::strerror(errno);
            if (out >= 0) ::close(out);
            return false;
        }
        ::close(out);
    }
    if (!WriteFileAtomic(Sibling(FPath, "plant-outbox.sent"), std::to_string(end) + "\n", error)) return false;
    const int fd = ::open(FPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == end && end > 0) {
        // Everything is delivered: the cursor goes back first, so that a crash
        // in between resends (harmless) rather than skips.
        if (WriteFileAtomic(Sibling(FPath, "plant-outbox.sent"), "0\n", error)) {
            if (::ftruncate(fd, 0) == 0) ::fdatasync(fd);
        }
    }
    ::close(fd);
    return true;
}

std::size_t PlantOutbox::Pending() const
{
    const int fd = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    ::fstat(fd, &st);
    std::uint64_t at = Cursor();
    if (at > static_cast<std::uint64_t>(st.st_size)) at = 0;
    std::size_t lines = 0;
    bool inLine = false;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                lines += inLine;
                inLine = false;
            } else {
                inLine = true;
            }
        }
        at += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return lines + inLine;
}
