#include "InfoFrm.h"

#include "AtomicFile.h"
#include "WmfWriter.h"

#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QLegend>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QPdfWriter>
#include <QShowEvent>
#include <QSvgGenerator>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace {

constexpr int OuterWidth = 563;
constexpr int OuterHeight = 390;

std::string LowerExtension(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

} // namespace

// The point markers (3 × 3 squares in the series colour) and the value marks
// (the Y value in "#,##0.###" on a white box, without an arrow) over the chart.
class CurveMarks : public QGraphicsItem {
public:
    CurveMarks(QChart* chart, QLineSeries* series) : QGraphicsItem(chart), FChart(chart), FSeries(series)
    {
        setZValue(1000);
    }
    QRectF boundingRect() const override { return QRectF(QPointF(0, 0), FChart->size()); }
    void Refresh()
    {
        prepareGeometryChange();
        update();
    }
    void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override
    {
        const QColor colour = FSeries->color();
        QFont font = FChart->font();
        font.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.85));
        painter->setFont(font);
        const QFontMetricsF metrics(font);
        for (const QPointF& point : FSeries->points()) {
            const QPointF at = FChart->mapToPosition(point, FSeries);
            painter->setPen(Qt::NoPen);
            painter->setBrush(colour);
            painter->drawRect(QRectF(at.x() - 1.5, at.y() - 1.5, 3, 3));
            const QString text = QString::fromStdString(FormatCurveValue(point.y()));
            const double w = metrics.horizontalAdvance(text) + 6, h = metrics.height() + 2;
            const QRectF box(at.x() - w / 2, at.y() - 6 - h, w, h);
            painter->setPen(QPen(Qt::gray, 0));
            painter->setBrush(Qt::white);
            painter->drawRect(box);
            painter->setPen(Qt::black);
            painter->drawText(box, Qt::AlignCenter, text);
        }
    }

private:
    QChart* FChart;
    QLineSeries* FSeries;
};

TInfoForm::TInfoForm(const DevManager& dev, Host& host, std::string infoFolder, QWidget* parent)
    : QDialog(parent), FDev(dev), FHost(host), FInfoFolder(std::move(infoFolder))
{
    setObjectName("InfoForm");
    setWindowTitle("Кривая калибровки ");
    setFixedSize(OuterWidth, OuterHeight);

    FChart = new QChart();
    FChart->legend()->hide();
    FChart->setBackgroundRoundness(0);
    FChart->setDropShadowEnabled(false);
    FChart->setAnimationOptions(QChart::NoAnimation);
    FChart->layout()->setContentsMargins(0, 0, 0, 0);

    Series1 = new QLineSeries();
    Series1->setObjectName("Series1");
    Series1->setName("Кривая калибровки");
    Series1->setPen(QPen(Qt::red, 1));
    Series1->setPointsVisible(false); // drawn square by CurveMarks
    FChart->addSeries(Series1);

    // The passes of a calibration run: as found dashed, as left solid.
    auto makePass = [&](const char* name, const char* title, QPen pen) {
        auto* series = new QLineSeries();
        series->setObjectName(name);
        series->setName(title);
        series->setPen(pen);
        series->setPointsVisible(true);
        series->setVisible(false);
        FChart->addSeries(series);
        return series;
    };
    AsFoundSeries = makePass("AsFoundSeries", "до калибровки", QPen(QColor(0, 90, 200), 1.5, Qt::DashLine));
    AsLeftSeries = makePass("AsLeftSeries", "после калибровки", QPen(QColor(0, 140, 60), 2));

    auto makeAxis = [&](const char* title, Qt::Alignment where) {
        auto* axis = new QCategoryAxis();
        axis->setTitleText(title);
        axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
        FChart->addAxis(axis, where);
        return axis;
    };
    FAxisBottom = makeAxis("Точка", Qt::AlignBottom);
    FAxisLeft = makeAxis("delta %", Qt::AlignLeft);
    FAxisTop = makeAxis("Точка", Qt::AlignTop);
    for (QLineSeries* series : {Series1, AsFoundSeries, AsLeftSeries}) {
        series->attachAxis(FAxisBottom);
        series->attachAxis(FAxisLeft);
    }
    for (int k = 1; k <= 8; ++k) {
        FAxisBottom->append(QString::number(k), k);
        FAxisTop->append(QString::number(k), k);
    }
    for (QCategoryAxis* axis : {FAxisBottom, FAxisTop}) {
        axis->setStartValue(FScales.XMin);
        axis->setRange(FScales.XMin, FScales.XMax);
    }

    DecisionGraph1 = new QChartView(FChart, this);
    DecisionGraph1->setObjectName("DecisionGraph1");
    DecisionGraph1->setRenderHint(QPainter::Antialiasing);
    DecisionGraph1->setRubberBand(QChartView::NoRubberBand);
    DecisionGraph1->setFrameShape(QFrame::NoFrame);
    DecisionGraph1->viewport()->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(DecisionGraph1);

    FMarks = new CurveMarks(FChart, Series1);
    connect(FChart, &QChart::plotAreaChanged, this, [this] {
        ApplyScales();
        FMarks->Refresh();
    });
}

TInfoForm::~TInfoForm() = default;

void TInfoForm::Prepare(int slot)
{
    const DeviceSlot& s = FDev.Slot(slot);
    CurveIsKU = CurveVariantOf(s.TypeCode()) == CurveVariant::KU;
    CurveIsGZU = CurveVariantOf(s.TypeCode()) == CurveVariant::GZU;
    CurveSlot = static_cast<std::uint8_t>(slot);
    FChart->setTitle(QString::fromStdString(CurveTitle(s)));
    setWindowTitle("Кривая калибровки ");
    if (QWidget* p = parentWidget()) {
        const QRect outer = p->window()->frameGeometry();
        move(outer.center() - QPoint(OuterWidth / 2, OuterHeight / 2));
    }
    FormShow();
}

void TInfoForm::OpenForSlot(int slot)
{
    Prepare(slot);
    exec();
}

void TInfoForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The outer size, frame included, is fixed; the frame is known once shown.
    const QSize frame = frameGeometry().size() - geometry().size();
    if (!frame.isEmpty() && size() + frame != QSize(OuterWidth, OuterHeight))
        setFixedSize(QSize(OuterWidth, OuterHeight) - frame);
    FormShow();
}

void TInfoForm::FormShow()
{
    Series1->clear();
    const CurveVariant variant = CurveIsGZU ? CurveVariant::GZU : CurveIsKU ? CurveVariant::KU : CurveVariant::Plain;
    const std::vector<CurvePoint> points = CurvePoints(FDev.Coefficients(CurveSlot), variant);
    for (const CurvePoint& p : points) Series1->append(p.X, p.Y);
    FScales = CurveScalesFor(points);
    AsFoundSeries->clear();
    AsLeftSeries->clear();
    const std::optional<RunDeviation>& run = FRuns[CurveSlot == 2 ? 1 : 0];
    const bool withRun = run && !run->Empty();
    if (withRun) {
        for (const CurvePoint& p : run->AsFound) AsFoundSeries->append(p.X, p.Y);
        for (const CurvePoint& p : run->AsLeft) AsLeftSeries->append(p.X, p.Y);
        std::vector<CurvePoint> all = points;
        all.insert(all.end(), run->AsFound.begin(), run->AsFound.end());
        all.insert(all.end(), run->AsLeft.begin(), run->AsLeft.end());
        const CurveScales both = CurveScalesFor(all);
        FScales.YMin = both.YMin;
        FScales.YMax = both.YMax;
        FScales.YStep = both.YStep;
    }
    AsFoundSeries->setVisible(withRun && !run->AsFound.empty());
    AsLeftSeries->setVisible(withRun && !run->AsLeft.empty());
    FChart->legend()->setVisible(withRun);
    if (withRun) FChart->legend()->setAlignment(Qt::AlignBottom);

    // Margins in per cent of the chart's size: left 2, top 1, right 3, bottom 1.
    const QSize size = DecisionGraph1->size();
    FChart->setMargins(QMargins(static_cast<int>(std::lround(size.width() * 0.02)),
                                static_cast<int>(std::lround(size.height() * 0.01)),
                                static_cast<int>(std::lround(size.width() * 0.03)),
                                static_cast<int>(std::lround(size.height() * 0.01))));
    ApplyScales();
    FMarks->Refresh();
}

// The left axis: the scale of the points, a label at every multiple of the
// step from zero. Where the labels of the step would overlap on this chart,
// every second (fourth, fifth, tenth) one is kept, so that each stays readable.
void TInfoForm::ApplyScales()
{
    const double height = std::max(1.0, FChart->plotArea().height());
    const double label = QFontMetricsF(FAxisLeft->labelsFont()).height() * 1.2;
    double step = FScales.YStep;
    for (int n : {1, 2, 4, 5, 10, 20}) {
        step = FScales.YStep * n;
        if ((FScales.YMax - FScales.YMin) / step * label <= height) break;
    }
    QStringList wanted;
    std::vector<double> values;
    const long first = std::lround(std::ceil(FScales.YMin / step - 1e-9));
    const long last = std::lround(std::floor(FScales.YMax / step + 1e-9));
    for (long k = first; k <= last; ++k) {
        const double v = k * step;
        const QString text = QString::fromStdString(FormatCurveValue(v));
        if (wanted.contains(text)) continue; // a scale too fine for three decimals
        wanted << text;
        values.push_back(v);
    }
    if (wanted == FAxisLeft->categoriesLabels() && FAxisLeft->min() == FScales.YMin && FAxisLeft->max() == FScales.YMax)
        return;
    for (const QString& old : FAxisLeft->categoriesLabels()) FAxisLeft->remove(old);
    const double below = FScales.YMin - std::fabs(FScales.YMin) * 1e-6 - 1e-12;
    FAxisLeft->setStartValue(below);
    for (int i = 0; i < wanted.size(); ++i) FAxisLeft->append(wanted[i], values[static_cast<size_t>(i)]);
    FAxisLeft->setRange(FScales.YMin, FScales.YMax);
}

void TInfoForm::SetCalibrationRun(int slot, const CalibrationResult& result)
{
    FRuns[slot == 2 ? 1 : 0] = RunDeviationOf(result);
    if (slot == CurveSlot && isVisible()) FormShow();
}

void TInfoForm::ClearCalibrationRun(int slot)
{
    FRuns[slot == 2 ? 1 : 0].reset();
    if (slot == CurveSlot && isVisible()) FormShow();
}

bool TInfoForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == DecisionGraph1->viewport() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        DecisionGraph1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool TInfoForm::DecisionGraph1Click()
{
    std::error_code ec;
    std::filesystem::create_directories(FInfoFolder, ec); // no message when it fails
    FileDialog dialog;
    dialog.Filter = SaveFilter;
    dialog.DefaultExt = "wmf";
    dialog.InitialFolder = FInfoFolder;
    dialog.FileName = CurveFileName(FDev.Slot(CurveSlot));
    dialog.Save = true;
    const std::optional<std::string> path = FHost.ChooseFile(dialog);
    if (!path) return false;
    std::string error;
    if (!SaveChart(*path, error)) {
        FHost.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
        return false;
    }
    return true;
}

std::string TInfoForm::ChartMetafile()
{
    const QSize size = DecisionGraph1->size();
    WmfPaintDevice device(size);
    {
        QPainter painter(&device);
        DecisionGraph1->scene()->render(&painter, QRectF(QPointF(0, 0), size), QRectF(QPointF(0, 0), size));
    }
    return device.Bytes();
}

bool TInfoForm::SaveChart(const std::string& path, std::string& error)
{
    const std::string ext = LowerExtension(path);
    const QSize size = DecisionGraph1->size();
    const QRectF area(QPointF(0, 0), size);
    std::string bytes;
    if (ext == ".svg" || ext == ".pdf" || ext == ".png") {
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        if (ext == ".svg") {
            QSvgGenerator svg;
            svg.setOutputDevice(&buffer);
            svg.setSize(size);
            svg.setViewBox(area);
            svg.setTitle(FChart->title());
            QPainter painter(&svg);
            DecisionGraph1->scene()->render(&painter, area, area);
        } else if (ext == ".pdf") {
            QPdfWriter pdf(&buffer);
            pdf.setResolution(96);
            pdf.setPageSize(QPageSize(QSizeF(size.width() * 72.0 / 96, size.height() * 72.0 / 96), QPageSize::Point));
            pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
            QPainter painter(&pdf);
            DecisionGraph1->scene()->render(&painter, area, area);
        } else {
            DecisionGraph1->grab().save(&buffer, "PNG");
        }
        bytes.assign(data.constData(), static_cast<size_t>(data.size()));
    } else {
        bytes = ChartMetafile();
    }
    return WriteFileAtomic(path, bytes, error);
}
