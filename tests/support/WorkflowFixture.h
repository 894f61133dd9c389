// A workflow on a simulated line, as the window runs it: the slot table, the
// real serial port on the simulator's pseudo-terminal, the poller, the
// connection and a host that keeps what the window would show.
#pragma once

#include "ClbThread.h"
#include "DevManager.h"
#include "MeterSimProcess.h"
#include "Connection.h"
#include "RecordingHost.h"
#include "Slots.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace workflow_test {

using nlohmann::json;

inline json Kvt64(int address, json extra = json::object())
{
    json m = {{"address", address},
              {"protocol", "6x"},
              {"model", "kvt64"},
              {"texts", {{"id", "KVT-64"}, {"version", "V3.011"}}},
              {"factory_number", 12064000 + address},
              {"gmax", {2.5, 16.0}},
              {"live", {{"G", {0.25, 0.5}}}},
              {"tables",
               {{"1",
                 {{"K", {13107.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5}},
                  {"Obr", {13107.0, 26214.0, 0.0011, 0.0026, 0.0051, 0.0102, 0.0201, 0.0404, 0.1003, 0.499}}}}}}};
    m.update(extra);
    return m;
}

inline json Line(std::vector<json> meters)
{
    return {{"meters", meters}};
}

// What the window would show is kept, system error texts in Russian as the
// command line words them; ProcessMessages may raise an error, as a step the
// window runs could.
class TestHost : public RecordingHost {
public:
    TestHost() { SystemTextsInRussian = true; }
    void ProcessMessages() override
    {
        if (throwOnProcessMessages) throw std::runtime_error("raised inside the read-out");
    }
    bool throwOnProcessMessages = false;
};

// A configured workflow on a simulated line.
class Workflow : public ::testing::Test {
protected:
    void Start(const json& scenario, std::vector<DeviceSlot> slots, TimeoutProfile profile = {50, 150, 1})
    {
        sim = std::make_unique<MeterSimProcess>(scenario);
        for (size_t n = 0; n < slots.size(); ++n) dev.Slots[n] = slots[n];
        dev.CompactSlots();
        dev.CreateDrivers(port, profile);
        poller = std::make_unique<TClbThread>(dev, host);
        connection = std::make_unique<Connection>(dev, port, *poller, host);
        choice.Number = 0;
        choice.Path = sim->DevicePath();
        choice.Baud = 9600;
    }
    void TearDown() override
    {
        if (port.Opened() && poller) connection->BDisconnectClick();
        poller.reset();
    }
    static DeviceSlot Slot(int type, int address, int channel) { return MakeSlot(type, address, channel); }
    int Requests(int meterIndex) { return sim->Dump()["meters"][meterIndex]["requests"].get<int>(); }

    std::unique_ptr<MeterSimProcess> sim;
    DevManager dev;
    TulvComPort port;
    TestHost host;
    std::unique_ptr<TClbThread> poller;
    std::unique_ptr<Connection> connection;
    PortChoice choice;
};

} // namespace workflow_test
