#include "log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace tavlib::gateway {

void log(std::string_view text) {
    static std::mutex mutex;
    std::string line = "tavril-gateway: ";
    line.append(text);
    line += '\n';
    const std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tavlib::gateway
