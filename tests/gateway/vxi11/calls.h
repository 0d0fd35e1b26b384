// Calls as a client encodes them, and replies taken apart, for the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "rpc.h"
#include "vxi11.h"
#include "xdr.h"

namespace vxi11_test {

using tavlib::gateway::vxi11::ByteView;
using tavlib::gateway::vxi11::Bytes;
using tavlib::gateway::vxi11::XdrReader;
using tavlib::gateway::vxi11::XdrWriter;

// An unframed call message with AUTH_NONE credentials.
inline Bytes call_message(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                          const std::function<void(XdrWriter&)>& args = {}) {
    XdrWriter w;
    for (const std::uint32_t word : {xid, 0u, 2u, prog, vers, proc, 0u, 0u, 0u, 0u}) w.u32(word);
    if (args) args(w);
    return w.take();
}

inline ByteView text_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A reply taken apart: its accept_stat (or 100 + reject_stat when denied),
// and the results behind a successful one.
struct ReplyView {
    std::uint32_t xid = 0;
    std::uint32_t stat = 0;
    Bytes results;
};

inline std::optional<ReplyView> parse_reply(ByteView record, bool framed) {
    if (framed) {
        if (record.size() < 4) return std::nullopt;
        record = record.subspan(4);
    }
    XdrReader r(record);
    ReplyView view;
    std::uint32_t type = 0, replyStat = 0;
    r.u32(view.xid);
    r.u32(type);
    r.u32(replyStat);
    if (!r.ok() || type != 1) return std::nullopt;
    if (replyStat == 1) {
        r.u32(view.stat);
        view.stat += 100;
    } else {
        std::uint32_t flavor = 0;
        r.u32(flavor);
        r.skip_opaque(400);
        r.u32(view.stat);
    }
    if (!r.ok()) return std::nullopt;
    const ByteView rest = r.rest();
    view.results.assign(rest.begin(), rest.end());
    return view;
}

}  // namespace vxi11_test

