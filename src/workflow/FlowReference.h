// The reference of a calibration run: a flow meter of the catalogue on the
// line of the meter under test or on a second port, the ModBus flow meter at
// its ModBus address, or values typed in by hand at each point.
//
// A catalogue meter is read out once (its Gmax and tables, as the connection
// reads a slot) and then read as the poller reads a slot's live flow
// (ReadLiveFlow); the ModBus meter gives its current flow as it reads it.
#pragma once

#include "CalibrationRun.h"
#include "Connection.h"
#include "DeviceSlot.h"
#include "DevManager.h"
#include "Host.h"
#include "Settings.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TulvDln0808;
class TulvComPort;
class TulvPort;

struct ReferenceChoice {
    enum class Kind { Meter, ModBus, Manual } Source = Kind::Manual;
    DeviceSlot Slot;                 // Meter: type, address, channel as a slot holds them
    std::uint8_t ModBusAddress = 0;  // ModBus
    // ModBus: the meter keeps its flow as a whole number; its counts per unit
    // of flow (1000: it counts in thousandths).
    double ModBusScale = 1;
    // The second port the reference is on, set up as the meter's line (its
    // speed and line settings) on a device of its own; none: the meter's line.
    std::optional<PortChoice> Port;
};

// "modbus:ADDR[:SCALE]" (ADDR 1..127, SCALE the counts per unit of flow, 1
// when not given) or "manual"; false for any other text (the caller parses
// the slot form TYPE:ADDR[:CH] itself). A text that starts as "modbus:" but
// has no valid address or scale is refused with a message.
bool ParseReferenceWord(const std::string& text, ReferenceChoice& choice, std::string& error);

// The reference's own port named by the user (COMn or a device path, see
// NamePort), set up as line, the meter's. False with a message (Russian, the
// caller names its control) for a name that is not a port, or for a reference
// typed in by hand, which needs no port.
bool NameReferencePort(ReferenceChoice& choice, const std::string& port, const PortChoice& line,
                       const Settings& settings, std::string& error);

// Whether the reference is read on the meter's line (linePath): it has no port
// of its own, or its port is the meter's device.
bool ReferenceOnLine(const ReferenceChoice& choice, const std::string& linePath);

// Sets port up as the reference's own port and opens it (even parity for a
// relay-addressed reference); false with the message when it does not open.
bool OpenReferencePort(TulvComPort& port, const ReferenceChoice& choice, std::string& error);

// Why a reference cannot be used with the meter under test (Russian), empty
// when it can: a reference on the same line at the meter's own address (the
// same protocol and address) would read the meter itself. portControl: how the
// caller's user puts the reference on another port ("--reference-port", the
// name of a window's list); the message ends with it.
std::string ReferenceClash(const ReferenceChoice& choice, const DeviceSlot& meter, bool samePort,
                           const std::string& portControl);

// A reference read from a meter through a port the caller keeps open.
class MeterReference : public RunReference {
public:
    // A catalogue meter: its driver on port, configured for its slot.
    MeterReference(const DeviceSlot& slot, TulvPort& port, const TimeoutProfile& profile, Host& host);
    // The ModBus flow meter at its address on port, its flow register in
    // counts of 1/scale.
    MeterReference(std::uint8_t modbusAddress, double scale, TulvPort& port, const TimeoutProfile& profile);
    ~MeterReference() override;

    // A catalogue meter: reads it out (version, serial, Gmax, tables) as the
    // connection does; the ModBus meter: its factory number. False with the
    // message of what failed.
    bool Connect(std::string& error);

    std::string Description() const override;
    bool Read(double& flow, std::string& error) override;

    // The serial number read by Connect ("" before).
    const std::string& Serial() const { return FSerial; }

private:
    DevManager FDev; // slot 1: the reference meter of the catalogue
    Host* FHost = nullptr;
    std::unique_ptr<TulvDln0808> FModBus;
    std::uint8_t FModBusAddress = 0;
    double FModBusScale = 1;
    std::string FSerial;
};

// The reference of a choice on line, ready to be read: a meter is read out
// (a catalogue meter) or asked its number (the ModBus meter) first. Null with
// the message "Образцовый прибор: …" when it does not answer.
std::unique_ptr<RunReference> ConnectReference(const ReferenceChoice& choice, TulvPort& line,
                                               const TimeoutProfile& profile, Host& host, std::string& message);

// The reference typed in by hand (RunEvents::AskReference gives its values).
class ManualReference : public RunReference {
public:
    std::string Description() const override { return "вручную"; }
    bool Manual() const override { return true; }
    bool Read(double& flow, std::string& error) override;
};
