// The exported table of the printing module (see PrintModule.h).
#include "PrintModule.h"

#include "PagePrinter.h"

extern "C" __attribute__((visibility("default"))) const PrintModuleFunctions* ClbPrintModuleFunctions()
{
    static const PrintModuleFunctions functions{PrintModuleVersion, &PrintToPdf, &PrintSheetsToPdf,
                                                    &PrintSheetsOnPrinter, &PrinterExists};
    return &functions;
}
