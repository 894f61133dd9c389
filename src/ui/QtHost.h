// The workflow's host in the window program: message boxes, file dialogs, the
// progress bar, the boxes of the slot area and steps on the main thread.
//
// Every call may come from any thread: a call from another thread runs on the
// main thread while the caller waits. Once shutdown has begun, nothing waits
// any more: questions are answered No, dialogs cancelled, steps of other
// threads dropped, so that stopping a thread never waits for the main thread.
#pragma once

#include "Host.h"

#include <QObject>
#include <QPointer>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TMainFrm;
class QWidget;
class QDialog;

class QtHost : public QObject, public Host {
    Q_OBJECT
public:
    explicit QtHost(TMainFrm& window);
    ~QtHost() override;

    MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                         MsgButtons buttons) override;
    std::optional<std::string> ChooseFile(const FileDialog& dialog) override;
    void SetProgress(int minimum, int maximum, int position) override;
    void ShowProgress(bool visible) override;
    void SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour) override;
    void SetConnectButtons(bool connectEnabled, bool disconnectEnabled) override;
    bool PollBoxChecked(int slot) override;
    void RefreshSlots() override;
    void SetStatus(const std::string& text) override;
    bool Print(const PrintDocument& document, std::string& error) override;
    void RunOnMainThread(const std::function<void()>& step) override;
    void ProcessMessages() override;

    // From now on nothing waits for the main thread; steps waiting now are
    // dropped and every open message box or dialog of the workflow is closed,
    // nested ones included (a message of the poller above a file dialog).
    void BeginShutdown();
    bool ShuttingDown() const { return FShutdown.load(); }

    // Test seams: the answer of the next message boxes and the names the next
    // file dialogs "choose" (an empty optional: cancelled). While a queue holds
    // an entry, no dialog is shown.
    void SetNextAnswer(MsgAnswer answer);
    void SetNextFileName(std::optional<std::string> name);
    // Every message box shown (or answered from the queue): caption and text.
    struct Shown {
        std::string Caption;
        std::string Text;
    };
    std::vector<Shown> Messages();
    // The dialogs asked for (answered or shown).
    std::vector<FileDialog> Dialogs();

    // Nested modal loops of the workflow running now (a message box, a dialog).
    int ModalDepth() const { return FModalDepth.load(); }

    // The Qt file-dialog filter of a workflow filter ("Text (*.a)|*.a|..." ->
    // "Text (*.a);;...").
    static QString QtFilter(const std::string& filter);

private:
    struct Call;
    bool OnMain() const;
    // Runs f on the main thread and waits; false when it was dropped.
    bool Invoke(const std::function<void()>& f);
    // Runs a workflow dialog modally, known as open while it runs.
    int RunModal(QDialog& dialog);

    TMainFrm& FWindow;
    std::atomic<bool> FShutdown{false};
    std::atomic<int> FModalDepth{0};
    std::mutex FMutex;
    std::deque<std::shared_ptr<Call>> FPending;
    std::deque<MsgAnswer> FNextAnswers;
    std::deque<std::optional<std::string>> FNextFiles;
    std::vector<Shown> FShown;
    std::vector<FileDialog> FDialogs;
    // The workflow's dialogs open now, innermost last (main thread only).
    std::vector<QPointer<QDialog>> FOpenModals;
    std::array<int, 3> FProgress{-1, -1, -1};
};
