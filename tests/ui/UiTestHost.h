// A host for window tests: messages are kept, file dialogs are kept and
// answered from NextFile, nothing is shown.
#pragma once

#include "Host.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

class UiTestHost : public Host {
public:
    MsgAnswer MessageBox(const std::string& text, const std::string&, MsgIcon, MsgButtons) override
    {
        messages.push_back(text);
        return MsgAnswer::Ok;
    }
    std::optional<std::string> ChooseFile(const FileDialog& dialog) override
    {
        dialogs.push_back(dialog);
        auto f = NextFile;
        NextFile.reset();
        return f;
    }
    void SetProgress(int, int, int) override {}
    void ShowProgress(bool) override {}
    void SetBox(const std::string&, std::optional<std::string>, std::optional<BoxColour>) override {}
    void SetConnectButtons(bool, bool) override {}
    bool PollBoxChecked(int) override { return true; }
    void RefreshSlots() override {}
    bool Print(const PrintDocument&, std::string&) override { return false; }
    void RunOnMainThread(const std::function<void()>& step) override { step(); }
    void ProcessMessages() override {}
    void SetStatus(const std::string& text) override { status = text; }
    std::string status;

    std::vector<std::string> messages;
    std::vector<FileDialog> dialogs;
    std::optional<std::string> NextFile;
};

// main() of a window test: an application on the offscreen platform unless a display is asked for.
#define CLB_UI_TEST_MAIN                                                                                              \
    int main(int argc, char** argv)                                                                                   \
    {                                                                                                                 \
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);                                                                  \
        QApplication app(argc, argv);                                                                                 \
        ::testing::InitGoogleTest(&argc, argv);                                                                       \
        return RUN_ALL_TESTS();                                                                                       \
    }
