// What the window tests share: the main window of the program in a folder of
// its own (settings, configuration and saved folders), the simulator on its
// line, a configuration loaded as the load button loads it, and finding the
// controls by their names.
#pragma once

// First: its code uses a name that Qt's headers define as a macro.
#include "WorkflowFixture.h"

#include "MainForm.h"
#include "MeterSimProcess.h"
#include "QtHost.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace window_test {

// A slot of the configuration, its serial text not yet known.
inline DeviceSlot Slot(int type, int address, int channel)
{
    return MakeSlot(type, address, channel);
}

template <class P> bool WaitFor(P pred, int ms = 15000)
{
    return QTest::qWaitFor(pred, ms);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folders = ResolveProgramFolders((folder / "clbview").string(), "clbview");
    }
    void TearDown() override
    {
        window.reset();
        sim.reset();
    }

    // The meters on the simulated line.
    void StartLine(const std::vector<nlohmann::json>& meters)
    {
        sim = std::make_unique<MeterSimProcess>(nlohmann::json{{"meters", meters}});
    }
    // The settings file: COM1 on the simulated line (when there is one), and a
    // reply timeout of packetTimeout ms.
    void WriteSettings(int packetTimeout = 150)
    {
        std::ofstream ini(folders.SettingsFile, std::ios::binary);
        ini << "[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB=50\r\nNP=" << packetTimeout << "\r\nNR=1\r\n";
        if (sim) ini << "[Ports]\r\nCOM1=" << sim->DevicePath() << "\r\n";
    }
    void ShowWindow()
    {
        window = std::make_unique<TMainFrm>(folders);
        window->show();
    }
    // The slots, through a configuration file loaded as the load button loads it.
    void Configure(const std::vector<DeviceSlot>& cfg)
    {
        DevManager d;
        for (std::size_t i = 0; i < cfg.size(); ++i) d.Slots[i] = cfg[i];
        const std::string clb = (folder / "slots.clb").string();
        std::string error;
        ASSERT_TRUE(d.SaveSlotFile(clb, error)) << error;
        ASSERT_TRUE(window->Controller().LoadConfiguration(clb));
    }

    template <class T = QWidget> T* W(const char* name)
    {
        T* w = window->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void Click(const char* name) { QTest::mouseClick(W(name), Qt::LeftButton); }
    // The texts of every message box the window's host has shown.
    std::vector<std::string> Messages()
    {
        std::vector<std::string> out;
        for (const auto& m : window->HostOfWindow().Messages()) out.push_back(m.Text);
        return out;
    }

    TempFolder temp{"clbview-"};
    std::filesystem::path folder = temp.Path();
    ProgramFolders folders;
    std::unique_ptr<MeterSimProcess> sim;
    std::unique_ptr<TMainFrm> window;
};

} // namespace window_test
