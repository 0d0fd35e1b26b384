// Fuzz target: the gateway's VXI-11 intake: record marking, call headers, the VXI-11 decoders and the dispatcher.
//
// The first byte chooses how the rest is cut into the pieces a connection's
// reads would bring.  Each record goes to one of three connections (two on
// the core channel, one on the abort channel; chosen by its xid), the
// dispatcher answers it against a fake instrument, and a parked call is
// resumed at a later time.  Every answer must be one well-formed reply with
// the call's xid, no larger than the largest record; the link count stays
// within its limit, and closing the connections frees every link.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "calls.h"
#include "fake_device.h"
#include "fuzz_check.h"
#include "rpc.h"
#include "vxi11.h"

namespace {

using namespace tavlib::gateway::vxi11;

void check_reply(const Outcome& outcome, std::uint32_t xid, const Limits& limits) {
    if (outcome.waiting) {
        FUZZ_CHECK(!outcome.reply);
        return;
    }
    FUZZ_CHECK(outcome.reply);
    FUZZ_CHECK(outcome.reply->size() <= max_record(limits));
    const auto view = vxi11_test::parse_reply(*outcome.reply, true);
    FUZZ_CHECK(view);
    FUZZ_CHECK(view->xid == xid);
    // The record mark announces exactly the rest.
    const Bytes& reply = *outcome.reply;
    const std::uint32_t mark = std::uint32_t{reply[0]} << 24 | std::uint32_t{reply[1]} << 16 |
                               std::uint32_t{reply[2]} << 8 | reply[3];
    FUZZ_CHECK(mark == ((reply.size() - 4) | rpc::kLastFragment));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const ByteView stream(data + 1, size - 1);

    Limits limits;
    limits.maxLinks = 6;
    limits.maxLinksPerConnection = 4;
    limits.maxMessage = 2048;
    limits.maxRecvSize = 1024;
    vxi11_test::FakeDevice device(97, 4096);  // small pieces: reads span several
    Dispatcher dispatcher(limits);
    dispatcher.add_device("inst0", device);
    std::array<bool, 3> woken{};
    std::array<ConnectionId, 3> connections{dispatcher.connect(Channel::core), dispatcher.connect(Channel::core),
                                            dispatcher.connect(Channel::abort)};
    dispatcher.set_wake([&](ConnectionId id) {
        for (std::size_t i = 0; i < connections.size(); ++i)
            if (connections[i] == id) woken[i] = true;
    });
    std::array<std::optional<std::uint32_t>, 3> parkedXid{};
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);

    rpc::RecordIntake intake(max_record(limits));
    for (std::size_t at = 0; at < stream.size() && !intake.failed(); at += piece) {
        intake.feed(stream.subspan(at, std::min(piece, stream.size() - at)));
        while (auto record = intake.next()) {
            const rpc::Call call = rpc::parse_call(*record);
            if (call.check != rpc::CallCheck::ok) {
                const auto answer = rpc::header_reply(call, true);
                if (answer) FUZZ_CHECK(vxi11_test::parse_reply(*answer, true));
                continue;
            }
            const std::size_t which = call.header.xid % 3;
            // A connection with a parked call sends nothing more until it
            // is answered: it is resumed first, at a later time.
            if (parkedXid[which]) {
                now += std::chrono::milliseconds(call.header.xid % 5000);
                const Outcome resumed = dispatcher.resume(connections[which], now);
                if (!resumed.waiting) {
                    check_reply(resumed, *parkedXid[which], limits);
                    parkedXid[which].reset();
                }
            }
            woken.fill(false);
            const Outcome outcome = dispatcher.call(connections[which], call, now);
            check_reply(outcome, call.header.xid, limits);
            parkedXid[which] = outcome.waiting ? std::optional(call.header.xid) : std::nullopt;
            FUZZ_CHECK(dispatcher.link_count() <= limits.maxLinks);
            // A woken connection's call runs again at once.
            for (std::size_t i = 0; i < woken.size(); ++i) {
                if (!woken[i] || !parkedXid[i]) continue;
                const Outcome again = dispatcher.resume(connections[i], now);
                if (!again.waiting) {
                    check_reply(again, *parkedXid[i], limits);
                    parkedXid[i].reset();
                }
            }
        }
    }
    for (const ConnectionId id : connections) dispatcher.disconnect(id);
    FUZZ_CHECK(dispatcher.link_count() == 0);
    return 0;
}
