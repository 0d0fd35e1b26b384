#include "commands.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "result_codes.h"
#include "device.h"
#include "display.h"
#include "line_reader.h"
#include "shell_line.h"
#include "trace_commands.h"

namespace tavlib::tavctl {

using namespace tavlib::tools;
namespace {

std::string slot_label(std::uint32_t slot) { return "slot " + std::to_string(slot); }

void report(Console& console, std::uint32_t slot, Function function, const CallResult& call) {
    console.err << "tavctl: " << slot_label(slot) << ": "
                << describe_failure(function, call.result, call.errorCode) << '\n';
}

// Closes `connection` and reports a failed close; the status to exit with.
int close_connection(Console& console, std::uint32_t slot, Connection& connection, int status) {
    const CallResult closed = connection.close();
    if (closed.result == TAVRIL_CLOSE_OK) return status;
    report(console, slot, Function::Close, closed);
    return kExitFailure;
}

// Opens the slot of a single-slot command.  A device that was opened but
// not identified is closed again unless the caller allows it.
std::optional<Connection> open_slot(const Invocation& invocation, Console& console,
                                    InstrumentIdentity* identity, bool allowUnidentified) {
    std::ostream* trace = invocation.trace ? &console.err : nullptr;
    OpenResult opened = Connection::open(invocation.slot, trace);
    if (opened.call.result == TAVRIL_OPEN_OK) {
        if (identity != nullptr) *identity = opened.identity;
        return std::move(opened.connection);
    }
    console.err << "tavctl: " << slot_label(invocation.slot) << ": "
                << open_state(opened.call.result, opened.call.errorCode) << ": "
                << describe_failure(Function::Open, opened.call.result, opened.call.errorCode)
                << '\n';
    if (opened.call.result == TAVRIL_OPEN_NOT_IDENTIFIED && opened.connection) {
        if (allowUnidentified) {
            console.err << "tavctl: " << slot_label(invocation.slot)
                        << ": going on with the unidentified device\n";
            return std::move(opened.connection);
        }
        close_connection(console, invocation.slot, *opened.connection, kExitFailure);
    }
    return std::nullopt;
}

void print_text(std::ostream& out, const std::string& text) {
    out << printable_response(text) << '\n';
}

// Prints a transaction's response and its answer code; the status.
int show_transaction(Console& console, std::uint32_t slot, const TransactionResult& transaction) {
    if (transaction.call.result < 0) {
        report(console, slot, Function::Scmd, transaction.call);
        return kExitFailure;
    }
    print_text(console.out, transaction.response);
    if (transaction.call.result > 0) console.out << describe_answer(transaction.call.result) << '\n';
    return kExitOk;
}

int run_list(const Invocation& invocation, Console& console) {
    std::ostream* trace = invocation.trace ? &console.err : nullptr;
    int status = kExitOk;
    for (std::uint32_t slot = 0; slot < TAVRIL_SLOT_COUNT; ++slot) {
        OpenResult opened = Connection::open(slot, trace);
        const CallResult& call = opened.call;
        const std::string_view state = open_state(call.result, call.errorCode);
        console.out << slot_label(slot) << ": " << state;
        if (call.result == TAVRIL_OPEN_OK) {
            console.out << ", " << describe_identity(opened.identity);
        } else if (state != "no device" && state != "in use") {
            console.out << " (" << describe_failure(Function::Open, call.result, call.errorCode)
                        << ")";
            // A device that is absent, taken or silent is what list reports;
            // any other failure of the open is the tool's failure.
            if (state != "not identified") status = kExitFailure;
        }
        console.out << '\n';
        console.out.flush();
        if (opened.connection) status = close_connection(console, slot, *opened.connection, status);
    }
    return status;
}

int run_identify(const Invocation& invocation, Console& console) {
    InstrumentIdentity identity{};
    std::optional<Connection> connection = open_slot(invocation, console, &identity, false);
    if (!connection) return kExitFailure;
    int status = kExitOk;
    const std::string label = slot_label(invocation.slot);
    console.out << label << " (Open_Tavril): " << describe_identity(identity) << '\n';
    const IdentityResult again = connection->identify();
    if (again.call.result == TAVRIL_CONF_OK) {
        console.out << label << " (Conf_Tavril): " << describe_identity(again.identity) << '\n';
    } else {
        report(console, invocation.slot, Function::Conf, again.call);
        status = kExitFailure;
    }
    return close_connection(console, invocation.slot, *connection, status);
}

int run_query(const Invocation& invocation, Console& console) {
    std::optional<Connection> connection =
        open_slot(invocation, console, nullptr, invocation.allowUnidentified);
    if (!connection) return kExitFailure;
    const TransactionResult transaction = connection->transact(
        invocation.text, invocation.maxBytes, invocation.mode, invocation.timeoutSeconds);
    const int status = show_transaction(console, invocation.slot, transaction);
    return close_connection(console, invocation.slot, *connection, status);
}

int run_write(const Invocation& invocation, Console& console) {
    std::optional<Connection> connection =
        open_slot(invocation, console, nullptr, invocation.allowUnidentified);
    if (!connection) return kExitFailure;
    int status = kExitOk;
    const TransferResult written = connection->write(invocation.text, invocation.timeoutSeconds);
    if (written.call.result == TAVRIL_WRITE_OK) {
        console.out << "wrote " << written.bytes << " bytes\n";
    } else {
        report(console, invocation.slot, Function::Write, written.call);
        status = kExitFailure;
    }
    return close_connection(console, invocation.slot, *connection, status);
}

int run_read(const Invocation& invocation, Console& console) {
    // The output file is made before the read: once read, the instrument's
    // response is gone, so it must have somewhere to go.
    std::ofstream file;
    if (invocation.outputFile) {
        file.open(*invocation.outputFile, std::ios::binary | std::ios::trunc);
        if (!file) {
            console.err << "tavctl: cannot write " << *invocation.outputFile << '\n';
            return kExitLocalError;
        }
    }
    std::optional<Connection> connection =
        open_slot(invocation, console, nullptr, invocation.allowUnidentified);
    if (!connection) return kExitFailure;

    int status = kExitOk;
    const TransferResult received =
        connection->read(invocation.maxBytes, invocation.mode, invocation.timeoutSeconds);
    if (received.call.result != TAVRIL_READ_OK) {
        report(console, invocation.slot, Function::Read, received.call);
        status = kExitFailure;
        if (invocation.outputFile) {
            // Nothing was received: leave no empty file behind.
            file.close();
            std::error_code ignored;
            std::filesystem::remove(*invocation.outputFile, ignored);
        }
    } else if (invocation.outputFile) {
        file.write(received.data.data(), static_cast<std::streamsize>(received.data.size()));
        file.close();
        if (!file) {
            console.err << "tavctl: cannot write " << *invocation.outputFile << '\n';
            status = kExitLocalError;
        }
    } else if (invocation.mode == TAVRIL_MODE_RAW) {
        console.out.write(received.data.data(), static_cast<std::streamsize>(received.data.size()));
    } else {
        print_text(console.out, received.data);
    }
    return close_connection(console, invocation.slot, *connection, status);
}

struct ShellSettings {
    std::int32_t mode = TAVRIL_MODE_TEXT;
    std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
    std::uint32_t maxBytes = kDefaultMaxBytes;
};

// Runs one line of the shell; false when it failed.
bool run_shell_line(const ShellLine& line, Connection& connection, ShellSettings& settings,
                    std::uint32_t slot, Console& console) {
    switch (line.action) {
        case ShellAction::Nothing:
        case ShellAction::Quit:
            return true;
        case ShellAction::Invalid:
            console.err << "tavctl: " << line.text << '\n';
            return false;
        case ShellAction::Help:
            console.out << shell_help();
            return true;
        case ShellAction::Settings:
            console.out << "mode " << settings.mode << ", timeout " << settings.timeoutSeconds
                        << " s, max-bytes " << settings.maxBytes << '\n';
            return true;
        case ShellAction::SetMode:
            settings.mode = static_cast<std::int32_t>(line.value);
            return true;
        case ShellAction::SetTimeout:
            settings.timeoutSeconds = line.value;
            return true;
        case ShellAction::SetMaxBytes:
            settings.maxBytes = line.value;
            return true;
        case ShellAction::Transaction:
            return show_transaction(console, slot,
                                    connection.transact(line.text, settings.maxBytes,
                                                        settings.mode, settings.timeoutSeconds)) ==
                   kExitOk;
        case ShellAction::Write: {
            const TransferResult written = connection.write(line.text, settings.timeoutSeconds);
            if (written.call.result == TAVRIL_WRITE_OK) {
                console.out << "wrote " << written.bytes << " bytes\n";
                return true;
            }
            report(console, slot, Function::Write, written.call);
            return false;
        }
        case ShellAction::Read: {
            const TransferResult received =
                connection.read(settings.maxBytes, settings.mode, settings.timeoutSeconds);
            if (received.call.result == TAVRIL_READ_OK) {
                print_text(console.out, received.data);
                return true;
            }
            report(console, slot, Function::Read, received.call);
            return false;
        }
        case ShellAction::Identify: {
            const IdentityResult identified = connection.identify();
            if (identified.call.result == TAVRIL_CONF_OK) {
                console.out << describe_identity(identified.identity) << '\n';
                return true;
            }
            report(console, slot, Function::Conf, identified.call);
            return false;
        }
    }
    return false;
}

int run_shell(const Invocation& invocation, Console& console) {
    InstrumentIdentity identity{};
    std::optional<Connection> connection =
        open_slot(invocation, console, &identity, invocation.allowUnidentified);
    if (!connection) return kExitFailure;

    ShellSettings settings;
    settings.timeoutSeconds = invocation.timeoutSeconds;
    settings.maxBytes = invocation.maxBytes;
    std::unique_ptr<LineReader> reader;
    if (console.interactive) {
        console.out << slot_label(invocation.slot) << ": " << describe_identity(identity)
                    << "\nType :help for the shell's commands, Ctrl-D to leave.\n";
        console.out.flush();
        reader = terminal_line_reader("tavctl[" + std::to_string(invocation.slot) + "]> ",
                                      invocation.historyFile);
    } else {
        reader = stream_line_reader(console.in);
    }

    int status = kExitOk;
    while (const std::optional<std::string> text = reader->next_line()) {
        const ShellLine line = parse_shell_line(*text);
        if (line.action != ShellAction::Nothing) reader->remember(*text);
        if (!run_shell_line(line, *connection, settings, invocation.slot, console))
            status = kExitFailure;
        console.out.flush();
        console.err.flush();
        if (line.action == ShellAction::Quit) break;
    }
    reader.reset();
    return close_connection(console, invocation.slot, *connection, status);
}

}  // namespace

int run(const Invocation& invocation, Console& console) {
    switch (invocation.command) {
        case Command::List: return run_list(invocation, console);
        case Command::Identify: return run_identify(invocation, console);
        case Command::Query: return run_query(invocation, console);
        case Command::Write: return run_write(invocation, console);
        case Command::Read: return run_read(invocation, console);
        case Command::Shell: return run_shell(invocation, console);
        case Command::Trace: return run_trace(invocation, console.out, console.err);
        case Command::Twin: return run_twin(invocation, console.out, console.err);
    }
    return kExitUsage;
}

}  // namespace tavlib::tavctl
