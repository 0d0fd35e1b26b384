#include "line_connection.h"

#include "control_text.h"

#include "instrument.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavlib::sim {

namespace {

// Reads taken from one client before the loop serves others.
constexpr int kReadsPerWakeup = 16;
constexpr std::size_t kReadChunk = 64 * 1024;
// Above this much unsent output the client's input is left unread, so that a
// client that sends queries without reading the answers cannot make the
// simulator buffer without bound.
constexpr std::size_t kOutputHighWater = 4u * 1024u * 1024u;

}  // namespace

LineConnection::LineConnection(EventLoop& loop, UniqueFd fd, std::uint64_t number, std::string peer,
                               Handlers handlers)
    : LineConnection(loop, std::move(fd), number, std::move(peer), std::move(handlers), Options{}) {}

LineConnection::LineConnection(EventLoop& loop, UniqueFd fd, std::uint64_t number, std::string peer,
                               Handlers handlers, Options options)
    : loop_(loop),
      number_(number),
      peer_(std::move(peer)),
      handlers_(std::move(handlers)),
      options_(options),
      fd_(std::move(fd)) {
    watching_ = EPOLLIN;
    watch_ = loop_.watch(fd_.get(), watching_, [this](std::uint32_t events) { on_event(events); });
}

void LineConnection::send_response(std::string_view message) {
    if (broken_ || options_.input) return;
    out_ += to_lf_line_ends(message);
    flush();
    update_watch();
    close_soon_if_done();
}

void LineConnection::finish() {
    finishing_ = true;
    close_soon_if_done();
}

void LineConnection::close_soon_if_done() {
    // A close decided here would pull the connection away under its caller;
    // the loop does it a moment later instead.
    if ((broken_ || (finishing_ && pending() == 0)) && !closeLater_.pending())
        closeLater_ = loop_.after(std::chrono::milliseconds(0), [this] { close("peer"); });
}

void LineConnection::on_event(std::uint32_t events) {
    if ((events & EPOLLOUT) != 0) flush();
    if (broken_ || (finishing_ && pending() == 0)) {
        close("peer");
        return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && (watching_ & EPOLLIN) != 0) {
        if (!read_input()) return;
    } else if ((events & (EPOLLHUP | EPOLLERR)) != 0 && (watching_ & EPOLLIN) == 0 && pending() == 0) {
        close("peer");
        return;
    }
    update_watch();
}

bool LineConnection::read_input() {
    char buffer[kReadChunk];
    const int reads = options_.input ? 1 : kReadsPerWakeup;
    for (int i = 0; i < reads && !peerDone_ && pending() <= kOutputHighWater; ++i) {
        const ssize_t n = options_.input ? ::read(fd_.get(), buffer, sizeof buffer)
                                         : ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            close(errno == ECONNRESET ? "peer" : "error");
            return false;
        }
        if (n == 0) {
            // The client has finished sending; it may still read what is due.
            peerDone_ = true;
            if (options_.input && !in_.empty()) {
                handlers_.line(std::move(in_));
                in_.clear();
            }
            handlers_.inputEnded();
            return true;
        }
        in_.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = in_.find('\n', start);
            if (end == std::string::npos) break;
            std::size_t length = end - start;
            if (length > 0 && in_[end - 1] == '\r') --length;
            handlers_.line(in_.substr(start, length));
            start = end + 1;
        }
        in_.erase(0, start);
        if (in_.size() > options_.maxLine) {
            close("overlong-line");
            return false;
        }
        if (broken_) {
            close("peer");
            return false;
        }
    }
    return true;
}

void LineConnection::close(const char* reason) {
    // The owner destroys this connection, handlers included, inside the
    // call: run a copy that outlives it.
    const std::function<void(const char*)> closed = handlers_.closed;
    closed(reason);
}

void LineConnection::flush() {
    while (pending() > 0 && !broken_) {
        const ssize_t n = ::send(fd_.get(), out_.data() + sent_, pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        broken_ = true;  // the client is gone; the close follows
    }
    if (sent_ == out_.size() || broken_) {
        out_.clear();
        sent_ = 0;
    } else if (sent_ >= kReadChunk && sent_ * 2 >= out_.size()) {
        out_.erase(0, sent_);
        sent_ = 0;
    }
}

void LineConnection::update_watch() {
    std::uint32_t wanted = 0;
    if (!peerDone_ && !broken_ && pending() <= kOutputHighWater) wanted |= EPOLLIN;
    if (pending() > 0) wanted |= EPOLLOUT;
    if (wanted == watching_) return;
    watch_.modify(wanted);
    watching_ = wanted;
}

}  // namespace tavlib::sim
