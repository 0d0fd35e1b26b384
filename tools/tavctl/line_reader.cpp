#include "line_reader.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <sys/select.h>

#include <readline/history.h>
#include <readline/readline.h>

namespace tavlib::tavctl {
namespace {

class StreamLineReader final : public LineReader {
public:
    explicit StreamLineReader(std::istream& in) : in_(in) {}

    std::optional<std::string> next_line() override {
        std::string line;
        if (!std::getline(in_, line)) return std::nullopt;
        return line;
    }

    void remember(const std::string&) override {}

private:
    std::istream& in_;
};

volatile std::sig_atomic_t interruptPending = 0;

extern "C" void note_interrupt(int) { interruptPending = 1; }

// The line readline handed over (readline's callback interface gives it to
// a plain function, hence the file-scope state; there is one terminal).
struct PendingLine {
    bool done = false;
    std::optional<std::string> line;
};
PendingLine* pendingLine = nullptr;

extern "C" void take_line(char* text) {
    // Stop readline from preparing the next prompt before the line is handled.
    rl_callback_handler_remove();
    if (pendingLine != nullptr) {
        pendingLine->done = true;
        if (text != nullptr) pendingLine->line = std::string(text);
    }
    std::free(text);
}

constexpr int kHistoryLength = 1000;

// SIGINT stays blocked while the reader lives and is let through only while
// it waits for a key: Ctrl-C never ends the tool in the middle of a library
// call, and at the prompt it drops the line being typed.
class TerminalLineReader final : public LineReader {
public:
    TerminalLineReader(std::string prompt, std::optional<std::string> historyFile)
        : prompt_(std::move(prompt)), historyFile_(std::move(historyFile)) {
        rl_readline_name = "tavctl";
        rl_catch_signals = 0;
        using_history();
        stifle_history(kHistoryLength);
        if (historyFile_) read_history(historyFile_->c_str());

        struct sigaction action {};
        action.sa_handler = note_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previousAction_);
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        sigprocmask(SIG_BLOCK, &interrupt, &previousMask_);
    }

    ~TerminalLineReader() override {
        if (historyFile_) {
            write_history(historyFile_->c_str());
            history_truncate_file(historyFile_->c_str(), kHistoryLength);
        }
        clear_history();
        // A Ctrl-C still pending is taken by note_interrupt, not by the
        // previous handler.
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
        sigaction(SIGINT, &previousAction_, nullptr);
    }

    std::optional<std::string> next_line() override {
        PendingLine pending;
        pendingLine = &pending;
        interruptPending = 0;
        rl_callback_handler_install(prompt_.c_str(), take_line);
        sigset_t waitMask = previousMask_;
        sigdelset(&waitMask, SIGINT);
        const int fd = fileno(rl_instream != nullptr ? rl_instream : stdin);
        while (!pending.done) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            const int ready = pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &waitMask);
            if (ready < 0) {
                if (errno != EINTR) break;
                if (interruptPending) {
                    interruptPending = 0;
                    // Drop the line typed so far and start a fresh one.
                    rl_free_line_state();
                    rl_callback_sigcleanup();
                    rl_crlf();
                    rl_replace_line("", 0);
                    rl_on_new_line();
                    rl_redisplay();
                }
                continue;
            }
            if (ready > 0) rl_callback_read_char();
        }
        if (!pending.done) rl_callback_handler_remove();
        pendingLine = nullptr;
        return std::move(pending.line);
    }

    void remember(const std::string& line) override {
        const HIST_ENTRY* last = history_length > 0 ? history_get(history_base + history_length - 1)
                                                    : nullptr;
        if (last == nullptr || line != last->line) add_history(line.c_str());
    }

private:
    std::string prompt_;
    std::optional<std::string> historyFile_;
    struct sigaction previousAction_ {};
    sigset_t previousMask_{};
};

}  // namespace

std::unique_ptr<LineReader> stream_line_reader(std::istream& in) {
    return std::make_unique<StreamLineReader>(in);
}

std::unique_ptr<LineReader> terminal_line_reader(std::string prompt,
                                                 std::optional<std::string> historyFile) {
    return std::make_unique<TerminalLineReader>(std::move(prompt), std::move(historyFile));
}

}  // namespace tavlib::tavctl
