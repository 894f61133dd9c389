#include "PagePrinter.h"

#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPainter>
#include <QPen>
#include <QPrinter>
#include <QPrinterInfo>
#include <QString>

#include <cmath>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Painting text needs the application's font database. A program without a
// window (the command line) gets an application of its own, on the offscreen
// platform, the first time it prints.
void EnsureApplication()
{
    if (QCoreApplication::instance()) return;
    // Such a program has no place for Qt's own notes (a missing runtime
    // folder and the like); what fails is reported through the results.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    });
    static int argc = 3;
    static char arg0[] = "clbtool", arg1[] = "-platform", arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

// Draws every line at its place, in dots from the paper's corner.
bool Paint(QPrinter& printer, const PrintDocument& document, std::string& error)
{
    printer.setDocName(QString::fromStdString(document.Title));
    printer.setResolution(PrintDotsPerInch);
    printer.setFullPage(true);
    QPainter painter;
    if (!painter.begin(&printer)) {
        error = "Ошибка печати: принтер не готов";
        return false;
    }
    QFont font(QString::fromStdString(document.FontFamily));
    font.setPointSize(document.FontPoints);
    painter.setFont(font);
    const int ascent = painter.fontMetrics().ascent();
    for (const PrintLine& line : document.Lines)
        painter.drawText(line.X, line.Y + ascent, QString::fromStdString(line.Text));
    if (!painter.end()) {
        error = "Ошибка печати";
        return false;
    }
    return true;
}

// The printer of that name (a print queue), or the default one when the name
// is empty; a null printer, with the message, when there is none such.
QPrinterInfo FindPrinter(const std::string& printerName, std::string& error)
{
    const QPrinterInfo info = printerName.empty() ? QPrinterInfo::defaultPrinter()
                                                  : QPrinterInfo::printerInfo(QString::fromStdString(printerName));
    if (info.isNull())
        error = printerName.empty() ? "Ошибка печати: принтер по умолчанию не найден"
                                    : "Ошибка печати: принтер " + printerName + " не найден";
    return info;
}

// One job on the printer of that name (the default one when empty).
template <class PaintStep>
bool PaintOnPrinter(const std::string& printerName, std::string& error, PaintStep paint)
{
    EnsureApplication();
    const QPrinterInfo info = FindPrinter(printerName, error);
    if (info.isNull()) return false;
    QPrinter printer(info, QPrinter::HighResolution);
    return paint(printer);
}

// Writes a PDF beside its place and renames it there once complete.
template <class PaintStep>
bool PaintToPdf(const std::string& pdfPath, std::string& error, PaintStep paint)
{
    EnsureApplication();
    const std::string temporary = pdfPath + ".part" + std::to_string(::getpid());
    bool ok = false;
    {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(temporary));
        printer.setPageSize(QPageSize(QPageSize::A4));
        ok = paint(printer);
    }
    if (ok && std::rename(temporary.c_str(), pdfPath.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    error = "Ошибка печати в файл " + pdfPath;
    return false;
}

} // namespace

bool PrintOnDefaultPrinter(const PrintDocument& document, std::string& error)
{
    return PaintOnPrinter({}, error, [&](QPrinter& printer) { return Paint(printer, document, error); });
}

bool PrintToPdf(const PrintDocument& document, const std::string& pdfPath, std::string& error)
{
    return PaintToPdf(pdfPath, error, [&](QPrinter& printer) { return Paint(printer, document, error); });
}

bool PaintSheets(QPrinter& printer, const SheetDocument& document, std::string& error)
{
    EnsureApplication();
    printer.setDocName(QString::fromStdString(document.Title));
    printer.setResolution(PrintDotsPerInch);
    // The canvas starts at the corner of what the printer can print on. The
    // toolkit's own default margin (10 points) would move every text and rule
    // of the sheet by 3.5 mm.
    printer.setFullPage(false);
    const QPageLayout layout = printer.pageLayout();
    printer.setPageMargins(layout.minimumMargins(), layout.units());
    QPainter painter;
    if (!painter.begin(&printer)) {
        error = "Ошибка печати: принтер не готов";
        return false;
    }
    // Millimetres to printer dots, each rounded to the nearest whole dot.
    const double dotsX = printer.logicalDpiX() / 25.4, dotsY = printer.logicalDpiY() / 25.4;
    auto x = [&](double mm) { return static_cast<int>(std::lround(dotsX * mm)); };
    auto y = [&](double mm) { return static_cast<int>(std::lround(dotsY * mm)); };
    // The painter's fonts take their points at the printer's resolution.
    QFont font = painter.font();
    bool first = true;
    for (const SheetPage& page : document.Pages) {
        if (!first && !printer.newPage()) {
            painter.end();
            error = "Ошибка печати: новая страница";
            return false;
        }
        first = false;
        for (const SheetLine& line : page.Lines) {
            QPen pen(Qt::black);
            pen.setWidth(line.PenDots);
            pen.setCapStyle(Qt::RoundCap);
            if (line.Dashed) pen.setStyle(Qt::DashLine);
            painter.setPen(pen);
            painter.drawLine(x(line.X1), y(line.Y1), x(line.X2), y(line.Y2));
        }
        painter.setPen(Qt::black);
        for (const SheetText& text : page.Texts) {
            font.setPointSize(text.Points);
            font.setBold(text.Bold);
            painter.setFont(font);
            painter.drawText(x(text.X), y(text.Y) + painter.fontMetrics().ascent(), QString::fromStdString(text.Text));
        }
    }
    if (!painter.end()) {
        error = "Ошибка печати";
        return false;
    }
    return true;
}

bool PrintSheetsOnPrinter(const SheetDocument& document, const std::string& printerName, std::string& error)
{
    return PaintOnPrinter(printerName, error, [&](QPrinter& printer) { return PaintSheets(printer, document, error); });
}

bool PrinterExists(const std::string& printerName, std::string& error)
{
    EnsureApplication();
    return !FindPrinter(printerName, error).isNull();
}

bool PrintSheetsToPdf(const SheetDocument& document, const std::string& pdfPath, std::string& error)
{
    return PaintToPdf(pdfPath, error, [&](QPrinter& printer) { return PaintSheets(printer, document, error); });
}
