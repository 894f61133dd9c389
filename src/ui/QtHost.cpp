#include "QtHost.h"

#include "MainForm.h"
#include "PagePrinter.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QTreeView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include <condition_variable>

struct QtHost::Call {
    std::function<void()> Fn;
    std::mutex M;
    std::condition_variable Cv;
    bool Done = false;
    bool Dropped = false;
    bool Running = false;
};

QtHost::QtHost(TMainFrm& window) : FWindow(window) {}

QtHost::~QtHost()
{
    BeginShutdown();
}

bool QtHost::OnMain() const
{
    return QThread::currentThread() == qApp->thread();
}

bool QtHost::Invoke(const std::function<void()>& f)
{
    if (OnMain()) {
        f();
        return true;
    }
    if (FShutdown) return false;
    auto call = std::make_shared<Call>();
    call->Fn = f;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        if (FShutdown) return false;
        FPending.push_back(call);
    }
    QMetaObject::invokeMethod(
        this,
        [this, call] {
            {
                std::lock_guard<std::mutex> lock(call->M);
                if (call->Dropped) return;
                call->Running = true;
            }
            call->Fn();
            {
                std::lock_guard<std::mutex> lock(FMutex);
                std::erase(FPending, call);
            }
            std::lock_guard<std::mutex> lock(call->M);
            call->Done = true;
            call->Cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(call->M);
    call->Cv.wait(lock, [&] { return call->Done || call->Dropped; });
    return call->Done;
}

void QtHost::BeginShutdown()
{
    FShutdown = true;
    std::deque<std::shared_ptr<Call>> pending;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        pending.swap(FPending);
    }
    for (auto& call : pending) {
        std::lock_guard<std::mutex> lock(call->M);
        if (!call->Running) {
            call->Dropped = true;
            call->Cv.notify_all();
        }
    }
    // Every message box and dialog of the workflow that is open now returns,
    // the innermost first; each outer one returns as soon as the loops above
    // it have unwound.
    if (!OnMain()) return;
    const std::vector<QPointer<QDialog>> open = FOpenModals;
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        if (QDialog* d = *it) {
            if (qobject_cast<QMessageBox*>(d))
                d->done(QMessageBox::No);
            else
                d->reject();
        }
    }
}

int QtHost::RunModal(QDialog& dialog)
{
    FOpenModals.emplace_back(&dialog);
    ++FModalDepth;
    const int r = dialog.exec();
    --FModalDepth;
    std::erase_if(FOpenModals, [&](const QPointer<QDialog>& p) { return p.isNull() || p == &dialog; });
    return r;
}

void QtHost::SetNextAnswer(MsgAnswer answer)
{
    std::lock_guard<std::mutex> lock(FMutex);
    FNextAnswers.push_back(answer);
}

void QtHost::SetNextFileName(std::optional<std::string> name)
{
    std::lock_guard<std::mutex> lock(FMutex);
    FNextFiles.push_back(std::move(name));
}

std::vector<QtHost::Shown> QtHost::Messages()
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FShown;
}

std::vector<FileDialog> QtHost::Dialogs()
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FDialogs;
}

MsgAnswer QtHost::MessageBox(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons)
{
    const MsgAnswer fallback = buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FShown.push_back({caption, text});
        if (!FNextAnswers.empty()) {
            MsgAnswer a = FNextAnswers.front();
            FNextAnswers.pop_front();
            return a;
        }
    }
    if (FShutdown) return fallback;
    MsgAnswer answer = fallback;
    Invoke([&] {
        if (FShutdown) return;
        // Above whatever dialog is open (the add-device dialog's messages).
        QWidget* parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : &FWindow;
        QMessageBox box(parent);
        box.setWindowTitle(QString::fromStdString(caption));
        // The workflow's texts break lines with CR LF.
        QString t = QString::fromStdString(text);
        t.replace("\r\n", "\n");
        box.setText(t);
        switch (icon) {
        case MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
        case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
        case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
        case MsgIcon::None: break;
        }
        QPushButton* yes = nullptr;
        if (buttons == MsgButtons::YesNo) {
            yes = box.addButton("Да", QMessageBox::YesRole);
            QPushButton* no = box.addButton("Нет", QMessageBox::NoRole);
            box.setDefaultButton(no);
            box.setEscapeButton(no);
        } else {
            QPushButton* ok = box.addButton("OK", QMessageBox::AcceptRole);
            box.setDefaultButton(ok);
            box.setEscapeButton(ok);
        }
        RunModal(box);
        if (yes && box.clickedButton() == yes) answer = MsgAnswer::Yes;
    });
    return answer;
}

QString QtHost::QtFilter(const std::string& filter)
{
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        if (!name.contains('(')) name += " (" + patterns + ")";
        out << name;
    }
    return out.join(";;");
}

std::optional<std::string> QtHost::ChooseFile(const FileDialog& dialog)
{
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FDialogs.push_back(dialog);
        if (!FNextFiles.empty()) {
            auto f = FNextFiles.front();
            FNextFiles.pop_front();
            return f;
        }
    }
    if (FShutdown) return std::nullopt;
    std::optional<std::string> result;
    Invoke([&] {
        if (FShutdown) return;
        QWidget* parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : &FWindow;
        QFileDialog d(parent, QString::fromStdString(dialog.Title));
        d.setOption(QFileDialog::DontUseNativeDialog);
        d.setAcceptMode(dialog.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        d.setFileMode(dialog.Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        d.setNameFilter(QtFilter(dialog.Filter));
        if (!dialog.DefaultExt.empty()) d.setDefaultSuffix(QString::fromStdString(dialog.DefaultExt));
        QString folder = QString::fromStdString(dialog.InitialFolder);
        QString name = QString::fromStdString(dialog.FileName);
        if (!name.isEmpty() && QFileInfo(name).isAbsolute()) {
            folder = QFileInfo(name).absolutePath();
            name = QFileInfo(name).fileName();
        }
        if (!folder.isEmpty()) d.setDirectory(folder);
        if (!name.isEmpty()) d.selectFile(name);
        // Wide enough for the size and date columns, and those columns as wide
        // as what they show once the folder has been read.
        d.resize(760, 460);
        if (auto* view = d.findChild<QTreeView*>("treeView"))
            if (auto* model = d.findChild<QFileSystemModel*>())
                QObject::connect(model, &QFileSystemModel::directoryLoaded, view, [view] {
                    for (int column = 1; column < 4; ++column) view->resizeColumnToContents(column);
                });
        const int r = RunModal(d);
        if (r == QDialog::Accepted && !d.selectedFiles().isEmpty()) result = d.selectedFiles().first().toStdString();
    });
    return result;
}

void QtHost::SetProgress(int minimum, int maximum, int position)
{
    // The poller resets the bar at every cycle, paused or not: a bar that
    // already shows this costs no trip to the main thread.
    {
        std::lock_guard<std::mutex> lock(FMutex);
        if (FProgress == std::array<int, 3>{minimum, maximum, position}) return;
        FProgress = {minimum, maximum, position};
    }
    Invoke([&] { FWindow.SetProgress(minimum, maximum, position); });
}

void QtHost::ShowProgress(bool visible)
{
    Invoke([&] { FWindow.ShowProgressBar(visible); });
}

void QtHost::SetBox(const std::string& name, std::optional<std::string> text, std::optional<BoxColour> colour)
{
    Invoke([&] { FWindow.SetBox(name, text, colour); });
}

void QtHost::SetStatus(const std::string& text)
{
    Invoke([&] { FWindow.SetStatusText(text); });
}

void QtHost::SetConnectButtons(bool connectEnabled, bool disconnectEnabled)
{
    Invoke([&] { FWindow.SetConnectButtons(connectEnabled, disconnectEnabled); });
}

bool QtHost::PollBoxChecked(int slot)
{
    bool checked = false;
    Invoke([&] { checked = FWindow.PollBoxChecked(slot); });
    return checked;
}

void QtHost::RefreshSlots()
{
    Invoke([&] { FWindow.DrawSlots(); });
}

bool QtHost::Print(const PrintDocument& document, std::string& error)
{
    return PrintOnDefaultPrinter(document, error);
}

void QtHost::RunOnMainThread(const std::function<void()>& step)
{
    Invoke(step);
}

void QtHost::ProcessMessages()
{
    // The long operations run outside the main thread, which keeps painting;
    // called on the main thread, pending events are handled (the handlers
    // refuse what cannot run while an operation is under way).
    if (OnMain()) QCoreApplication::processEvents();
}
