#include "ConsoleHost.h"

#include "PrintLoader.h"
#include "SystemText.h"

MsgAnswer ConsoleHost::MessageBox(const std::string& text, const std::string& caption, MsgIcon,
                                  MsgButtons buttons)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    // The system's own error texts come in English; a person reads them in Russian.
    const std::string shown = RussianSystemTexts(text);
    FMessages.push_back(shown);
    if (buttons == MsgButtons::YesNo) {
        // The question is answered by an option and not repeated; a note said
        // before it (a paragraph of its own) is.
        const std::size_t cut = shown.rfind("\n\n");
        if (cut != std::string::npos) FErr << caption << ": " << shown.substr(0, cut) << '\n';
        return AnswerYes ? MsgAnswer::Yes : MsgAnswer::No;
    }
    FErr << caption << ": " << shown << '\n';
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

void ConsoleHost::SetStatus(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    StatusTexts.push_back(text);
    if (!text.empty()) FErr << text << '\n';
}

bool ConsoleHost::Print(const PrintDocument& document, std::string& error)
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Printed.push_back(document);
    if (!PrintPdf) {
        FErr << "clbtool: страница " << document.Title << " не напечатана (нет --print ФАЙЛ.pdf)\n";
        return true;
    }
    return PrintToPdfOnDemand(document, *PrintPdf, error);
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

void ConsoleHost::ClearMessages()
{
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    FMessages.clear();
}
