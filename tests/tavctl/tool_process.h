// Runs the tavctl binary as a child process with a given runtime directory
// and standard input, and collects what it printed and its exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavctl::test {

struct ToolRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// A fresh private folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs `program args...` with TAVRIL_RUNTIME_DIR=runtimeDir added to this
// process's environment and `input` as its standard input (a file, so not a
// terminal).  Scratch files go to `scratchDir`.
ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& runtimeDir,
                 const std::filesystem::path& scratchDir, const std::string& input = {});

}  // namespace tavctl::test
