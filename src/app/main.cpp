// The window program: start-up in the established order, the message loop,
// and an orderly end on the window's close, the tray's Exit, SIGINT or SIGTERM.
// A second SIGINT or SIGTERM ends the program at once, even while the orderly
// end still waits (a write into a meter is finished first).
//
//   clbview [FILE.clb]   a configuration file given here is loaded as the
//                        configuration load button would load it
#include "MainForm.h"
#include "ProgramFolders.h"
#include "QtTranslations.h"

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};
volatile std::sig_atomic_t SignalsSeen = 0;

void OnSignal(int sig)
{
    // The second signal: whoever sends it will not wait for the orderly end.
    // Every file is written to a temporary and renamed over its target, so
    // ending here leaves no file half-written.
    if (SignalsSeen > 0) ::_exit(128 + sig);
    SignalsSeen = 1;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(SignalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("clbview");
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    // Qt's own dialogs in Russian; without the translation they stay English.
    InstallQtTranslations(app);
    QFont font = QApplication::font();
    font.setFamily("Sans Serif");
    font.setPointSize(8);
    QApplication::setFont(font);
    // The program lives on in the tray until Exit; the last window closing ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    const ProgramFolders folders = ResolveProgramFolders(RunningProgramPath(), "clbview");
    TMainFrm window(folders);
    window.show();

    // SIGINT and SIGTERM close the window as its close button would; a second
    // one ends the program (see OnSignal).
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, SignalPipe) == 0) {
        auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
            char c;
            [[maybe_unused]] auto n = ::read(SignalPipe[0], &c, 1);
            window.close();
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }

    const QStringList args = QApplication::arguments();
    if (args.size() > 1) {
        const std::string path = args[1].toStdString();
        QTimer::singleShot(0, &window, [&window, path] { window.Controller().LoadConfiguration(path); });
    }
    return QApplication::exec();
}
