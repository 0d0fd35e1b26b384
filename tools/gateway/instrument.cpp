#include "instrument.h"

#include <string_view>

#include "log.h"

namespace gateway {
namespace {

// Each read asks for one transfer of 64 KiB: a shorter one ends the
// response, a full one is followed by the next.  The library's own reads of
// 64 KiB and more do the same, but give nothing when a later transfer fails.
constexpr std::uint32_t kChunk = 64 * 1024;
// The longest response passed on: 64 MiB.
constexpr unsigned kMaxChunks = 1024;
// Reads of left-over output when a client leaves, at most.
constexpr unsigned kMaxDrainReads = 64;
constexpr std::uint32_t kDrainTimeout = 1;

std::string shown(const std::string& line) {
    constexpr std::size_t kShown = 60;
    std::string text = "\"";
    for (const char c : std::string_view(line).substr(0, kShown))
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '.' : c;
    text += line.size() > kShown ? "\"..." : "\"";
    return text;
}

const char* result_name(std::string_view function, std::int32_t result) {
    if (function == "Open_Tavril") {
        switch (result) {
        case TAVRIL_OPEN_FAILED: return "in use, absent or not openable";
        case TAVRIL_OPEN_NOT_IDENTIFIED: return "not identified";
        default: return "bad slot";
        }
    }
    if (function == "Conf_Tavril") return "failed";
    switch (result) {
    case -1: return "failed";
    case -2: return "bad argument";
    case -3: return "time-out";
    default: return "unknown";
    }
}

std::string call_text(const char* function, std::int32_t result, std::uint32_t errorCode) {
    return std::string(function) + " result " + std::to_string(result) + " (" +
           result_name(function, result) + "), Win32 code " + std::to_string(errorCode);
}

}  // namespace

Instrument::Instrument(std::uint32_t slot, std::uint32_t writeTimeout, std::uint32_t readTimeout,
                       std::string logPrefix)
    : slot_(slot),
      writeTimeout_(writeTimeout),
      readTimeout_(readTimeout),
      prefix_(std::move(logPrefix)),
      chunk_(std::make_unique_for_overwrite<char[]>(kChunk)) {}

Instrument::~Instrument() { close(); }

bool Instrument::open(bool logFailure) {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t errorCode = 0;
    const std::int32_t result = Open_Tavril(slot_, &handle, &identity, &errorCode);
    if (result == TAVRIL_OPEN_OK) {
        handle_ = handle;
        log(prefix_ + "instrument " + identity.model + ", serial " + identity.serialNumber +
            ", firmware " + identity.firmwareVersion);
        return true;
    }
    if (result == TAVRIL_OPEN_NOT_IDENTIFIED) {
        std::uint32_t closeError = 0;
        Close_Tavril(handle, &closeError);
    }
    if (logFailure) log(prefix_ + "cannot open the slot: " + call_text("Open_Tavril", result, errorCode));
    return false;
}

void Instrument::close() {
    if (!is_open()) return;
    std::uint32_t errorCode = 0;
    if (Close_Tavril(handle_, &errorCode) != TAVRIL_CLOSE_OK)
        log(prefix_ + "Close_Tavril failed, Win32 code " + std::to_string(errorCode));
    handle_ = TAVRIL_INVALID_HANDLE;
}

bool Instrument::take_lost() {
    const bool lost = lost_;
    lost_ = false;
    return lost;
}

bool Instrument::send(const std::string& line) {
    if (!is_open()) {
        log(prefix_ + "no instrument: " + shown(line) + " dropped");
        return false;
    }
    std::uint32_t written = 0;
    std::uint32_t errorCode = 0;
    const std::int32_t result =
        Write_Tavril(handle_, line.c_str(), writeTimeout_, &written, &errorCode);
    if (result == TAVRIL_WRITE_OK) return true;
    failed("Write_Tavril", result, errorCode, line);
    return false;
}

void Instrument::write(const std::string& line) { send(line); }

std::optional<std::string> Instrument::query(const std::string& line) {
    if (!send(line)) return std::nullopt;
    std::string response;
    for (unsigned chunk = 0;; ++chunk) {
        if (chunk == kMaxChunks) {
            log(prefix_ + shown(line) + ": response longer than 64 MiB; no answer sent");
            drain();
            return std::nullopt;
        }
        std::uint32_t count = 0;
        std::uint32_t errorCode = 0;
        const std::int32_t result = Read_Tavril(handle_, kChunk, TAVRIL_MODE_RAW, readTimeout_,
                                                chunk_.get(), &count, &errorCode);
        if (result == TAVRIL_READ_TIMEOUT && chunk > 0 && errorCode == 0) {
            // The response filled its last transfer exactly: nothing more
            // came, and the recovery after the time-out dropped nothing.
            break;
        }
        if (result != TAVRIL_READ_OK) {
            failed("Read_Tavril", result, errorCode, line);
            return std::nullopt;
        }
        response.append(chunk_.get(), count);
        if (count < kChunk) break;
    }
    if (response.ends_with("\r\n"))
        response.resize(response.size() - 2);
    else if (response.ends_with('\n'))
        response.pop_back();
    response += '\n';
    return response;
}

void Instrument::drain() {
    if (!is_open()) return;
    std::uint64_t dropped = 0;
    for (unsigned read = 0; read < kMaxDrainReads; ++read) {
        std::uint32_t count = 0;
        std::uint32_t errorCode = 0;
        const std::int32_t result = Read_Tavril(handle_, kChunk, TAVRIL_MODE_RAW, kDrainTimeout,
                                                chunk_.get(), &count, &errorCode);
        if (result == TAVRIL_READ_OK) {
            dropped += count;
            continue;
        }
        if (result != TAVRIL_READ_TIMEOUT) failed("Read_Tavril", result, errorCode, "(drain)");
        break;
    }
    if (dropped > 0)
        log(prefix_ + "dropped " + std::to_string(dropped) + " bytes of output left unread");
}

void Instrument::failed(const char* function, std::int32_t result, std::uint32_t errorCode,
                        const std::string& line) {
    log(prefix_ + shown(line) + ": " + call_text(function, result, errorCode) +
        "; no answer sent");
    if (result == -3) return;  // a time-out: the instrument is there but slow or silent
    check_presence();
}

void Instrument::check_presence() {
    if (!is_open()) return;
    InstrumentIdentity identity{};
    std::uint32_t probeError = 0;
    if (Conf_Tavril(handle_, &identity, &probeError) == TAVRIL_CONF_OK || probeError == 0) return;
    log(prefix_ + "instrument gone (" + call_text("Conf_Tavril", -1, probeError) +
        "); closing the slot and reopening it");
    close();
    lost_ = true;
}

}  // namespace gateway
