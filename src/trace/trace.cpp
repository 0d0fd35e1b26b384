// The trace's records, its file and its bound (docs/TRACE.md).
#include "trace/trace.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "api_calls.h"
#include "platform/platform.h"
#include "trace/record_text.h"

namespace tavlib::trace {

std::atomic<bool> g_running{false};

namespace {

constexpr std::uint64_t kDefaultDataLimit = 4096;
constexpr std::uint64_t kDefaultMaxBytes = std::uint64_t{256} << 20;
// Room left below the bound for the end record, whose longest form (every
// number at its widest) is 213 bytes.
constexpr std::uint64_t kEndRecordRoom = 256;
constexpr std::uintptr_t kFreeSlot = ~std::uintptr_t{0};

struct Times {
    std::int64_t wall;  // µs since 1970, UTC
    std::int64_t mono;  // µs of the monotonic clock
};

Times now() noexcept { return {platform::wall_clock_microseconds(), platform::monotonic_microseconds()}; }

// When a call started, and in which process.
struct Start {
    Times times;
    platform::Word pid;
};

// The handle that each slot's Open_Tavril gave this process, so that the
// records of later calls on it name the slot.  Filled by Open (result 0 or
// -2), emptied by a Close that succeeds.
std::atomic<std::uintptr_t> g_slotHandles[TAVRIL_SLOT_COUNT] = {kFreeSlot, kFreeSlot, kFreeSlot,
                                                                kFreeSlot};

std::uintptr_t word_of(TavrilHandle handle) noexcept { return reinterpret_cast<std::uintptr_t>(handle); }

void forget_handle(TavrilHandle handle) noexcept {
    for (auto& entry : g_slotHandles) {
        std::uintptr_t expected = word_of(handle);
        entry.compare_exchange_strong(expected, kFreeSlot, std::memory_order_relaxed);
    }
}

void remember_handle(std::uint32_t slot, TavrilHandle handle) noexcept {
    forget_handle(handle);  // a value Windows handed out again
    g_slotHandles[slot].store(word_of(handle), std::memory_order_relaxed);
}

void forget_every_handle() noexcept {
    for (auto& entry : g_slotHandles) entry.store(kFreeSlot, std::memory_order_relaxed);
}

// The slot of `handle`, or -1 when no Open of this process gave it.
std::int64_t slot_of(TavrilHandle handle) noexcept {
    if (word_of(handle) == kFreeSlot) return -1;
    for (std::uint32_t slot = 0; slot < TAVRIL_SLOT_COUNT; ++slot)
        if (g_slotHandles[slot].load(std::memory_order_relaxed) == word_of(handle)) return slot;
    return -1;
}

// The process whose handles g_slotHandles holds.  A child forked from a
// traced process finds another id at its first call, and the parent's
// handles mean nothing there: the table is emptied before that call uses it.
std::atomic<platform::Word> g_handlesOfProcess{0};

platform::Word this_process() noexcept {
    const platform::Word pid = platform::GetCurrentProcessId();
    if (g_handlesOfProcess.load(std::memory_order_relaxed) != pid &&
        g_handlesOfProcess.exchange(pid, std::memory_order_relaxed) != pid)
        forget_every_handle();
    return pid;
}

Start begin_call() noexcept {
    const platform::Word pid = this_process();
    return {now(), pid};
}

// Keeps the thread's last error as the call left it, whatever the trace's
// own system calls do to it.
class KeepLastError {
public:
    KeepLastError() noexcept : code_(platform::GetLastError()) {}
    ~KeepLastError() { platform::SetLastError(code_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    platform::Word code_;
};

// The process's trace: settings, file, record count and bound.  One for the
// life of the process, never destroyed: other threads may still make calls
// while the process exits.
class Trace {
public:
    void start(std::string pattern, std::uint64_t dataLimit, std::uint64_t maxBytes) {
        std::lock_guard lock(mutex_);
        close_locked();
        pattern_ = std::move(pattern);
        path_.clear();
        dataLimit_ = dataLimit;
        maxBytes_ = maxBytes;
        base_ = now();
        pid_ = 0;
        running_ = true;
        g_running.store(true, std::memory_order_relaxed);
    }

    void stop() {
        std::lock_guard lock(mutex_);
        close_locked();
    }

    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

    // Bytes of a data block shown whole; fixed while the trace runs.
    std::uint64_t data_limit() const noexcept { return dataLimit_.load(std::memory_order_relaxed); }

    // Appends the record of a call that started at `start`: its head, then
    // `members` (each with its leading comma).  The file is opened with the
    // process's first record, after the start record.
    void append(const Start& started, const char* call, const std::string& members) {
        const Times& start = started.times;
        const platform::Word pid = started.pid;
        const platform::Word tid = platform::GetCurrentThreadId();
        std::lock_guard lock(mutex_);
        if (!running_) return;
        if ((file_ == platform::kNoTraceFile || pid != pid_) && !begin_locked(start, pid, tid)) return;
        std::string line = head(start, pid, tid, call);
        line += members;
        line += "}\n";
        if (size_ + line.size() + kEndRecordRoom > maxBytes_) {
            std::string end = head(now(), pid, tid, "end");
            end += ",\"reason\":\"limit\",\"max_bytes\":";
            append_number(end, maxBytes_);
            end += "}\n";
            if (write_locked(end)) close_locked();
            return;
        }
        write_locked(line);
    }

    // A record that could not be made: the trace ends rather than leave a
    // call out.
    void give_up() noexcept {
        try {
            std::lock_guard lock(mutex_);
            if (running_) fail_locked("no memory for a record", 8);
        } catch (...) {
            g_running.store(false, std::memory_order_relaxed);
        }
    }

private:
    // The first record of a process, or of a child forked from a traced
    // process (whose first call finds another process id): the file (a new
    // one if the name holds %p), then the start record.
    bool begin_locked(const Times& start, platform::Word pid, platform::Word tid) {
        if (file_ != platform::kNoTraceFile) {
            base_ = start;
            if (pattern_.find("%p") != std::string::npos) {
                platform::close_trace_file(file_);
                file_ = platform::kNoTraceFile;
            }
        }
        pid_ = pid;
        seq_ = 0;
        if (file_ == platform::kNoTraceFile) {
            path_ = expand_process_id(pattern_, pid);
            platform::Word error = 0;
            file_ = platform::open_trace_file(path_.c_str(), &error);
            if (file_ == platform::kNoTraceFile) {
                fail_locked("cannot open the file", error);
                return false;
            }
            size_ = 0;
        }
        std::string line = head(base_, pid, tid, "start");
        line += ",\"library\":\"";
        append_number(line, TAVLIB_VERSION_MAJOR);
        line += '.';
        append_number(line, TAVLIB_VERSION_MINOR);
        line += '.';
        append_number(line, TAVLIB_VERSION_PATCH);
        line += "\",\"platform\":\"";
        line += platform::platform_name();
        line += "\",\"data_limit\":";
        append_number(line, dataLimit_);
        line += ",\"max_bytes\":";
        append_number(line, maxBytes_);
        line += "}\n";
        return write_locked(line);
    }

    std::string head(const Times& start, platform::Word pid, platform::Word tid, const char* call) const {
        std::string line = "{\"v\":1,\"seq\":";
        append_number(line, seq_);
        line += ",\"time\":";
        append_utc_time(line, start.wall);
        line += ",\"mono_us\":";
        append_number(line, start.mono > base_.mono ? static_cast<std::uint64_t>(start.mono - base_.mono) : 0);
        line += ",\"pid\":";
        append_number(line, pid);
        line += ",\"tid\":";
        append_number(line, tid);
        line += ",\"call\":\"";
        line += call;
        line += '"';
        return line;
    }

    bool write_locked(const std::string& line) {
        platform::Word error = 0;
        std::uint64_t fileSize = 0;
        if (!platform::append_trace_file(file_, line.data(), line.size(), &fileSize, &error)) {
            fail_locked("cannot write to the file", error);
            return false;
        }
        ++seq_;
        size_ = fileSize != 0 ? fileSize : size_ + line.size();
        return true;
    }

    void fail_locked(const char* what, platform::Word error) {
        std::string message = "tavlib: trace ";
        message += path_.empty() ? pattern_ : path_;
        message += ": ";
        message += what;
        message += " (error ";
        append_number(message, error);
        message += "); tracing stopped\n";
        platform::write_standard_error(message.data(), message.size());
        close_locked();
    }

    void close_locked() noexcept {
        running_ = false;
        g_running.store(false, std::memory_order_relaxed);
        if (file_ != platform::kNoTraceFile) platform::close_trace_file(file_);
        file_ = platform::kNoTraceFile;
    }

    // Held while a record is written; taken around fork() (StartAtLoad), so
    // that a child forked while another thread writes finds it free.
    std::mutex mutex_;
    bool running_ = false;
    std::string pattern_;  // TAVRIL_TRACE as given
    std::string path_;     // the file of this process
    std::atomic<std::uint64_t> dataLimit_{kDefaultDataLimit};
    std::uint64_t maxBytes_ = kDefaultMaxBytes;
    Times base_{};  // the start record's time, from which mono_us counts
    platform::TraceFile file_ = platform::kNoTraceFile;
    platform::Word pid_ = 0;  // the process that file_ and seq_ belong to
    std::uint64_t seq_ = 0;   // the next record's number
    std::uint64_t size_ = 0;  // the file's size as last seen
};

Trace& the_trace() {
    static Trace* trace = new Trace;
    return *trace;
}

// What the call under way on this thread gathers for its record from
// inside the library.
struct Notes {
    bool hasIdentityLine = false;
    std::string identityLine;
};
thread_local Notes* t_notes = nullptr;

// Lends `notes` to the code that the call runs, for as long as it runs.
class NotesScope {
public:
    explicit NotesScope(Notes& notes) noexcept : outer_(t_notes) { t_notes = &notes; }
    ~NotesScope() { t_notes = outer_; }
    NotesScope(const NotesScope&) = delete;
    NotesScope& operator=(const NotesScope&) = delete;

private:
    Notes* outer_;
};

// ---- the members of a call's record -----------------------------------------

void member(std::string& out, const char* name) {
    out += ",\"";
    out += name;
    out += "\":";
}

void number_member(std::string& out, const char* name, std::int64_t value) {
    member(out, name);
    if (value < 0) {
        out += '-';
        append_number(out, static_cast<std::uint64_t>(-(value + 1)) + 1);
    } else {
        append_number(out, static_cast<std::uint64_t>(value));
    }
}

void handle_member(std::string& out, TavrilHandle handle) {
    constexpr char kDigits[] = "0123456789abcdef";
    char text[2 * sizeof(std::uintptr_t) + 1];
    int n = 0;
    std::uintptr_t value = word_of(handle);
    do {
        text[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    member(out, "handle");
    out += "\"0x";
    while (n > 0) out += text[--n];
    out += '"';
}

void data_member(std::string& out, const char* name, const void* bytes, std::size_t size) {
    member(out, name);
    append_data(out, bytes, size, the_trace().data_limit());
}

// A text argument as the call reads it (lstrlenA: on Windows a pointer it
// cannot read counts as empty text).  null: no text, or one of 2^31 bytes
// or more, which the call refuses.
void text_member(std::string& out, const char* name, const char* text) {
    const int length = text != nullptr ? platform::lstrlenA(text) : -1;
    if (length < 0 || (length > 0 && text[length] != '\0')) {
        member(out, name);
        out += "null";
        return;
    }
    data_member(out, name, text, static_cast<std::size_t>(length));
}

// The length of NUL-terminated text the library wrote, of at most `limit`
// bytes before its NUL.
std::size_t text_length(const char* text, std::uint32_t limit) noexcept {
    const void* end = std::memchr(text, '\0', limit);
    return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : limit;
}

void identity_member(std::string& out, const InstrumentIdentity& identity) {
    member(out, "identity");
    out += "{\"model\":";
    append_string(out, identity.model, text_length(identity.model, TAVRIL_IDENTITY_FIELD_SIZE));
    out += ",\"serialNumber\":";
    append_string(out, identity.serialNumber,
                  text_length(identity.serialNumber, TAVRIL_IDENTITY_FIELD_SIZE));
    out += ",\"firmwareVersion\":";
    append_string(out, identity.firmwareVersion,
                  text_length(identity.firmwareVersion, TAVRIL_IDENTITY_FIELD_SIZE));
    out += '}';
}

void identity_line_member(std::string& out, const Notes& notes) {
    if (notes.hasIdentityLine)
        data_member(out, "idn", notes.identityLine.data(), notes.identityLine.size());
}

// What every call's record holds after its head.  `slot` -1: unknown;
// `handle` null: none.
std::string common_members(const Times& start, std::int64_t end, std::int64_t slot,
                           const TavrilHandle* handle, std::int32_t result,
                           const std::uint32_t* errorCode) {
    std::string out;
    number_member(out, "dur_us", end > start.mono ? end - start.mono : 0);
    if (slot >= 0) {
        number_member(out, "slot", slot);
    } else {
        member(out, "slot");
        out += "null";
    }
    if (handle != nullptr) {
        handle_member(out, *handle);
    } else {
        member(out, "handle");
        out += "null";
    }
    number_member(out, "result", result);
    if (errorCode != nullptr) {
        number_member(out, "error", *errorCode);
    } else {
        member(out, "error");
        out += "null";
    }
    return out;
}

}  // namespace

// ---- the traced calls -----------------------------------------------------------
// Each runs the call between two clock readings and writes the record after
// it.  Nothing the record needs can fail the call: a record that
// cannot be made ends the trace instead.

std::int32_t open_tavril(std::uint32_t slot, TavrilHandle* handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) noexcept {
    Notes notes;
    const Start start = begin_call();
    std::int32_t result = 0;
    {
        NotesScope scope(notes);
        result = api::open_tavril(slot, handle, identity, errorCode);
    }
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    // *handle is the call's only after 0 and -2 (a claimed slot leaves it
    // unwritten).
    const bool opened = result == TAVRIL_OPEN_OK || result == TAVRIL_OPEN_NOT_IDENTIFIED;
    if (opened && slot < TAVRIL_SLOT_COUNT) remember_handle(slot, *handle);
    try {
        std::string members = common_members(start.times, end, slot, opened ? handle : nullptr, result, errorCode);
        if (result == TAVRIL_OPEN_OK) identity_member(members, *identity);
        identity_line_member(members, notes);
        the_trace().append(start, "Open_Tavril", members);
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

std::int32_t close_tavril(TavrilHandle handle, std::uint32_t* errorCode) noexcept {
    const Start start = begin_call();
    const std::int64_t slot = slot_of(handle);
    const std::int32_t result = api::close_tavril(handle, errorCode);
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    if (result == TAVRIL_CLOSE_OK) forget_handle(handle);
    try {
        the_trace().append(start, "Close_Tavril",
                           common_members(start.times, end, slot, &handle, result, errorCode));
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

std::int32_t write_tavril(TavrilHandle handle, const char* text, std::uint32_t timeoutSeconds,
                          std::uint32_t* bytesWritten, std::uint32_t* errorCode) noexcept {
    const Start start = begin_call();
    const std::int32_t result =
        api::write_tavril(handle, text, timeoutSeconds, bytesWritten, errorCode);
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    try {
        std::string members = common_members(start.times, end, slot_of(handle), &handle, result, errorCode);
        number_member(members, "timeout", timeoutSeconds);
        text_member(members, "text", text);
        number_member(members, "bytesWritten", *bytesWritten);
        the_trace().append(start, "Write_Tavril", members);
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

std::int32_t read_tavril(TavrilHandle handle, std::uint32_t maxBytes, std::int32_t mode,
                         std::uint32_t timeoutSeconds, char* buffer, std::uint32_t* bytesRead,
                         std::uint32_t* errorCode) noexcept {
    const Start start = begin_call();
    const std::int32_t result =
        api::read_tavril(handle, maxBytes, mode, timeoutSeconds, buffer, bytesRead, errorCode);
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    try {
        std::string members = common_members(start.times, end, slot_of(handle), &handle, result, errorCode);
        number_member(members, "maxBytes", maxBytes);
        number_member(members, "mode", mode);
        number_member(members, "timeout", timeoutSeconds);
        number_member(members, "bytesRead", *bytesRead);
        // The buffer holds a response only after 0: the bytes in mode 2,
        // the text before its NUL in modes 0 and 1.
        if (result == TAVRIL_READ_OK)
            data_member(members, "data", buffer,
                        mode == TAVRIL_MODE_RAW ? *bytesRead : text_length(buffer, *bytesRead));
        the_trace().append(start, "Read_Tavril", members);
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

std::int32_t scmd_tavril(TavrilHandle handle, const char* command, std::uint32_t maxBytes,
                         std::int32_t mode, std::uint32_t writeTimeoutSeconds,
                         std::uint32_t readTimeoutSeconds, char* response, std::uint32_t* errorCode) noexcept {
    const Start start = begin_call();
    const std::int32_t result = api::scmd_tavril(handle, command, maxBytes, mode, writeTimeoutSeconds,
                                                 readTimeoutSeconds, response, errorCode);
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    try {
        std::string members = common_members(start.times, end, slot_of(handle), &handle, result, errorCode);
        text_member(members, "command", command);
        number_member(members, "maxBytes", maxBytes);
        number_member(members, "mode", mode);
        number_member(members, "writeTimeout", writeTimeoutSeconds);
        number_member(members, "readTimeout", readTimeoutSeconds);
        // A result of 0 or more is an answer code: the response text was
        // delivered (at most maxBytes bytes before its NUL).
        if (result >= 0) data_member(members, "response", response, text_length(response, maxBytes));
        the_trace().append(start, "Scmd_Tavril", members);
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

std::int32_t conf_tavril(TavrilHandle handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) noexcept {
    Notes notes;
    const Start start = begin_call();
    std::int32_t result = 0;
    {
        NotesScope scope(notes);
        result = api::conf_tavril(handle, identity, errorCode);
    }
    KeepLastError keep;
    const std::int64_t end = platform::monotonic_microseconds();
    try {
        std::string members = common_members(start.times, end, slot_of(handle), &handle, result, errorCode);
        if (result == TAVRIL_CONF_OK) identity_member(members, *identity);
        identity_line_member(members, notes);
        the_trace().append(start, "Conf_Tavril", members);
    } catch (...) {
        the_trace().give_up();
    }
    return result;
}

void keep_identity_line(const char* text) noexcept {
    Notes* notes = t_notes;
    if (notes == nullptr) return;
    try {
        notes->identityLine.assign(text);
        notes->hasIdentityLine = true;
    } catch (...) {
        notes->hasIdentityLine = false;  // the record goes without it
    }
}

// ---- the settings -------------------------------------------------------------

namespace {

std::string environment_variable(const char* name) {
    std::string value(256, '\0');
    platform::Word length = platform::GetEnvironmentVariableA(name, value.data(), 256);
    if (length >= 256) {
        value.assign(length, '\0');
        length = platform::GetEnvironmentVariableA(name, value.data(), length);
        if (length >= value.size()) length = 0;  // changed in between
    }
    value.resize(length);
    return value;
}

std::uint64_t count_setting(const char* name, std::uint64_t fallback) {
    const std::string text = environment_variable(name);
    if (text.empty()) return fallback;
    std::uint64_t value = 0;
    if (parse_count(text, &value)) return value;
    std::string message = "tavlib: ";
    message += name;
    message += " is not a number of bytes; ";
    append_number(message, fallback);
    message += " used\n";
    platform::write_standard_error(message.data(), message.size());
    return fallback;
}

// Read when the library loads, as the runtime directory is.
struct StartAtLoad {
    StartAtLoad() {
        platform::on_fork([] { the_trace().lock_for_fork(); }, [] { the_trace().unlock_after_fork(); });
        start_from_environment();
    }
} g_startAtLoad;

}  // namespace

void start_from_environment() {
    try {
        stop();
        forget_every_handle();
        std::string pattern = environment_variable("TAVRIL_TRACE");
        if (pattern.empty()) return;
        const std::uint64_t dataLimit = count_setting("TAVRIL_TRACE_DATA", kDefaultDataLimit);
        const std::uint64_t maxBytes = count_setting("TAVRIL_TRACE_MAX", kDefaultMaxBytes);
        the_trace().start(std::move(pattern), dataLimit, maxBytes);
    } catch (...) {
        g_running.store(false, std::memory_order_relaxed);
    }
}

void stop() { the_trace().stop(); }

}  // namespace tavlib::trace
