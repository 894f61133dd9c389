#include "Settings.h"

#include "AtomicFile.h"
#include "Cp1251.h"
#include "UlvComPort.h"

// Values are kept as the bytes of the file (UTF-8 or code page 1251) and converted here.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION // this package keeps the template bodies behind this switch
#include <SimpleIni.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <sys/stat.h>

namespace {
constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";
}

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
    FForm = TextForm::Utf8;
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
    // the next write. Such a file is not read, and never overwritten. A UTF-8
    // byte-order mark is taken off here and put back at the next write.
    const char* reason = nullptr;
    std::string_view text = bytes;
    if (text.compare(0, 3, Utf8Mark) == 0) text.remove_prefix(3);
    if (bytes.find('\0') != std::string::npos)
        reason = "нулевой байт в тексте";
    else if (text.size() != bytes.size() && !IsUtf8(text))
        reason = "метка UTF-8 в начале, но текст не в UTF-8";
    if (reason) {
        FWritable = false;
        error = "Ошибка чтения файла " + path + ": " + reason;
        return false;
    }
    if (text.size() != bytes.size())
        FForm = TextForm::Utf8WithMark;
    else if (!IsUtf8(text))
        FForm = TextForm::Cp1251;
    if (FIni->ini.LoadData(text.data(), text.size()) < 0) {
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
    return Decode(v ? v : "");
}

std::string Settings::Decode(const char* stored) const
{
    return FForm == TextForm::Cp1251 ? Cp1251ToUtf8(stored) : std::string(stored);
}

bool Settings::SetText(const char* section, const char* key, const std::string& utf8, std::string& error)
{
    if (utf8.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos || !IsUtf8(utf8)) {
        error = "Неверный текст для файла настроек " + FPath;
        return false;
    }
    std::string stored = utf8;
    if (FForm == TextForm::Cp1251 && !Utf8ToCp1251(utf8, stored)) {
        error = "Текст \"" + utf8 + "\" не записать в кодировке 1251 файла настроек " + FPath;
        return false;
    }
    if (stored.empty())
        FIni->ini.Delete(section, key);
    else
        FIni->ini.SetValue(section, key, stored.c_str());
    return Write(error);
}

bool Settings::SetDevice(const std::string& path, std::string& error)
{
    return SetText("Settings", "Device", path, error);
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

TulvLineSettings Settings::Line() const
{
    auto flag = [this](const char* key, bool def) {
        const long v = GetLong("Settings", key, def ? 1 : 0);
        return v == 0 || v == 1 ? v == 1 : def;
    };
    auto delay = [this](const char* key) {
        const long v = GetLong("Settings", key, 0);
        return v >= 0 && v <= 100 ? static_cast<std::uint32_t>(v) : 0u;
    };
    TulvLineSettings line;
    line.Rs485 = flag("RS485", false);
    line.RtsOnSend = flag("RS485RtsOnSend", true);
    line.DelayBeforeMs = delay("RS485DelayBefore");
    line.DelayAfterMs = delay("RS485DelayAfter");
    line.EchoFilter = flag("Echo", false);
    return line;
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
    if (v != nullptr && *v != '\0') return Decode(v);
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
    // A file in code page 1251 whose text, as written now, is also valid UTF-8
    // would be read as UTF-8 next time (the ini writer leaves out lines it does
    // not understand, and they may have held the only bytes that told the two
    // apart). Such a file goes over to UTF-8, so that it reads back as meant.
    if (FForm == TextForm::Cp1251 && IsUtf8(out) &&
        std::any_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        out = Cp1251ToUtf8(out);
        FIni->ini.Reset();
        FIni->ini.SetSpaces(false);
        if (FIni->ini.LoadData(out) < 0) {
            error = "Ошибка создания файла " + FPath;
            return false;
        }
        FForm = TextForm::Utf8;
    }
    // The ini writer leaves out lines it does not understand, so a key whose
    // name starts with the bytes of a UTF-8 byte-order mark may come first;
    // Open would then take them for the mark. An empty first line keeps that
    // key as it was.
    if (out.compare(0, 3, Utf8Mark) == 0) out.insert(0, "\r\n");
    if (FForm == TextForm::Utf8WithMark) out.insert(0, Utf8Mark);
    return WriteFileAtomic(FPath, out, error);
}
