#include "CoefficientFiles.h"

#include "AtomicFile.h"
#include "Cp1251.h"
#include "DeviceCatalogue.h"
#include "MeterTypes.h"
#include "NumberText.h"
#include "Settings.h"
#include "SystemText.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

std::vector<std::string> SplitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        lines.emplace_back(bytes.substr(start, i - start));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
    return lines;
}

namespace {

// K0 of type code 1 is kept in the meter scaled by this float (bit pattern 46CCCC00).
constexpr float K0Scale = 26214.0f;
const char* const CrLf = "\r\n";

// The file rules of a slot's type.
const FileRule& FilesOf(const DeviceSlot& slot)
{
    return MeterTypeOf(slot.TypeCode()).Files;
}

// K0 kept in converter units: the TXT writer and the TPR reader convert it.
bool ZeroInConverterUnits(const DeviceSlot& slot)
{
    return MeterTypeOf(slot.TypeCode()).Units.Zero == ZeroForm::Converter;
}

// The catalogue row of a slot that can have coefficients (codes 1..16).
const DeviceTypeInfo* TypeOf(const DeviceSlot& slot)
{
    if (slot.TypeCode() == DeviceTypeNone) return nullptr;
    return FindDeviceType(slot.TypeCode());
}

std::string DisplayName1251(const DeviceTypeInfo& t)
{
    return Utf8ToCp1251Lossy(t.DisplayName);
}

// "%.9f" without locale; a value that rounds to zero never shows a minus sign.
std::string Fixed9(double v)
{
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 9);
    std::string s(buf, r.ptr);
    if (!s.empty() && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
    return s;
}

std::string PadLeft(std::string s, std::size_t width)
{
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

std::string EightValues(const CoefficientSet& set, const std::array<float, 10>& table, bool scaled)
{
    std::string line;
    for (int i = 2; i <= 9; ++i) {
        double v = scaled ? static_cast<double>(table[i]) * static_cast<double>(set.Gmax) : table[i];
        line += Fixed9(v) + " ";
    }
    return line;
}

std::string AsciiLower(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return std::string(s);
}

// Refuses what is not single-byte text of the code page: NUL bytes, other
// control characters, a UTF-8 byte-order mark, the undefined byte 0x98.
bool CheckText(std::string_view bytes, std::string& reason)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        reason = "текст в UTF-8, а не в кодировке 1251";
        return false;
    }
    for (unsigned char c : bytes) {
        if (c == 0) {
            reason = "нулевой байт в тексте";
            return false;
        }
        if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') {
            reason = "не текстовый файл";
            return false;
        }
        if (c == 0x98) {
            reason = "байт 0x98 не определён в кодировке 1251";
            return false;
        }
    }
    return true;
}

// Line and token reading over a text: a token is a run of characters between
// blanks, tabs and line breaks; skipping discards the rest of the current line.
class TextScanner {
public:
    explicit TextScanner(std::string_view text) : T(text) {}

    bool ReadLine(std::string& line)
    {
        if (P >= T.size()) return false;
        std::size_t start = P;
        while (P < T.size() && T[P] != '\r' && T[P] != '\n')
            ++P;
        line.assign(T.substr(start, P - start));
        EatBreak();
        return true;
    }
    void SkipLine()
    {
        while (P < T.size() && T[P] != '\r' && T[P] != '\n')
            ++P;
        EatBreak();
    }
    bool Token(std::string& tok)
    {
        while (P < T.size() && IsSpace(T[P]))
            ++P;
        if (P >= T.size()) return false;
        std::size_t start = P;
        while (P < T.size() && !IsSpace(T[P]))
            ++P;
        tok.assign(T.substr(start, P - start));
        return true;
    }
    // Every number of these files is followed by a blank or a line end; one
    // that runs into the end of the data was cut off.
    bool AtEnd() const { return P >= T.size(); }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void EatBreak()
    {
        if (P < T.size() && T[P] == '\r') {
            ++P;
            if (P < T.size() && T[P] == '\n') ++P;
        } else if (P < T.size() && T[P] == '\n') {
            ++P;
        }
    }
    std::string_view T;
    std::size_t P = 0;
};

// The values are kept as floats: a number beyond their range would become infinite.
bool FitsFloat(double v)
{
    return std::isfinite(static_cast<float>(v));
}

// One reading of a file: collects the first fault as the message.
struct Reading {
    const std::string& Name;
    std::string& Error;
    TextScanner In;

    bool Refuse(const std::string& reason)
    {
        Error = "Неверный файл " + Name + ": " + reason;
        return false;
    }
    bool Line(std::string& line, const char* what)
    {
        if (In.ReadLine(line)) return true;
        return Refuse(std::string("файл обрывается до ") + what);
    }
    bool Number(float& out, const char* what)
    {
        std::string tok;
        if (!In.Token(tok)) return Refuse(std::string("файл обрывается до ") + what);
        if (In.AtEnd()) return Refuse(std::string("файл обрывается на ") + what);
        double v = 0;
        if (!ParseNumber(tok, v)) return Refuse(std::string(what) + ": \"" + Cp1251ToUtf8(tok) + "\" не число");
        if (!FitsFloat(v)) return Refuse(std::string(what) + ": \"" + Cp1251ToUtf8(tok) + "\" вне диапазона");
        out = static_cast<float>(v);
        return true;
    }
    bool Points(std::array<float, 10>& table, const char* what)
    {
        for (int i = 2; i <= 9; ++i)
            if (!Number(table[i], what)) return false;
        return true;
    }
    // A line "<prefix><number>", the number with blanks around it allowed.
    bool PrefixedNumber(const std::string& line, std::size_t drop, float& out, const char* what)
    {
        double v = 0;
        std::string rest = line.size() > drop ? line.substr(drop) : std::string();
        if (!ParseNumber(rest, v)) return Refuse(std::string(what) + ": \"" + Cp1251ToUtf8(line) + "\" не число");
        if (!FitsFloat(v)) return Refuse(std::string(what) + ": \"" + Cp1251ToUtf8(line) + "\" вне диапазона");
        out = static_cast<float>(v);
        return true;
    }
};

// The device line of a file (code page 1251) names the slot's type, or the
// file is refused with what it names instead.
bool NameMismatch(const std::string& line, const DeviceTypeInfo& type, const std::string& name, std::string& error)
{
    if (line.find(DisplayName1251(type)) != std::string::npos) return false;
    std::string named = Trim(line);
    // The page this tool prints names the device after "Прибор = ".
    const std::string device = Utf8ToCp1251Lossy("Прибор = ");
    if (named.compare(0, device.size(), device) == 0) named = Trim(named.substr(device.size()));
    // A line of another kind of file can be long; its beginning tells enough.
    constexpr std::size_t MaxShown = 60;
    std::string shown = Cp1251ToUtf8(named.substr(0, MaxShown)) + (named.size() > MaxShown ? "…" : "");
    error = "Неверный файл " + name + ": " +
            (named.empty() ? std::string("строка прибора пуста") : "в файле прибор \"" + shown + "\"") +
            ", а в слоте " + std::string(type.DisplayName);
    return true;
}

void DivideByGmax(CoefficientSet& s)
{
    for (int i = 2; i <= 9; ++i) {
        s.K[i] = static_cast<float>(static_cast<double>(s.K[i]) / s.Gmax);
        s.Obr[i] = static_cast<float>(static_cast<double>(s.Obr[i]) / s.Gmax);
    }
}

// Every value read fits a float, but one divided by a tiny Gmax (or K0 scaled
// up) may not; such a file is refused like a number beyond a float's range.
bool ConvertedValuesFit(const CoefficientSet& s)
{
    for (int i = 0; i < 10; ++i)
        if (!std::isfinite(s.K[i]) || !std::isfinite(s.Obr[i])) return false;
    return true;
}

bool UnknownType(const DeviceTypeInfo* type, std::string& error)
{
    if (type) return false;
    error = "Нет прибора в выбранной позиции";
    return true;
}

} // namespace

CoefficientFormat CoefficientFormatOf(std::string_view fileName)
{
    std::size_t slash = fileName.find_last_of('/');
    std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    std::size_t dot = base.find_last_of('.');
    if (dot == std::string_view::npos) return CoefficientFormat::None;
    std::string ext = AsciiLower(base.substr(dot));
    if (ext.find("txt") != std::string::npos) return CoefficientFormat::Txt;
    if (ext.find("kvt") != std::string::npos) return CoefficientFormat::Kvt;
    if (ext.find("tpr") != std::string::npos) return CoefficientFormat::Tpr;
    return CoefficientFormat::None;
}

std::optional<std::string> DefaultCoefficientFileName(const std::string& savedFolder, const DeviceSlot& slot,
                                                      bool forSave)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    if (!type) return std::nullopt;
    std::string folder(SavedFolderName(type->Code));
    std::string ending = ".txt";
    if (forSave && FilesOf(slot).NameByModification) {
        if (slot.Modification() == 1)
            ending = ".txt";
        else if (slot.Modification() == 2)
            ending = "_SM.txt";
        else
            return std::nullopt;
    }
    std::string serial = slot.SerialText();
    for (char& c : serial)
        if (c == '/') c = '_';
    std::string path = savedFolder;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + folder + "/" + serial + "#" + std::to_string(slot.Channel()) + ending;
}

std::string KvtNumberText(double value)
{
    if (value == 0) return "0";
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
    std::string s(buf, r.ptr); // [-]d.dddddddddddddde[+-]xx
    bool negative = s[0] == '-';
    if (negative) s.erase(0, 1);
    std::size_t e = s.find('e');
    int exp = std::atoi(s.c_str() + e + 1);
    std::string digits = s.substr(0, 1) + s.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::string out = negative ? "-" : "";
    if (exp < -5 || exp >= 15) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        out += "E" + std::to_string(exp);
    } else if (exp >= 0) {
        std::size_t intDigits = static_cast<std::size_t>(exp) + 1;
        if (digits.size() <= intDigits) {
            out += digits + std::string(intDigits - digits.size(), '0');
        } else {
            out += digits.substr(0, intDigits) + "." + digits.substr(intDigits);
        }
    } else {
        out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    }
    return out;
}

std::string CoefficientTxtBytes(const DeviceSlot& slot, const CoefficientSet& set)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    std::string name = type ? DisplayName1251(*type) : std::string();
    std::string serial = Utf8ToCp1251Lossy(slot.SerialText());
    std::vector<std::string> lines;
    lines.push_back(name);
    lines.push_back(serial);
    lines.push_back(Fixed9(set.Gmax));
    if (FilesOf(slot).Txt == TxtLayout::TwoDirections) {
        lines.push_back("");
        lines.push_back(Fixed9(set.K[0]));
        lines.push_back("");
        lines.push_back(EightValues(set, set.Obr, false));
        lines.push_back(EightValues(set, set.K, false));
        lines.push_back("");
        lines.push_back(Fixed9(set.K[1]));
        lines.push_back("");
        lines.push_back(EightValues(set, set.Obr, true));
        lines.push_back(EightValues(set, set.K, true));
    } else {
        double k0 = set.K[0];
        if (ZeroInConverterUnits(slot)) k0 = k0 * static_cast<double>(set.Gmax) / static_cast<double>(K0Scale);
        lines.push_back(Fixed9(k0));
        lines.push_back(Fixed9(set.K[1]));
        lines.push_back("");
        lines.push_back(EightValues(set, set.Obr, true));
        lines.push_back(EightValues(set, set.K, true));
    }
    std::string out;
    for (const auto& l : lines)
        out += l + CrLf;
    return out;
}

std::string CoefficientKvtBytes(const DeviceSlot& slot, const CoefficientSet& set, std::string_view existing)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    struct Key {
        const char* Section;
        std::string Name;
        std::string Value;
    };
    std::vector<Key> keys;
    keys.push_back({"Device", "Id", type ? DisplayName1251(*type) : std::string()});
    keys.push_back({"Device", "Num", Utf8ToCp1251Lossy(slot.SerialText())});
    keys.push_back({"Device", "Gmax", KvtNumberText(set.Gmax)});
    const char* tables[2] = {"Koeff", "Kobr"};
    for (int t = 0; t < 2; ++t) {
        const auto& table = t == 0 ? set.K : set.Obr;
        keys.push_back({tables[t], "K0", KvtNumberText(table[0])});
        keys.push_back({tables[t], "Ku", KvtNumberText(table[1])});
        for (int i = 1; i <= 8; ++i)
            keys.push_back({tables[t], std::to_string(i), KvtNumberText(table[i + 1])});
    }

    std::vector<std::string> lines = SplitLines(existing);
    auto sectionOf = [](const std::string& line, std::string& name) {
        std::string t = Trim(line);
        if (t.size() < 2 || t.front() != '[') return false;
        std::size_t close = t.find(']');
        if (close == std::string::npos) return false;
        name = AsciiLower(Trim(t.substr(1, close - 1)));
        return true;
    };
    auto keyOf = [](const std::string& line, std::string& name) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') return false;
        std::size_t eq = t.find('=');
        if (eq == std::string::npos) return false;
        name = Trim(t.substr(0, eq));
        return true;
    };
    for (const Key& k : keys) {
        std::string wanted = AsciiLower(k.Section);
        std::size_t header = lines.size();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            std::string name;
            if (sectionOf(lines[i], name) && name == wanted) {
                header = i;
                break;
            }
        }
        if (header == lines.size()) {
            lines.push_back(std::string("[") + k.Section + "]");
            lines.push_back(k.Name + "=" + k.Value);
            continue;
        }
        std::size_t end = header + 1;
        std::size_t lastFilled = header;
        bool replaced = false;
        for (; end < lines.size(); ++end) {
            std::string name;
            if (sectionOf(lines[end], name)) break;
            if (!Trim(lines[end]).empty()) lastFilled = end;
            if (!replaced && keyOf(lines[end], name) && AsciiLower(name) == AsciiLower(k.Name)) {
                lines[end] = name + "=" + k.Value;
                replaced = true;
            }
        }
        if (!replaced)
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastFilled + 1), k.Name + "=" + k.Value);
    }
    std::string out;
    for (const auto& l : lines)
        out += l + CrLf;
    return out;
}

std::string CoefficientTprBytes(const DeviceSlot& slot, const CoefficientSet& set, std::string_view shapka,
                                std::string_view colontitle)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    std::string name = type ? DisplayName1251(*type) : std::string();
    const double gmax = set.Gmax;
    double k0 = set.K[0];
    if (FilesOf(slot).ZeroAsFlowInFiles) k0 *= gmax;

    std::vector<std::string> lines;
    lines.push_back(PadLeft(Utf8ToCp1251Lossy(shapka), 50) + std::string(16, ' '));
    lines.push_back("");
    lines.push_back(Utf8ToCp1251Lossy("Прибор = ") + name);
    lines.push_back(Utf8ToCp1251Lossy("Серийный номер = ") + Utf8ToCp1251Lossy(slot.SerialText()) +
                    Utf8ToCp1251Lossy(", канал G") + std::to_string(slot.Channel()));
    lines.push_back("");
    lines.push_back("Gmax = " + Fixed9(gmax));
    lines.push_back("K0 = " + Fixed9(k0));
    lines.push_back("K0 = " + Fixed9(set.K[0]));
    lines.push_back("Ku = " + Fixed9(set.K[1]));
    lines.push_back("");
    lines.push_back(Utf8ToCp1251Lossy("точка №           Gобр                 Gизм                 Коэфф"));
    lines.push_back("");
    for (int k = 1; k <= 8; ++k) {
        double obr = set.Obr[k + 1];
        double meas = set.K[k + 1];
        std::string row =
            PadLeft(std::to_string(k), 3) + PadLeft(Fixed9(obr * gmax), 22) + PadLeft(Fixed9(meas * gmax), 22);
        // No deviation can be given against a reference flow of zero.
        row += obr == 0 ? PadLeft("---", 22) : PadLeft(Fixed9((meas / obr - 1) * 100), 22);
        lines.push_back(row);
    }
    for (int i = 0; i < 6; ++i)
        lines.push_back("");
    lines.push_back(std::string(51, ' ') + std::string(33, '_'));
    lines.push_back(std::string(61, ' ') + Utf8ToCp1251Lossy("место для печати") + std::string(3, ' '));
    lines.push_back("");
    lines.push_back("");
    lines.push_back(" " + std::string(83, '_'));
    lines.push_back(std::string(28, ' ') + Utf8ToCp1251Lossy(colontitle));
    std::string out;
    for (const auto& l : lines)
        out += l + CrLf;
    return out;
}

bool SaveCoefficientFile(const std::string& path, const DeviceSlot& slot, const CoefficientSet& set,
                         const Settings* settings, std::string& error)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    if (UnknownType(type, error)) return false;
    std::string bytes;
    switch (CoefficientFormatOf(path)) {
    case CoefficientFormat::Txt: bytes = CoefficientTxtBytes(slot, set); break;
    case CoefficientFormat::Kvt: {
        std::string existing;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR)) {
            std::string readError;
            if (!ReadWholeFile(path, existing, readError)) {
                // An existing file that cannot be read is never replaced by one
                // that lost its other sections.
                error = readError;
                return false;
            }
        }
        bytes = CoefficientKvtBytes(slot, set, existing);
        break;
    }
    case CoefficientFormat::Tpr: {
        std::string shapka = settings ? settings->Shapka(slot.TypeCode()) : std::string();
        std::string colontitle = settings ? settings->Colontitle(slot.TypeCode()) : std::string();
        bytes = CoefficientTprBytes(slot, set, shapka, colontitle);
        break;
    }
    case CoefficientFormat::None: error = "Неизвестный формат файла " + path; return false;
    }
    std::string writeError;
    if (WriteFileAtomic(path, bytes, writeError) || WriteFileAtomic(path, bytes, writeError)) return true;
    error = "Ошибка создания файла " + path;
    return false;
}

bool ParseCoefficientTxt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    if (UnknownType(type, error)) return false;
    Reading r{name, error, TextScanner(bytes)};
    std::string reason;
    if (!CheckText(bytes, reason)) return r.Refuse(reason);
    CoefficientSet s = set;
    std::string line;
    if (!r.Line(line, "строки прибора")) return false;
    if (NameMismatch(line, *type, name, error)) return false;
    r.In.SkipLine();
    if (FilesOf(slot).Txt == TxtLayout::TwoDirections) {
        if (!r.Number(s.Gmax, "Gmax")) return false;
        r.In.SkipLine();
        r.In.SkipLine();
        if (!r.Number(s.K[0], "K0")) return false;
        r.In.SkipLine();
        r.In.SkipLine();
        if (!r.Points(s.Obr, "образцовые расходы")) return false;
        r.In.SkipLine();
        if (!r.Points(s.K, "измеренные расходы")) return false;
    } else {
        if (!r.Number(s.Gmax, "Gmax")) return false;
        r.In.SkipLine();
        if (!r.Number(s.K[0], "K0")) return false;
        r.In.SkipLine();
        if (!r.Number(s.K[1], "Ku")) return false;
        r.In.SkipLine();
        r.In.SkipLine();
        if (!r.Points(s.Obr, "образцовые расходы")) return false;
        r.In.SkipLine();
        if (!r.Points(s.K, "измеренные расходы")) return false;
        if (s.Gmax == 0) return r.Refuse("Gmax равен нулю");
        if (FilesOf(slot).ZeroAsFlowInFiles)
            s.K[0] = static_cast<float>(static_cast<double>(s.K[0]) / s.Gmax);
        DivideByGmax(s);
        if (!ConvertedValuesFit(s)) return r.Refuse("значение после деления на Gmax вне диапазона");
    }
    set = s;
    return true;
}

bool ParseCoefficientTpr(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error)
{
    const DeviceTypeInfo* type = TypeOf(slot);
    if (UnknownType(type, error)) return false;
    Reading r{name, error, TextScanner(bytes)};
    std::string reason;
    if (!CheckText(bytes, reason)) return r.Refuse(reason);
    CoefficientSet s = set;
    std::string l1, l2, l3, line;
    if (!r.Line(l1, "строки 1") || !r.Line(l2, "строки 2") || !r.Line(l3, "строки 3")) return false;
    const std::string device = Utf8ToCp1251Lossy("Прибор = ");
    if (l3.compare(0, device.size(), device) == 0) {
        // The page this tool writes: header, empty line, "Прибор = ", serial and
        // channel, empty line, Gmax, K0 as printed, K0 as stored, Ku, empty line,
        // column header, empty line, eight rows.
        if (NameMismatch(l3, *type, name, error)) return false;
        if (!r.Line(line, "строки 4") || !r.Line(line, "строки 5")) return false;
        auto prefixed = [&](const char* prefix, float& out, const char* what) {
            if (!r.Line(line, what)) return false;
            std::size_t n = std::char_traits<char>::length(prefix);
            if (line.compare(0, n, prefix) != 0) return r.Refuse(std::string("нет строки \"") + prefix + "\"");
            return r.PrefixedNumber(line, n, out, what);
        };
        float printedK0 = 0;
        if (!prefixed("Gmax = ", s.Gmax, "Gmax") || !prefixed("K0 = ", printedK0, "K0") ||
            !prefixed("K0 = ", s.K[0], "K0") || !prefixed("Ku = ", s.K[1], "Ku"))
            return false;
        for (int i = 0; i < 3; ++i)
            if (!r.Line(line, "таблицы точек")) return false;
    } else {
        // The older page: device line, one line, then "Gmax = ", "K0 = ", "Ku = ",
        // an empty line and the column header.
        if (NameMismatch(l1, *type, name, error)) return false;
        if (!r.PrefixedNumber(l3, 7, s.Gmax, "Gmax")) return false;
        if (!r.Line(line, "K0") || !r.PrefixedNumber(line, 5, s.K[0], "K0")) return false;
        if (!r.Line(line, "Ku") || !r.PrefixedNumber(line, 5, s.K[1], "Ku")) return false;
        if (!r.Line(line, "таблицы точек") || !r.Line(line, "таблицы точек")) return false;
        if (ZeroInConverterUnits(slot) && s.Gmax != 0)
            s.K[0] = static_cast<float>(static_cast<double>(s.K[0]) * K0Scale / s.Gmax);
    }
    for (int k = 1; k <= 8; ++k) {
        float point = 0;
        if (!r.Number(point, "номер точки") || !r.Number(s.Obr[k + 1], "образцовый расход") ||
            !r.Number(s.K[k + 1], "измеренный расход"))
            return false;
        r.In.SkipLine();
    }
    if (s.Gmax == 0) return r.Refuse("Gmax равен нулю");
    DivideByGmax(s);
    if (!ConvertedValuesFit(s)) return r.Refuse("значение после деления на Gmax вне диапазона");
    set = s;
    return true;
}

bool ParseCoefficientKvt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error)
{
    return ParseCoefficientKvt(bytes, name, slot, set, error, nullptr);
}

bool ParseCoefficientKvt(std::string_view bytes, const std::string& name, const DeviceSlot& slot, CoefficientSet& set,
                         std::string& error, std::string* warning)
{
    if (warning) warning->clear();
    const DeviceTypeInfo* type = TypeOf(slot);
    if (UnknownType(type, error)) return false;
    std::string reason;
    if (!CheckText(bytes, reason)) {
        error = "Неверный файл " + name + ": " + reason;
        return false;
    }
    // Section and key names compare without case; the first occurrence counts.
    struct Entry {
        std::string Section, Key, Value;
    };
    std::vector<Entry> entries;
    std::string section;
    for (const std::string& raw : SplitLines(bytes)) {
        std::string t = Trim(raw);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t.front() == '[') {
            std::size_t close = t.find(']');
            if (close != std::string::npos) section = AsciiLower(Trim(t.substr(1, close - 1)));
            continue;
        }
        std::size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        entries.push_back({section, AsciiLower(Trim(t.substr(0, eq))), Trim(t.substr(eq + 1))});
    }
    auto find = [&](const char* sec, const std::string& key) -> const std::string* {
        for (const auto& e : entries)
            if (e.Section == sec && e.Key == AsciiLower(key)) return &e.Value;
        return nullptr;
    };
    // A file without Id (written by older tools) cannot be matched to the slot's
    // type; it is taken, and the caller is told so.
    // This tool writes the display name itself: anything else (a longer name
    // of a related type included) is the file of another meter type.
    const std::string* id = find("device", "Id");
    if (id && *id != DisplayName1251(*type)) {
        error = "Неверный файл " + name + ": [Device] Id = \"" + Cp1251ToUtf8(*id) + "\", а прибор слота " +
                std::string(type->DisplayName);
        return false;
    }
    if (!id && warning)
        *warning = "В файле " + name + " нет ключа [Device] Id: тип прибора не проверен";
    CoefficientSet s = set;
    // Every key this tool writes must be there with a number: a missing key
    // would otherwise put a default into the meter.
    auto get = [&](const char* sec, const char* shown, const std::string& key, float& out) {
        const std::string* v = find(sec, key);
        const std::string where = std::string("[") + shown + "] " + key;
        if (!v) {
            error = "Неверный файл " + name + ": нет ключа " + where;
            return false;
        }
        if (v->empty()) {
            error = "Неверный файл " + name + ": у ключа " + where + " нет значения";
            return false;
        }
        double d = 0;
        if (!ParseNumber(*v, d)) {
            error = "Неверный файл " + name + ": " + where + " = \"" + Cp1251ToUtf8(*v) + "\" не число";
            return false;
        }
        if (!FitsFloat(d)) {
            error = "Неверный файл " + name + ": " + where + " = \"" + Cp1251ToUtf8(*v) + "\" вне диапазона";
            return false;
        }
        out = static_cast<float>(d);
        return true;
    };
    if (!get("device", "Device", "Gmax", s.Gmax)) return false;
    const char* tables[2] = {"koeff", "kobr"};
    const char* shown[2] = {"Koeff", "Kobr"};
    for (int t = 0; t < 2; ++t) {
        auto& table = t == 0 ? s.K : s.Obr;
        if (!get(tables[t], shown[t], "K0", table[0]) || !get(tables[t], shown[t], "Ku", table[1])) return false;
        for (int i = 1; i <= 8; ++i)
            if (!get(tables[t], shown[t], std::to_string(i), table[i + 1])) return false;
    }
    set = s;
    return true;
}

namespace {

// Why a file name names no coefficient format.
std::string NoFormatReason(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t dot = base.find_last_of('.');
    if (dot == std::string::npos || dot + 1 == base.size())
        return "у имени файла нет расширения формата (.txt, .kvt или .tpr)";
    return "расширение \"" + base.substr(dot) + "\" не относится ни к одному формату (.txt, .kvt, .tpr)";
}

} // namespace

bool LoadCoefficientFile(const std::string& path, const DeviceSlot& slot, CoefficientSet& set, std::string& error,
                         std::string* warning)
{
    if (warning) warning->clear();
    if (UnknownType(TypeOf(slot), error)) return false;
    CoefficientFormat format = CoefficientFormatOf(path);
    if (format == CoefficientFormat::None) {
        error = "Неверный файл " + path + ": " + NoFormatReason(path);
        return false;
    }
    const std::string cannotOpen = "Ошибка открытия файла " + path + ": ";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        error = cannotOpen + (err == ENOENT || err == ENOTDIR ? std::string("файл не найден") : SystemErrorText(err));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = cannotOpen + "это папка, а не файл";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = cannotOpen + "это не обычный файл";
        return false;
    }
    std::string bytes, readError;
    if (!ReadWholeFile(path, bytes, readError) && !ReadWholeFile(path, bytes, readError)) {
        error = RussianSystemTexts(readError);
        return false;
    }
    if (bytes.empty()) {
        error = "Неверный файл " + path + ": файл пуст";
        return false;
    }
    return format == CoefficientFormat::Txt   ? ParseCoefficientTxt(bytes, path, slot, set, error)
           : format == CoefficientFormat::Kvt ? ParseCoefficientKvt(bytes, path, slot, set, error, warning)
                                              : ParseCoefficientTpr(bytes, path, slot, set, error);
}
