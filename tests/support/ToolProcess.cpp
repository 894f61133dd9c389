#include "ToolProcess.h"

#include "Child.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

ToolFolder::ToolFolder(const std::string& program, const std::string& prefix) : folder_(prefix, "/tmp", true)
{
    std::filesystem::copy_file(program, Program());
}

pid_t StartTool(const ToolFolder& folder, const std::vector<std::string>& args, bool asNobody, const std::string& xdg)
{
    const std::string outPath = folder.File("out.txt"), errPath = folder.File("err.txt");
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) throw std::runtime_error("cannot open the output files");
    std::vector<std::string> argv = {folder.Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!xdg.empty()) ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
        if (asNobody && !DropToNobody().empty()) ::_exit(120);
        std::vector<char*> p;
        for (auto& a : argv) p.push_back(a.data());
        p.push_back(nullptr);
        ::execv(p[0], p.data());
        ::_exit(121);
    }
    ::close(out);
    ::close(err);
    if (pid < 0) throw std::runtime_error("cannot run the program");
    return pid;
}

ToolRun FinishTool(const ToolFolder& folder, pid_t pid, bool parseJson)
{
    ToolRun r;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) throw std::runtime_error("cannot wait for the program");
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::string out = ReadFile(folder.File("out.txt"));
    r.result = parseJson ? nlohmann::json::parse(out, nullptr, false) : nlohmann::json(out);
    r.err = ReadFile(folder.File("err.txt"));
    return r;
}

ToolRun RunTool(const ToolFolder& folder, const std::vector<std::string>& args, bool asNobody, const std::string& xdg)
{
    return FinishTool(folder, StartTool(folder, args, asNobody, xdg));
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
