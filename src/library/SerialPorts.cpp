#include "SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Under(const SerialPortSystem& sys, const std::string& path)
{
    return sys.Root.empty() ? path : sys.Root + path;
}

// The first line of a small text file, without its line end ("" when unreadable).
std::string FirstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

bool NameStarts(const std::string& name, const char* prefix)
{
    return name.rfind(prefix, 0) == 0 && name.size() > std::string(prefix).size();
}

// ttyUSB10 after ttyUSB9: the letters, then the number.
bool DeviceOrder(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
        long n = i < s.size() ? std::strtol(s.c_str() + i, nullptr, 10) : -1;
        return std::make_pair(s.substr(0, i), n);
    };
    return split(a) < split(b);
}

// The device a by-id link names, by its name (ttyUSB0); "" when it is not a link.
std::string LinkedDeviceName(const fs::path& link)
{
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return {};
    return target.filename().string();
}

// Maker, model and serial number of the USB device above a tty in sysfs.
void ReadUsbIdentity(const SerialPortSystem& sys, const std::string& name, SerialPortEntry& e)
{
    std::error_code ec;
    fs::path dev = fs::canonical(fs::path(Under(sys, "/sys/class/tty/" + name + "/device")), ec);
    if (ec) return;
    // ttyACM: device is the interface, the USB device one up; ttyUSB: device
    // is the serial port under the interface, the USB device two up.
    for (int up = 0; up < 4 && !dev.empty() && dev != dev.root_path(); ++up, dev = dev.parent_path()) {
        if (!fs::exists(dev / "idVendor", ec)) continue;
        e.Manufacturer = FirstLine(dev / "manufacturer");
        e.Product = FirstLine(dev / "product");
        e.Serial = FirstLine(dev / "serial");
        return;
    }
}

// A ttyS device with a UART behind it: sysfs knows its device, and its type,
// where it can be read, is not 0 (no UART).
bool HasUart(const SerialPortSystem& sys, const std::string& name)
{
    std::error_code ec;
    const fs::path cls = Under(sys, "/sys/class/tty/" + name);
    if (!fs::exists(cls / "device", ec)) return false;
    const std::string type = FirstLine(cls / "type");
    return type.empty() || type != "0";
}

std::string DisplayOf(const SerialPortEntry& e)
{
    std::string text = fs::path(e.Device).filename().string();
    std::string who = e.Manufacturer;
    if (!e.Product.empty()) who += (who.empty() ? "" : " ") + e.Product;
    if (!who.empty()) text += ": " + who;
    if (!e.Serial.empty()) text += (who.empty() ? ": № " : ", № ") + e.Serial;
    if (who.empty() && e.Serial.empty() && NameStarts(text, "ttyS")) text += ": последовательный порт";
    return text;
}

std::string CurrentUser()
{
    if (const passwd* pw = ::getpwuid(::geteuid())) return pw->pw_name;
    const char* u = std::getenv("USER");
    return u ? u : "";
}

} // namespace

std::vector<SerialPortEntry> ListSerialPorts(const SerialPortSystem& sys)
{
    std::map<std::string, SerialPortEntry> byName; // by device name: ttyUSB0
    std::error_code ec;

    for (fs::directory_iterator it(Under(sys, "/dev"), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (NameStarts(name, "ttyUSB") || NameStarts(name, "ttyACM") || (NameStarts(name, "ttyS") && HasUart(sys, name)))
            byName[name].Device = "/dev/" + name;
    }
    for (fs::directory_iterator it(Under(sys, "/dev/serial/by-id"), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = LinkedDeviceName(it->path());
        auto found = byName.find(name);
        if (found == byName.end()) continue; // a link left behind by a device that went
        // Several links to one device (one per interface name): the first by name wins.
        const std::string path = "/dev/serial/by-id/" + it->path().filename().string();
        if (found->second.Path.empty() || path < found->second.Path) found->second.Path = path;
    }

    std::vector<SerialPortEntry> list;
    for (auto& [name, e] : byName) {
        if (e.Path.empty()) e.Path = e.Device;
        if (!NameStarts(name, "ttyS")) ReadUsbIdentity(sys, name, e);
        e.Display = DisplayOf(e);
        list.push_back(e);
    }
    std::sort(list.begin(), list.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return DeviceOrder(fs::path(a.Device).filename().string(), fs::path(b.Device).filename().string());
    });
    return list;
}

std::string StableSerialName(const std::string& path, const SerialPortSystem& sys)
{
    std::error_code ec;
    const fs::path real = fs::canonical(Under(sys, path), ec);
    if (ec) return path;
    for (const auto& e : ListSerialPorts(sys)) {
        std::error_code ec2;
        if (fs::canonical(Under(sys, e.Device), ec2) == real && !ec2) return e.Path;
    }
    return path;
}

std::vector<PortHolder> ProcessesHolding(const std::string& path, const SerialPortSystem& sys)
{
    std::vector<PortHolder> holders;
    std::error_code ec;
    const fs::path device = fs::canonical(Under(sys, path), ec);
    if (ec) return holders;
    for (fs::directory_iterator it(sys.Proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            continue;
        std::error_code fdEc;
        for (fs::directory_iterator fd(it->path() / "fd", fdEc), fdEnd; !fdEc && fd != fdEnd; fd.increment(fdEc)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd->path(), linkEc) != device || linkEc) continue;
            holders.push_back({std::atoi(pid.c_str()), FirstLine(it->path() / "comm")});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(), [](const PortHolder& a, const PortHolder& b) { return a.Pid < b.Pid; });
    return holders;
}

std::vector<std::string> RunningPortGrabbers(const SerialPortSystem& sys)
{
    static const char* const Known[] = {"ModemManager", "brltty"};
    std::vector<std::string> running;
    std::error_code ec;
    for (fs::directory_iterator it(sys.Proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string comm = FirstLine(it->path() / "comm");
        for (const char* k : Known)
            if (comm == k && std::find(running.begin(), running.end(), comm) == running.end()) running.push_back(comm);
    }
    std::sort(running.begin(), running.end());
    return running;
}

std::string DeviceGroup(const std::string& path, const SerialPortSystem& sys)
{
    struct stat st{};
    if (::stat(Under(sys, path).c_str(), &st) != 0) return {};
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

namespace {

std::string GrabberAdvice(const std::string& service)
{
    const std::string package = service == "ModemManager" ? "modemmanager" : service;
    return "Запущена служба " + service +
           ", которая занимает USB-адаптеры последовательных портов. Остановите её (sudo systemctl stop " + service +
           ") или удалите (sudo apt remove " + package + ").";
}

std::string HolderText(const std::vector<PortHolder>& holders)
{
    std::string text;
    for (const auto& h : holders)
        text += (text.empty() ? "" : ", ") + (h.Name.empty() ? std::string("?") : h.Name) + " (PID " +
                std::to_string(h.Pid) + ")";
    return text;
}

} // namespace

std::string DiagnoseOpenFailure(const std::string& path, TulvOpenError kind, const SerialPortSystem& sys)
{
    std::vector<std::string> lines;
    switch (kind) {
    case TulvOpenError::Missing: {
        lines.push_back("Устройство " + path + " не найдено: адаптер не подключён или получил другое имя.");
        const auto present = ListSerialPorts(sys);
        if (present.empty()) {
            lines.push_back("Других последовательных портов не найдено.");
        } else {
            lines.push_back("Подключены:");
            for (const auto& e : present)
                lines.push_back("  " + e.Path + (e.Path == e.Device ? "" : " (" + e.Device + ")") + " - " + e.Display);
        }
        break;
    }
    case TulvOpenError::NoPermission: {
        const std::string group = DeviceGroup(path, sys);
        const std::string user = CurrentUser();
        if (group.empty()) {
            lines.push_back("Нет прав на открытие " + path + ".");
            break;
        }
        lines.push_back("Нет прав на открытие " + path + ": устройство доступно группе " + group + ".");
        lines.push_back("Пользователя " + (user.empty() ? std::string() : user + " ") +
                        "нужно добавить в группу " + group + " и войти в систему заново:");
        lines.push_back("  sudo usermod -aG " + group + " $USER");
        break;
    }
    case TulvOpenError::Busy: {
        const auto holders = ProcessesHolding(path, sys);
        if (holders.empty())
            lines.push_back("Порт " + path + " занят другой программой (какой - узнать не удалось: она запущена "
                            "другим пользователем). Узнать: sudo fuser -v " + path);
        else
            lines.push_back("Порт " + path + " занят: " + HolderText(holders) + ".");
        break;
    }
    default: break;
    }
    for (const auto& s : RunningPortGrabbers(sys)) lines.push_back(GrabberAdvice(s));
    std::string text;
    for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
    return text;
}

std::string SerialPortState(const SerialPortEntry& entry, const SerialPortSystem& sys)
{
    const std::string dev = Under(sys, entry.Device);
    if (::access(dev.c_str(), R_OK | W_OK) != 0) {
        const std::string group = DeviceGroup(entry.Device, sys);
        return "нет прав" + (group.empty() ? std::string() : " (группа " + group + ")");
    }
    const auto holders = ProcessesHolding(entry.Device, sys);
    if (!holders.empty()) return "занят: " + HolderText(holders);
    return {};
}
