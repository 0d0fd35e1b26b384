#include "faults.h"

#include "control_text.h"

#include <array>
#include <utility>

namespace tavlib::sim {

namespace {

struct KindInfo {
    FaultKind kind;
    std::string_view name;
    bool takesValue;
    unsigned defaultTargets;
    unsigned allowedTargets;
};

constexpr std::array<KindInfo, 9> kKinds{{
    {FaultKind::kDelay, "delay", true, kOnWrite | kOnRead, kOnWrite | kOnRead | kOnIoctl},
    {FaultKind::kPartialWrite, "partial-write", true, kOnWrite, kOnWrite},
    {FaultKind::kZeroRead, "zero-read", false, kOnRead, kOnRead},
    {FaultKind::kError, "error", true, kOnWrite | kOnRead, kOnWrite | kOnRead | kOnIoctl},
    {FaultKind::kRecoverFail, "recover-fail", true, kOnRecover, kOnRecover},
    {FaultKind::kCancelIgnore, "cancel-ignore", true, kOnCancel, kOnCancel},
    {FaultKind::kDrop, "drop", false, kOnWrite | kOnRead | kOnIoctl, kOnWrite | kOnRead | kOnIoctl},
    {FaultKind::kNoIdentity, "no-idn", false, kOnIdentity, kOnIdentity},
    {FaultKind::kMalformed, "malformed", true, kOnWrite | kOnRead, kOnWrite | kOnRead | kOnIoctl},
}};

const KindInfo& info(FaultKind kind) {
    for (const KindInfo& k : kKinds)
        if (k.kind == kind) return k;
    return kKinds[0];
}

constexpr std::array<std::pair<unsigned, std::string_view>, 6> kTargetNames{{
    {kOnWrite, "write"},
    {kOnRead, "read"},
    {kOnIoctl, "ioctl"},
    {kOnRecover, "recover"},
    {kOnCancel, "cancel"},
    {kOnIdentity, "idn"},
}};

}  // namespace

std::string_view fault_name(FaultKind kind) { return info(kind).name; }

std::optional<FaultKind> fault_kind(std::string_view name) {
    for (const KindInfo& k : kKinds)
        if (k.name == name) return k.kind;
    return std::nullopt;
}

bool fault_takes_value(FaultKind kind) { return info(kind).takesValue; }
unsigned fault_default_targets(FaultKind kind) { return info(kind).defaultTargets; }
unsigned fault_allowed_targets(FaultKind kind) { return info(kind).allowedTargets; }

std::string format_targets(unsigned on) {
    std::string out;
    for (const auto& [bit, name] : kTargetNames) {
        if ((on & bit) == 0) continue;
        if (!out.empty()) out += ',';
        out += name;
    }
    return out;
}

std::string format_fault(const Fault& fault) {
    std::string out = "fault kind=" + std::string(fault_name(fault.kind));
    if (fault_takes_value(fault.kind)) out += " value=" + std::to_string(fault.value);
    out += " skip=" + std::to_string(fault.skip) + " times=" + std::to_string(fault.times) +
           " on=" + format_targets(fault.on);
    return out;
}

std::optional<Fault> parse_fault(const std::vector<std::string_view>& words, std::string* error) {
    if (words.empty()) {
        *error = "fault needs a kind";
        return std::nullopt;
    }
    const std::optional<FaultKind> kind = fault_kind(words[0]);
    if (!kind) {
        std::string names;
        for (const KindInfo& k : kKinds) names += (names.empty() ? "" : ", ") + std::string(k.name);
        *error = "unknown fault '" + std::string(words[0]) + "' (known: " + names + ")";
        return std::nullopt;
    }
    Fault fault;
    fault.kind = *kind;
    fault.on = fault_default_targets(*kind);
    std::size_t next = 1;
    if (fault_takes_value(*kind)) {
        const std::optional<std::uint32_t> value =
            next < words.size() ? parse_u32(words[next]) : std::nullopt;
        if (!value) {
            *error = "fault " + std::string(words[0]) + " needs a number";
            return std::nullopt;
        }
        fault.value = *value;
        if (*kind == FaultKind::kMalformed && (*value < kMalformedFirst || *value > kMalformedLast)) {
            *error = "fault malformed needs a way from 1 to 5";
            return std::nullopt;
        }
        ++next;
    }
    for (; next < words.size(); ++next) {
        const std::string_view word = words[next];
        const std::size_t eq = word.find('=');
        const std::string_view key = word.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : word.substr(eq + 1);
        if (eq == std::string_view::npos) {
            *error = "unexpected '" + std::string(word) + "' (options are skip=N, times=N, on=LIST)";
            return std::nullopt;
        }
        if (key == "skip" || key == "times") {
            const std::optional<std::uint32_t> n = parse_u32(value);
            if (!n) {
                *error = std::string(key) + " needs a number";
                return std::nullopt;
            }
            (key == "skip" ? fault.skip : fault.times) = *n;
        } else if (key == "on") {
            unsigned on = 0;
            for (std::string_view item : split(value, ',')) {
                unsigned bit = 0;
                for (const auto& [b, name] : kTargetNames)
                    if (name == item) bit = b;
                if (bit == 0 || (bit & fault_allowed_targets(*kind)) == 0) {
                    *error = "fault " + std::string(words[0]) + " cannot apply to '" + std::string(item) +
                             "' (allowed: " + format_targets(fault_allowed_targets(*kind)) + ")";
                    return std::nullopt;
                }
                on |= bit;
            }
            if (on == 0) {
                *error = "on= needs a list";
                return std::nullopt;
            }
            fault.on = on;
        } else {
            *error = "unknown option '" + std::string(key) + "' (options are skip=N, times=N, on=LIST)";
            return std::nullopt;
        }
    }
    return fault;
}

std::vector<Fault> FaultSet::list() const {
    std::vector<Fault> out;
    for (const auto& [kind, fault] : faults_) out.push_back(fault);
    return out;
}

std::optional<std::uint32_t> FaultSet::trigger(FaultKind kind, unsigned target) {
    auto it = faults_.find(kind);
    if (it == faults_.end() || (it->second.on & target) == 0) return std::nullopt;
    Fault& fault = it->second;
    if (fault.skip > 0) {
        --fault.skip;
        return std::nullopt;
    }
    const std::uint32_t value = fault.value;
    if (fault.times > 0 && --fault.times == 0) faults_.erase(it);
    return value;
}

}  // namespace tavlib::sim
