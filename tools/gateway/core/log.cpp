#include "log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace tavlib::gateway {
namespace {

std::mutex& log_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(std::string_view)>& log_sink() {
    static std::function<void(std::string_view)> sink;
    return sink;
}

}  // namespace

void log(std::string_view text) {
    std::string line = "tavril-gateway: ";
    line.append(text);
    line += '\n';
    const std::lock_guard<std::mutex> lock(log_mutex());
    if (log_sink()) {
        log_sink()(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void set_log_sink(std::function<void(std::string_view)> sink) {
    const std::lock_guard<std::mutex> lock(log_mutex());
    log_sink() = std::move(sink);
}

}  // namespace tavlib::gateway
