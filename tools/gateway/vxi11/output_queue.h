// What a VXI-11 read takes of an instrument's output, and what it leaves.
//
// The instrument's output comes in pieces (the library's transfers); the
// queue keeps them with the places where a message ends, and a read takes
// from its front up to the first of: the request size (REQCNT), the
// termination character (CHR), the end of a message (END), or the most one
// reply may carry (no reason: the client reads on).  What a read does not
// take stays for the next one, so nothing is lost and nothing is repeated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "xdr.h"

namespace tavlib::gateway::vxi11 {

struct ReadRequest {
    std::size_t requestSize = 0;           // the client's requestSize
    std::size_t maxSize = 64 * 1024;       // the most one reply carries
    std::optional<std::uint8_t> termChar;  // set with the TERMCHAR flag
    std::uint32_t seconds = 1;             // the client's io_timeout, whole seconds
};

struct ReadTaken {
    Bytes data;
    std::int32_t reason = 0;  // REQCNT 1, CHR 2, END 4, or 0
};

class OutputQueue {
public:
    // A piece of output; `end` when it ends a message.
    void append(Bytes piece, bool end);
    // The last piece turned out to end its message (it filled its transfer
    // exactly and nothing followed).
    void mark_end();
    // What a read answers from what is kept, taken out of the queue; nothing
    // (and nothing taken) when the read must wait for more output.
    std::optional<ReadTaken> take(const ReadRequest& request);
    bool empty() const { return pieces_.empty(); }
    std::size_t bytes() const;
    void clear();

private:
    struct Piece {
        Bytes bytes;
        std::size_t at = 0;  // bytes given out already
        bool end = false;
    };
    std::deque<Piece> pieces_;
};

}  // namespace tavlib::gateway::vxi11
