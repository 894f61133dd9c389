#include "ClbTool.h"
#include "PrintLoader.h"
#include "ProgramFolders.h"

#include <iostream>

int main(int argc, char** argv)
{
    // The printing module is looked for beside this program and in its package only.
    SetPrintModuleFolders(PrintModuleFoldersOf(RunningProgramPath()));
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunClbTool(args, std::cout, std::cerr);
}
