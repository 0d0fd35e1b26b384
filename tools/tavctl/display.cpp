#include "display.h"

#include "control_text.h"

#include <algorithm>

namespace tavlib::tavctl {

std::string printable_response(std::string_view text) {
    std::string shown = sim::to_lf_line_ends(text);
    if (shown.ends_with('\n')) shown.pop_back();
    return shown;
}

std::string identity_field(const char (&field)[TAVRIL_IDENTITY_FIELD_SIZE]) {
    return std::string(field, std::find(field, field + TAVRIL_IDENTITY_FIELD_SIZE, '\0'));
}

std::string describe_identity(const InstrumentIdentity& identity) {
    return "model \"" + identity_field(identity.model) + "\", serial \"" +
           identity_field(identity.serialNumber) + "\", firmware \"" +
           identity_field(identity.firmwareVersion) + "\"";
}

std::string escaped(std::string_view bytes) {
    return "\"" + sim::escape(bytes, SIZE_MAX, sim::HexDigits::kLower) + "\"";
}

std::string describe_answer(std::int32_t result) {
    if (result <= 0) return {};
    return "answer code " + std::to_string(result);
}

}  // namespace tavlib::tavctl
