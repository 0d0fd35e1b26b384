// Runs the tavctl binary as a child process with a given runtime directory
// and standard input, and collects what it printed and its exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavlib::tavctl::test {

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

// A tool left running with its stdin and stdout on pipes, to talk to it
// line by line (a shell that holds its slot while other runs look at it).
// Its stderr goes to a file in `scratchDir`.
class RunningTool {
public:
    RunningTool(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& runtimeDir, const std::filesystem::path& scratchDir);
    ~RunningTool();
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;

    void send_line(const std::string& line);
    // The next line of its stdout, without the line end; empty at its end.
    std::string read_line();
    // Closes its stdin (end of input), waits for it to end and returns its
    // status, the rest of its stdout and its stderr.
    ToolRun finish();
    // Sends it SIGINT, then as finish().
    ToolRun interrupt();

private:
    std::filesystem::path errFile_;
    int pid_ = -1;
    int in_ = -1;   // its stdin
    int out_ = -1;  // its stdout
    std::string pending_;
    bool finished_ = false;
};

}  // namespace tavlib::tavctl::test
