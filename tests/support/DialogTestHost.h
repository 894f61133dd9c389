// A host for dialog tests: every message box is recorded with its caption,
// icon and buttons and answered from a script (Ok, or the next scripted answer
// for a Yes/No question), so no test ever waits for a modal window.
#pragma once

#include "Host.h"

#include <deque>
#include <string>
#include <vector>

class DialogTestHost : public Host {
public:
    struct Box {
        std::string Text;
        std::string Caption;
        MsgIcon Icon;
        MsgButtons Buttons;
    };

    MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) override
    {
        Boxes.push_back({text, caption, icon, buttons});
        if (OnMessage) OnMessage(Boxes.back());
        if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
        if (Answers.empty()) return MsgAnswer::No;
        const MsgAnswer a = Answers.front();
        Answers.pop_front();
        return a;
    }
    std::optional<std::string> ChooseFile(const FileDialog&) override { return std::nullopt; }
    void SetProgress(int, int, int) override {}
    void ShowProgress(bool) override {}
    void SetBox(const std::string&, std::optional<std::string>, std::optional<BoxColour>) override {}
    void SetConnectButtons(bool, bool) override {}
    bool PollBoxChecked(int) override { return true; }
    void RefreshSlots() override {}
    bool Print(const PrintDocument&, std::string& error) override
    {
        error = "no printer in this test";
        return false;
    }
    void RunOnMainThread(const std::function<void()>& step) override { step(); }
    void ProcessMessages() override {}
    void SetStatus(const std::string& text) override { status = text; }
    std::string status;

    // The texts of the boxes shown so far.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> t;
        for (const auto& b : Boxes)
            t.push_back(b.Text);
        return t;
    }

    std::vector<Box> Boxes;
    std::deque<MsgAnswer> Answers;
    std::function<void(const Box&)> OnMessage;
};
