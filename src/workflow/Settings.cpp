#include "Settings.h"

#include "AtomicFile.h"
#include "Cp1251.h"
#include "UlvComPort.h"

// Values are kept as the bytes of the file (code page 1251) and converted here.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION // this package keeps the template bodies behind this switch
#include <SimpleIni.h>

#include <cerrno>
#include <sys/stat.h>

struct Settings::Ini {
    CSimpleIniA ini{false, false, false}; // bytes as they are, single keys, no multi-line values
};

Settings::Settings() : FIni(std::make_unique<Ini>())
{
    FIni->ini.SetSpaces(false); // Key=Value, as the file has always been written
}
Settings::~Settings() = default;

bool Settings::Open(const std::string& path, std::string& error)
{
    FPath = path;
    FWritable = true;
    FIni->ini.Reset();
    FIni->ini.SetSpaces(false);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
    std::string bytes;
    if (!ReadWholeFile(path, bytes, error)) {
        FWritable = false;
        return false;
    }
    // The ini reader would stop at a NUL byte and drop the rest of the file at
    // the next write, and it would take a UTF-8 byte-order mark as a switch to
    // UTF-8 and drop the mark at the next write. Such a file is not read, and
    // never overwritten.
    const char* reason = nullptr;
    if (bytes.find('\0') != std::string::npos)
        reason = "нулевой байт в тексте";
    else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        reason = "текст в UTF-8, а не в кодировке 1251";
    if (reason) {
        FWritable = false;
        error = "Ошибка чтения файла " + path + ": " + reason;
        return false;
    }
    if (FIni->ini.LoadData(bytes) < 0) {
        FIni->ini.Reset();
        FWritable = false;
        error = "Ошибка чтения файла " + path;
        return false;
    }
    return true;
}

long Settings::GetLong(const char* section, const char* key, long def) const
{
    return FIni->ini.GetLongValue(section, key, def);
}

std::string Settings::GetText(const std::string& section, const char* key) const
{
    const char* v = FIni->ini.GetValue(section.c_str(), key, "");
    return Cp1251ToUtf8(v ? v : "");
}

int Settings::Port() const
{
    long v = GetLong("Settings", "Port", 1);
    return (v >= 1 && v <= 16) ? static_cast<int>(v) : 1;
}

int Settings::Baud() const
{
    long v = GetLong("Settings", "Baud", 0);
    return v == 1 ? 1 : 0;
}

TimeoutProfile Settings::Timeouts() const
{
    TimeoutProfile p;
    p.ByteTimeout = static_cast<std::int32_t>(GetLong("Device1", "NB", 100));
    p.PacketTimeout = static_cast<std::int32_t>(GetLong("Device1", "NP", 300));
    p.RepeatCount = static_cast<std::int32_t>(GetLong("Device1", "NR", 3));
    return p;
}

std::string Settings::Shapka(int typeCode) const
{
    return GetText("Device" + std::to_string(typeCode), "Shapka");
}

std::string Settings::Colontitle(int typeCode) const
{
    return GetText("Device" + std::to_string(typeCode), "Colontitle");
}

std::string Settings::PortPath(int n) const
{
    const std::string key = "COM" + std::to_string(n);
    const char* v = FIni->ini.GetValue("Ports", key.c_str(), nullptr);
    if (v != nullptr && *v != '\0') return Cp1251ToUtf8(v);
    return DefaultComPath(static_cast<unsigned>(n));
}

bool Settings::SetPort(int port, std::string& error)
{
    FIni->ini.SetLongValue("Settings", "Port", port);
    return Write(error);
}

bool Settings::SetBaud(int baud, std::string& error)
{
    FIni->ini.SetLongValue("Settings", "Baud", baud);
    return Write(error);
}

bool Settings::SetTimeouts(const TimeoutProfile& profile, std::string& error)
{
    FIni->ini.SetLongValue("Device1", "NB", profile.ByteTimeout);
    FIni->ini.SetLongValue("Device1", "NP", profile.PacketTimeout);
    FIni->ini.SetLongValue("Device1", "NR", profile.RepeatCount);
    return Write(error);
}

bool Settings::Write(std::string& error)
{
    if (FPath.empty()) return true;
    if (!FWritable) {
        error = "Файл настроек " + FPath + " не прочитан и не будет перезаписан";
        return false;
    }
    std::string text;
    if (FIni->ini.Save(text) < 0) {
        error = "Ошибка создания файла " + FPath;
        return false;
    }
    // CR LF line ends, whatever the file had.
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    // The ini writer leaves out lines it does not understand, so a key whose
    // name starts with the bytes of a UTF-8 byte-order mark may come first;
    // Open would then refuse the file it wrote. An empty first line keeps it
    // readable, with that key as it was.
    if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.insert(0, "\r\n");
    return WriteFileAtomic(FPath, out, error);
}
