// The workflow against simulated meters: connect and read-out with its failure
// paths, the poller with pause and resume, disconnect during a poll, and
// configuration files through the command-line front.
#include "ClbThread.h"
#include "ClbTool.h"
#include "DevManager.h"
#include "MeterSimProcess.h"
#include "SlotBoxes.h"
#include "UlvComPort.h"
#include "WorkflowFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using nlohmann::json;

namespace {

using namespace workflow_test;

const json FactoryK = {0.0, 1.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5};

TEST_F(Workflow, TwoSlotsOfOneMeterAreReadOverTheSameAddress)
{
    Start(Line({Kvt64(1, {{"gmax", {2.5, 16.0}}})}), {Slot(1, 1, 1), Slot(1, 1, 2)});
    ASSERT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
    EXPECT_TRUE(host.DisconnectEnabled);
    EXPECT_FALSE(host.ConnectEnabled);
    EXPECT_EQ(poller->GetState(), TClbThread::Run);
    EXPECT_EQ(dev.Coefficients(1).Gmax, 2.5f) << "channel 1 reads Gmax at 204";
    EXPECT_EQ(dev.Coefficients(2).Gmax, 16.0f) << "channel 2 reads Gmax at 208";
    EXPECT_EQ(dev.Slot(1).SerialText(), "12064001");
    EXPECT_EQ(dev.Slot(2).SerialText(), "12064001");
    EXPECT_FLOAT_EQ(dev.Slot(1).SoftwareVersion(), 3.111f);
    EXPECT_EQ(host.BoxState("EZero01").Text, "1.25000") << "K0 13107 x Gmax 2.5 / 26214";
    EXPECT_EQ(host.BoxState("EZero01").Colour, ShownColour);
    EXPECT_EQ(host.BoxState("EG018").Text, "1.25000") << "point 8: 0.5 x 2.5";
    EXPECT_TRUE(dev.Coefficients(1).ReadDone);
    EXPECT_TRUE(dev.Coefficients(2).ReadDone);
}

TEST_F(Workflow, APortThatCannotBeOpenedIsReportedWithItsPath)
{
    Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
    choice.Path = "/dev/no-such-port-x";
    EXPECT_FALSE(connection->BConnectClick(choice));
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_NE(host.Messages()[0].find("Невозможно открыть порт "), std::string::npos);
    EXPECT_NE(host.Messages()[0].find("/dev/no-such-port-x"), std::string::npos);
    EXPECT_TRUE(host.ConnectEnabled);
    EXPECT_FALSE(host.DisconnectEnabled);
    EXPECT_FALSE(port.Opened());
}

TEST_F(Workflow, NoConfiguredSlotClosesThePort)
{
    Start(Line({Kvt64(1)}), {});
    EXPECT_FALSE(connection->BConnectClick(choice));
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Не найдено ни одного прибора"});
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(Requests(0), 0);
}

TEST_F(Workflow, AFatalStepOnSlotOneLeavesSlotTwoUnread)
{
    // Replies 1 and 2 are the version and the serial number; Gmax (3 tries) gets none.
    Start(Line({Kvt64(1, {{"faults", {{"silent", {{"from", 3}}}}}}), Kvt64(2)}), {Slot(1, 1, 1), Slot(1, 2, 1)});
    EXPECT_FALSE(connection->BConnectClick(choice));
    // The message names the meter and the step that failed.
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Ошибка чтения данных\n"
                                                        "Прибор 1 (КВТ-64, адрес 1): не прочитан Gmax, нет ответа"});
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(Requests(0), 5) << "version, serial number, three tries of Gmax";
    EXPECT_EQ(Requests(1), 0) << "slot 2 is not read";
    EXPECT_FALSE(dev.Coefficients(1).ReadDone);
    EXPECT_EQ(dev.Slot(1).SerialText(), "12064001") << "the labels show what was read";
    EXPECT_EQ(poller->GetState(), TClbThread::Pause);
}

TEST_F(Workflow, AKEntryThatFailsThreeTimesStillLetsObrBeRead)
{
    // Replies: 1 version, 2 serial, 3 Gmax, 4 K0, 5 Ku, 6..8 three tries of point 1.
    Start(Line({Kvt64(1, {{"faults", {{"silent", {{"from", 6}, {"to", 8}}}}}})}), {Slot(1, 1, 1)});
    dev.Coefficients(1).K.fill(-1.0f);
    EXPECT_FALSE(connection->BConnectClick(choice));
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Ошибка чтения данных\n"
                                                        "Прибор 1 (КВТ-64, адрес 1): не прочитана таблица K, Точка 1, "
                                                        "нет ответа"});
    const auto& c = dev.Coefficients(1);
    EXPECT_TRUE(c.ReadDone);
    EXPECT_EQ(c.K[0], 13107.0f);
    EXPECT_EQ(c.K[1], 26214.0f);
    EXPECT_EQ(c.K[2], 0.0f) << "the failed read stored 0";
    EXPECT_EQ(c.K[3], -1.0f) << "the rest of K keeps its old values";
    EXPECT_FLOAT_EQ(c.Obr[9], 0.499f) << "Obr is read all the same";
    EXPECT_FALSE(port.Opened());
}

TEST_F(Workflow, AnErrorRaisedInsideTheReadOutShowsException)
{
    Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
    host.throwOnProcessMessages = true;
    EXPECT_FALSE(connection->BConnectClick(choice));
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"EXCEPTION"});
    EXPECT_FALSE(port.Opened());
    EXPECT_TRUE(host.ConnectEnabled);
}

TEST_F(Workflow, ASerialNumberThatCannotBeReadIsNotAFailure)
{
    // Replies 2..4: the three tries of the serial number.
    Start(Line({Kvt64(1, {{"faults", {{"silent", {{"from", 2}, {"to", 4}}}}}})}), {Slot(1, 1, 1)});
    EXPECT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
    EXPECT_EQ(dev.Slot(1).SerialText(), "-") << "the text shown so far stays";
    EXPECT_EQ(dev.Coefficients(1).Gmax, 2.5f);
}

TEST_F(Workflow, PollingShowsFlowsAndTurnsRedWhenAMeterStopsAnswering)
{
    json tables = {{"1",
                    {{"K", {0.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5}},
                     {"Obr", {0.0, 26214.0, 0.0011, 0.0026, 0.0051, 0.0102, 0.0201, 0.0404, 0.1003, 0.499}}}}};
    // How many replies the read-out and two polling cycles take; the meter
    // then falls silent after exactly that many.
    int replies = 0;
    {
        Start(Line({Kvt64(1, {{"tables", tables}})}), {Slot(1, 1, 1)});
        ASSERT_TRUE(connection->BConnectClick(choice));
        const auto start = poller->Cycles();
        while (poller->Cycles() < start + 2) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        connection->BDisconnectClick();
        for (const auto& line : sim->LogLines()) replies += line.find(" TX ") != std::string::npos;
        poller.reset();
    }
    dev = DevManager();
    Start(Line({Kvt64(1, {{"tables", tables}, {"faults", {{"silent", {{"from", replies + 1}}}}}})}), {Slot(1, 1, 1)});
    ASSERT_TRUE(connection->BConnectClick(choice));
    const auto start = poller->Cycles();
    while (poller->Cycles() < start + 2) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(poller->FlowOk(1));
    // The raw 0.25 lies between points 7 (0.1 -> 0.1003) and 8 (0.5 -> 0.499) of the curve.
    const double f = 0.1003 + (0.499 - 0.1003) * (0.25 - 0.1) / (0.5 - 0.1);
    EXPECT_NEAR(poller->CurrentFlow(1), 2.5 * f, 1e-5);
    auto box = host.BoxState("EG01");
    EXPECT_EQ(box.Text, FormatValue(6, static_cast<float>(2.5 * f)));
    EXPECT_EQ(box.Colour, TooltipBackground);

    // The meter stops answering: the box turns red, polling goes on.
    const auto now = poller->Cycles();
    while (poller->Cycles() < now + 2) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(poller->FlowOk(1));
    EXPECT_EQ(host.BoxState("EG01").Colour, 0xFF0000u);
    EXPECT_EQ(poller->GetState(), TClbThread::Run);
}

TEST_F(Workflow, AnUnpluggedAdapterStopsPollingAndIsToldOnce)
{
    Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
    ASSERT_TRUE(connection->BConnectClick(choice));
    const auto start = poller->Cycles();
    while (poller->Cycles() < start + 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim->Unplug();
    // The message is the poller's last step.
    for (int i = 0; i < 500 && host.Messages().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(poller->GetState(), TClbThread::Pause) << "the poller paused itself";
    EXPECT_FALSE(port.Opened());
    EXPECT_TRUE(host.ConnectEnabled);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_NE(host.Messages()[0].find(sim->DevicePath()), std::string::npos) << host.Messages()[0];
    sim->Replug();
    connection->BDisconnectClick();
    EXPECT_TRUE(connection->BConnectClick(choice)) << host.Transcript();
}

TEST_F(Workflow, AClearedPollBoxGreysTheSlotAndMakesNoTransaction)
{
    Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
    host.PollSlots[0] = false;
    ASSERT_TRUE(connection->BConnectClick(choice));
    const int before = Requests(0);
    const auto start = poller->Cycles();
    while (poller->Cycles() < start + 3) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Requests(0), before);
    EXPECT_EQ(host.BoxState("EG01").Colour, 0xA0A0A4u);
}

TEST_F(Workflow, PausingHandsThePortOverAndRestoresThePoller)
{
    Start(Line({Kvt64(1)}), {Slot(1, 1, 1)});
    ASSERT_TRUE(connection->BConnectClick(choice));
    for (int round = 0; round < 20; ++round) {
        PausePolling pause(*poller);
        EXPECT_EQ(poller->GetState(), TClbThread::Pause);
        EXPECT_FALSE(poller->IsBusy());
        // Another user of the port: a read of the meter from this thread.
        auto& d = *std::get<1>(dev.Driver(1));
        std::uint8_t b[4];
        d.ReadRtc2k(0x0700, b, 4);
        EXPECT_EQ(d.LastError(), 0u) << "round " << round;
        EXPECT_FALSE(poller->IsBusy()) << "the poller stays out while paused";
    }
    EXPECT_EQ(poller->GetState(), TClbThread::Run);
    // Every frame the meter saw was well formed: no garbage in the log.
    for (const auto& line : sim->LogLines()) EXPECT_EQ(line.find("GARBAGE"), std::string::npos) << line;
}

TEST_F(Workflow, DisconnectDuringAPollWaitsForTheSlotsReads)
{
    // Slow replies: a slot's reads take a while.
    Start(Line({Kvt64(1, {{"faults", {{"delay_ms", {{"ms", 120}, {"from", 24}}}}}})}), {Slot(1, 1, 1)},
          TimeoutProfile{50, 300, 1});
    ASSERT_TRUE(connection->BConnectClick(choice));
    while (!poller->IsBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    connection->BDisconnectClick();
    EXPECT_FALSE(poller->IsBusy()) << "the port is closed only after the reads";
    EXPECT_FALSE(port.Opened());
    EXPECT_TRUE(host.ConnectEnabled);
    EXPECT_EQ(poller->GetState(), TClbThread::Pause);
}

// --- Configuration files through the command-line front ------------------------

std::string TempPath(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()))).string();
}

TEST(ClbToolFiles, LoadsAConfigurationFileAndCompactsIt)
{
    MeterSimProcess sim(Line({Kvt64(1)}));
    DevManager src;
    src.Slot(2).SetTypeCode(1);
    src.Slot(2).SetNetAddress(1);
    src.Slot(2).SetChannel(1);
    src.Slot(2).SetSerialText("99999999");
    const std::string path = TempPath("cfg") + ".clb";
    std::string err;
    ASSERT_TRUE(src.SaveSlotFile(path, err));
    std::ostringstream out, errs;
    int status = RunClbTool({"--port", sim.DevicePath(), "--clb", path, "--timeouts", "50,150,1", "--json", "read"},
                            out, errs);
    std::filesystem::remove(path);
    ASSERT_EQ(status, 0) << errs.str();
    json j = json::parse(out.str());
    ASSERT_EQ(j["slots"].size(), 1u);
    EXPECT_EQ(j["slots"][0]["slot"], 1) << "slot 2 moved up";
    EXPECT_EQ(j["slots"][0]["serial"], "12064001") << "the file's serial text is never shown";
    EXPECT_EQ(j["slots"][0]["gmax"], 2.5);
    EXPECT_EQ(j["slots"][0]["shown"]["zero"], "1.25000");
    EXPECT_EQ(j["messages"], json::array());
}

TEST(ClbToolFiles, RefusesAWrongMagicAndBadArguments)
{
    const std::string path = TempPath("bad") + ".clb";
    {
        std::ofstream f(path, std::ios::binary);
        std::string bytes(116, '\0');
        bytes[0] = static_cast<char>(0xCA);
        bytes[3] = static_cast<char>(0xCE);
        f << bytes;
    }
    std::ostringstream out, err;
    EXPECT_EQ(RunClbTool({"--port", "/dev/null", "--clb", path, "read"}, out, err), 2);
    EXPECT_NE(err.str().find("Ошибка загрузки файла конфигурации"), std::string::npos);
    std::filesystem::remove(path);
    for (auto args : std::vector<std::vector<std::string>>{{"read", "--slot", "14:1:1"},
                                                           {"--slot", "17:1", "read"},
                                                           {"--slot", "1:1:3", "read"},
                                                           {"--slot", "15:1:1@12345", "read"},
                                                           {"--baud", "4800", "read"},
                                                           {"frobnicate"},
                                                           {"--timeouts", "1,2", "read"}}) {
        std::ostringstream o, e;
        EXPECT_EQ(RunClbTool(args, o, e), 2) << args[0];
    }
}

} // namespace
