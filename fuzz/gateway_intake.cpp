// Fuzz target: the gateway's intake of client bytes and its access rules.
//
// The first bytes choose the longest line and how the rest is cut into the
// pieces a client's reads would bring; the lines the intake gives out must
// be the same however the bytes are cut, and the same as an independent
// reading of them.  Then a piece of the input is read as an --allow rule: a
// rule that parses must parse again from its own text to the same range, and
// must match an IPv4 peer exactly as it matches the same peer mapped into
// IPv6.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"
#include "fuzz_check.h"
#include "line_intake.h"

namespace {

using tavlib::gateway::LineIntake;

struct Taken {
    std::vector<LineIntake::Line> lines;
    bool overlong = false;
};

Taken take_all(std::size_t maxLine, std::string_view bytes, const std::vector<std::size_t>& cuts) {
    LineIntake intake(maxLine);
    Taken taken;
    std::size_t at = 0;
    for (std::size_t piece = 0; at < bytes.size() || piece == 0; ++piece) {
        const std::size_t size = cuts.empty() ? bytes.size() : cuts[piece % cuts.size()];
        intake.feed(bytes.substr(at, size));
        at += size;
        while (auto line = intake.next()) taken.lines.push_back(std::move(*line));
        if (!intake.overlong()) FUZZ_CHECK(intake.pending() <= maxLine + 1);
        if (at >= bytes.size()) break;
    }
    taken.overlong = intake.overlong();
    return taken;
}

// The lines as the rule reads: cut at LF, one CR before it dropped, empty
// ones skipped, nothing after a line longer than the limit.
Taken reference(std::size_t maxLine, std::string_view bytes) {
    Taken taken;
    for (;;) {
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        const bool whole = end != std::string_view::npos;
        if (whole && line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() > maxLine + (whole ? 0 : 1)) {
            taken.overlong = true;
            return taken;
        }
        if (!whole) return taken;
        if (!line.empty())
            taken.lines.push_back({std::string(line), line.find('\0') != std::string_view::npos});
        bytes.remove_prefix(end + 1);
    }
}

void check_rule(std::string_view text, std::uint32_t peer) {
    const auto network = tavlib::gateway::Network::parse(text);
    if (!network) return;
    const auto again = tavlib::gateway::Network::parse(network->text());
    FUZZ_CHECK(again);
    FUZZ_CHECK(again->v6 == network->v6 && again->prefix == network->prefix);
    const asio::ip::address_v4 v4(peer);
    const asio::ip::address_v6 mapped = asio::ip::make_address_v6(asio::ip::v4_mapped, v4);
    FUZZ_CHECK(network->contains(v4) == network->contains(mapped));
    FUZZ_CHECK(network->contains(v4) == again->contains(v4));
    // A mapped rule is kept as the IPv4 range it maps.
    if (network->v6) {
        asio::ip::address_v6::bytes_type bytes{};
        std::copy(network->bytes.begin(), network->bytes.end(), bytes.begin());
        FUZZ_CHECK(!asio::ip::address_v6(bytes).is_v4_mapped() || network->prefix < 96);
    } else if (network->prefix == 0) {
        FUZZ_CHECK(network->contains(v4));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t maxLine = 1 + data[0] % 32;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < 4; ++i) cuts.push_back(1 + data[i] % 16);
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 4, size - 4);

    const Taken whole = take_all(maxLine, bytes, {});
    const Taken pieces = take_all(maxLine, bytes, cuts);
    const Taken expected = reference(maxLine, bytes);
    for (const Taken* taken : {&whole, &pieces}) {
        FUZZ_CHECK(taken->overlong == expected.overlong);
        FUZZ_CHECK(taken->lines.size() == expected.lines.size());
        for (std::size_t i = 0; i < expected.lines.size(); ++i) {
            FUZZ_CHECK(taken->lines[i].text == expected.lines[i].text);
            FUZZ_CHECK(taken->lines[i].holdsNul == expected.lines[i].holdsNul);
        }
    }

    // An --allow rule from the first line, and a peer from four bytes.
    const std::string_view rule = bytes.substr(0, bytes.find('\n'));
    std::uint32_t peer = 0;
    for (std::size_t i = 0; i < 4; ++i) peer = peer << 8 | data[i];
    check_rule(rule.substr(0, 64), peer);
    return 0;
}
