#include "trace_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "control_text.h"
#include "result_codes.h"

namespace tavlib::tavctl {

using trace::Call;
using trace::Record;

namespace {

// Bytes shown of each block in the table.
constexpr std::size_t kShownBytes = 40;

std::string shown(const std::optional<trace::Block>& block) {
    if (!block) return "-";
    std::string text = "\"" + sim::escape(block->bytes, kShownBytes) + "\"";
    if (!block->whole())
        text += " (" + std::to_string(block->length) + " bytes, " + std::to_string(block->bytes.size()) + " kept)";
    else if (block->bytes.size() > kShownBytes)
        text += " (" + std::to_string(block->length) + " bytes)";
    return text;
}

std::string what_of(const Record& r) {
    switch (r.call) {
        case Call::Start:
            return "library " + r.library + ", " + r.platform + ", data kept " + std::to_string(r.dataLimit) +
                   " bytes, bound " + std::to_string(r.maxBytesLimit) + " bytes";
        case Call::End:
            return "the trace stops here (" + r.reason + ", bound " + std::to_string(r.maxBytesLimit) + " bytes)";
        case Call::Open:
            if (r.idn) return "\"" + sim::escape(*r.idn, kShownBytes) + "\"";
            if (r.identity) return trace::describe(*r.identity);
            return "";
        case Call::Close:
            return "";
        case Call::Write:
            return shown(r.text);
        case Call::Read: {
            const std::string asked = "mode " + std::to_string(r.mode) + ", max " + std::to_string(r.maxBytes);
            return r.data ? "<- " + shown(r.data) : "(" + asked + ")";
        }
        case Call::Scmd:
            return shown(r.command) + (r.response ? " -> " + shown(r.response) : "");
        case Call::Conf:
            return r.idn ? "-> \"" + sim::escape(*r.idn, kShownBytes) + "\"" : "";
    }
    return "";
}

std::string result_of(const Record& r) {
    const std::optional<tools::Function> function = trace::function_of(r.call);
    if (!function) return "";
    std::string text = std::to_string(r.result);
    if (const auto name = tools::result_name(*function, r.result))
        text.append(" ").append(*name);
    else if (r.call == Call::Scmd && r.result > 0)
        text.append(" answer code");
    else
        text.append(" unknown result");
    if (r.error != 0) {
        text.append(", error ").append(std::to_string(r.error));
        if (const auto known = tools::find_win32_error(r.error)) text.append(" ").append(known->name);
    }
    return text;
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// "20:38:15.123456" of "2026-12-09T20:38:15.123456Z".
std::string clock_of(const std::string& time) {
    return time.size() > 11 ? time.substr(11, time.size() - 12) : time;
}

std::string short_call(Call call) {
    std::string name(trace::call_name(call));
    if (const auto cut = name.find("_Tavril"); cut != std::string::npos) name.erase(cut);
    return name;
}

}  // namespace

bool TraceFilter::admits(const Record& record) const {
    if (!record.is_call()) return !errorsOnly && !slot;
    if (slot && record.slot != slot) return false;
    return !errorsOnly || record.result < 0;
}

std::string format_duration(double us) {
    char text[32];
    if (us < 1000)
        std::snprintf(text, sizeof text, "%.0f us", us);
    else if (us < 1e6)
        std::snprintf(text, sizeof text, "%.1f ms", us / 1e3);
    else
        std::snprintf(text, sizeof text, "%.3f s", us / 1e6);
    return text;
}

std::string trace_table_header() {
    return pad("time (UTC)", 17) + pad("pid", 8) + pad("slot", 5) + pad("call", 7) + pad("command or bytes", 56) +
           pad("result", 36) + "duration";
}

std::string trace_table_row(const Record& r) {
    const std::string slot = r.slot ? std::to_string(*r.slot) : "-";
    std::string line = pad(clock_of(r.time), 17) + pad(std::to_string(r.pid), 8) + pad(slot, 5) +
                       pad(short_call(r.call), 7) + pad(what_of(r), 55) + ' ';
    if (!r.is_call()) {
        while (line.ends_with(' ')) line.pop_back();
        return line;
    }
    line += pad(result_of(r), 35) + ' ' + format_duration(static_cast<double>(r.durUs));
    return line;
}

TraceSummary::Row& TraceSummary::row(const std::string& key) {
    const auto [it, added] = rows_.try_emplace(key);
    if (added) it->second.order = rows_.size();
    return it->second;
}

void TraceSummary::settle(const std::tuple<std::int64_t, std::string>& handle, const char* result,
                          std::optional<double> latencyUs) {
    const auto it = pending_.find(handle);
    if (it == pending_.end()) return;
    Row& r = row(it->second.key);
    ++r.results[result];
    if (latencyUs) r.latenciesUs.push_back(*latencyUs);
    pending_.erase(it);
}

void TraceSummary::add(const trace::Entry& entry) {
    const Record& r = entry.record;
    if (!r.is_call()) return;
    const auto handle = std::tuple{r.pid, r.handle.value_or("")};
    const auto block_key = [](const std::optional<trace::Block>& block) {
        return block ? "\"" + sim::escape(block->bytes, 60) + "\"" : std::string("(no text)");
    };
    switch (r.call) {
        case Call::Write:
            settle(handle, "no read", std::nullopt);
            if (r.result != 0) {
                Row& failed = row(block_key(r.text));
                ++failed.count;
                ++failed.results["write " + result_of(r)];
                break;
            }
            ++row(block_key(r.text)).count;
            pending_[handle] = PendingWrite{block_key(r.text), r.timeUs};
            break;
        case Call::Read: {
            const auto it = pending_.find(handle);
            if (it == pending_.end()) break;
            const std::string result = r.result == 0 ? "0" : result_of(r);
            settle(handle, result.c_str(),
                   r.result == 0 ? std::optional<double>(static_cast<double>(r.end_us() - it->second.startUs))
                                 : std::nullopt);
            break;
        }
        case Call::Scmd: {
            settle(handle, "no read", std::nullopt);
            Row& s = row(block_key(r.command));
            ++s.count;
            ++s.results[r.result >= 0 ? std::to_string(r.result) : result_of(r)];
            if (r.result >= 0) s.latenciesUs.push_back(static_cast<double>(r.durUs));
            break;
        }
        case Call::Open:
        case Call::Close:
        case Call::Conf: {
            if (r.call == Call::Close) settle(handle, "no read", std::nullopt);
            Row& c = row("(" + std::string(trace::call_name(r.call)) + ")");
            ++c.count;
            ++c.results[r.result == 0 ? "0" : result_of(r)];
            if (r.result == 0) c.latenciesUs.push_back(static_cast<double>(r.durUs));
            break;
        }
        case Call::Start:
        case Call::End:
            break;
    }
}

void TraceSummary::print(std::ostream& out) const {
    std::vector<std::pair<const std::string*, const Row*>> rows;
    for (const auto& [key, value] : rows_) rows.emplace_back(&key, &value);
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
    out << pad("command", 34) << pad("count", 7) << pad("answers", 36) << pad("p50", 11) << pad("p95", 11) << "max\n";
    for (const auto& [key, r] : rows) {
        std::string answers;
        for (const auto& [result, n] : r->results)
            answers += (answers.empty() ? "" : ", ") + result + " x" + std::to_string(n);
        std::vector<double> sorted = r->latenciesUs;
        std::sort(sorted.begin(), sorted.end());
        // Nearest rank: the smallest value with at least q of them at or below it.
        const auto rank = [&](double q) {
            const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
            return format_duration(sorted[std::max<std::size_t>(k, 1) - 1]);
        };
        out << pad(*key, 33) << ' ' << pad(std::to_string(r->count), 6) << ' ' << pad(answers, 35) << ' ';
        if (sorted.empty())
            out << pad("-", 11) << pad("-", 11) << "-\n";
        else
            out << pad(rank(0.5), 11) << pad(rank(0.95), 11) << format_duration(sorted.back()) << '\n';
    }
}

}  // namespace tavlib::tavctl
