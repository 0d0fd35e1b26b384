// One line per event on standard output, whole lines even when several
// ports' threads log at once.
#ifndef TAVRIL_GATEWAY_LOG_H
#define TAVRIL_GATEWAY_LOG_H

#include <string_view>

namespace gateway {

// Writes "tavril-gateway: <text>" and a line end, then flushes.
void log(std::string_view text);

}  // namespace gateway

#endif
