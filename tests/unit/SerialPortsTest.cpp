// Serial ports by name on a tree of /dev, /sys and /proc built by the test:
// which devices are listed and how, the stable name of a device, an adapter
// that comes and goes between two listings, and the texts of the diagnosis.
#include "PortsCommand.h"
#include "SerialPorts.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fs = std::filesystem;

namespace {

void Put(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

void Link(const fs::path& link, const std::string& target)
{
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

// A computer's /dev, /sys and /proc in a temporary folder, laid out as udev
// and the kernel lay them out.
class FakeSystem {
public:
    FakeSystem()
    {
        fs::create_directories(Root / "dev");
        fs::create_directories(Root / "proc");
    }
    SerialPortSystem Sys() const { return {Root.string(), (Root / "proc").string()}; }

    // A USB adapter: ttyUSB<n> sits under the interface, ttyACM<n> is the interface's own.
    void PlugUsb(const std::string& name, const std::string& byId, const std::string& maker, const std::string& product,
                 const std::string& serial, const std::string& bus)
    {
        const fs::path usb = Root / "sys/devices/pci0000:00/usb1" / bus;
        Put(usb / "idVendor", "0403\n");
        if (!maker.empty()) Put(usb / "manufacturer", maker + "\n");
        if (!product.empty()) Put(usb / "product", product + "\n");
        if (!serial.empty()) Put(usb / "serial", serial + "\n");
        fs::path dev = usb / (bus + ":1.0");
        if (name.rfind("ttyUSB", 0) == 0) dev /= name;
        fs::create_directories(dev);
        fs::create_directories(Root / "sys/class/tty" / name);
        fs::create_directory_symlink(fs::relative(dev, Root / "sys/class/tty" / name), Root / "sys/class/tty" / name / "device");
        Put(Root / "dev" / name, "");
        if (!byId.empty()) Link(Root / "dev/serial/by-id" / byId, "../../" + name);
    }
    void Unplug(const std::string& name, const std::string& byId, bool leaveLink = false)
    {
        fs::remove(Root / "dev" / name);
        fs::remove_all(Root / "sys/class/tty" / name);
        if (!byId.empty() && !leaveLink) fs::remove(Root / "dev/serial/by-id" / byId);
    }
    // A ttyS node; device: sysfs knows a device behind it; type: its UART type ("" = no type file).
    void AddTtyS(const std::string& name, bool device, const std::string& type)
    {
        Put(Root / "dev" / name, "");
        fs::create_directories(Root / "sys/class/tty" / name);
        if (device) fs::create_directories(Root / "sys/class/tty" / name / "device");
        if (!type.empty()) Put(Root / "sys/class/tty" / name / "type", type + "\n");
    }
    void Process(int pid, const std::string& comm, const std::string& openDevice = "")
    {
        Put(Root / "proc" / std::to_string(pid) / "comm", comm + "\n");
        fs::create_directories(Root / "proc" / std::to_string(pid) / "fd");
        Link(Root / "proc" / std::to_string(pid) / "fd/0", "/dev/null");
        if (!openDevice.empty()) Link(Root / "proc" / std::to_string(pid) / "fd/5", (Root / openDevice.substr(1)).string());
    }

    TempFolder Folder{"clb_ports_"};
    fs::path Root = Folder.Path();
};

const char* const FtdiId = "usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0";
const char* const AcmId = "usb-Zavod_Teplo_Bridge_0042-if00";

std::vector<std::string> Column(const std::vector<SerialPortEntry>& list, std::string SerialPortEntry::*field)
{
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(e.*field);
    return out;
}

TEST(SerialPorts, ListsAdaptersByStableNameAndUartsOnly)
{
    FakeSystem fake;
    fake.PlugUsb("ttyUSB0", FtdiId, "FTDI", "FT232R USB UART", "A10K3XYZ", "1-1");
    fake.PlugUsb("ttyACM0", AcmId, "Завод", "Teplo Bridge", "0042", "1-2");
    fake.PlugUsb("ttyUSB10", "", "", "", "", "1-3"); // no serial number: udev gives it no by-id name
    fake.PlugUsb("ttyUSB2", "usb-Prolific_2303-if00-port0", "Prolific", "", "", "1-4");
    fake.AddTtyS("ttyS0", true, "4");  // a 16550A
    fake.AddTtyS("ttyS1", true, "0");  // a port the kernel found no UART for
    fake.AddTtyS("ttyS2", false, "");  // no device behind it
    fake.AddTtyS("ttyS3", true, "");   // type not readable: kept
    Put(fake.Root / "dev/tty0", "");
    Put(fake.Root / "dev/ttyprintk", "");

    const auto list = ListSerialPorts(fake.Sys());
    EXPECT_EQ(Column(list, &SerialPortEntry::Path),
              (std::vector<std::string>{"/dev/serial/by-id/" + std::string(AcmId), "/dev/ttyS0", "/dev/ttyS3",
                                        "/dev/serial/by-id/" + std::string(FtdiId),
                                        "/dev/serial/by-id/usb-Prolific_2303-if00-port0", "/dev/ttyUSB10"}));
    EXPECT_EQ(Column(list, &SerialPortEntry::Device),
              (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS3", "/dev/ttyUSB0", "/dev/ttyUSB2",
                                        "/dev/ttyUSB10"}));
    EXPECT_EQ(Column(list, &SerialPortEntry::Display),
              (std::vector<std::string>{"ttyACM0: Завод Teplo Bridge, № 0042", "ttyS0: последовательный порт",
                                        "ttyS3: последовательный порт", "ttyUSB0: FTDI FT232R USB UART, № A10K3XYZ",
                                        "ttyUSB2: Prolific", "ttyUSB10"}));
    EXPECT_EQ(list[3].Manufacturer, "FTDI");
    EXPECT_EQ(list[3].Product, "FT232R USB UART");
    EXPECT_EQ(list[3].Serial, "A10K3XYZ");
}

TEST(SerialPorts, AnAdapterThatComesAndGoesBetweenTwoListings)
{
    FakeSystem fake;
    fake.AddTtyS("ttyS0", true, "4");
    const std::string byId = "/dev/serial/by-id/" + std::string(FtdiId);
    ASSERT_EQ(ListSerialPorts(fake.Sys()).size(), 1u);

    fake.PlugUsb("ttyUSB0", FtdiId, "FTDI", "FT232R USB UART", "A10K3XYZ", "1-1");
    auto list = ListSerialPorts(fake.Sys());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].Path, byId);
    EXPECT_EQ(StableSerialName("/dev/ttyUSB0", fake.Sys()), byId);
    EXPECT_EQ(StableSerialName(byId, fake.Sys()), byId);
    EXPECT_EQ(StableSerialName("/dev/ttyS0", fake.Sys()), "/dev/ttyS0");

    // Unplugged: gone from the list, even where a stale by-id link is left behind.
    fake.Unplug("ttyUSB0", FtdiId, true);
    list = ListSerialPorts(fake.Sys());
    EXPECT_EQ(Column(list, &SerialPortEntry::Path), std::vector<std::string>{"/dev/ttyS0"});
    EXPECT_EQ(StableSerialName("/dev/ttyUSB0", fake.Sys()), "/dev/ttyUSB0");
    const std::string missing = DiagnoseOpenFailure(byId, TulvOpenError::Missing, fake.Sys());
    EXPECT_EQ(missing, "Устройство " + byId + " не найдено: адаптер не подключён или получил другое имя.\n"
                                              "Подключены:\n  /dev/ttyS0 - ttyS0: последовательный порт");

    // Plugged in again, now as ttyUSB1: the stable name finds it where it is.
    fs::remove(fake.Root / "dev/serial/by-id" / FtdiId);
    fake.PlugUsb("ttyUSB1", FtdiId, "FTDI", "FT232R USB UART", "A10K3XYZ", "1-2");
    list = ListSerialPorts(fake.Sys());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].Path, byId);
    EXPECT_EQ(list[1].Device, "/dev/ttyUSB1");
}

TEST(SerialPorts, DiagnosisNamesHoldersGroupsAndGrabbingServices)
{
    FakeSystem fake;
    fake.PlugUsb("ttyUSB0", FtdiId, "FTDI", "FT232R USB UART", "A10K3XYZ", "1-1");
    fake.Process(1, "systemd");
    fake.Process(812, "minicom", "/dev/ttyUSB0");
    const std::string byId = "/dev/serial/by-id/" + std::string(FtdiId);

    // The holder is found through the stable name too.
    EXPECT_EQ(DiagnoseOpenFailure(byId, TulvOpenError::Busy, fake.Sys()), "Порт " + byId + " занят: minicom (PID 812).");
    ASSERT_EQ(ProcessesHolding("/dev/ttyUSB0", fake.Sys()).size(), 1u);
    EXPECT_EQ(SerialPortState(ListSerialPorts(fake.Sys())[0], fake.Sys()), "занят: minicom (PID 812)");

    EXPECT_TRUE(RunningPortGrabbers(fake.Sys()).empty());
    fake.Process(640, "ModemManager");
    fake.Process(641, "brltty");
    EXPECT_EQ(RunningPortGrabbers(fake.Sys()), (std::vector<std::string>{"ModemManager", "brltty"}));
    const std::string other = DiagnoseOpenFailure("/dev/ttyUSB0", TulvOpenError::Other, fake.Sys());
    EXPECT_EQ(other, "Запущена служба ModemManager, которая занимает USB-адаптеры последовательных портов. "
                     "Остановите её (sudo systemctl stop ModemManager) или удалите (sudo apt remove modemmanager).\n"
                     "Запущена служба brltty, которая занимает USB-адаптеры последовательных портов. "
                     "Остановите её (sudo systemctl stop brltty) или удалите (sudo apt remove brltty).");

    // Nothing plugged in at all.
    FakeSystem empty;
    EXPECT_EQ(DiagnoseOpenFailure("/dev/ttyUSB0", TulvOpenError::Missing, empty.Sys()),
              "Устройство /dev/ttyUSB0 не найдено: адаптер не подключён или получил другое имя.\n"
              "Других последовательных портов не найдено.");
}

TEST(PortsCommand, ListsInTextAndJson)
{
    EXPECT_TRUE(IsPortsCommand({"ports"}));
    EXPECT_TRUE(IsPortsCommand({"--json", "ports"}));
    EXPECT_FALSE(IsPortsCommand({"save", "1", "ports"}));
    EXPECT_FALSE(IsPortsCommand({"ports", "ports"}));

    FakeSystem fake;
    std::ostringstream none;
    EXPECT_EQ(RunPortsCommand({"ports"}, none, fake.Sys()), 0);
    EXPECT_EQ(none.str(), "Последовательные порты не найдены.\n");

    fake.PlugUsb("ttyUSB0", FtdiId, "FTDI", "FT232R USB UART", "A10K3XYZ", "1-1");
    fake.AddTtyS("ttyS0", true, "4");
    fake.Process(812, "minicom", "/dev/ttyS0");
    fake.Process(640, "brltty");
    std::ostringstream text;
    RunPortsCommand({"ports"}, text, fake.Sys());
    EXPECT_EQ(text.str(), "/dev/ttyS0\tttyS0: последовательный порт\tзанят: minicom (PID 812)\n"
                          "/dev/serial/by-id/" + std::string(FtdiId) + "\tttyUSB0: FTDI FT232R USB UART, № A10K3XYZ\n"
                          "Запущена служба brltty, которая занимает USB-адаптеры последовательных портов. "
                          "Остановите её (sudo systemctl stop brltty) или удалите (sudo apt remove brltty).\n");

    std::ostringstream js;
    RunPortsCommand({"--json", "ports"}, js, fake.Sys());
    const auto j = nlohmann::json::parse(js.str());
    ASSERT_EQ(j["ports"].size(), 2u);
    EXPECT_EQ(j["ports"][1]["path"], "/dev/serial/by-id/" + std::string(FtdiId));
    EXPECT_EQ(j["ports"][1]["device"], "/dev/ttyUSB0");
    EXPECT_EQ(j["ports"][1]["serial"], "A10K3XYZ");
    EXPECT_EQ(j["ports"][1]["state"], "");
    EXPECT_EQ(j["ports"][0]["state"], "занят: minicom (PID 812)");
    EXPECT_EQ(j["services"], nlohmann::json::array({"brltty"}));
}

} // namespace
