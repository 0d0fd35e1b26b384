// What tells one instrument from another: the model and serial number of its
// answer to the identity query.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavlib.h"
#include "tavlib/driver_interface.h"

namespace tavlib::gateway {

// The query every instrument of this kind answers with its identity, which
// begins with its maker and model (the driver interface's words).
inline constexpr std::string_view kIdentityQuery = tavlib::driver::kIdentityQuery;
inline constexpr std::string_view kIdentityPrefix = tavlib::driver::kIdentityPrefix;

struct Identity {
    std::string model;
    std::string serial;
    std::string firmware;

    // The identity that Open_Tavril filled in.
    static Identity from(const InstrumentIdentity& identity);
    // An answer to the identity query, its line end included or not, split
    // as the library splits it (the last three comma-separated fields, each
    // cut to the length of a field of InstrumentIdentity).  Nothing when the
    // text does not name an instrument of this kind.
    static std::optional<Identity> parse(std::string_view answer);

    bool same_instrument(const Identity& other) const {
        return model == other.model && serial == other.serial;
    }
    // "ZQ907 serial SN000001", as the log shows it.
    std::string text() const { return model + " serial " + serial; }
};

}  // namespace tavlib::gateway
