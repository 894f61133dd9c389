// The printing module: the code of PagePrinter built as a shared library of its
// own (libclbprint.so), so that a program without windows loads Qt's GUI
// libraries only when it prints. The module exports one C function, named by
// PrintModuleEntry, that returns its table of functions; the loader
// (PrintLoader) checks the table's version before it calls anything.
//
// The module and its loader are built together from one tree: the table passes
// the workflow's document types and std::string by reference.
#pragma once

#include "CoefficientSheet.h"
#include "Host.h"

#include <string>

// Raised whenever a function of the table, or a type it takes, changes.
inline constexpr unsigned PrintModuleVersion = 3;

struct PrintModuleFunctions {
    unsigned Version = 0;
    bool (*PrintToPdf)(const PrintDocument& document, const std::string& pdfPath, std::string& error) = nullptr;
    bool (*PrintSheetsToPdf)(const SheetDocument& document, const std::string& pdfPath, std::string& error) = nullptr;
    bool (*PrintSheetsOnPrinter)(const SheetDocument& document, const std::string& printerName, std::string& error) = nullptr;
    bool (*PrinterExists)(const std::string& printerName, std::string& error) = nullptr;
};

// The file name of the module and the name of its one exported function.
inline constexpr const char* PrintModuleFile = "libclbprint.so";
inline constexpr const char* PrintModuleEntry = "ClbPrintModuleFunctions";
using PrintModuleEntryFunction = const PrintModuleFunctions* (*)();
