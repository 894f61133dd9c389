// The serial devices of this computer, found by name rather than by COM number,
// and the reasons a device will not open, put so that a technician can act.
//
// Everything is read from the file system: /dev/serial/by-id (the stable names
// udev gives USB adapters), /dev/ttyUSB*, /dev/ttyACM*, the /dev/ttyS* with a
// UART behind them (sysfs), the adapter's maker, model and serial number
// (sysfs), and /proc for the processes that hold a device or services that
// grab adapters. A root folder stands in for "/" so that tests can build a
// tree of their own.
#pragma once

#include "UlvComPort.h"

#include <string>
#include <vector>

struct SerialPortSystem {
    std::string Root;           // "" for this computer, else a folder holding dev/ and sys/
    std::string Proc = "/proc"; // where running processes are listed
};

struct SerialPortEntry {
    // What to open and to keep in the settings file: the by-id path when the
    // device has one, else the /dev path. Paths are as the system names them
    // (without the root folder).
    std::string Path;
    std::string Device;       // the kernel's device: /dev/ttyUSB0
    std::string Manufacturer; // of a USB adapter, when known
    std::string Product;
    std::string Serial;
    // One line for a list: "ttyUSB0: FTDI FT232R USB UART, № A10K3XYZ".
    std::string Display;
};

// The serial devices present, ordered by device name (ttyACM0, ttyS0, ttyUSB2, ttyUSB10).
std::vector<SerialPortEntry> ListSerialPorts(const SerialPortSystem& sys = {});

// The stable name of a device: its by-id path when it has one, else the path
// as given. Accepts /dev/ttyUSB0, a by-id path, or any link to the device.
std::string StableSerialName(const std::string& path, const SerialPortSystem& sys = {});

struct PortHolder {
    int Pid = 0;
    std::string Name; // the process's command name
};

// The processes that have the device open (those whose /proc entries this user
// may read). The device is compared after resolving links.
std::vector<PortHolder> ProcessesHolding(const std::string& path, const SerialPortSystem& sys = {});

// Running services known to take USB serial adapters for themselves.
std::vector<std::string> RunningPortGrabbers(const SerialPortSystem& sys = {});

// The group that may open the device ("" when it cannot be told).
std::string DeviceGroup(const std::string& path, const SerialPortSystem& sys = {});

// Why a device would not open and what to do about it, in one or more lines,
// to show below the port's own message: for a missing device the adapters
// present instead; for no permission the group, that the user must be added
// and log in again, and the command; for a busy device the process holding it
// when it can be found; and, whatever the failure, a running service that
// grabs USB adapters.
std::string DiagnoseOpenFailure(const std::string& path, TulvOpenError kind, const SerialPortSystem& sys = {});

// The state of a listed device without opening it: "" when this user may open
// it and nobody holds it, else one line (no permission, busy).
std::string SerialPortState(const SerialPortEntry& entry, const SerialPortSystem& sys = {});
