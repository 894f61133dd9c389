#include "CalibrationForm.h"

#include "MainController.h"
#include "MainForm.h"
#include "ManualReferenceDialog.h"
#include "QtHost.h"
#include "SheetPrint.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

QColor Colour(BoxColour c)
{
    return QColor::fromRgb(static_cast<QRgb>(c & 0xFFFFFF));
}

const QColor MeterColour(0x1f, 0x5f, 0xbf);
const QColor ReferenceColour(0xc0, 0x50, 0x10);

} // namespace

// --- The trend ------------------------------------------------------------------------

TFlowTrend::TFlowTrend(QWidget* parent) : QWidget(parent)
{
    setObjectName("Trend");
    setMinimumSize(480, 180);
    setAccessibleName("Расход прибора и образцового за минуту");
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

void TFlowTrend::Show(TrendView view)
{
    FView = std::move(view);
    update();
}

void TFlowTrend::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics fm(font());
    const int left = fm.horizontalAdvance("00000,0") + 8, right = 8, top = fm.height() + 6,
              bottom = fm.height() + 8;
    const QRectF plot(left, top, std::max(10, width() - left - right), std::max(10, height() - top - bottom));
    p.setPen(QColor(0xb0, 0xb0, 0xb0));
    p.drawRect(plot);

    const double t1 = FView.Now, t0 = t1 - TrendSpanS;
    double lo = INFINITY, hi = -INFINITY;
    for (const auto* series : {&FView.Meter, &FView.Reference})
        for (const TrendSample& s : *series) {
            lo = std::min(lo, s.Flow);
            hi = std::max(hi, s.Flow);
        }
    const GateFigures* f = FView.Figures ? &*FView.Figures : nullptr;
    auto band = [](double mean, double cvPct) { return std::fabs(mean) * cvPct / 100; };
    // At a point the scale is the target's neighbourhood, where the band and
    // the settling show; between points, everything of the last minute.
    const bool target = f && std::isfinite(f->Target) && f->Target > 0;
    const bool zoom = target && f->State != GateState::NotAtPoint && FView.TolerancePct > 0;
    if (zoom) {
        lo = f->Target * (1 - 2 * FView.TolerancePct / 100);
        hi = f->Target * (1 + 2 * FView.TolerancePct / 100);
    } else if (target) {
        lo = std::min(lo, f->Target);
        hi = std::max(hi, f->Target);
    }
    // The legend.
    p.setPen(MeterColour);
    p.drawText(QPointF(left, fm.ascent() + 2), "прибор");
    p.setPen(ReferenceColour);
    p.drawText(QPointF(left + fm.horizontalAdvance("прибор") + 16, fm.ascent() + 2), "образцовый");
    if (!std::isfinite(lo)) {
        p.setPen(Qt::gray);
        p.drawText(plot, Qt::AlignCenter, "нет данных");
        return;
    }
    const double span = std::max(hi - lo, std::max(std::fabs(hi), 1e-6) * 0.02);
    if (!zoom) {
        // Flows are not negative: the scale starts at 0 rather than below it.
        lo = lo >= 0 ? std::max(0.0, lo - span * 0.1) : lo - span * 0.1;
        hi += span * 0.1;
    }
    auto x = [&](double t) { return plot.left() + (t - t0) / TrendSpanS * plot.width(); };
    auto y = [&](double v) { return plot.bottom() - (v - lo) / (hi - lo) * plot.height(); };

    // The axis: the flow at the bottom and the top, seconds below.
    p.setPen(Qt::darkGray);
    p.drawText(QRectF(0, plot.top() - fm.height() / 2.0, left - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
               QString::fromStdString(CellNumber(hi, 4)));
    p.drawText(QRectF(0, plot.bottom() - fm.height() / 2.0, left - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
               QString::fromStdString(CellNumber(lo, 4)));
    for (int s = 0; s <= 60; s += 10) {
        const double xs = plot.left() + s / TrendSpanS * plot.width();
        p.setPen(QColor(0xe4, 0xe4, 0xe4));
        if (s > 0 && s < 60) p.drawLine(QPointF(xs, plot.top()), QPointF(xs, plot.bottom()));
        p.setPen(Qt::darkGray);
        p.drawText(QRectF(xs - 20, plot.bottom() + 2, 40, fm.height()), Qt::AlignCenter,
                   s == 60 ? QString("0 с") : QString("−%1").arg(60 - s));
    }
    p.setClipRect(plot);
    // The target, and the band of the gate's window: mean ± σ of each flow.
    if (f) {
        p.setPen(QPen(Qt::gray, 1, Qt::DashLine));
        p.drawLine(QPointF(plot.left(), y(f->Target)), QPointF(plot.right(), y(f->Target)));
        const double wx = x(t1 - FView.WindowS);
        auto drawBand = [&](double mean, double cv, QColor c) {
            if (!std::isfinite(mean) || !std::isfinite(cv)) return;
            const double s = band(mean, cv);
            c.setAlpha(50);
            p.fillRect(QRectF(QPointF(wx, y(mean + s)), QPointF(plot.right(), y(mean - s))), c);
            c.setAlpha(160);
            p.setPen(QPen(c, 1));
            p.drawLine(QPointF(wx, y(mean)), QPointF(plot.right(), y(mean)));
        };
        drawBand(f->ReferenceMean, f->ReferenceCvPct, ReferenceColour);
        drawBand(f->MeterMean, f->MeterCvPct, MeterColour);
    }
    auto drawSeries = [&](const std::vector<TrendSample>& series, const QColor& c) {
        if (series.empty()) return;
        QPainterPath path(QPointF(x(series.front().Time), y(series.front().Flow)));
        for (const TrendSample& s : series) path.lineTo(x(s.Time), y(s.Flow));
        p.setPen(QPen(c, 1.5));
        p.drawPath(path);
    };
    drawSeries(FView.Reference, ReferenceColour);
    drawSeries(FView.Meter, MeterColour);
}

// --- The window -----------------------------------------------------------------------

TCalibrationForm::TCalibrationForm(MainController& main, QtHost& host, int slot, MainLink link,
                                   CertificateWriter certificate, QWidget* parent)
    : QWidget(parent, Qt::Window), FMain(main), FHost(host), FLink(std::move(link))
{
    setObjectName(QString("CalibrationForm%1").arg(slot));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString("Калибровка прибора %1").arg(slot));
    FSession = std::make_shared<CalibrationController>(main.Dev(), *main.Poller(), main.Actions()->Writer(),
                                                       main.HostOfWorkflow(), main.Timeouts(), slot,
                                                       std::move(certificate));
    // Progress from the step's thread: one queued repaint at a time.
    auto pending = std::make_shared<std::atomic<bool>>(false);
    QPointer<TCalibrationForm> self(this);
    FSession->Changed = [pending, self] {
        if (pending->exchange(true)) return;
        QMetaObject::invokeMethod(
            qApp,
            [pending, self] {
                pending->store(false);
                if (self) self->Refresh();
            },
            Qt::QueuedConnection);
    };
    QtHost* h = &host;
    FSession->AskReference = [self, h](int point, double target, double meterMean) {
        std::optional<ManualReading> answer;
        h->RunOnMainThread([&] {
            if (self) answer = self->AskReference(point, target, meterMean);
        });
        return answer;
    };
    Build();
    Refresh();
}

TCalibrationForm::~TCalibrationForm()
{
    StopRun();
}

void TCalibrationForm::Build()
{
    auto* root = new QVBoxLayout(this);

    auto* settings = new QGroupBox("Параметры", this);
    settings->setObjectName("GSettings");
    auto* grid = new QGridLayout(settings);
    auto edit = [&](const char* name, const QString& text, const QString& accessible) {
        auto* e = new QLineEdit(text, settings);
        e->setObjectName(name);
        e->setAccessibleName(accessible);
        return e;
    };
    const CalibrationFormTexts defaults;
    EReference = edit("EReference", "", "Образцовый прибор");
    EReference->setPlaceholderText("ТИП:АДРЕС[:КАНАЛ], modbus:АДРЕС или manual");
    EReference->setToolTip("Образцовый прибор: ТИП:АДРЕС[:КАНАЛ] (через ретранслятор ТИП:АДРЕС@СЕРИЙНЫЙ), "
                           "ModBus-расходомер modbus:АДРЕС[:МАСШТАБ] (МАСШТАБ — отсчётов на единицу расхода, 1) — на линии, выбранной в списке «Порт образцового», "
                           "или manual — ввод вручную");
    CBReferencePort = new QComboBox(settings);
    CBReferencePort->setObjectName("CBReferencePort");
    CBReferencePort->setAccessibleName("Порт образцового");
    CBReferencePort->setToolTip("Образцовый прибор на линии поверяемого или на втором адаптере");
    // Long device names show in full in the open list, not in the row.
    CBReferencePort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    CBReferencePort->setMinimumContentsLength(12);
    FillReferencePorts();
    CBClass = new QComboBox(settings);
    CBClass->setObjectName("CBClass");
    CBClass->setAccessibleName("Класс точности");
    CBClass->addItems({"1", "2", "3"});
    CBClass->setCurrentIndex(defaults.AccuracyClass - 1);
    EQp = edit("EQp", "", "qp");
    EQp->setPlaceholderText("Gmax");
    ETolerance = edit("ETolerance", QString::fromStdString(defaults.Tolerance), "Допуск, %");
    ESettle = edit("ESettle", QString::fromStdString(defaults.Settle), "Установление, с");
    EWindow = edit("EWindow", QString::fromStdString(defaults.Window), "Окно, с");
    ECv = edit("ECv", QString::fromStdString(defaults.Cv), "КВ, %");
    ETimeout = edit("ETimeout", QString::fromStdString(defaults.PointTimeout), "Время на точку, с");
    auto place = [&](int row, int col, const QString& caption, QWidget* w, int span = 1) {
        auto* l = new QLabel(caption, settings);
        l->setBuddy(w);
        grid->addWidget(l, row, col, Qt::AlignRight);
        grid->addWidget(w, row, col + 1, 1, span);
    };
    // The reference and its port; the accuracy class and qp; the stability gate.
    place(0, 0, "&Образцовый", EReference, 5);
    place(0, 6, "Пор&т образцового", CBReferencePort, 3);
    place(1, 0, "&Класс", CBClass);
    place(1, 2, "q&p", EQp);
    place(2, 0, "&Допуск, %", ETolerance);
    place(2, 2, "&Установление, с", ESettle);
    place(2, 4, "О&кно, с", EWindow);
    place(2, 6, "К&В, %", ECv);
    place(2, 8, "&На точку, с", ETimeout);
    for (QLineEdit* e : {EQp, ETolerance, ESettle, EWindow, ECv, ETimeout}) e->setMaximumWidth(70);
    root->addWidget(settings);

    auto* live = new QHBoxLayout;
    Trend = new TFlowTrend(this);
    live->addWidget(Trend, 1);
    auto* markBox = new QVBoxLayout;
    Mark = new QLabel(this);
    Mark->setObjectName("LMark");
    Mark->setAlignment(Qt::AlignCenter);
    Mark->setMinimumSize(150, 40);
    Mark->setAutoFillBackground(true);
    MarkFigures = new QLabel(this);
    MarkFigures->setObjectName("LMarkFigures");
    MarkFigures->setWordWrap(true);
    MarkFigures->setMinimumWidth(150);
    MarkFigures->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    markBox->addWidget(Mark);
    markBox->addWidget(MarkFigures, 1);
    live->addLayout(markBox);
    root->addLayout(live, 3);

    Points = new QTableWidget(0, PointColumns, this);
    Points->setObjectName("TPoints");
    Points->setAccessibleName("Точки калибровки");
    QStringList titles;
    for (const char* t : PointColumnTitles()) titles << t;
    Points->setHorizontalHeaderLabels(titles);
    Points->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Points->setSelectionMode(QAbstractItemView::NoSelection);
    Points->setTabKeyNavigation(false);
    Points->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    // Every column as wide as its title and its figures; the verdict takes what is left.
    Points->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Points->horizontalHeader()->setStretchLastSection(true);
    Points->setMinimumHeight(9 * (fontMetrics().height() + 4) + Points->horizontalHeader()->sizeHint().height() + 4);
    root->addWidget(Points, 2);

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* name, const QString& text, const QString& hint) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setToolTip(hint);
        buttons->addWidget(b);
        return b;
    };
    BStart = button("BStart", "&Пуск", "Проход до записи по всем точкам и новая таблица");
    BStop = button("BStop", "&Стоп", "Остановить; до записи прибор не изменяется");
    BByHand = button("BByHand", "&Взять точку", "Взять точку сейчас по последнему окну");
    BSkip = button("BSkip", "П&ропустить", "Пропустить точку");
    BWrite = button("BWrite", "&Записать", "Записать новую таблицу в прибор (с резервной копией)");
    BVerify = button("BVerify", "Про&верить", "Проход с записанной таблицей и заключение; без калибровки — только проверка");
    BPrint = button("BPrint", "Пе&чать", "Свидетельство о калибровке");
    buttons->addStretch(1);
    root->addLayout(buttons);
    Message = new QLabel(this);
    Message->setObjectName("LMessage");
    Message->setWordWrap(true);
    Message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    root->addWidget(Message);

    connect(BStart, &QPushButton::clicked, this, &TCalibrationForm::StartClick);
    connect(BStop, &QPushButton::clicked, this, &TCalibrationForm::StopRun);
    connect(BByHand, &QPushButton::clicked, this, [this] { FSession->TakeByHand(); });
    connect(BSkip, &QPushButton::clicked, this, [this] { FSession->Skip(); });
    connect(BWrite, &QPushButton::clicked, this, &TCalibrationForm::WriteClick);
    connect(BVerify, &QPushButton::clicked, this, &TCalibrationForm::VerifyClick);
    connect(BPrint, &QPushButton::clicked, this, &TCalibrationForm::PrintClick);
    // As large as the table and the trend want, within a small screen.
    QSize size(900, 640);
    if (const QScreen* sc = screen()) size = size.boundedTo(sc->availableGeometry().size() * 0.95);
    resize(size);
}

void TCalibrationForm::FillReferencePorts()
{
    const QString chosen = CBReferencePort->currentData().toString();
    const QSignalBlocker block(CBReferencePort);
    CBReferencePort->clear();
    for (const ReferencePortEntry& e : ReferencePortEntries(FMain.Ports())) {
        CBReferencePort->addItem(QString::fromStdString(e.Text), QString::fromStdString(e.Name));
        CBReferencePort->setItemData(CBReferencePort->count() - 1, QString::fromStdString(e.Hint), Qt::ToolTipRole);
    }
    // A device chosen and unplugged stays chosen, marked as absent, rather
    // than the reference going back to the meter's line unnoticed.
    if (!chosen.isEmpty() && CBReferencePort->findData(chosen) < 0)
        CBReferencePort->addItem(chosen + " (нет)", chosen);
    CBReferencePort->setCurrentIndex(std::max(0, CBReferencePort->findData(chosen)));
}

void TCalibrationForm::Refresh()
{
    const CalibrationStage stage = FSession->Stage();
    const bool busyElsewhere = FLink.OperationRunning() && !FSession->Busy();
    const CalibrationButtons b = ButtonsOf(stage, FLink.Connected(), busyElsewhere);
    BStart->setEnabled(b.Start);
    BStop->setEnabled(b.Stop);
    BByHand->setEnabled(b.ByHand);
    BSkip->setEnabled(b.Skip);
    BWrite->setEnabled(b.Write);
    BVerify->setEnabled(b.Verify);
    BPrint->setEnabled(b.Print);
    for (QWidget* w : std::initializer_list<QWidget*>{EReference, CBReferencePort, CBClass, EQp, ETolerance, ESettle, EWindow, ECv, ETimeout})
        w->setEnabled(b.Settings);

    const std::optional<GateFigures> figures = FSession->CurrentFigures();
    const StabilityMark mark = MarkOf(figures);
    QPalette pal = Mark->palette();
    pal.setColor(QPalette::Window, Colour(mark.Colour));
    pal.setColor(QPalette::WindowText, mark.Colour == MarkAmber ? Qt::black : Qt::white);
    Mark->setPalette(pal);
    Mark->setText(QString::fromStdString(mark.Word));
    Mark->setAccessibleName(QString::fromStdString("Отметка: " + mark.Word));
    QString fig = QString::fromStdString(mark.Figures).replace("   ", "\n");
    if (const int point = FSession->CurrentPoint(); point > 0 && figures)
        fig = QString("Точка %1, цель %2\n").arg(point).arg(QString::fromStdString(CellNumber(figures->Target))) + fig;
    MarkFigures->setText(fig);
    Trend->Show(FSession->Trend());

    const CalibrationResult r = FSession->Snapshot();
    const std::vector<PointRow> rows = PointRows(r);
    Points->setRowCount(static_cast<int>(rows.size()));
    const int current = FSession->CurrentPoint();
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const PointRow& row = rows[static_cast<std::size_t>(i)];
        for (int c = 0; c < PointColumns; ++c) {
            QTableWidgetItem* item = Points->item(i, c);
            if (!item) {
                item = new QTableWidgetItem;
                Points->setItem(i, c, item);
            }
            item->setText(QString::fromStdString(row.Cells[static_cast<std::size_t>(c)]));
            item->setTextAlignment(c == PointColumns - 1 ? Qt::AlignCenter : Qt::AlignRight | Qt::AlignVCenter);
            QColor back = i + 1 == current ? QColor(0xff, 0xf3, 0xc4) : QColor(Qt::white);
            if (c == PointColumns - 1 && row.RowVerdict)
                back = *row.RowVerdict == Verdict::Pass   ? QColor(0xc8, 0xef, 0xc8)
                       : *row.RowVerdict == Verdict::Fail ? QColor(0xf6, 0xc0, 0xc0)
                                                          : QColor(0xf4, 0xe2, 0xa8);
            item->setBackground(back);
        }
    }
    Message->setText(QString::fromStdString(FSession->Message()));
}

bool TCalibrationForm::ReadSettings(CalibrationSettings& settings, ReferenceChoice& reference)
{
    CalibrationFormTexts t;
    t.Reference = EReference->text().toStdString();
    t.ReferencePort = CBReferencePort->currentData().toString().toStdString();
    t.AccuracyClass = CBClass->currentIndex() + 1;
    t.Qp = EQp->text().toStdString();
    t.Tolerance = ETolerance->text().toStdString();
    t.Settle = ESettle->text().toStdString();
    t.Window = EWindow->text().toStdString();
    t.Cv = ECv->text().toStdString();
    t.PointTimeout = ETimeout->text().toStdString();
    std::string error;
    if (ReadCalibrationForm(t, FMain.Dev().Slot(Slot()), FMain.CurrentPortChoice(), FMain.Config(), settings,
                            reference, error))
        return true;
    FHost.MessageBox(error, "Калибровка", MsgIcon::Warning, MsgButtons::Ok);
    return false;
}

void TCalibrationForm::RunStep(const std::function<void()>& step)
{
    std::shared_ptr<CalibrationController> session = FSession;
    if (!FLink.RunOperation([session, step] { step(); })) return;
    Refresh();
}

void TCalibrationForm::StartClick()
{
    CalibrationSettings s;
    ReferenceChoice r;
    if (!ReadSettings(s, r)) return;
    std::shared_ptr<CalibrationController> session = FSession;
    RunStep([session, s, r] { session->StartCalibration(s, r); });
}

void TCalibrationForm::WriteClick()
{
    std::shared_ptr<CalibrationController> session = FSession;
    RunStep([session] { session->WriteTable(); });
}

void TCalibrationForm::VerifyClick()
{
    CalibrationSettings s;
    ReferenceChoice r;
    // The as-left pass goes on with the session's run and its settings.
    if (!FSession->VerifyIsAsLeft() && !ReadSettings(s, r)) return;
    std::shared_ptr<CalibrationController> session = FSession;
    RunStep([session, s, r] { session->Verify(s, r); });
}

void TCalibrationForm::PrintClick()
{
    if (!FSession->CertificateAvailable()) {
        FHost.MessageBox("Печать свидетельства о калибровке недоступна", "Калибровка", MsgIcon::Information,
                         MsgButtons::Ok);
        return;
    }
    // The page is the session's; the window only asks where it goes.
    SheetDocument certificate;
    std::string error;
    if (!FSession->Certificate(certificate, error) ||
        PrintThroughDialog(certificate, this, error) == DialogPrint::Failed)
        FHost.MessageBox(error, "Калибровка", MsgIcon::Error, MsgButtons::Ok);
}

std::optional<ManualReading> TCalibrationForm::AskReference(int point, double target, double meterMean)
{
    TManualReferenceDialog dialog(point, target, meterMean, this);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Reading();
}

void TCalibrationForm::StopRun()
{
    FSession->Stop();
}

void TCalibrationForm::closeEvent(QCloseEvent* event)
{
    StopRun();
    event->accept();
}
