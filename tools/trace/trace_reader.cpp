#include "trace_reader.h"

#include <fstream>
#include <memory>

#include "tavlib/driver_interface.h"

namespace tavlib::trace {

TraceError::TraceError(const Place& place, const std::string& why)
    : std::runtime_error(place.text() + ": " + why) {}

TraceError::TraceError(const std::string& file, const std::string& why)
    : std::runtime_error(file + ": " + why) {}

void LineSplitter::feed(std::string_view bytes) {
    // What was given out goes before the buffer grows again.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        scan_ -= start_;
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<std::string> LineSplitter::next_line() {
    const std::size_t end = buffer_.find('\n', scan_);
    if (end == std::string::npos) {
        scan_ = buffer_.size();
        return std::nullopt;
    }
    std::size_t stop = end;
    if (stop > start_ && buffer_[stop - 1] == '\r') --stop;
    std::string line = buffer_.substr(start_, stop - start_);
    start_ = end + 1;
    scan_ = start_;
    ++line_;
    return line;
}

std::optional<Entry> TraceParser::next() {
    std::optional<std::string> line = lines_.next_line();
    if (!line) return std::nullopt;
    Place place{file_, lines_.line_number()};
    try {
        return Entry{parse_record(*line), std::move(place)};
    } catch (const RecordError& e) {
        throw TraceError(place, e.what());
    }
}

void TraceParser::finish() const {
    if (lines_.partial_bytes() > 0)
        throw TraceError(next_place(), "the trace ends in the middle of a line (" +
                                           std::to_string(lines_.partial_bytes()) +
                                           " bytes without a line end): cut short while it was written?");
}

void read_trace_file(const std::string& path, const std::function<void(Entry&&)>& each) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw TraceError(path, "cannot open the trace");
    TraceParser parser(path);
    constexpr std::size_t kChunk = 1 << 20;
    const auto chunk = std::make_unique_for_overwrite<char[]>(kChunk);
    for (;;) {
        in.read(chunk.get(), kChunk);
        const std::streamsize got = in.gcount();
        if (got > 0) {
            parser.feed(std::string_view(chunk.get(), static_cast<std::size_t>(got)));
            while (std::optional<Entry> entry = parser.next()) each(std::move(*entry));
        }
        if (!in) break;
    }
    if (in.bad()) throw TraceError(path, "cannot read the trace");
    parser.finish();
}

std::vector<Entry> read_trace_file(const std::string& path) {
    std::vector<Entry> entries;
    read_trace_file(path, [&](Entry&& entry) { entries.push_back(std::move(entry)); });
    return entries;
}

std::string describe(const Identity& identity) {
    return "model \"" + identity.model + "\", serial \"" + identity.serialNumber + "\", firmware \"" +
           identity.firmwareVersion + "\"";
}

void InstrumentCheck::see(const Entry& entry) {
    const Record& record = entry.record;
    if ((record.call != Call::Open && record.call != Call::Conf) || record.result != 0) return;
    // An open that succeeded found the instrument named.  Conf_Tavril
    // splits whatever line came; only one that names the instrument counts.
    const bool named = record.idn && record.idn->find(driver::kIdentityPrefix) != std::string::npos;
    if (record.call == Call::Conf && !named) return;
    if (!record.identity && !record.idn) return;
    const bool identityDiffers = record.identity && identity_ && *record.identity != *identity_;
    const bool idnDiffers = record.idn && idn_ && *record.idn != *idn_;
    if (identityDiffers || idnDiffers) {
        const std::string seen = idnDiffers ? "\"" + *record.idn + "\"" : describe(*record.identity);
        const std::string before = idnDiffers ? "\"" + *idn_ + "\"" : describe(*identity_);
        throw TraceError(entry.place, "this trace speaks to another instrument (" + seen + ") than " +
                                          first_->text() + " (" + before + ")");
    }
    if (!first_) first_ = entry.place;
    if (record.identity && !identity_) identity_ = record.identity;
    if (record.idn && !idn_) idn_ = record.idn;
}

}  // namespace tavlib::trace
