#include "RecordingHost.h"

#include "SystemText.h"

MsgAnswer RecordingHost::MessageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                                    MsgButtons buttons)
{
    const Message message{SystemTextsInRussian ? RussianSystemTexts(text) : text, caption, icon, buttons};
    {
        std::lock_guard<std::recursive_mutex> lock(Mutex);
        FMessages.push_back(message);
        FTranscript += caption + ": " + message.Text + "\n";
    }
    if (OnMessage) OnMessage(message);
    if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    if (Answers.empty()) return DefaultAnswer;
    const MsgAnswer a = Answers.front();
    Answers.pop_front();
    return a;
}

std::optional<std::string> RecordingHost::ChooseFile(const FileDialog& dialog)
{
    {
        std::lock_guard<std::recursive_mutex> lock(Mutex);
        FDialogs.push_back(dialog);
    }
    if (OnDialog) OnDialog();
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    if (Files.empty()) return std::nullopt;
    std::string f = Files.front();
    Files.pop_front();
    return f;
}

void RecordingHost::SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour)
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    SlotBox& b = FBoxes[name];
    if (text) b.Text = std::move(text);
    if (colour) b.Colour = colour;
}

void RecordingHost::SetConnectButtons(bool connect, bool disconnect)
{
    ConnectEnabled = connect;
    DisconnectEnabled = disconnect;
}

bool RecordingHost::PollBoxChecked(int slot)
{
    return slot >= 1 && slot <= 2 && PollSlots[slot - 1];
}

void RecordingHost::RefreshSlots()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    ++Refreshes;
}

void RecordingHost::PollCycleDone()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    if (OnCycle) OnCycle();
}

void RecordingHost::SetStatus(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    Status = text;
    StatusTexts.push_back(text);
    if (!text.empty()) FTranscript += text + "\n";
}

bool RecordingHost::Print(const PrintDocument& document, std::string& error)
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    Printed.push_back(document);
    if (OnPrint) return OnPrint(document, error);
    if (!PrintSucceeds && !PrintError.empty()) error = PrintError;
    return PrintSucceeds;
}

void RecordingHost::RunOnMainThread(const std::function<void()>& step)
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    step();
}

std::vector<std::string> RecordingHost::Messages()
{
    std::vector<std::string> t;
    for (const Message& m : Records())
        t.push_back(m.Text);
    return t;
}

std::vector<RecordingHost::Message> RecordingHost::Records()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    return FMessages;
}

std::vector<std::string> RecordingHost::CaptionedTexts()
{
    std::vector<std::string> t;
    for (const Message& m : Records())
        t.push_back(m.Caption + ": " + m.Text);
    return t;
}

void RecordingHost::ClearMessages()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    FMessages.clear();
}

std::vector<FileDialog> RecordingHost::Dialogs()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    return FDialogs;
}

void RecordingHost::ClearDialogs()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    FDialogs.clear();
}

std::string RecordingHost::Transcript()
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    return FTranscript;
}

RecordingHost::SlotBox RecordingHost::BoxState(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(Mutex);
    auto it = FBoxes.find(name);
    return it == FBoxes.end() ? SlotBox{} : it->second;
}
