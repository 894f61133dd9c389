#include "WriteJournal.h"

#include "NumberText.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Quoted(const std::string& field)
{
    bool quote = !field.empty() && (field.front() == ' ' || field.back() == ' ');
    for (char c : field) quote = quote || c == ';' || c == '"' || c == '\n' || c == '\r';
    if (!quote) return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// A message on one line.
std::string OneLine(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += " / ";
        } else {
            out += text[i];
        }
    }
    return out;
}

void Tables(std::vector<std::string>& fields, const std::optional<CoefficientTables>& t)
{
    fields.push_back(t ? ShortestText(t->Gmax) : std::string());
    for (std::size_t i = 0; i < 10; ++i) fields.push_back(t ? ShortestText(t->K[i]) : std::string());
}

const char* const KNames[10] = {"K0", "Ku", "K1", "K2", "K3", "K4", "K5", "K6", "K7", "K8"};

} // namespace

std::string JournalPath(const std::string& settingsFile)
{
    return (std::filesystem::path(settingsFile).parent_path() / "journal.csv").string();
}

std::string JournalTime(std::time_t when)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string s = buf; // ...+0300: the offset gets its colon
    if (s.size() >= 5) s.insert(s.size() - 2, ":");
    return s;
}

std::string OperatorName()
{
    char name[256];
    if (::getlogin_r(name, sizeof name) == 0 && name[0]) return name;
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return "?";
}

std::string JournalForm(std::uint8_t typeCode, PointForm form)
{
    switch (form) {
    case PointForm::Plain: return "plain";
    case PointForm::Scrambled: return MeterTypeOf(typeCode).Write.FirstPass ? "scrambled+first_pass" : "scrambled";
    case PointForm::WholeTable: return "whole_table";
    case PointForm::None: break;
    }
    return "none";
}

std::string JournalHeader()
{
    std::string h = "time;operator;port;type;name;serial;channel;version;form;file";
    for (const char* when : {"found", "left"}) {
        h += std::string(";") + when + "_Gmax";
        for (const char* k : KNames) h += std::string(";") + when + "_" + k;
    }
    return h + ";outcome;differences;messages";
}

std::string JournalLine(const JournalEntry& e)
{
    std::vector<std::string> f = {e.Time,
                                  e.Operator,
                                  e.Port,
                                  std::to_string(e.TypeCode),
                                  e.DisplayName,
                                  e.Serial,
                                  std::to_string(e.Channel),
                                  ShortestText(e.Version),
                                  e.Form,
                                  e.File};
    Tables(f, e.Found);
    Tables(f, e.Left);
    f.push_back(OneLine(e.Outcome));
    std::string differences;
    for (const auto& d : e.Differences)
        differences += (differences.empty() ? "" : ", ") + d.Name + ": " + ShortestText(d.Meant) + " -> " +
                       ShortestText(d.Held);
    f.push_back(differences);
    std::string messages;
    for (const auto& m : e.Messages) messages += (messages.empty() ? "" : " | ") + OneLine(m);
    f.push_back(messages);
    std::string line;
    for (std::size_t i = 0; i < f.size(); ++i) line += (i ? ";" : "") + JournalField(f[i]);
    return line;
}

std::string JournalFilePath(const std::string& file)
{
    if (file.empty()) return file;
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(file, ec);
    return ec ? file : p.lexically_normal().string();
}

bool AppendJournal(const std::string& path, const JournalEntry& given, std::string& error)
{
    // A name relative to the working folder means nothing once the program has ended.
    JournalEntry entry = given;
    entry.File = JournalFilePath(given.File);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "Ошибка открытия журнала " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) == 0 && st.st_size == 0) bytes = JournalHeader() + "\n";
    // A line cut short by a crash of an earlier run ends here, so this one starts whole.
    if (st.st_size > 0) {
        char last = '\n';
        const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (reader >= 0) {
            if (::pread(reader, &last, 1, st.st_size - 1) != 1) last = '\n';
            ::close(reader);
        }
        if (last != '\n') bytes = "\n";
    }
    bytes += JournalLine(entry) + "\n";
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    const int writeErrno = errno;
    const bool synced = ::fdatasync(fd) == 0;
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size()) || !synced) {
        error = "Ошибка записи журнала " + path + ": " +
                std::strerror(n < 0 ? writeErrno : n != static_cast<ssize_t>(bytes.size()) ? ENOSPC : errno);
        return false;
    }
    return true;
}

std::string JournalField(const std::string& text)
{
    return Quoted(OneLine(text));
}

std::vector<std::string> JournalFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}
