#include "line_intake.h"

namespace tavlib::gateway {

void LineIntake::feed(std::string_view bytes) {
    if (overlong_) return;
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
        scanned_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<LineIntake::Line> LineIntake::next() {
    while (!overlong_) {
        const std::size_t end = buffer_.find('\n', start_ + scanned_);
        // The longest line, its CR, and the LF that ends it.
        if ((end == std::string::npos ? buffer_.size() : end) - start_ > maxLine_ + 1) {
            overlong_ = true;
            break;
        }
        if (end == std::string::npos) {
            // Keep only the line being received.
            buffer_.erase(0, start_);
            start_ = 0;
            scanned_ = buffer_.size();
            break;
        }
        std::string_view text(buffer_.data() + start_, end - start_);
        start_ = end + 1;
        scanned_ = 0;
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.size() > maxLine_) {
            overlong_ = true;
            break;
        }
        if (text.empty()) continue;
        return Line{std::string(text), text.find('\0') != std::string_view::npos};
    }
    return std::nullopt;
}

}  // namespace tavlib::gateway
