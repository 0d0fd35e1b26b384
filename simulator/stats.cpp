#include "stats.h"

#include "tavlib/driver_wire.h"

#include <cstdio>

namespace tavlib::sim {

namespace dp = tavlib::wire;

std::string request_type_name(std::uint32_t type) {
    switch (type) {
        case dp::kWrite: return "WRITE";
        case dp::kRead: return "READ";
        case dp::kCancel: return "CANCEL";
        case dp::kIoctl: return "IOCTL";
        default: return std::to_string(type);
    }
}

std::string format_event(const StatEvent& e) {
    const std::string conn = "conn=" + std::to_string(e.conn);
    switch (e.kind) {
        case StatEvent::Kind::kOpen:
            return "open " + conn;
        case StatEvent::Kind::kClose:
            return "close " + conn + " reason=" + e.reason;
        case StatEvent::Kind::kRequest: {
            std::string arg = std::to_string(e.arg);
            if (e.type == dp::kIoctl) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(e.arg));
                arg = hex;
            }
            return "req " + conn + " id=" + std::to_string(e.id) + " type=" + request_type_name(e.type) +
                   " arg=" + arg;
        }
        case StatEvent::Kind::kComplete:
            return "done " + conn + " id=" + std::to_string(e.id) + " type=" + request_type_name(e.type) +
                   " status=" + std::to_string(e.status) + " count=" + std::to_string(e.count);
    }
    return {};
}

void DeviceStats::add(StatEvent event) {
    if (limit_ == 0) {
        ++dropped_;
        return;
    }
    if (events_.size() == limit_) {
        events_.pop_front();
        ++dropped_;
    }
    events_.push_back(std::move(event));
}

void DeviceStats::reset() {
    events_.clear();
    dropped_ = 0;
    requests_ = 0;
    recoveries_ = 0;
    bytesWritten_ = 0;
    bytesRead_ = 0;
}

}  // namespace tavlib::sim
