// Fuzz target: the Linux backend's intake of driver messages.
//
// A connection with up to eight outstanding requests (WRITE, READ or
// control, with capacities up to 64 KiB) is fed an arbitrary sequence of
// messages: any type, id, status and count, any length, truncated or
// oversized, with ids steered towards the outstanding ones so that deep
// paths are reached.  Between messages a request may be given up (detached)
// as the backend does after a cancel that is not answered in time.  Each
// message is received one of the two ways of the socket, picked by the
// input: in place (the landing is chosen from the header, the kernel's
// receive is played by copying at most the landing's capacity) or through
// the spill (the payload copied into a spill buffer); then it is taken in.
//
// Invariants: no byte lands outside a READ's buffer or beyond its capacity
// (guard bytes around each buffer), nothing lands in a detached request's
// buffer, a READ that succeeds holds the payload of its completion, every
// request completes at most once and only while attached, and a completed
// request leaves the table.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "platform/linux/intake.h"
#include "tavlib/driver_wire.h"

namespace {

namespace lb = tavlib::platform::linux_backend;
namespace wire = tavlib::wire;
using tavlib::platform::Overlapped;
using tavlib::platform::kStatusPending;

constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr std::uintptr_t kCollected = 0xC011EC7Eu;  // the harness took the outcome

struct Slot {
    lb::Request::Kind kind = lb::Request::Kind::kRead;
    std::uint32_t id = 0;
    std::uint32_t capacity = 0;
    std::vector<unsigned char> memory;  // guard, buffer, guard
    Overlapped record{};
    lb::SyncOutcome sync;
    bool detached = false;
    int completions = 0;

    unsigned char* buffer() { return memory.data() + kGuard; }
};

bool guards_intact(const Slot& slot) {
    for (std::size_t i = 0; i < kGuard; ++i)
        if (slot.memory[i] != kGuardByte || slot.memory[kGuard + slot.capacity + i] != kGuardByte)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    lb::Connection connection(-1);
    std::array<Slot, 8> slots;
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, slots.size());
    for (std::size_t i = 0; i < count; ++i) {
        Slot& slot = slots[i];
        slot.kind = input.PickValueInArray(
            {lb::Request::Kind::kWrite, lb::Request::Kind::kRead, lb::Request::Kind::kIoctl});
        slot.id = static_cast<std::uint32_t>(i + 1);
        // Mostly small capacities, which keep executions fast; now and then
        // any up to the largest transfer.
        slot.capacity = input.ConsumeIntegralInRange<std::uint32_t>(0, input.ConsumeBool() ? 64 : 65536);
        slot.memory.assign(slot.capacity + 2 * kGuard, kGuardByte);
        slot.record.Internal = kStatusPending;
        const bool isRead = slot.kind == lb::Request::Kind::kRead;
        const bool isIoctl = slot.kind == lb::Request::Kind::kIoctl;
        connection.outstanding.emplace(
            slot.id, lb::Request{slot.kind, isIoctl ? nullptr : &slot.record,
                                 isRead ? slot.buffer() : nullptr, slot.capacity, {}, nullptr,
                                 isIoctl ? &slot.sync : nullptr});
    }
    // What a detached READ's buffer held when it was given up: it must stay so.
    std::array<std::vector<unsigned char>, 8> frozen;
    std::vector<unsigned char> spill(wire::kMaxTransfer);

    while (input.remaining_bytes() > 0) {
        if (input.ConsumeBool()) {  // give up a request, as after an unanswered cancel
            Slot& slot = slots[input.ConsumeIntegralInRange<std::size_t>(0, count - 1)];
            const auto it = connection.outstanding.find(slot.id);
            if (it != connection.outstanding.end() && !slot.detached) {
                lb::detach(connection, it->second);
                slot.detached = true;
                frozen[slot.id - 1] = slot.memory;
            }
        }
        // The message: a header whose fields are mostly near the truth, then
        // a payload of any length; the message may be cut short anywhere.
        wire::Header h;
        const bool complete = input.ConsumeIntegralInRange<int>(0, 7) != 0;
        h.type = complete ? std::uint32_t{wire::kComplete} : input.ConsumeIntegral<std::uint32_t>();
        h.id = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 9)
                                   : input.ConsumeIntegral<std::uint32_t>();
        h.arg = input.ConsumeBool() ? 0u : input.ConsumeIntegral<std::uint32_t>();
        h.count = input.ConsumeIntegralInRange<std::uint32_t>(0, input.ConsumeBool() ? 80 : 70000);
        const std::size_t payload = input.ConsumeBool()
                                        ? h.count
                                        : input.ConsumeIntegralInRange<std::size_t>(0, h.count + 80);
        std::vector<unsigned char> message(wire::kHeaderSize + payload);
        for (std::size_t i = 0; i < payload; ++i)
            message[wire::kHeaderSize + i] = static_cast<unsigned char>(i * 7 + h.id);
        wire::encode(h, message.data());
        message.resize(input.ConsumeBool() ? message.size()
                                           : input.ConsumeIntegralInRange<std::size_t>(0, message.size()));
        const std::size_t received = message.size() > wire::kHeaderSize ? message.size() - wire::kHeaderSize : 0;

        // As pump_once does: the receive in place (the landing from the
        // header) or through the spill, then the intake.
        wire::HeaderBytes header{};
        std::memcpy(header.data(), message.data(), std::min(message.size(), header.size()));
        if (input.ConsumeBool()) {
            const lb::Landing landing = lb::landing_for(connection, message.data(), message.size());
            if (landing.destination != nullptr && received > 0)
                std::memcpy(landing.destination, message.data() + wire::kHeaderSize,
                            std::min(landing.capacity, received));
            lb::take_in(connection, header.data(), message.size(), landing);
        } else {
            if (received > 0)
                std::memcpy(spill.data(), message.data() + wire::kHeaderSize, std::min(spill.size(), received));
            lb::take_in(connection, header.data(), message.size(), {}, spill.data());
        }

        for (std::size_t i = 0; i < count; ++i) {
            Slot& slot = slots[i];
            FUZZ_CHECK(guards_intact(slot));
            if (slot.detached) {  // only an outstanding request is detached
                FUZZ_CHECK(slot.memory == frozen[i]);
                FUZZ_CHECK(slot.record.Internal == kStatusPending);
                FUZZ_CHECK(!slot.sync.done);
                continue;
            }
            const bool finished = slot.kind == lb::Request::Kind::kIoctl
                                      ? slot.sync.done
                                      : slot.record.Internal != kStatusPending &&
                                            slot.record.Internal != kCollected;
            if (finished) {
                ++slot.completions;
                FUZZ_CHECK(slot.completions == 1);
                FUZZ_CHECK(connection.outstanding.count(slot.id) == 0);
                if (slot.kind == lb::Request::Kind::kRead && slot.record.InternalHigh > 0) {
                    FUZZ_CHECK(slot.record.InternalHigh <= slot.capacity);
                    // Its own completion, this message: the bytes are its payload's.
                    FUZZ_CHECK(h.id == slot.id && slot.record.Internal == 0);
                    FUZZ_CHECK(std::memcmp(slot.buffer(), message.data() + wire::kHeaderSize,
                                           slot.record.InternalHigh) == 0);
                }
                if (slot.kind == lb::Request::Kind::kIoctl)
                    slot.sync.done = false;  // seen; a second completion would set it again
                else
                    slot.record.Internal = kCollected;
            }
        }
    }
    return 0;
}
