#include "ConsoleHost.h"

#include "PagePrinter.h"

MsgAnswer ConsoleHost::MessageBox(const std::string& text, const std::string& caption, MsgIcon,
                                  MsgButtons buttons)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    FMessages.push_back(text);
    FErr << caption << ": " << text << '\n';
    if (buttons == MsgButtons::YesNo) return AnswerYes ? MsgAnswer::Yes : MsgAnswer::No;
    return MsgAnswer::Ok;
}

std::optional<std::string> ConsoleHost::ChooseFile(const FileDialog&)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    auto f = NextFile;
    NextFile.reset();
    return f;
}

void ConsoleHost::SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Box& b = FBoxes[name];
    if (text) b.Text = std::move(text);
    if (colour) b.Colour = colour;
}

void ConsoleHost::PollCycleDone()
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    if (OnCycle) OnCycle();
}

bool ConsoleHost::Print(const PrintDocument& document, std::string& error)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Printed.push_back(document);
    if (!PrintPdf) {
        FErr << "clbtool: " << document.Title << " not printed (no --print FILE.pdf)\n";
        return true;
    }
    return PrintToPdf(document, *PrintPdf, error);
}

void ConsoleHost::RunOnMainThread(const std::function<void()>& step)
{
    // The command line has no window thread: steps run at once, one at a time.
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    step();
}

ConsoleHost::Box ConsoleHost::BoxState(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    auto it = FBoxes.find(name);
    return it == FBoxes.end() ? Box{} : it->second;
}

std::vector<std::string> ConsoleHost::Messages()
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    return FMessages;
}
