#include "PagePrinter.h"

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QString>

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

// Draws every line at its place, in printer dots of the printer's own resolution.
bool Paint(QPrinter& printer, const PrintDocument& document, std::string& error)
{
    printer.setDocName(QString::fromStdString(document.Title));
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

} // namespace

bool PrintOnDefaultPrinter(const PrintDocument& document, std::string& error)
{
    EnsureApplication();
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) {
        error = "Ошибка печати: принтер по умолчанию не найден";
        return false;
    }
    QPrinter printer(info, QPrinter::HighResolution);
    return Paint(printer, document, error);
}

bool PrintToPdf(const PrintDocument& document, const std::string& pdfPath, std::string& error)
{
    EnsureApplication();
    const std::string temporary = pdfPath + ".part" + std::to_string(::getpid());
    bool ok = false;
    {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(temporary));
        printer.setResolution(PdfDotsPerInch);
        printer.setPageSize(QPageSize(QPageSize::A4));
        ok = Paint(printer, document, error);
    }
    if (ok && std::rename(temporary.c_str(), pdfPath.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    error = "Ошибка печати в файл " + pdfPath;
    return false;
}
