// The main window's operations without the window: start-up and shutdown, the
// port and baud selectors, Connect and Disconnect, the slot pictures, the
// configuration files, the slot buttons and the poll check boxes.
//
// The window only shows what this decides and passes its events on; every
// rule here (which slot a click opens, when the configuration may change, what
// a slot column shows) is reachable by a test without a display.
#pragma once

#include "ClbThread.h"
#include "CoefficientActions.h"
#include "DevManager.h"
#include "Host.h"
#include "ProgramFolders.h"
#include "Connection.h"
#include "SerialPorts.h"
#include "SlotBoxes.h"
#include "Settings.h"
#include "UlvComPort.h"
#include "UlvTrace.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

// The caption of the main window: the title and the version.
inline constexpr const char* MainCaptionText = "Просмотр коэф-тов калибровки ";
std::string MainCaption();

// The picture of a slot column (its resource name) and its label.
struct SlotView {
    bool Configured = false;
    std::string Picture; // "NC" for an empty slot
    std::string Label;   // serial text, CR LF, channel; "-", CR LF, "-" for an empty slot
};
SlotView ViewOfSlot(const DeviceSlot& slot);

// The accessible name of a slot box ("Точка 3, прибор 1", "К0, прибор 2", ...).
std::string BoxAccessibleName(int slot, int row);

// The question before both slots are emptied: what each holds, then whether to clear.
std::string ClearConfigurationQuestion(const DevManager& dev);
// Why a click on a slot picture does nothing now (connected, or a read-out under way).
std::string SlotClickRefusal(bool connected);
// Why the port or the baud list went back: an operation runs, or the tool is connected.
std::string PortChangeRefusal(bool operationRunning);
std::string BaudChangeRefusal(bool operationRunning);

// Whether a handler of the window may start now. Once closing has begun
// nothing starts, without a word; while an operation of the port runs or a
// dialog of the workflow is open, the word says why.
struct HandlerRefusal {
    bool Refused = false;
    std::string Word;
};
HandlerRefusal RefusalOfHandler(bool closing, bool operationRunning, int workflowDialogs);

// What closing the window does, from what is going on at that moment.
struct CloseSituation {
    bool ModalDialogOpen = false; // a modal dialog is active above the window
    bool OperationRunning = false;
    int WorkflowDialogs = 0; // the workflow's message boxes and dialogs still open
};
struct CloseDecision {
    enum class Step {
        CloseNow,         // polling ends, the port closes, the program ends
        CancelDialog,     // the window's own dialog is cancelled, then closing is tried again at once
        WaitForOperation, // refused with the word; the operation tries again when it ends
        Retry,            // the workflow's dialogs are unwinding: tried again after RetryMs
    };
    Step Next = Step::CloseNow;
    std::string Word;
    int RetryMs = 0;
};
CloseDecision DecideClose(const CloseSituation& now);

// The port list: COM1..COM16, then the serial devices present by their stable
// names, then a device remembered in the settings that is not plugged in now,
// marked "(нет)". The entry in use is selected.
struct PortListEntry {
    std::string Text;  // "COM3", "ttyUSB0: FTDI FT232R USB UART, № A10K3XYZ", "<path> (нет)"
    std::string Path;  // the device the entry stands for
    int ComNumber = 0; // 1..16 for COMn; 0 for a device chosen by its name (Path)
    // The hint of the entry in use: its name and its device ("COM3 = /dev/ttyS2").
    std::string Hint() const;
};
struct PortList {
    std::vector<PortListEntry> Entries;
    int Selected = 0;
};

// The grey of the boxes of an empty slot.
inline constexpr BoxColour EmptySlotColour = 0x808080;

// The filter of the configuration dialogs.
inline constexpr const char* ClbFileFilter = "Конфигурация приборов (*.clb)|*.clb|Все файлы (*.*)|*.*";

class MainController {
public:
    // host: the window (or a test's host). folders: where the settings file,
    // the configuration folder and the saved folders live.
    MainController(Host& host, ProgramFolders folders);
    // Stops the poller (before the port and before the host go), closes the port.
    ~MainController();
    MainController(const MainController&) = delete;
    MainController& operator=(const MainController&) = delete;

    // The start-up steps after the window exists: folders, both slots empty,
    // the slot area drawn, the settings read, the poller started paused.
    // Problems (a folder or a settings file that cannot be used) are told and
    // the tool goes on with defaults.
    void Startup();

    // The one operation that brings the slot area and the drivers in line with
    // the slot table.
    void RebuildSlots(bool recreateDrivers);

    // The selectors (list positions) as the settings file has them.
    int PortIndex() const { return FSettings.Port() - 1; }
    int BaudIndex() const { return FSettings.Baud(); }
    // The device path that COM<index+1> stands for.
    std::string PortPath(int index) const { return FSettings.PortPath(index + 1); }
    // The port and baud lists may change only while disconnected and while no
    // operation runs: the operation thread reads the settings, and polling
    // goes on over the port it opened. The changes return false (and change
    // nothing) otherwise.
    bool PortListsEnabled(bool operationRunning) const { return Disconnected() && !operationRunning; }
    // The port list with the devices present now (ListSerialPorts); it is kept
    // for CBPortChange, which picks its entries by position.
    const PortList& FillPorts(const std::vector<SerialPortEntry>& present);
    const PortList& Ports() const { return FPorts; }
    // An entry of the port list chosen: a COM number, or a device by its name.
    bool CBPortChange(int index, bool operationRunning = false);
    // A serial device chosen by its stable name instead of a COM number.
    bool SelectDevice(const std::string& path);
    bool CBBaudChange(int index, bool operationRunning = false);

    // Whether the configuration may change: the Connect button is enabled.
    bool Disconnected() const { return FConnectEnabled.load(); }
    bool Connected() const { return FDisconnectEnabled.load(); }

    // Connect (the port the selectors name) and Disconnect.
    bool BConnectClick();
    void BDisconnectClick();
    // A Connect is under way (Disconnect and Escape give it up then).
    bool ReadingOut() const { return FConnection && FConnection->ReadingOut(); }
    // Gives up the Connect under way (any thread); false when none runs.
    bool CancelReadOut() { return FConnection && FConnection->CancelReadOut(); }
    // The window is closing: a Connect under way is given up at once and no
    // later one opens the port. An operation that writes is left to finish.
    void BeginClose();

    // A click on a slot picture: which dialog it opens (none while connected).
    enum class SlotDialog { None, Add, Select };
    // While connected or reading out it opens none and says why in the status line.
    SlotDialog Img1Click(int slot);
    // The right mouse button on a slot picture: the question (which names what
    // both slots hold), and on Yes both slots emptied. True when the slots were
    // emptied. No question when both are empty already; none while connected
    // or reading out (said in the status line).
    bool Img1MouseDown(int slot);

    // The configuration files. Load only while disconnected.
    bool BLoadConfClick();
    bool BSaveConfClick();
    // Loads a configuration file named on the command line, as the load button would.
    bool LoadConfiguration(const std::string& path);

    // The slot buttons.
    void BLoad01Click(int slot);
    void BSave01Click(int slot);

    // A poll check box changed: the user's choice for that slot.
    void CBDev01Click(int slot, bool checked);
    // The poll check box of a slot: enabled for a configured slot, ticked as
    // the user left it. A slot whose configuration changes (another type,
    // address, channel or relay address, or newly filled) starts ticked; a
    // read-out or a redraw keeps the choice.
    struct PollBoxState {
        bool Enabled = false;
        bool Checked = false;
    };
    PollBoxState PollBox(int slot) const;

    // How the window draws a slot column (RebuildSlots): a configured slot has
    // its boxes enabled and coloured, the flow box in the tooltip background
    // and the others light green, their texts left as they are, and its
    // buttons enabled; an empty slot has every box disabled, grey and emptied,
    // and its buttons disabled.
    struct BoxState {
        std::string Name;
        bool Enabled = false;
        bool Emptied = false; // the text is cleared; otherwise it is left as it is
        BoxColour Colour = EmptySlotColour;
    };
    struct SlotColumn {
        SlotView View;
        PollBoxState Poll;
        std::vector<BoxState> Boxes; // flow, zero, gain, points 1..8
        bool ButtonsEnabled = false; // load, save, curve
    };
    SlotColumn Column(int slot) const;

    // The help file: the program's path with ".html" when there is one, else
    // the manual the package installs; a path that does not exist names the
    // first of these.
    std::string HelpFilePath() const;

    // Ends polling and closes the port; safe to call more than once.
    void Shutdown();

    DevManager& Dev() { return FDev; }
    Settings& Config() { return FSettings; }
    TimeoutProfile& Timeouts() { return FTimeouts; }
    TulvComPort& Port() { return FPort; }
    TClbThread* Poller() { return FPoller.get(); }
    const ProgramFolders& Folders() const { return FFolders; }
    PortChoice CurrentPortChoice() const;
    Host& HostOfWorkflow() { return FProxy; }
    // The slot buttons' coefficient actions (their guarded write); none before Startup.
    CoefficientActions* Actions() { return FActions.get(); }

private:
    // Forwards everything to the window's host and keeps the state of the
    // Connect and Disconnect buttons, which is the connection state.
    class StateHost : public Host {
    public:
        StateHost(MainController& owner, Host& host) : FOwner(owner), FHost(host) {}
        MsgAnswer MessageBox(const std::string& t, const std::string& c, MsgIcon i, MsgButtons b) override
        {
            return FHost.MessageBox(t, c, i, b);
        }
        std::optional<std::string> ChooseFile(const FileDialog& d) override { return FHost.ChooseFile(d); }
        void SetProgress(int a, int b, int c) override { FHost.SetProgress(a, b, c); }
        void ShowProgress(bool v) override { FHost.ShowProgress(v); }
        void SetBox(const std::string& n, std::optional<std::string> t, std::optional<BoxColour> c) override
        {
            FHost.SetBox(n, std::move(t), c);
        }
        void SetConnectButtons(bool connect, bool disconnect) override
        {
            FOwner.FConnectEnabled = connect;
            FOwner.FDisconnectEnabled = disconnect;
            // During a read-out Disconnect stays usable: it gives the read-out up.
            FHost.SetConnectButtons(connect, disconnect || (!connect && FOwner.ReadingOut()));
        }
        bool PollBoxChecked(int slot) override { return FHost.PollBoxChecked(slot); }
        // On the main thread, which owns the slot area and the poll choices;
        // the read-out waits meanwhile.
        void RefreshSlots() override
        {
            FHost.RunOnMainThread([this] { FOwner.RebuildSlots(false); });
        }
        void PollCycleDone() override { FHost.PollCycleDone(); }
        void SetStatus(const std::string& t) override { FHost.SetStatus(t); }
        bool Print(const PrintDocument& d, std::string& e) override { return FHost.Print(d, e); }
        void RunOnMainThread(const std::function<void()>& s) override { FHost.RunOnMainThread(s); }
        void ProcessMessages() override { FHost.ProcessMessages(); }

    private:
        MainController& FOwner;
        Host& FHost;
    };

    void Tell(const std::string& text);
    // Takes the user's poll choices over to a slot table that may have changed.
    void FollowPollChoices();

    Host& FHost;
    StateHost FProxy;
    ProgramFolders FFolders;
    Settings FSettings;
    TimeoutProfile FTimeouts;
    DevManager FDev;
    // The traffic log ([Settings] Trace); it outlives the port it watches.
    std::unique_ptr<TulvTrace> FTrace;
    TulvComPort FPort;
    std::unique_ptr<TClbThread> FPoller;
    std::unique_ptr<Connection> FConnection;
    std::unique_ptr<CoefficientActions> FActions;
    // Per slot: the configuration the poll choice was made for, and the choice.
    std::array<std::string, 2> FPollKey{};
    std::array<bool, 2> FPollChoice{};
    // The port list the window shows (main thread only).
    PortList FPorts;
    std::atomic<bool> FConnectEnabled{true};
    std::atomic<bool> FDisconnectEnabled{false};
};
