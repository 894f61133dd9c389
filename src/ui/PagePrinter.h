// Printing what the workflow lays out: a page of text lines (PrintDocument)
// or the coefficient sheets (SheetDocument), on the default printer, on a
// printer chosen in the print dialog, or into a PDF file.
#pragma once

#include "CoefficientSheet.h"
#include "Host.h"

#include <string>

class QPrinter;

// Prints the document on the system's default printer, without a dialog.
// False with a message when there is no default printer or printing failed.
bool PrintOnDefaultPrinter(const PrintDocument& document, std::string& error);

// Prints the document into a PDF file of A4 pages at 600 printer dots per
// inch, measured from the paper's corner. The file appears complete or not at
// all (it is written beside and renamed). False with a message naming the file.
bool PrintToPdf(const PrintDocument& document, const std::string& pdfPath, std::string& error);

// The resolution of PrintToPdf and PrintSheetsToPdf, in dots per inch.
inline constexpr int PdfDotsPerInch = 600;

// Draws the sheets on a printer as one job, a page each, at the printer's own
// resolution: millimetres from the top-left corner of the printable area, font
// sizes in points, pen widths in printer dots. A document without pages still
// sends an (empty) job. False with a message when the printer fails.
bool PaintSheets(QPrinter& printer, const SheetDocument& document, std::string& error);

// The sheets on the system's default printer, without a dialog.
bool PrintSheetsOnDefaultPrinter(const SheetDocument& document, std::string& error);

// The sheets into a PDF file of A4 pages at 600 dots per inch whose printable
// area is the whole paper; written beside and renamed, as PrintToPdf.
bool PrintSheetsToPdf(const SheetDocument& document, const std::string& pdfPath, std::string& error);
