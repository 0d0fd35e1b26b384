#include "identity.h"

namespace tavlib::gateway {
namespace {

constexpr std::size_t kFieldLength = TAVRIL_IDENTITY_FIELD_SIZE - 1;

// The text behind the last comma (cut to a field's length), and the text
// before it; everything when there is no comma.
std::string take_last_field(std::string_view& text) {
    const std::size_t comma = text.rfind(',');
    if (comma == std::string_view::npos) return {};
    const std::string field(text.substr(comma + 1, kFieldLength));
    text = text.substr(0, comma);
    return field;
}

}  // namespace

Identity Identity::from(const InstrumentIdentity& identity) {
    return {identity.model, identity.serialNumber, identity.firmwareVersion};
}

std::optional<Identity> Identity::parse(std::string_view answer) {
    if (answer.ends_with('\n')) answer.remove_suffix(1);
    if (answer.ends_with('\r')) answer.remove_suffix(1);
    // One line that names the maker and model.
    if (answer.find(kIdentityPrefix) == std::string_view::npos ||
        answer.find('\n') != std::string_view::npos)
        return std::nullopt;
    Identity identity;
    identity.firmware = take_last_field(answer);
    identity.serial = take_last_field(answer);
    identity.model = take_last_field(answer);
    return identity;
}

}  // namespace tavlib::gateway
