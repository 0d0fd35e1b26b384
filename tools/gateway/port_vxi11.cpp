// The VXI-11 side of a port: the calls slot_device.cpp posts to the port's
// thread, which owns the instrument.
#include <algorithm>
#include <future>

#include <asio/post.hpp>

#include "log.h"
#include "port.h"

namespace tavlib::gateway {
namespace {

using vxi11::DevicePiece;
using vxi11::DeviceStatus;

// Write_Tavril takes at most TAVRIL_MAX_TIMEOUT_SECONDS; a VXI-11 client's
// io_timeout may be longer.
constexpr std::uint32_t kMaxWriteSeconds = TAVRIL_MAX_TIMEOUT_SECONDS;
constexpr std::uint32_t kMaxReadSeconds = TAVRIL_MAX_READ_TIMEOUT_SECONDS;

// A VXI-11 message as the instrument takes it: each of its lines (LF or
// CR LF ends one) a command line ended by CR LF.  Write_Tavril sends a text
// that holds CR LF as it is.
std::string command_lines(const std::string& message) {
    std::string text;
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::string_view line(message.data() + start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        text.append(line);
        text += "\r\n";
        start = end + 1;
    }
    return text.empty() ? "\r\n" : text;
}

}  // namespace

void Port::run(const std::function<void()>& work) {
    if (io_.get_executor().running_in_this_thread()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    asio::post(io_, [&] {
        work();
        done.set_value();
    });
    finished.wait();
}

DeviceStatus Port::vxi11_available() const {
    if (session_) return DeviceStatus::locked;
    if (!instrument_.is_open()) return DeviceStatus::not_accessible;
    return DeviceStatus::ok;
}

DeviceStatus Port::vxi11_failed(std::uint32_t errorCode) {
    // A failure with an error code may mean the instrument went away: the
    // identity exchange tells, and a lost one is reopened.
    if (errorCode != 0) in_step("after a failed call");
    check_lost();
    return DeviceStatus::io_error;
}

DeviceStatus Port::vxi11_write(const std::string& message, std::uint32_t seconds) {
    if (const DeviceStatus status = vxi11_available(); status != DeviceStatus::ok) return status;
    const std::string shownLine = "(VXI-11) " + message.substr(0, 60);
    if (message.find('\0') != std::string::npos) {
        log(prefix_ + shown(shownLine) + ": a message holding a NUL byte cannot be sent");
        return DeviceStatus::parameter_error;
    }
    // What the instrument answers is the VXI-11 side's to read from now on.
    inStep_ = false;
    vxi11LastFull_ = false;
    std::uint32_t errorCode = 0;
    const std::int32_t result = instrument_.write(
        command_lines(message), shownLine, errorCode, std::min(seconds, kMaxWriteSeconds));
    if (result == TAVRIL_WRITE_OK) return DeviceStatus::ok;
    if (result == TAVRIL_WRITE_TIMEOUT && errorCode == 0) return DeviceStatus::timeout;
    return vxi11_failed(errorCode);
}

DevicePiece Port::vxi11_read(std::uint32_t seconds) {
    DevicePiece piece;
    piece.status = vxi11_available();
    if (piece.status != DeviceStatus::ok) return piece;
    const Instrument::Read read = instrument_.read(std::clamp(seconds, TAVRIL_MIN_TIMEOUT_SECONDS, kMaxReadSeconds));
    if (read.ok()) {
        piece.bytes.assign(instrument_.chunk(), instrument_.chunk() + read.count);
        // A transfer shorter than asked for ends a message.
        piece.end = read.count < kChunk;
        vxi11LastFull_ = !piece.end;
        return piece;
    }
    if (read.quiet()) {
        // A message that filled its last transfer exactly ends here.
        piece.end = std::exchange(vxi11LastFull_, false);
        if (!piece.end) piece.status = DeviceStatus::timeout;
        return piece;
    }
    vxi11LastFull_ = false;
    instrument_.log_failure(tools::Function::Read, read.result, read.errorCode, "(VXI-11 read)",
                            "no answer sent");
    piece.status = vxi11_failed(read.errorCode);
    return piece;
}

DeviceStatus Port::vxi11_clear() {
    if (const DeviceStatus status = vxi11_available(); status != DeviceStatus::ok) return status;
    // The identity exchange drops whatever the instrument holds (logged).
    inStep_ = false;
    vxi11LastFull_ = false;
    if (in_step("VXI-11 device clear")) return DeviceStatus::ok;
    return instrument_.is_open() ? DeviceStatus::io_error : DeviceStatus::not_accessible;
}

bool Port::vxi11_link(bool opened) {
    if (!opened) {
        if (vxi11Links_ > 0) --vxi11Links_;
        return true;
    }
    // A raw-socket client that has left while waiting for its next line is
    // done (its session ends when its loop comes round): it holds nothing.
    if (session_ && owner_done()) session_.reset();
    if (session_) return false;
    if (vxi11Links_++ == 0 && instrument_.is_open()) {
        // Nothing the instrument said before is the VXI-11 client's.
        inStep_ = false;
        in_step("before a VXI-11 client");
    }
    return true;
}

}  // namespace tavlib::gateway
