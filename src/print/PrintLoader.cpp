#include "PrintLoader.h"

#include "PrintModule.h"

#include <algorithm>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>

namespace {

std::mutex LoaderMutex;
std::vector<std::string> Folders{
#ifdef CLB_PRINT_MODULE_BUILD_DIR
    CLB_PRINT_MODULE_BUILD_DIR
#endif
};
const PrintModuleFunctions* Loaded = nullptr;
std::string LoadError;
bool Tried = false;

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, std::max<std::size_t>(slash, 1));
}

bool IsFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const PrintModuleFunctions* Module(std::string& error)
{
    std::lock_guard<std::mutex> lock(LoaderMutex);
    if (!Tried) {
        Tried = true;
        Loaded = LoadPrintModule(Folders, LoadError);
    }
    if (!Loaded) error = LoadError;
    return Loaded;
}

} // namespace

void SetPrintModuleFolders(std::vector<std::string> folders)
{
    std::lock_guard<std::mutex> lock(LoaderMutex);
    Folders = std::move(folders);
    Tried = false;
    Loaded = nullptr;
}

std::vector<std::string> PrintModuleFoldersOf(const std::string& programPath)
{
    const std::string folder = FolderOf(programPath);
    return {folder, folder + "/../lib/clbtool"};
}

const PrintModuleFunctions* LoadPrintModule(const std::vector<std::string>& folders, std::string& error)
{
    std::string looked;
    for (const std::string& folder : folders) {
        const std::string path = folder + "/" + PrintModuleFile;
        looked += (looked.empty() ? "" : ", ") + folder;
        if (!IsFile(path)) continue;
        // Kept for the rest of the program's life: Qt's libraries do not unload.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = ::dlerror();
            error = "Печать недоступна: не удалось загрузить библиотеку печати " + path + " (" +
                    (why ? why : "неизвестная ошибка") + ")";
            return nullptr;
        }
        const auto entry = reinterpret_cast<PrintModuleEntryFunction>(::dlsym(handle, PrintModuleEntry));
        const PrintModuleFunctions* functions = entry ? entry() : nullptr;
        if (!functions || functions->Version != PrintModuleVersion || !functions->PrintToPdf ||
            !functions->PrintSheetsToPdf || !functions->PrintSheetsOnPrinter || !functions->PrinterExists) {
            error = "Печать недоступна: " + path + " - библиотека печати другой версии";
            return nullptr;
        }
        return functions;
    }
    error = std::string("Печать недоступна: библиотека печати ") + PrintModuleFile + " не найдена (искали в: " +
            (looked.empty() ? std::string("-") : looked) + ")";
    return nullptr;
}

bool PrintToPdfOnDemand(const PrintDocument& document, const std::string& pdfPath, std::string& error)
{
    const PrintModuleFunctions* m = Module(error);
    return m && m->PrintToPdf(document, pdfPath, error);
}

bool PrintSheetsToPdfOnDemand(const SheetDocument& document, const std::string& pdfPath, std::string& error)
{
    const PrintModuleFunctions* m = Module(error);
    return m && m->PrintSheetsToPdf(document, pdfPath, error);
}

bool PrintSheetsOnPrinterOnDemand(const SheetDocument& document, const std::string& printerName, std::string& error)
{
    const PrintModuleFunctions* m = Module(error);
    return m && m->PrintSheetsOnPrinter(document, printerName, error);
}

bool PrinterExistsOnDemand(const std::string& printerName, std::string& error)
{
    const PrintModuleFunctions* m = Module(error);
    return m && m->PrinterExists(printerName, error);
}

bool PrintModuleReady(std::string& error)
{
    return Module(error) != nullptr;
}
