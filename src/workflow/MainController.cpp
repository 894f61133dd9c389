#include "MainController.h"

#include "DeviceCatalogue.h"
#include "MeterTypes.h"

#include <filesystem>

namespace {
const char* const ErrorCaption = "Ошибка";
const char* const ClearQuestion = "Вы действительно хотите очистить конфигурацию?";
const char* const BusyWord = "Подождите: идёт обмен с прибором";
constexpr int ComPorts = 16;
} // namespace

std::string ClearConfigurationQuestion(const DevManager& dev)
{
    std::string text = "Из конфигурации будут убраны оба прибора:";
    for (int n = 1; n <= 2; ++n) {
        const DeviceSlot& slot = dev.Slot(n);
        const DeviceTypeInfo* type = FindDeviceType(NormalizeDeviceType(slot.TypeCode()));
        text += "\n" + std::to_string(n) + ": ";
        if (!type || slot.TypeCode() == 0) {
            text += "пусто";
            continue;
        }
        text += std::string(type->DisplayName);
        if (!slot.SerialText().empty() && slot.SerialText() != "-") text += " № " + slot.SerialText();
        text += ", канал " + std::to_string(slot.Channel()) + ", адрес " + std::to_string(slot.NetAddress());
    }
    return text + "\n\n" + ClearQuestion;
}

std::string SlotClickRefusal(bool connected)
{
    return connected ? "Приборы настраиваются без связи: сначала нажмите «Отключить»" : BusyWord;
}

std::string PortChangeRefusal(bool operationRunning)
{
    return operationRunning ? BusyWord : "Порт меняется только после отключения";
}

std::string BaudChangeRefusal(bool operationRunning)
{
    return operationRunning ? BusyWord : "Скорость меняется только после отключения";
}

HandlerRefusal RefusalOfHandler(bool closing, bool operationRunning, int workflowDialogs)
{
    // Once closing has begun nothing starts any more: a click that arrives
    // while the poller is being stopped must not take the port or the poller.
    if (closing) return {true, ""};
    if (!operationRunning && workflowDialogs == 0) return {};
    return {true, BusyWord};
}

CloseDecision DecideClose(const CloseSituation& now)
{
    using Step = CloseDecision::Step;
    // A dialog of the window's own (the tray's Exit while it is open) is cancelled first.
    if (now.ModalDialogOpen && now.WorkflowDialogs == 0) return {Step::CancelDialog, "", 0};
    // A write into a meter is finished first; the operation tries again when it ends.
    if (now.OperationRunning) return {Step::WaitForOperation, "Программа закроется после окончания обмена", 0};
    // The workflow's dialogs have been told to close; their loops unwind before the next try.
    if (now.WorkflowDialogs > 0) return {Step::Retry, "", 20};
    return {Step::CloseNow, "", 0};
}

std::string PortListEntry::Hint() const
{
    return Text.substr(0, Text.find(':')) + " = " + Path;
}

std::string MainCaption()
{
    return std::string(MainCaptionText) + DevManager::Version;
}

SlotView ViewOfSlot(const DeviceSlot& slot)
{
    SlotView v;
    const DeviceTypeCode code = NormalizeDeviceType(slot.TypeCode());
    v.Configured = code != 0;
    if (!v.Configured) {
        v.Picture = "NC";
        v.Label = "-\r\n-";
        return v;
    }
    // A type without a catalogue picture (the КВТ-09M4) has one in its row.
    v.Picture = std::string(PictureOf(code));
    v.Label = slot.SerialText() + "\r\n" + std::to_string(slot.Channel());
    return v;
}

std::string BoxAccessibleName(int slot, int row)
{
    std::string what;
    if (row == -1)
        what = "Текущий расход";
    else if (row == 0)
        what = "К0";
    else if (row == 1)
        what = "Ku";
    else
        what = "Точка " + std::to_string(row - 1);
    return what + ", прибор " + std::to_string(slot);
}

MainController::MainController(Host& host, ProgramFolders folders)
    : FHost(host), FProxy(*this, host), FFolders(std::move(folders))
{
}

MainController::~MainController()
{
    Shutdown();
}

void MainController::Tell(const std::string& text)
{
    FProxy.MessageBox(text, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
}

void MainController::Startup()
{
    std::string error;
    if (!CreateProgramFolders(FFolders, error)) Tell(error);
    FDev.ResetSlots();
    FDev.FreeDrivers();
    RebuildSlots(false);
    if (!FSettings.Open(FFolders.SettingsFile, error)) Tell(error + "\nИспользуются значения по умолчанию.");
    FTimeouts = FSettings.Timeouts();
    if (const std::string trace = FSettings.TraceFile(); !trace.empty()) {
        FTrace = std::make_unique<TulvTrace>(
            trace, FSettings.TraceJsonLines() ? TulvTrace::Format::JsonLines : TulvTrace::Format::Text);
        if (FTrace->IsOpen()) FPort.SetTrace(FTrace.get());
        else Tell("Не удалось открыть файл журнала обмена " + trace + ".\nОбмен не записывается.");
    }
    FPoller = std::make_unique<TClbThread>(FDev, FProxy);
    FConnection = std::make_unique<Connection>(FDev, FPort, *FPoller, FProxy);
    FActions = std::make_unique<CoefficientActions>(FDev, *FPoller, FProxy, &FSettings, FFolders.Saved);
}

void MainController::RebuildSlots(bool recreateDrivers)
{
    if (recreateDrivers) FDev.FreeDrivers();
    FDev.CompactSlots();
    for (int n = 1; n <= 2; ++n) {
        DeviceSlot& s = FDev.Slot(n);
        if (NormalizeDeviceType(s.TypeCode()) == 0) {
            s.SetSerialText("-");
            s.SetChannel(0);
        }
    }
    FollowPollChoices();
    FHost.RefreshSlots();
    if (recreateDrivers) FDev.CreateDrivers(FPort, FTimeouts);
}

namespace {

// What identifies a slot's meter for its poll choice: not the serial text,
// which the read-out fills in.
std::string PollKeyOf(const DeviceSlot& s)
{
    if (NormalizeDeviceType(s.TypeCode()) == 0) return {};
    return std::to_string(s.TypeCode()) + "/" + std::to_string(s.NetAddress()) + "/" + std::to_string(s.Channel()) +
           "/" + std::to_string(s.RelayAddress());
}

} // namespace

void MainController::FollowPollChoices()
{
    for (int n = 1; n <= 2; ++n) {
        const std::string key = PollKeyOf(FDev.Slot(n));
        auto i = static_cast<std::size_t>(n - 1);
        if (key != FPollKey[i]) {
            FPollKey[i] = key;
            FPollChoice[i] = !key.empty();
        }
        FDev.Coefficients(n).PollEnabled = FPollChoice[i];
    }
}

MainController::PollBoxState MainController::PollBox(int slot) const
{
    if (slot != 1 && slot != 2) return {};
    const auto i = static_cast<std::size_t>(slot - 1);
    const bool configured = !FPollKey[i].empty();
    return {configured, configured && FPollChoice[i]};
}

MainController::SlotColumn MainController::Column(int slot) const
{
    SlotColumn column;
    if (slot != 1 && slot != 2) return column;
    column.View = ViewOfSlot(FDev.Slot(slot));
    column.Poll = PollBox(slot);
    const bool on = column.View.Configured;
    column.ButtonsEnabled = on;
    column.Boxes.push_back({FlowBoxName(slot), on, !on, on ? TooltipBackground : EmptySlotColour});
    for (int row = 0; row <= 9; ++row)
        column.Boxes.push_back({CoefficientBoxName(slot, row), on, !on, on ? ShownColour : EmptySlotColour});
    return column;
}

const PortList& MainController::FillPorts(const std::vector<SerialPortEntry>& present)
{
    PortList list;
    for (int n = 1; n <= ComPorts; ++n)
        list.Entries.push_back({"COM" + std::to_string(n), FSettings.PortPath(n), n});
    // The devices present, by their stable names.
    const std::string chosen = FSettings.Device();
    int chosenIndex = -1;
    for (const SerialPortEntry& e : present) {
        list.Entries.push_back({e.Display, e.Path, 0});
        if (e.Path == chosen || e.Device == chosen) chosenIndex = static_cast<int>(list.Entries.size()) - 1;
    }
    if (!chosen.empty() && chosenIndex < 0) {
        // A device remembered but not plugged in now stays chosen, marked as absent.
        list.Entries.push_back({chosen + " (нет)", chosen, 0});
        chosenIndex = static_cast<int>(list.Entries.size()) - 1;
    }
    list.Selected = chosenIndex >= 0 ? chosenIndex : PortIndex();
    FPorts = std::move(list);
    return FPorts;
}

bool MainController::CBPortChange(int index, bool operationRunning)
{
    if (!PortListsEnabled(operationRunning)) return false;
    if (FPorts.Entries.empty()) FillPorts({});
    if (index < 0 || index >= static_cast<int>(FPorts.Entries.size())) return false;
    const PortListEntry& entry = FPorts.Entries[static_cast<std::size_t>(index)];
    if (entry.ComNumber == 0) return SelectDevice(entry.Path);
    std::string error;
    if (!FSettings.SetPort(entry.ComNumber, error)) Tell(error);
    if (!FSettings.Device().empty() && !FSettings.SetDevice("", error)) Tell(error);
    return true;
}

bool MainController::SelectDevice(const std::string& path)
{
    if (!Disconnected()) return false;
    std::string error;
    if (!FSettings.SetDevice(path, error)) Tell(error);
    return true;
}

bool MainController::CBBaudChange(int index, bool operationRunning)
{
    if (!PortListsEnabled(operationRunning)) return false;
    std::string error;
    if (!FSettings.SetBaud(index, error)) Tell(error);
    return true;
}

PortChoice MainController::CurrentPortChoice() const
{
    return PortFromSettings(FSettings);
}

bool MainController::BConnectClick()
{
    if (!Disconnected() || !FConnection) return false;
    return FConnection->BConnectClick(CurrentPortChoice());
}

void MainController::BDisconnectClick()
{
    if (!FConnection) return;
    FConnection->BDisconnectClick();
    FProxy.SetProgress(0, 0, 0);
}

MainController::SlotDialog MainController::Img1Click(int slot)
{
    if (!Disconnected()) {
        FProxy.SetStatus(SlotClickRefusal(Connected()));
        return SlotDialog::None;
    }
    return NormalizeDeviceType(FDev.Slot(slot).TypeCode()) != 0 ? SlotDialog::Select : SlotDialog::Add;
}

bool MainController::Img1MouseDown(int slot)
{
    if (!Disconnected()) {
        FProxy.SetStatus(SlotClickRefusal(Connected()));
        return false;
    }
    if (NormalizeDeviceType(FDev.Slot(1).TypeCode()) == 0 && NormalizeDeviceType(FDev.Slot(2).TypeCode()) == 0) {
        // Nothing to clear: no question.
        FProxy.SetStatus("Конфигурация уже пуста");
        return false;
    }
    if (FProxy.MessageBox(ClearConfigurationQuestion(FDev), "Внимание", MsgIcon::Warning, MsgButtons::YesNo) !=
        MsgAnswer::Yes)
        return false;
    FDev.ResetSlots();
    RebuildSlots(true);
    return true;
}

bool MainController::LoadConfiguration(const std::string& path)
{
    std::string error;
    switch (FDev.LoadSlotFile(path, error)) {
    case DevManager::LoadResult::Loaded:
        RebuildSlots(true);
        return true;
    case DevManager::LoadResult::WrongMagic:
        Tell("Ошибка загрузки файла конфигурации");
        return false;
    default:
        Tell(error);
        return false;
    }
}

bool MainController::BLoadConfClick()
{
    if (!Disconnected()) return false;
    FileDialog d;
    d.Title = "Загрузить конфигурацию";
    d.Filter = ClbFileFilter;
    d.DefaultExt = "clb";
    d.InitialFolder = FFolders.Config;
    const auto path = FProxy.ChooseFile(d);
    if (!path) return false;
    return LoadConfiguration(*path);
}

bool MainController::BSaveConfClick()
{
    FileDialog d;
    d.Title = "Сохранить конфигурацию";
    d.Filter = ClbFileFilter;
    d.DefaultExt = "clb";
    d.InitialFolder = FFolders.Config;
    d.Save = true;
    const auto path = FProxy.ChooseFile(d);
    if (!path) return false;
    std::string error;
    if (!FDev.SaveSlotFile(*path, error)) {
        Tell(error);
        return false;
    }
    return true;
}

void MainController::BLoad01Click(int slot)
{
    if (!FActions) return;
    const auto report = FActions->LoadReport(slot, FActions->BLoad01Click(slot));
    using W = CoefficientActions::Report::Where;
    if (report.Place == W::MessageBox) FProxy.MessageBox(report.Text, report.Caption, report.Icon, MsgButtons::Ok);
    else if (report.Place == W::StatusLine) FProxy.SetStatus(report.Text);
}

void MainController::BSave01Click(int slot)
{
    if (!FActions) return;
    const bool saved = FActions->BSave01Click(slot);
    if (const std::string text = FActions->SaveReport(slot, saved); !text.empty()) FProxy.SetStatus(text);
}

void MainController::CBDev01Click(int slot, bool checked)
{
    if (slot != 1 && slot != 2) return;
    // A box of an empty slot cannot be ticked.
    const auto i = static_cast<std::size_t>(slot - 1);
    FPollChoice[i] = checked && !FPollKey[i].empty();
    FDev.Coefficients(slot).PollEnabled = FPollChoice[i];
}

std::string MainController::HelpFilePath() const
{
    // Next to the program (a copied program folder), else where the package
    // puts the manual, relative to the program and then at its usual place.
    namespace fs = std::filesystem;
    const fs::path program(RunningProgramPath());
    fs::path beside = program;
    beside.replace_extension(".html");
    const fs::path installed = program.parent_path().parent_path() / "share/doc/clbtool/manual/index.html";
    for (const fs::path& p : {beside, installed, fs::path("/usr/share/doc/clbtool/manual/index.html")}) {
        std::error_code ec;
        if (fs::is_regular_file(p, ec)) return p.string();
    }
    return beside.string();
}

void MainController::BeginClose()
{
    if (FConnection) FConnection->CancelForGood();
}

void MainController::Shutdown()
{
    // The poller goes first: it uses the port and the host. Its poll under way
    // is given up rather than waited for (a silent meter would hold it for the
    // whole of its timeouts); the port is restored when it is closed.
    if (FPoller) {
        FPoller->SetState(TClbThread::Stop);
        FPort.Abandon();
        FPoller.reset();
    }
    if (FPort.Opened()) FPort.Close();
    FActions.reset();
    FConnection.reset();
    FDev.FreeDrivers();
}
