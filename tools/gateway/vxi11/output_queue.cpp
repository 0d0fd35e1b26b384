#include "output_queue.h"

#include <algorithm>

#include "vxi11.h"

namespace tavlib::gateway::vxi11 {

void OutputQueue::append(Bytes piece, bool end) {
    if (piece.empty() && !end) return;
    pieces_.push_back(Piece{std::move(piece), 0, end});
}

void OutputQueue::mark_end() {
    if (pieces_.empty() || pieces_.back().end) {
        pieces_.push_back(Piece{{}, 0, true});
        return;
    }
    pieces_.back().end = true;
}

std::optional<ReadTaken> OutputQueue::take(const ReadRequest& request) {
    const std::size_t wanted = std::min(request.requestSize, request.maxSize);
    if (wanted == 0) return ReadTaken{{}, request.requestSize == 0 ? kReasonReqCnt : 0};
    // First find where the read stops, without taking anything.
    std::size_t count = 0;
    std::int32_t reason = 0;
    std::size_t lastPiece = 0;
    std::size_t lastAt = 0;  // in the last piece: where the read stops
    bool stops = false;
    for (std::size_t i = 0; i < pieces_.size() && !stops; ++i) {
        const Piece& piece = pieces_[i];
        std::size_t at = piece.at;
        while (at < piece.bytes.size() && count < wanted) {
            const std::uint8_t byte = piece.bytes[at++];
            ++count;
            if (request.termChar && byte == *request.termChar) {
                reason |= kReasonChr;
                break;
            }
        }
        lastPiece = i;
        lastAt = at;
        if (at == piece.bytes.size() && piece.end) reason |= kReasonEnd;
        if (count == request.requestSize) reason |= kReasonReqCnt;
        stops = reason != 0 || count == wanted;
    }
    if (!stops) return std::nullopt;
    ReadTaken taken;
    taken.reason = reason;
    taken.data.reserve(count);
    for (std::size_t i = 0; i <= lastPiece; ++i) {
        Piece& piece = pieces_.front();
        const std::size_t until = i == lastPiece ? lastAt : piece.bytes.size();
        taken.data.insert(taken.data.end(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(piece.at),
                          piece.bytes.begin() + static_cast<std::ptrdiff_t>(until));
        piece.at = until;
        // A piece given out whole goes (an end it carried went with this read).
        if (piece.at == piece.bytes.size()) pieces_.pop_front();
    }
    return taken;
}

std::size_t OutputQueue::bytes() const {
    std::size_t total = 0;
    for (const Piece& piece : pieces_) total += piece.bytes.size() - piece.at;
    return total;
}

void OutputQueue::clear() { pieces_.clear(); }

}  // namespace tavlib::gateway::vxi11
