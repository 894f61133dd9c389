// Printing a page of text lines as the workflow lays it out (PrintDocument):
// on the default printer, or into a PDF file.
#pragma once

#include "Host.h"

#include <string>

// Prints the document on the system's default printer, without a dialog.
// False with a message when there is no default printer or printing failed.
bool PrintOnDefaultPrinter(const PrintDocument& document, std::string& error);

// Prints the document into a PDF file of A4 pages at 600 printer dots per
// inch, measured from the paper's corner. The file appears complete or not at
// all (it is written beside and renamed). False with a message naming the file.
bool PrintToPdf(const PrintDocument& document, const std::string& pdfPath, std::string& error);

// The resolution of PrintToPdf, in dots per inch.
inline constexpr int PdfDotsPerInch = 600;
