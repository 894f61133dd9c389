// The workflow's host in a test: keeps what the workflow shows (messages with
// their caption, icon and buttons, file dialogs, the slot boxes, the status
// word, printed pages, the Connect buttons) and answers from queues: a Yes/No
// question takes the next of Answers (DefaultAnswer when none is left), a file
// dialog the next of Files (cancelled when none is left). Steps for the main
// thread run at once, one at a time, under the host's lock, so the poller's
// thread and the test's may both call it.
#pragma once

#include "Host.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class RecordingHost : public Host {
public:
    struct Message {
        std::string Text;
        std::string Caption;
        MsgIcon Icon = MsgIcon::None;
        MsgButtons Buttons = MsgButtons::Ok;
    };
    struct SlotBox {
        std::optional<std::string> Text;
        std::optional<BoxColour> Colour;
    };

    MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                         MsgButtons buttons) override;
    std::optional<std::string> ChooseFile(const FileDialog& dialog) override;
    void SetProgress(int, int, int) override {}
    void ShowProgress(bool) override {}
    void SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour) override;
    void SetConnectButtons(bool connect, bool disconnect) override;
    bool PollBoxChecked(int slot) override;
    void RefreshSlots() override;
    void PollCycleDone() override;
    void SetStatus(const std::string& text) override;
    // Kept in Printed; fails with a message when PrintSucceeds is false.
    bool Print(const PrintDocument& document, std::string& error) override;
    void RunOnMainThread(const std::function<void()>& step) override;
    void ProcessMessages() override {}

    // What was shown so far (copies, taken under the host's lock): the texts of
    // the messages, the messages whole, "caption: text" per message, the file
    // dialogs, and every message and status word as lines, in turn.
    std::vector<std::string> Messages();
    std::vector<Message> Records();
    std::vector<std::string> CaptionedTexts();
    std::vector<FileDialog> Dialogs();
    std::string Transcript();
    void ClearMessages();
    void ClearDialogs();
    // What a box shows now.
    SlotBox BoxState(const std::string& name);

    // The answers to Yes/No questions, in turn; then DefaultAnswer. An Ok box is answered Ok.
    std::deque<MsgAnswer> Answers;
    MsgAnswer DefaultAnswer = MsgAnswer::No;
    // The names the file dialogs "choose", in turn; then they are cancelled.
    std::deque<std::string> Files;
    // Called (outside the host's lock) with each message as it is shown, and while each file
    // dialog is "open".
    std::function<void(const Message&)> OnMessage;
    std::function<void()> OnDialog;
    // Called on the main thread after each poll cycle.
    std::function<void()> OnCycle;

    // System error texts (as the C library words them) kept in Russian, as the
    // command line shows them.
    bool SystemTextsInRussian = false;
    bool PollSlots[2] = {true, true};
    // Prints a page that is kept; without it printing succeeds when PrintSucceeds,
    // or fails with PrintError (when there is one).
    std::function<bool(const PrintDocument&, std::string& error)> OnPrint;
    bool PrintSucceeds = true;
    std::string PrintError = "no printer in this test";
    std::vector<PrintDocument> Printed;
    // The last status word, and every one so far.
    std::string Status;
    std::vector<std::string> StatusTexts;
    int Refreshes = 0;
    // Set from the poller's thread too (a lost port).
    std::atomic<bool> ConnectEnabled{true};
    std::atomic<bool> DisconnectEnabled{false};

protected:
    std::recursive_mutex Mutex;

private:
    std::vector<Message> FMessages;
    std::vector<FileDialog> FDialogs;
    std::string FTranscript;
    std::map<std::string, SlotBox> FBoxes;
};
