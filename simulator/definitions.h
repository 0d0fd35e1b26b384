// The instrument definitions file (YAML).  The format is described in
// README.md next to this file.
#pragma once

#include "instrument.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// A definitions file that cannot be used.  what() names the file, the line
// and column where known, and what is wrong there.
class DefinitionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr unsigned kMaxDevicesPerInstrument = 64;
inline constexpr std::uint32_t kMaxDelayMs = 86'400'000;

// Parses definitions text; `source` names it in error messages.
std::vector<InstrumentDef> parse_definitions(std::string_view text, const std::string& source);

// Reads and parses a definitions file.
std::vector<InstrumentDef> load_definitions_file(const std::string& path);

// An instrument name usable in control commands: letters, digits, '_', '-'
// and '.', at most 64 characters.
bool valid_instrument_name(std::string_view name);

}  // namespace tavlib::sim
