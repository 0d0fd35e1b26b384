#include "instrument.h"

#include "log.h"

namespace gateway {
namespace {

// How long an open waits for the other ports' exchanges to pause.
constexpr std::chrono::milliseconds kOpenPatience{1000};

const char* result_name(std::string_view function, std::int32_t result) {
    if (function == "Open_Tavril") {
        switch (result) {
        case TAVRIL_OPEN_FAILED: return "in use, absent or not openable";
        case TAVRIL_OPEN_NOT_IDENTIFIED: return "not identified";
        default: return "bad slot";
        }
    }
    switch (result) {
    case -1: return "failed";
    case -2: return "bad argument";
    case -3: return "time-out";
    default: return "unknown";
    }
}

}  // namespace

std::string call_text(const char* function, std::int32_t result, std::uint32_t errorCode) {
    return std::string(function) + " result " + std::to_string(result) + " (" +
           result_name(function, result) + "), Win32 code " + std::to_string(errorCode);
}

std::string shown(std::string_view line) {
    constexpr std::size_t kShown = 60;
    std::string text = "\"";
    for (const char c : line.substr(0, kShown))
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '.' : c;
    text += line.size() > kShown ? "\"..." : "\"";
    return text;
}

Instrument::Instrument(std::uint32_t slot, std::uint32_t writeTimeout, std::uint32_t readTimeout,
                       std::string logPrefix, Gate& gate)
    : slot_(slot),
      writeTimeout_(writeTimeout),
      readTimeout_(readTimeout),
      prefix_(std::move(logPrefix)),
      gate_(gate),
      chunk_(std::make_unique_for_overwrite<char[]>(kChunk)) {}

Instrument::~Instrument() { close(); }

bool Instrument::open(bool logFailure) {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity found{};
    std::uint32_t errorCode = 0;
    std::int32_t result = 0;
    {
        const Gate::Alone alone(gate_, kOpenPatience);
        if (!alone.held()) {
            if (logFailure) log(prefix_ + "cannot open the slot now: the other ports are busy");
            return false;
        }
        result = Open_Tavril(slot_, &handle, &found, &errorCode);
    }
    if (result != TAVRIL_OPEN_OK) {
        if (result == TAVRIL_OPEN_NOT_IDENTIFIED) {
            std::uint32_t closeError = 0;
            Close_Tavril(handle, &closeError);
        }
        if (logFailure)
            log(prefix_ + "cannot open the slot: " + call_text("Open_Tavril", result, errorCode));
        return false;
    }
    handle_ = handle;
    const Identity identity = Identity::from(found);
    if (identity_ && !identity_->same_instrument(identity)) {
        if (!lastStranger_ || !lastStranger_->same_instrument(identity))
            log(prefix_ + "slot " + std::to_string(slot_) + " now holds " + identity.text() +
                ", not " + identity_->text() + ": closed; waiting for " + identity_->serial);
        lastStranger_ = identity;
        close();
        return false;
    }
    identity_ = identity;
    identityAnswer_.clear();
    lastStranger_.reset();
    log(prefix_ + "instrument " + identity.model + ", serial " + identity.serial + ", firmware " +
        identity.firmware);
    return true;
}

bool Instrument::is_own_identity(std::string_view answer) {
    // The same bytes as last time, without taking them apart.
    if (!identityAnswer_.empty() && answer == identityAnswer_) return true;
    const std::optional<Identity> identity = Identity::parse(answer);
    if (!identity || !identity_ || !identity->same_instrument(*identity_)) return false;
    identityAnswer_ = answer;
    return true;
}

void Instrument::close() {
    if (!is_open()) return;
    std::uint32_t errorCode = 0;
    if (Close_Tavril(handle_, &errorCode) != TAVRIL_CLOSE_OK)
        log(prefix_ + "Close_Tavril failed, Win32 code " + std::to_string(errorCode));
    handle_ = TAVRIL_INVALID_HANDLE;
}

std::int32_t Instrument::write(const std::string& text, std::string_view line,
                              std::uint32_t& errorCode) {
    std::uint32_t written = 0;
    const std::int32_t result =
        Write_Tavril(handle_, text.c_str(), writeTimeout_, &written, &errorCode);
    if (result != TAVRIL_WRITE_OK) log_failure("Write_Tavril", result, errorCode, line, "no answer sent");
    return result;
}

Instrument::Read Instrument::read(std::uint32_t timeout) {
    Read read;
    read.result = Read_Tavril(handle_, kChunk, TAVRIL_MODE_RAW, timeout, chunk_.get(), &read.count,
                              &read.errorCode);
    return read;
}

void Instrument::log_failure(const char* function, std::int32_t result, std::uint32_t errorCode,
                             std::string_view line, std::string_view outcome) {
    log(prefix_ + shown(line) + ": " + call_text(function, result, errorCode) + "; " +
        std::string(outcome));
}

void Instrument::lose(const std::string& why) {
    log(prefix_ + why + "; closing the slot and reopening it");
    close();
    lost_ = true;
}

bool Instrument::take_lost() {
    const bool lost = lost_;
    lost_ = false;
    return lost;
}

}  // namespace gateway
