// clbtool run as a process of its own from a copy in a temporary folder, so
// that its "saved" folder, settings and journal (next to the program) belong
// to the test.
#pragma once

#include "TestFiles.h"

#include <nlohmann/json.hpp>

#include <string>
#include <sys/types.h>
#include <vector>

// A folder under /tmp (a child that became nobody must reach it) with a copy of the program.
class ToolFolder {
public:
    explicit ToolFolder(const std::string& program, const std::string& prefix = "clbtool.");
    const std::string& Path() const { return path_; }
    std::string Program() const { return path_ + "/clbtool"; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    TempFolder folder_;
    std::string path_ = folder_.Str();
};

struct ToolRun {
    int status = -1;
    nlohmann::json result;
    std::string err;
};

// Starts the copy with args (output to out.txt and err.txt of the folder); as nobody when asked
// (and this process is root), with XDG_DATA_HOME set when xdg is given.
pid_t StartTool(const ToolFolder& folder, const std::vector<std::string>& args, bool asNobody = false,
                const std::string& xdg = {});
// Waits for it: its exit status (128 + the signal that ended it), its standard output parsed as
// JSON (or as it is, as a JSON text, without parseJson) and its error output.
ToolRun FinishTool(const ToolFolder& folder, pid_t pid, bool parseJson = true);
ToolRun RunTool(const ToolFolder& folder, const std::vector<std::string>& args, bool asNobody = false,
                const std::string& xdg = {});

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);
