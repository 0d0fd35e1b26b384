#include "tool_process.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavlib::tavctl::test {
namespace {

std::string read_whole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// posix_spawn's file actions, released on every path.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavctl-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

std::vector<std::string> environment_for(const std::filesystem::path& runtimeDir) {
    // This process's environment with our runtime directory in place of any other.
    std::vector<std::string> envStrings{"TAVRIL_RUNTIME_DIR=" + runtimeDir.string()};
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).rfind("TAVRIL_RUNTIME_DIR=", 0) != 0)
            envStrings.emplace_back(*entry);
    return envStrings;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::filesystem::path& runtimeDir, FileActions& actions) {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers_to(argStrings);
    std::vector<std::string> envStrings = environment_for(runtimeDir);
    std::vector<char*> envp = pointers_to(envStrings);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn");
    return pid;
}

int wait_for_exit(pid_t pid) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

}  // namespace

ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& runtimeDir,
                 const std::filesystem::path& scratchDir, const std::string& input) {
    const auto inFile = scratchDir / "stdin";
    const auto outFile = scratchDir / "stdout";
    const auto errFile = scratchDir / "stderr";
    std::ofstream(inFile, std::ios::binary) << input;

    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, inFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(actions.get(), 2, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    const pid_t pid = spawn(program, args, runtimeDir, actions);
    const int status = wait_for_exit(pid);
    ToolRun run;
    run.status = status;
    run.out = read_whole(outFile);
    run.err = read_whole(errFile);
    return run;
}

RunningTool::RunningTool(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& runtimeDir,
                         const std::filesystem::path& scratchDir)
    : errFile_(scratchDir / "running-stderr") {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    in_ = toChild[1];
    out_ = fromChild[0];
    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), toChild[0], 0);
    posix_spawn_file_actions_adddup2(actions.get(), fromChild[1], 1);
    posix_spawn_file_actions_addopen(actions.get(), 2, errFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    try {
        pid_ = spawn(program, args, runtimeDir, actions);
    } catch (...) {
        close(toChild[0]);
        close(fromChild[1]);
        close(in_);
        close(out_);
        throw;
    }
    close(toChild[0]);
    close(fromChild[1]);
}

RunningTool::~RunningTool() {
    if (!finished_) {
        try {
            finish();
        } catch (...) {
        }
    }
}

void RunningTool::send_line(const std::string& line) {
    const std::string bytes = line + "\n";
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(in_, bytes.data() + sent, bytes.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category(), "write");
        sent += static_cast<std::size_t>(n);
    }
}

std::string RunningTool::read_line() {
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        char chunk[256];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::exchange(pending_, std::string());
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

ToolRun RunningTool::interrupt() {
    kill(pid_, SIGINT);
    return finish();
}

ToolRun RunningTool::finish() {
    finished_ = true;
    close(in_);
    ToolRun run;
    run.out = std::exchange(pending_, std::string());
    char chunk[256];
    for (;;) {
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        run.out.append(chunk, static_cast<std::size_t>(n));
    }
    close(out_);
    run.status = wait_for_exit(pid_);
    run.err = read_whole(errFile_);
    return run;
}

}  // namespace tavlib::tavctl::test
