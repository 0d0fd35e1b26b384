#include "tool_process.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavctl::test {
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

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // This process's environment with our runtime directory in place of any other.
    std::vector<std::string> envStrings{"TAVRIL_RUNTIME_DIR=" + runtimeDir.string()};
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).rfind("TAVRIL_RUNTIME_DIR=", 0) != 0)
            envStrings.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn");

    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    ToolRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    run.out = read_whole(outFile);
    run.err = read_whole(errFile);
    return run;
}

}  // namespace tavctl::test
