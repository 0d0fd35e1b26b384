#include "served_instrument.h"

#include "log.h"
#include "result_codes.h"

namespace tavlib::gateway {
namespace {

// How long an open waits for the other ports' exchanges to pause.
constexpr std::chrono::milliseconds kOpenPatience{1000};

}  // namespace

std::string call_text(tools::Function function, std::int32_t result, std::uint32_t errorCode) {
    return std::string(tools::function_name(function)) + " result " + std::to_string(result) +
           " (" + std::string(tools::result_meaning(function, result).value_or("unknown")) +
           "), Win32 code " + std::to_string(errorCode);
}

std::string shown(std::string_view line) {
    constexpr std::size_t kShown = 60;
    std::string text = "\"";
    for (const char c : line.substr(0, kShown))
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '.' : c;
    text += line.size() > kShown ? "\"..." : "\"";
    return text;
}

ServedInstrument::ServedInstrument(std::unique_ptr<InstrumentCalls> calls, std::uint32_t slot,
                       std::uint32_t writeTimeout, std::uint32_t readTimeout, std::string logPrefix,
                       OpenGuard& guard)
    : slot_(slot),
      writeTimeout_(writeTimeout),
      readTimeout_(readTimeout),
      prefix_(std::move(logPrefix)),
      guard_(guard),
      calls_(std::move(calls)),
      chunk_(std::make_unique_for_overwrite<char[]>(kChunk)) {}

ServedInstrument::~ServedInstrument() { close(); }

ServedInstrument::Hold::Hold(ServedInstrument& instrument) : instrument_(instrument) {
    if (instrument_.holds_++ == 0) instrument_.exchange_.emplace(instrument_.guard_);
}

ServedInstrument::Hold::~Hold() {
    if (--instrument_.holds_ == 0) instrument_.exchange_.reset();
}

bool ServedInstrument::open(bool logFailure) {
    InstrumentCalls::Opened opened;
    {
        const OpenGuard::Opening alone(guard_, kOpenPatience);
        if (!alone.held()) {
            if (logFailure) log(prefix_ + "cannot open the slot now: the other ports are busy");
            return false;
        }
        opened = calls_->open(slot_);
    }
    if (opened.result != TAVRIL_OPEN_OK) {
        if (logFailure)
            log(prefix_ + "cannot open the slot: " +
                call_text(tools::Function::Open, opened.result, opened.errorCode));
        return false;
    }
    const InstrumentIdentity& found = opened.identity;
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

bool ServedInstrument::is_own_identity(std::string_view answer) {
    // The same bytes as last time, without taking them apart.
    if (!identityAnswer_.empty() && answer == identityAnswer_) return true;
    const std::optional<Identity> identity = Identity::parse(answer);
    if (!identity || !identity_ || !identity->same_instrument(*identity_)) return false;
    identityAnswer_ = answer;
    return true;
}

void ServedInstrument::close() {
    if (!is_open()) return;
    std::uint32_t errorCode = 0;
    if (calls_->close(errorCode) != TAVRIL_CLOSE_OK)
        log(prefix_ + "Close_Tavril failed, Win32 code " + std::to_string(errorCode));
}

std::int32_t ServedInstrument::write(const std::string& text, std::string_view line,
                              std::uint32_t& errorCode, std::uint32_t timeout) {
    std::uint32_t written = 0;
    const std::int32_t result = calls_->write(text.c_str(), timeout != 0 ? timeout : writeTimeout_, written,
                                              errorCode);
    if (result != TAVRIL_WRITE_OK)
        log_failure(tools::Function::Write, result, errorCode, line, "no answer sent");
    return result;
}

ServedInstrument::Read ServedInstrument::read(std::uint32_t timeout) {
    Read read;
    read.result = calls_->read(chunk_.get(), kChunk, timeout, read.count, read.errorCode);
    return read;
}

void ServedInstrument::interrupt_read() {
    std::uint32_t written = 0;
    std::uint32_t errorCode = 0;
    calls_->write(std::string(kIdentityQuery).c_str(), writeTimeout_, written, errorCode);
}

void ServedInstrument::flush() {
    std::uint32_t count = 0;
    std::uint32_t errorCode = 0;
    calls_->read(chunk_.get(), 0, 1, count, errorCode);
}

void ServedInstrument::log_failure(tools::Function function, std::int32_t result, std::uint32_t errorCode,
                             std::string_view line, std::string_view outcome) {
    log(prefix_ + shown(line) + ": " + call_text(function, result, errorCode) + "; " +
        std::string(outcome));
}

void ServedInstrument::lose(const std::string& why) {
    log(prefix_ + why + "; closing the slot and reopening it");
    close();
    lost_ = true;
}

bool ServedInstrument::take_lost() {
    const bool lost = lost_;
    lost_ = false;
    return lost;
}

}  // namespace tavlib::gateway
