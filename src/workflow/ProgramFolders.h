// Where the tool keeps its settings file and its folders: next to the program
// when that folder is writable and not an installed bin folder, otherwise under the user's data folder
// ($XDG_DATA_HOME/<program>, by default ~/.local/share/<program>), with the same
// layout inside: <program>.ini, config/, saved/<type>/, Info/.
#pragma once

#include <string>

struct ProgramFolders {
    std::string Base;
    std::string SettingsFile;
    std::string Config;
    std::string Saved;
    std::string Info;
};

// The folders of a program file (its path, e.g. /proc/self/exe resolved).
ProgramFolders ResolveProgramFolders(const std::string& programPath, const std::string& programName);

// The path of the running program.
std::string RunningProgramPath();

// Creates the configuration folder and one folder under "saved" for each of
// the type codes 1 to 11, named by the type's LatinName. False with a message
// naming the folder that could not be made.
bool CreateProgramFolders(const ProgramFolders& folders, std::string& error);
