#include "connection/slot_table.h"

#include <limits>
#include <optional>

namespace tavlib::connection {

namespace {
using platform::SlotHandleWord;

constexpr SlotHandleWord kFreeWord = ~SlotHandleWord{0};

// The word that records `handle`; none for a value wider than a word, which
// no slot can hold.
std::optional<SlotHandleWord> handle_word(platform::Handle handle) noexcept {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value > std::numeric_limits<SlotHandleWord>::max()) return std::nullopt;
    return static_cast<SlotHandleWord>(value);
}
}  // namespace

bool SlotTable::is_free(std::uint32_t slot) const noexcept {
    return words_.deviceHandle[slot] == kFreeWord;
}

bool SlotTable::claim(std::uint32_t slot, std::uint32_t ownerProcessId,
                      platform::Handle handle) noexcept {
    const std::optional<SlotHandleWord> word = handle_word(handle);
    if (!word) return false;
    words_.ownerProcessId[slot] = ownerProcessId;
    words_.deviceHandle[slot] = *word;
    return true;
}

bool SlotTable::release(platform::Handle handle, std::uint32_t ownerProcessId) noexcept {
    const std::optional<SlotHandleWord> word = handle_word(handle);
    if (!word) return false;
    for (std::uint32_t n = 0; n < TAVRIL_SLOT_COUNT; ++n) {
        if (words_.deviceHandle[n] == *word && words_.ownerProcessId[n] == ownerProcessId) {
            words_.ownerProcessId[n] = 0;
            words_.deviceHandle[n] = kFreeWord;
            return true;
        }
    }
    return false;
}

}  // namespace tavlib::connection
