// Printing for a program that links no Qt (clbtool): the printing module
// (PrintModule.h) is loaded the first time something is printed and stays
// loaded. Where it is looked for: the folders set with SetPrintModuleFolders
// (the program's own folder, then the library folder of an installed
// package), or, in a program that set none (the tests and benchmarks of the
// build tree), the folder the build made it in.
#pragma once

#include "CoefficientSheet.h"
#include "Host.h"

#include <string>
#include <vector>

// The folders to look in, in order; before the first print.
void SetPrintModuleFolders(std::vector<std::string> folders);

// The folders of a program installed or built at programPath: its own folder,
// then <its folder>/../lib/clbtool (where the package installs the module).
std::vector<std::string> PrintModuleFoldersOf(const std::string& programPath);

// As PrintToPdf and PrintSheetsToPdf of PagePrinter, through the module. When
// the module cannot be loaded: false, and error says so in Russian, with the
// folders looked in and the loader's reason.
bool PrintToPdfOnDemand(const PrintDocument& document, const std::string& pdfPath, std::string& error);
bool PrintSheetsToPdfOnDemand(const SheetDocument& document, const std::string& pdfPath, std::string& error);
// As PrintSheetsOnPrinter and PrinterExists of PagePrinter, through the module.
bool PrintSheetsOnPrinterOnDemand(const SheetDocument& document, const std::string& printerName, std::string& error);
bool PrinterExistsOnDemand(const std::string& printerName, std::string& error);

// Loads the module now, so that a command can find out before it does
// anything else that it will be able to print; false with the message above.
bool PrintModuleReady(std::string& error);

struct PrintModuleFunctions;
// Loads the module from the first of the folders that holds it and checks its
// table; nullptr with the Russian message otherwise. Each call loads afresh
// (the module stays loaded); the functions above load once.
const PrintModuleFunctions* LoadPrintModule(const std::vector<std::string>& folders, std::string& error);
