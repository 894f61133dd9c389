#include "MainForm.h"

#include "CalibrationForm.h"
#include "DelaysForm.h"
#include "DevAdd.h"
#include "DevSel.h"
#include "InfoFrm.h"
#include "SerialPorts.h"
#include "SheetPrint.h"
#include "Pictures.h"
#include "QtHost.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDesktopServices>
#include <QAbstractItemView>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>

namespace {

// Positions of the slot columns inside the device group, and the rows.
constexpr int ColumnX[2] = {160, 235};
// The slot buttons of each column: load, save (row 380) and curve (row 404).
constexpr int LoadX[2] = {163, 239};
constexpr int SaveX[2] = {190, 266};
constexpr int BoxWidth = 56;
constexpr int BoxHeight = 19;
constexpr int FlowRowY = 114;
constexpr int ZeroRowY = 138;
constexpr int GainRowY = 162;
constexpr int PointRowY(int k) { return 186 + 24 * (k - 1); }

std::string Two(int n)
{
    return n < 10 ? "0" + std::to_string(n) : std::to_string(n);
}

QToolButton* GlyphButton(QWidget* parent, const char* name, const char* glyph, const QString& hint, QRect where)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setIcon(ButtonGlyph(glyph));
    b->setIconSize(QSize(16, 16));
    b->setGeometry(where);
    b->setToolTip(hint);
    b->setAccessibleName(hint);
    b->setAutoRaise(false);
    return b;
}

} // namespace

QColor TMainFrm::ColourOf(BoxColour colour)
{
    if (colour == TooltipBackground) return QToolTip::palette().color(QPalette::Inactive, QPalette::ToolTipBase);
    return QColor((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
}

TMainFrm::TMainFrm(const ProgramFolders& folders, QWidget* parent) : QWidget(parent)
{
    setObjectName("MainFrm");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(305, 542);
    setWindowIcon(AppIcon());
    setWindowTitle(QString::fromStdString(MainCaption()));

    FHost = std::make_unique<QtHost>(*this);
    FController = std::make_unique<MainController>(*FHost, folders);
    connect(this, &TMainFrm::OperationFinished, this, &TMainFrm::OnOperationFinished, Qt::QueuedConnection);

    BuildControls();
    FController->Startup();
    ShowPlantRecord();
    {
        const QSignalBlocker b(CBBaud);
        CBBaud->setCurrentIndex(FController->BaudIndex());
    }
    FillPorts();
    // Adapters plugged in or out show up in the list without a restart.
    FPortWatch = new QFileSystemWatcher(this);
    FPortWatch->addPaths({"/dev", "/dev/serial/by-id"});
    auto* settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(500); // udev makes the by-id links a moment after the device
    connect(FPortWatch, &QFileSystemWatcher::directoryChanged, settle, qOverload<>(&QTimer::start));
    connect(settle, &QTimer::timeout, this, [this] {
        if (QFileInfo::exists("/dev/serial/by-id")) FPortWatch->addPath("/dev/serial/by-id");
        FillPorts();
    });

    // The dialogs are made once and keep their state between uses.
    FDevSel = new TDevSelForm(this, FController->Dev());
    FDevAdd = new TDevAddForm(
        this, FController->Dev(), FController->Port(), FController->HostOfWorkflow(),
        [this] { return FController->CurrentPortChoice(); },
        [this](std::function<void()> probe, std::function<void()> done) {
            const bool started = RunOperation([this, probe, done] {
                // However the probe ends (an error too), the dialog hears of it
                // on the main thread, before the operation counts as ended.
                struct Tell {
                    TMainFrm* window;
                    std::function<void()> done;
                    ~Tell()
                    {
                        QMetaObject::invokeMethod(
                            window,
                            [w = window, d = done] {
                                w->UpdatePortHint();
                                d();
                            },
                            Qt::QueuedConnection);
                    }
                } tell{this, done};
                probe();
            });
            if (started) Status("Поиск прибора на линии…");
            return started;
        });
    FInfo = new TInfoForm(FController->Dev(), FController->HostOfWorkflow(), FController->Folders().Info, this);
    FDelays = new TFormDelays(this, FController->Config(), FController->Timeouts(), FController->HostOfWorkflow());
    BuildTray();

    // Centred on the screen.
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

TMainFrm::~TMainFrm()
{
    FCloseRequested = true;
    // A calibration run stops between two samples; its window goes with this one.
    for (const QPointer<TCalibrationForm>& f : FCalibration)
        if (f) f->StopRun();
    FHost->BeginShutdown();
    if (FOperation.joinable()) {
        FController->BeginClose();
        FController->Port().Abandon();
        FOperation.join();
    }
    // What the operation posted to this window (its end, the probe's report)
    // is not delivered while the controller goes.
    disconnect(this, &TMainFrm::OperationFinished, nullptr, nullptr);
    QCoreApplication::removePostedEvents(this);
    FController.reset(); // the poller, then the port, before the host
}

void TMainFrm::ShowPlantRecord()
{
    // The plant record's sender works on its own thread; once a second the
    // status bar shows how many events wait and, in its tooltip, the meters'
    // latest events as the server last told them.
    FPlant = PlantLink::FromSettings(FController->Config());
    if (!FPlant) return;
    auto* label = new QLabel(StatusBar);
    label->setObjectName("PlantStatus");
    StatusBar->addPermanentWidget(label);
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, [this, label] {
        if (!OperationRunning()) FPlant->Follow(FController->Dev());
        label->setText(QString::fromStdString(FPlant->Word()));
        label->setToolTip(QString::fromStdString(FPlant->Tooltip()));
    });
    refresh->start(1000);
}

void TMainFrm::BuildControls()
{
    // --- top group: port, baud, timeouts, Connect, Disconnect, progress
    auto* top = new QGroupBox(this);
    top->setObjectName("GroupBox1");
    top->setGeometry(1, 0, 304, 88);

    auto* label1 = new QLabel("Порт", top);
    label1->setObjectName("Label1");
    label1->move(8, 16);
    CBPort = new QComboBox(top);
    CBPort->setObjectName("CBPort");
    CBPort->setGeometry(64, 12, 75, 21);
    CBPort->view()->setMinimumWidth(260);
    CBPort->setAccessibleName("Порт");
    label1->setBuddy(CBPort);
    connect(CBPort, &QComboBox::currentIndexChanged, this, &TMainFrm::CBPortChange);
    connect(CBPort, &QComboBox::highlighted, this, [this](int i) {
        Status(CBPort->itemText(i).left(5) + " = " + CBPort->itemData(i, Qt::ToolTipRole).toString());
    });

    auto* label2 = new QLabel("Скорость", top);
    label2->setObjectName("Label2");
    label2->move(9, 46);
    CBBaud = new QComboBox(top);
    CBBaud->setObjectName("CBBaud");
    CBBaud->setGeometry(64, 42, 75, 21);
    CBBaud->addItems({"9600", "19200"});
    CBBaud->setAccessibleName("Скорость");
    label2->setBuddy(CBBaud);
    connect(CBBaud, &QComboBox::currentIndexChanged, this, &TMainFrm::CBBaudChange);

    SBLog = GlyphButton(top, "SBLog", "timeouts", "Задержки", QRect(159, 12, 23, 22));
    connect(SBLog, &QToolButton::clicked, this, &TMainFrm::SBLogClick);
    SBLog->installEventFilter(this);

    BDisconnect = new QPushButton("Отключить", top);
    BDisconnect->setObjectName("BDisconnect");
    BDisconnect->setGeometry(209, 12, 79, 21);
    BDisconnect->setEnabled(false);
    connect(BDisconnect, &QPushButton::clicked, this, &TMainFrm::BDisconnectClick);
    BConnect = new QPushButton("Подключить", top);
    BConnect->setObjectName("BConnect");
    BConnect->setGeometry(209, 41, 79, 21);
    connect(BConnect, &QPushButton::clicked, this, &TMainFrm::BConnectClick);

    ProgressBar = new QProgressBar(top);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setGeometry(10, 70, 278, 12);
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 2);
    ProgressBar->setValue(0);
    ProgressBar->setAccessibleName("Ход опроса");

    // --- device group
    auto* devices = new QGroupBox(" Приборы ", this);
    devices->setObjectName("GroupBox2");
    devices->setGeometry(1, 92, 304, 431);

    BLoadConf = GlyphButton(devices, "BLoadConf", "confload", "Загрузить конфигурацию", QRect(3, 24, 23, 22));
    BSaveConf = GlyphButton(devices, "BSaveConf", "confsave", "Сохранить конфигурацию", QRect(30, 24, 23, 22));
    BPrint = GlyphButton(devices, "BPrint", "print", "Печать коэффициентов", QRect(58, 24, 23, 22));
    connect(BLoadConf, &QToolButton::clicked, this, &TMainFrm::BLoadConfClick);
    connect(BSaveConf, &QToolButton::clicked, this, &TMainFrm::BSaveConfClick);
    connect(BPrint, &QToolButton::clicked, this, &TMainFrm::PrintClick);
    // Calibration on the flow stand: in the free space of the row, one entry per slot.
    BCalib = GlyphButton(devices, "BCalib", "calibrate", "Калибровка на проливном стенде", QRect(86, 24, 23, 22));
    BCalib->setPopupMode(QToolButton::InstantPopup);
    BCalib->setEnabled(false);
    auto* calibMenu = new QMenu(BCalib);
    calibMenu->setObjectName("CalibMenu");
    for (int s = 1; s <= 2; ++s) {
        QAction* a = calibMenu->addAction(QString("Калибровка прибора %1...").arg(s));
        a->setObjectName(QString("Calibrate%1").arg(s));
        connect(a, &QAction::triggered, this, [this, s] { CalibrateClick(s); });
    }
    connect(calibMenu, &QMenu::aboutToShow, this, [this, calibMenu] {
        for (int s = 1; s <= 2; ++s)
            calibMenu->actions()[s - 1]->setEnabled(FController->Connected() &&
                                                    FController->Dev().Slot(s).TypeCode() != 0);
    });
    BCalib->setMenu(calibMenu);

    auto rowCaption = [&](const QString& text, int y, const char* name) {
        auto* l = new QLabel(text, devices);
        if (name) l->setObjectName(name);
        l->setGeometry(4, y, 150, BoxHeight);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return l;
    };
    rowCaption("Текущий расход", FlowRowY, "Label3");
    rowCaption("К0", ZeroRowY, "Label4"); // Cyrillic К
    rowCaption("Ku", GainRowY, "Label5"); // Latin
    for (int k = 1; k <= 8; ++k) {
        const std::string name = "lbl_coef_" + std::to_string(k);
        rowCaption(QString("Точка %1").arg(k), PointRowY(k), name.c_str());
    }

    for (int s = 1; s <= 2; ++s) {
        const int x = ColumnX[s - 1];
        const std::string n2 = Two(s);
        const std::string n1 = std::to_string(s);

        auto* g = new QGroupBox(devices);
        g->setObjectName(QString::fromStdString("GDev" + n1));
        g->setGeometry(x, 16, 56, 72);
        GDev[s - 1] = g;
        auto* img = new QLabel(g);
        img->setObjectName(QString::fromStdString("Img" + n1));
        img->setGeometry(3, 6, 50, 28);
        img->setToolTip("Нажмите для настройки прибора");
        img->setAccessibleName(QString("Настройка прибора %1").arg(s));
        img->setCursor(Qt::PointingHandCursor);
        img->installEventFilter(this);
        img->setFocusPolicy(Qt::StrongFocus);
        Img[s - 1] = img;
        auto* l = new QLabel(g);
        l->setObjectName(QString::fromStdString("L" + n1));
        l->setGeometry(1, 37, 54, 28);
        l->setAlignment(Qt::AlignCenter);
        // Announced by what it shows (serial number and channel); what it is, as its description.
        l->setAccessibleDescription(QString("Прибор %1").arg(s));
        L[s - 1] = l;

        auto* cb = new QCheckBox(devices);
        cb->setObjectName(QString::fromStdString("CBDev" + n2));
        cb->setGeometry(x + 23, 88, 18, 18);
        cb->setAccessibleName(QString("Опрос прибора %1").arg(s));
        cb->setToolTip("Опрашивать прибор");
        connect(cb, &QCheckBox::toggled, this, [this, s] { CBDev01Click(s); });
        CBDev[s - 1] = cb;

        auto box = [&](const std::string& name, int y, int row) {
            auto* e = new QLineEdit(devices);
            e->setObjectName(QString::fromStdString(name));
            e->setGeometry(x, y, BoxWidth, BoxHeight);
            e->setReadOnly(true);
            e->setAccessibleName(QString::fromStdString(BoxAccessibleName(s, row)));
            e->setTextMargins(0, 0, 0, 0);
            FBoxes[name] = e;
        };
        box("EG" + n2, FlowRowY, -1);
        box("EZero" + n2, ZeroRowY, 0);
        box("EKU" + n2, GainRowY, 1);
        for (int k = 1; k <= 8; ++k) box("EG" + n2 + std::to_string(k), PointRowY(k), k + 1);

        BLoad[s - 1] = GlyphButton(devices, ("BLoad" + n2).c_str(), "load",
                                   QString("Записать коэффициенты из файла в прибор %1").arg(s),
                                   QRect(LoadX[s - 1], 380, 23, 22));
        BSave[s - 1] = GlyphButton(devices, ("BSave" + n2).c_str(), "save",
                                   QString("Сохранить коэффициенты прибора %1 в файл").arg(s),
                                   QRect(SaveX[s - 1], 380, 23, 22));
        BGraph[s - 1] = GlyphButton(devices, ("BGraph" + n2).c_str(), "graph",
                                    QString("Кривая калибровки прибора %1").arg(s), QRect(LoadX[s - 1], 404, 50, 22));
        BLoad[s - 1]->setProperty("tag", s);
        BSave[s - 1]->setProperty("tag", s);
        BGraph[s - 1]->setProperty("tag", s);
        connect(BLoad[s - 1], &QToolButton::clicked, this, [this, s] { BLoad01Click(s); });
        connect(BSave[s - 1], &QToolButton::clicked, this, [this, s] { BSave01Click(s); });
        connect(BGraph[s - 1], &QToolButton::clicked, this, [this, s] { BGraph01Click(s); });
        BGraph[s - 1]->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(BGraph[s - 1], &QWidget::customContextMenuRequested, this, [this, s](const QPoint& at) {
            QMenu menu(this);
            QAction* a = menu.addAction("Калибровка...");
            a->setEnabled(FController->Connected());
            if (menu.exec(BGraph[s - 1]->mapToGlobal(at)) == a) CalibrateClick(s);
        });
    }

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar1");
    StatusBar->setGeometry(0, 523, 305, 19);
    StatusBar->setSizeGripEnabled(false);

    // Keyboard order: the serial settings, Connect, then slot 1's column and slot 2's.
    QList<QWidget*> order = {CBPort, CBBaud, SBLog, BConnect, BDisconnect, BLoadConf, BSaveConf, BPrint, BCalib};
    for (int s = 1; s <= 2; ++s) {
        const std::string n2 = Two(s), n1 = std::to_string(s);
        order << Img[s - 1] << CBDev[s - 1];
        order << FBoxes["EG" + n2] << FBoxes["EZero" + n2] << FBoxes["EKU" + n2];
        for (int k = 1; k <= 8; ++k) order << FBoxes["EG" + n2 + std::to_string(k)];
        order << BLoad[s - 1] << BSave[s - 1] << BGraph[s - 1];
    }
    for (int i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
}

void TMainFrm::BuildTray()
{
    // The menu exists on every desktop (a tray may appear later; tests read it);
    // the icon only where a tray is.
    auto* menu = new QMenu(this);
    menu->setObjectName("TrayMenu");
    QAction* restore = menu->addAction("Развернуть");
    restore->setObjectName("Restore1");
    connect(restore, &QAction::triggered, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    menu->addSeparator();
    QAction* exit = menu->addAction("Выход");
    exit->setObjectName("Exit1");
    connect(exit, &QAction::triggered, this, &TMainFrm::Exit1Click);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    FTray = new QSystemTrayIcon(AppIcon(), this);
    FTray->setToolTip(windowTitle());
    FTray->setContextMenu(menu);
    connect(FTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::DoubleClick) {
            showNormal();
            raise();
            activateWindow();
        }
    });
    FTray->show();
}

// --- what the host calls ------------------------------------------------------------

void TMainFrm::SetProgress(int minimum, int maximum, int position)
{
    ProgressBar->setRange(minimum, maximum);
    ProgressBar->setValue(position);
}

void TMainFrm::ShowProgressBar(bool visible)
{
    ProgressBar->setVisible(visible);
}

void TMainFrm::SetBox(const std::string& name, const std::optional<std::string>& text, std::optional<BoxColour> colour)
{
    auto it = FBoxes.find(name);
    if (it == FBoxes.end()) return;
    QLineEdit* e = it->second;
    if (colour) {
        QPalette p = e->palette();
        p.setColor(QPalette::Base, ColourOf(*colour));
        e->setPalette(p);
    }
    if (text) {
        e->setText(QString::fromStdString(*text));
        e->setCursorPosition(0);
    }
}

void TMainFrm::SetConnectButtons(bool connectEnabled, bool disconnectEnabled)
{
    BConnect->setEnabled(connectEnabled);
    BDisconnect->setEnabled(disconnectEnabled);
    UpdatePortLists();
    UpdateCalibration();
}

void TMainFrm::UpdateCalibration()
{
    BCalib->setEnabled(FController->Connected());
    for (const QPointer<TCalibrationForm>& f : FCalibration)
        if (f) f->Refresh();
}

void TMainFrm::UpdatePortLists()
{
    const bool enabled = FController->PortListsEnabled(OperationRunning());
    CBPort->setEnabled(enabled);
    CBBaud->setEnabled(enabled);
}

bool TMainFrm::PollBoxChecked(int slot) const
{
    return CBDev[slot - 1]->isChecked();
}

void TMainFrm::DrawSlots()
{
    for (int s = 1; s <= 2; ++s) {
        const MainController::SlotColumn column = FController->Column(s);
        const SlotView& v = column.View;
        Img[s - 1]->setPixmap(SlotPicture(v.Picture));
        QString label = QString::fromStdString(v.Label);
        label.replace("\r\n", "\n");
        // A long serial number gets a smaller font, so that all of it shows.
        QFont font = this->font();
        for (int pt = font.pointSize(); pt > 5; --pt) {
            font.setPointSize(pt);
            const QFontMetrics fm(font);
            if (fm.horizontalAdvance(label.section('\n', 0, 0)) <= L[s - 1]->width() - 2) break;
        }
        L[s - 1]->setFont(font);
        L[s - 1]->setText(label);
        L[s - 1]->setToolTip(label.section('\n', 0, 0));
        // The check mark is the user's choice, which the controller keeps
        // across read-outs; drawing it is not a click.
        {
            const QSignalBlocker block(CBDev[s - 1]);
            CBDev[s - 1]->setEnabled(column.Poll.Enabled);
            CBDev[s - 1]->setChecked(column.Poll.Checked);
        }
        for (const MainController::BoxState& box : column.Boxes) {
            QLineEdit* e = FBoxes.at(box.Name);
            e->setVisible(true);
            e->setEnabled(box.Enabled);
            if (box.Emptied) e->clear();
            SetBox(box.Name, std::nullopt, box.Colour);
        }
        BLoad[s - 1]->setEnabled(column.ButtonsEnabled);
        BSave[s - 1]->setEnabled(column.ButtonsEnabled);
        BGraph[s - 1]->setEnabled(column.ButtonsEnabled);
    }
}

// --- operations ------------------------------------------------------------------------

void TMainFrm::Status(const QString& text, bool transient)
{
    FTransientStatus = transient ? text : QString();
    StatusBar->showMessage(text);
}

void TMainFrm::ClearTransientStatus()
{
    if (!FTransientStatus.isEmpty() && StatusBar->currentMessage() == FTransientStatus) StatusBar->clearMessage();
    FTransientStatus.clear();
}

void TMainFrm::SetStatusText(const std::string& text)
{
    Status(QString::fromStdString(text));
}

bool TMainFrm::Refuse()
{
    const HandlerRefusal r = RefusalOfHandler(FCloseRequested, OperationRunning(), FHost->ModalDepth());
    if (!r.Word.empty()) Status(QString::fromStdString(r.Word), true);
    return r.Refused;
}

bool TMainFrm::RunOperation(const std::function<void()>& op)
{
    if (Refuse()) return false;
    FOperation = std::thread([this, op] {
        try {
            op();
        } catch (const std::exception& e) {
            FHost->MessageBox(e.what(), "Ошибка", MsgIcon::Error, MsgButtons::Ok);
        }
        emit OperationFinished();
    });
    UpdatePortLists();
    return true;
}

void TMainFrm::OnOperationFinished()
{
    if (FOperation.joinable()) FOperation.join();
    ClearTransientStatus();
    UpdatePortLists();
    UpdateCalibration();
    if (FCloseRequested) QTimer::singleShot(0, this, &TMainFrm::close);
}

void TMainFrm::FillPorts()
{
    const PortList& ports = FController->FillPorts(ListSerialPorts());
    const QSignalBlocker block(CBPort);
    CBPort->clear();
    for (const PortListEntry& e : ports.Entries) {
        CBPort->addItem(QString::fromStdString(e.Text));
        CBPort->setItemData(CBPort->count() - 1, QString::fromStdString(e.Path), Qt::ToolTipRole);
    }
    CBPort->setCurrentIndex(ports.Selected);
    UpdatePortHint();
    for (const QPointer<TCalibrationForm>& f : FCalibration)
        if (f) f->FillReferencePorts();
}

void TMainFrm::UpdatePortHint()
{
    const int i = CBPort->currentIndex();
    const std::vector<PortListEntry>& entries = FController->Ports().Entries;
    if (i < 0 || i >= static_cast<int>(entries.size())) return;
    CBPort->setToolTip(QString::fromStdString(entries[static_cast<std::size_t>(i)].Path));
    Status(QString::fromStdString(entries[static_cast<std::size_t>(i)].Hint()));
}

// --- handlers -------------------------------------------------------------------------

void TMainFrm::CBPortChange(int index)
{
    if (index < 0) return; // the list is being emptied
    if (!FController->CBPortChange(index, OperationRunning())) {
        // The list goes back to the port in use, which the status bar keeps naming.
        FillPorts();
        Status(QString::fromStdString(PortChangeRefusal(OperationRunning())));
        return;
    }
    UpdatePortHint();
}

void TMainFrm::CBBaudChange(int index)
{
    if (!FController->CBBaudChange(index, OperationRunning())) {
        const QSignalBlocker block(CBBaud);
        CBBaud->setCurrentIndex(FController->BaudIndex());
        Status(QString::fromStdString(BaudChangeRefusal(OperationRunning())));
    }
}

void TMainFrm::SBLogClick()
{
    // Shift held at the click: the dialog stays closed.
    const bool shift = FShiftAtClick || (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier);
    FShiftAtClick = false;
    if (shift) return;
    if (Refuse()) return;
    FDelays->exec();
}

void TMainFrm::BConnectClick()
{
    if (!FController->Disconnected()) return;
    BConnect->setEnabled(false);
    if (!RunOperation([this] { FController->BConnectClick(); })) BConnect->setEnabled(true);
}

void TMainFrm::BDisconnectClick()
{
    if (FCloseRequested) return;
    // During a read-out Disconnect gives it up.
    if (CancelReadOut()) return;
    RunOperation([this] { FController->BDisconnectClick(); });
}

bool TMainFrm::CancelReadOut()
{
    if (!OperationRunning() || !FController->ReadingOut()) return false;
    if (FController->CancelReadOut()) Status("Чтение данных прерывается");
    return true;
}

void TMainFrm::Img1Click(int slot)
{
    if (Refuse()) return;
    switch (FController->Img1Click(slot)) {
    case MainController::SlotDialog::None: return;
    case MainController::SlotDialog::Add: FDevAdd->exec(); break;
    case MainController::SlotDialog::Select:
        FDevSel->OpenForSlot(slot);
        FDevSel->exec();
        break;
    }
    FController->RebuildSlots(true);
}

void TMainFrm::Img1MouseDown(int slot)
{
    if (Refuse()) return;
    FController->Img1MouseDown(slot);
}

void TMainFrm::BLoadConfClick()
{
    if (Refuse()) return;
    FController->BLoadConfClick();
}

void TMainFrm::BSaveConfClick()
{
    if (Refuse()) return;
    FController->BSaveConfClick();
}

void TMainFrm::BLoad01Click(int slot)
{
    RunOperation([this, slot] { FController->BLoad01Click(slot); });
}

void TMainFrm::BSave01Click(int slot)
{
    RunOperation([this, slot] { FController->BSave01Click(slot); });
}

void TMainFrm::BGraph01Click(int slot)
{
    if (Refuse()) return;
    // The button of the slot last shown keeps the highlighted glyph.
    for (QToolButton* b : BGraph) b->setIcon(ButtonGlyph("graph"));
    BGraph[slot - 1]->setIcon(ButtonGlyph("graph_on"));
    // A judged calibration run of the slot shows its errors as found and as left beside the curve.
    TCalibrationForm* run = FCalibration[slot - 1];
    if (run && run->Session().Stage() == CalibrationStage::Done)
        FInfo->SetCalibrationRun(slot, run->Session().Snapshot());
    else
        FInfo->ClearCalibrationRun(slot);
    FInfo->OpenForSlot(slot);
}

void TMainFrm::PrintClick()
{
    if (Refuse()) return;
    PrintCoefficientSheet(FController->Dev(), FController->HostOfWorkflow(), FController->Config(), this);
}

TCalibrationForm* TMainFrm::CalibrationWindow(int slot) const
{
    return FCalibration[slot - 1];
}

void TMainFrm::CalibrateClick(int slot)
{
    if (FCloseRequested || !FController->Connected() || !FController->Actions() || !FController->Poller()) return;
    if (FController->Dev().Slot(slot).TypeCode() == 0) return;
    if (!FCalibration[slot - 1]) {
        TCalibrationForm::MainLink link;
        link.RunOperation = [this](const std::function<void()>& op) { return RunOperation(op); };
        link.OperationRunning = [this] { return OperationRunning(); };
        link.Connected = [this] { return FController->Connected(); };
        // The certificate with the footer lines of the settings unless a writer was given.
        CertificateWriter certificate =
            FCertificate ? FCertificate : CertificateWriterWithFooter(SheetFooterFrom(FController->Config()));
        FCalibration[slot - 1] = new TCalibrationForm(*FController, *FHost, slot, link, certificate, this);
    }
    FCalibration[slot - 1]->show();
    FCalibration[slot - 1]->raise();
    FCalibration[slot - 1]->activateWindow();
}

void TMainFrm::CBDev01Click(int slot)
{
    FController->CBDev01Click(slot, CBDev[slot - 1]->isChecked());
}

void TMainFrm::OpenHelp()
{
    const QString path = QString::fromStdString(FController->HelpFilePath());
    if (!QFileInfo::exists(path)) {
        FHost->MessageBox("Файл справки не найден: " + path.toStdString(), "Ошибка", MsgIcon::Error, MsgButtons::Ok);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        FHost->MessageBox("Не удалось открыть файл справки " + path.toStdString(), "Ошибка", MsgIcon::Error,
                          MsgButtons::Ok);
}

void TMainFrm::Exit1Click()
{
    close();
}

// --- window events ------------------------------------------------------------------------

bool TMainFrm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == SBLog && (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyPress))
        FShiftAtClick = static_cast<QInputEvent*>(event)->modifiers() & Qt::ShiftModifier;
    for (int s = 1; s <= 2; ++s) {
        if (watched != Img[s - 1]) continue;
        if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            Img1MouseDown(s);
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
            Img[s - 1]->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
            Img1Click(s);
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
                Img1Click(s);
                return true;
            }
            if (key == Qt::Key_Delete) {
                Img1MouseDown(s);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainFrm::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        OpenHelp();
        return;
    }
    if (event->key() == Qt::Key_Escape && !FCloseRequested && CancelReadOut()) return;
    QWidget::keyPressEvent(event);
}

void TMainFrm::changeEvent(QEvent* event)
{
    // Minimised, the window goes into the tray where the desktop has one.
    if (event->type() == QEvent::WindowStateChange && FTray && isMinimized())
        QTimer::singleShot(0, this, &QWidget::hide);
    QWidget::changeEvent(event);
}

void TMainFrm::closeEvent(QCloseEvent* event)
{
    if (FClosed) {
        event->accept();
        return;
    }
    // Closing has begun: from here on every handler refuses (see Refuse), so
    // that nothing started by a late click keeps the poller or the port.
    FCloseRequested = true;
    // A calibration run stops between two samples; its window goes with this one.
    for (const QPointer<TCalibrationForm>& f : FCalibration)
        if (f) f->StopRun();
    // Every workflow dialog open now is closed; a read-out gives up at once
    // (and a Connect not yet at the port never opens it); a write into a meter
    // is finished first.
    FHost->BeginShutdown();
    FController->BeginClose();
    QWidget* modal = QApplication::activeModalWidget();
    const CloseDecision d = DecideClose({modal && modal != this, OperationRunning(), FHost->ModalDepth()});
    switch (d.Next) {
    case CloseDecision::Step::CancelDialog:
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        QTimer::singleShot(0, this, &TMainFrm::close);
        event->ignore();
        return;
    case CloseDecision::Step::WaitForOperation:
        // OnOperationFinished closes again.
        Status(QString::fromStdString(d.Word));
        event->ignore();
        return;
    case CloseDecision::Step::Retry:
        QTimer::singleShot(d.RetryMs, this, &TMainFrm::close);
        event->ignore();
        return;
    case CloseDecision::Step::CloseNow: break;
    }
    FController->Shutdown();
    FClosed = true;
    if (FTray) FTray->hide();
    event->accept();
    QCoreApplication::quit();
}
