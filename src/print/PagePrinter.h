// Printing what the workflow lays out: a page of text lines (PrintDocument)
// or sheets (SheetDocument: the coefficient sheets, a calibration
// certificate), on the default printer, on a named printer, on a printer
// chosen in the print dialog, or into a PDF file.
#pragma once

#include "CoefficientSheet.h"
#include "Host.h"

#include <string>

class QPrinter;

// Prints the document on the system's default printer, without a dialog.
// False with a message when there is no default printer or printing failed.
bool PrintOnDefaultPrinter(const PrintDocument& document, std::string& error);

// Prints the document into a PDF file of A4 pages, in dots of PrintDotsPerInch
// measured from the paper's corner, as on a printer. The file appears complete
// or not at all (it is written beside and renamed). False with a message
// naming the file.
bool PrintToPdf(const PrintDocument& document, const std::string& pdfPath, std::string& error);

// The resolution of every print, in dots per inch. The printers of this system
// take a page description (the print queue renders it for the device), so the
// dots are a unit of the drawing, not the device's: the print file page with
// its lines 100 dots apart in 10-point type needs them this size, and a page
// on a printer then matches the same page printed into a PDF file.
inline constexpr int PrintDotsPerInch = 600;

// Draws the sheets on a printer as one job, a page each, in dots of
// PrintDotsPerInch: millimetres from the top-left corner of the printer's
// printable area (its own margins, not a default margin of the toolkit), font
// sizes in points, pen widths in dots. A document without pages still sends
// an (empty) job. False with a message when the printer fails.
bool PaintSheets(QPrinter& printer, const SheetDocument& document, std::string& error);

// The sheets (a calibration certificate among them) on the printer of that
// name, a print queue of the system, or on the default printer when the name
// is empty; without a dialog. False with a message when there is no such
// printer or printing failed.
bool PrintSheetsOnPrinter(const SheetDocument& document, const std::string& printerName, std::string& error);

// Whether the system has the printer of that name (the default printer when
// the name is empty): asked of the print system without printing. False with
// the message PrintSheetsOnPrinter would give.
bool PrinterExists(const std::string& printerName, std::string& error);

// The sheets into a PDF file of A4 pages whose printable area is the whole
// paper; written beside and renamed, as PrintToPdf.
bool PrintSheetsToPdf(const SheetDocument& document, const std::string& pdfPath, std::string& error);
