// The workflow's host for the command line: messages go to the error stream
// (system error texts in Russian) and are kept for the JSON output; questions
// are answered from an option and not repeated; the boxes of the window are
// kept as texts.
#pragma once

#include "Host.h"

#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class ConsoleHost : public Host {
public:
    struct Box {
        std::optional<std::string> Text;
        std::optional<BoxColour> Colour;
    };

    explicit ConsoleHost(std::ostream& err) : FErr(err) {}

    MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                         MsgButtons buttons) override;
    std::optional<std::string> ChooseFile(const FileDialog& dialog) override;
    void SetProgress(int, int, int) override {}
    void ShowProgress(bool) override {}
    void SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour) override;
    void SetConnectButtons(bool, bool) override {}
    bool PollBoxChecked(int slot) override { return slot >= 1 && slot <= 2 && PollSlots[slot - 1]; }
    void RefreshSlots() override {}
    void PollCycleDone() override;
    // The command line has no status bar: the word goes to the error stream as
    // a line of its own and is kept (StatusTexts).
    void SetStatus(const std::string& text) override;
    // Into the PDF file of PrintPdf; without one the page is only kept (Printed).
    bool Print(const PrintDocument& document, std::string& error) override;
    void RunOnMainThread(const std::function<void()>& step) override;
    void ProcessMessages() override {}

    // What the boxes show now (under the host's lock).
    Box BoxState(const std::string& name);
    std::vector<std::string> Messages();
    void ClearMessages();

    bool PollSlots[2] = {true, true};
    // The answer to Yes/No questions.
    bool AnswerYes = false;
    // Called on the main thread after each poll cycle.
    std::function<void()> OnCycle;
    // The file the next file dialog "chooses".
    std::optional<std::string> NextFile;
    // Where printed pages go (a PDF file), and the pages printed so far.
    std::optional<std::string> PrintPdf;
    std::vector<PrintDocument> Printed;
    // Every status word so far (under the host's lock while the tool runs).
    std::vector<std::string> StatusTexts;

private:
    std::ostream& FErr;
    std::recursive_mutex FMutex;
    std::map<std::string, Box> FBoxes;
    std::vector<std::string> FMessages;
};
