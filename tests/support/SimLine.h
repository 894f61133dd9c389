// The simulator on its pseudo-terminal and the real serial port on it, for a
// test: SimulatorLine starts the line and attaches protocol objects of any
// family; ProtocolLine is the fixture of one family's protocol tests, its
// protocol object at address 1.
#pragma once

#include "MeterSimProcess.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <memory>

class SimulatorLine {
protected:
    void StartLine(const nlohmann::json& scenario, MeterSimOptions options = {})
    {
        sim = std::make_unique<MeterSimProcess>(scenario, options);
        port.SetDevicePath(sim->DevicePath());
        if (options.baud != 0) port.SetBaudRate(options.baud);
        ASSERT_TRUE(port.Open()) << port.OpenErrorText();
    }
    // Replies come at once; the timeouts only bound the waits when they do not.
    template <class Protocol> void Attach(Protocol& p, int address)
    {
        p.SetComPort(&port);
        p.SetNetAddr(static_cast<std::uint8_t>(address));
        p.SetEWrite(true);
        p.SetPacketTimeout(100);
        p.SetByteTimeout(50);
        p.SetRepeatCount(2);
    }

    std::unique_ptr<MeterSimProcess> sim;
    TulvComPort port;
};

template <class Protocol> class ProtocolLine : public ::testing::Test, protected SimulatorLine {
protected:
    void Start(const nlohmann::json& scenario)
    {
        StartLine(scenario);
        proto.SetComPort(&port);
        Address(proto);
        proto.SetRepeatCount(3);
        proto.SetPacketTimeout(200);
        proto.SetByteTimeout(50);
    }
    // The meter at address 1, writes allowed (a relay's fixture names its relay instead).
    virtual void Address(Protocol& p)
    {
        p.SetNetAddr(1);
        p.SetEWrite(true);
    }
    void TearDown() override { port.Close(); }

    Protocol proto;
};
