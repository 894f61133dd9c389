// How the calibration workflow tells and asks the user.
//
// The workflow never shows a window itself: the main window implements this
// interface with message boxes and dialogs, the command-line front with its
// output and its options, and the tests with a script of answers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class MsgIcon { None, Error, Warning, Information, Question };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

struct FileDialog {
    std::string Title;
    std::string Filter;        // "Конфигурация приборов (*.clb)|*.clb|Все файлы (*.*)|*.*"
    std::string DefaultExt;    // without the point
    std::string InitialFolder;
    std::string FileName;      // preset name
    bool Save = false;         // save dialog (asks before overwriting)
};

// A page of text for the printer: each line drawn with its top-left corner at
// (X, Y) in printer dots, in one font; nothing is scaled to the page.
struct PrintLine {
    int X = 0;
    int Y = 0;
    std::string Text; // UTF-8
};
struct PrintDocument {
    std::string Title;
    std::string FontFamily;
    int FontPoints = 10;
    std::vector<PrintLine> Lines;
};

// Colour of a box, as 0xRRGGBB, or the system's tooltip background.
using BoxColour = std::uint32_t;
constexpr BoxColour TooltipBackground = 0x01000000;

class Host {
public:
    virtual ~Host() = default;

    // A modal message box; returns the button pressed.
    virtual MsgAnswer MessageBox(const std::string& text, const std::string& caption, MsgIcon icon,
                                 MsgButtons buttons) = 0;
    // A file dialog; empty when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileDialog& dialog) = 0;

    // The progress bar: its range and position, and whether it is shown.
    virtual void SetProgress(int minimum, int maximum, int position) = 0;
    virtual void ShowProgress(bool visible) = 0;

    // Text and colour of a named box of the slot area (EZero01, EKU02, EG013, ...).
    // An empty optional leaves that part as it is.
    virtual void SetBox(const std::string& name, std::optional<std::string> text,
                        std::optional<BoxColour> colour) = 0;

    // The Connect and Disconnect buttons.
    virtual void SetConnectButtons(bool connectEnabled, bool disconnectEnabled) = 0;
    // Whether the poll check box of slot 1 or 2 is ticked.
    virtual bool PollBoxChecked(int slot) = 0;
    // Redraws the slot area from the slot table (names, addresses, serial texts).
    virtual void RefreshSlots() = 0;

    // The poller has finished a cycle over the slots (called on the main thread).
    virtual void PollCycleDone() {}

    // A short word about what just happened (a file saved, a click that had
    // no effect) where the user sees it without having to answer it: the
    // window's status bar. Empty clears it. A host without such a line (a
    // test's script) may drop it.
    virtual void SetStatus(const std::string& text) { (void)text; }

    // Prints a document on the print target without a dialog (the window: the
    // default printer). False with a message when it could not be printed.
    virtual bool Print(const PrintDocument& document, std::string& error) = 0;

    // Runs a step on the main thread and waits until it has run.
    virtual void RunOnMainThread(const std::function<void()>& step) = 0;
    // Lets the window process pending messages.
    virtual void ProcessMessages() = 0;
};
