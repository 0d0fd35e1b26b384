#include "connection/slot_table.h"

namespace tavlib::connection {

namespace {
constexpr std::uintptr_t kFreeWord = ~std::uintptr_t{0};

std::uintptr_t handle_word(platform::Handle handle) noexcept {
    return reinterpret_cast<std::uintptr_t>(handle);
}
}  // namespace

bool SlotTable::is_free(std::uint32_t slot) const noexcept {
    return words_.deviceHandle[slot] == kFreeWord;
}

void SlotTable::claim(std::uint32_t slot, std::uint32_t ownerProcessId,
                      platform::Handle handle) noexcept {
    words_.ownerProcessId[slot] = ownerProcessId;
    words_.deviceHandle[slot] = handle_word(handle);
}

bool SlotTable::release(platform::Handle handle, std::uint32_t ownerProcessId) noexcept {
    for (std::uint32_t n = 0; n < kSlotCount; ++n) {
        if (words_.deviceHandle[n] == handle_word(handle) &&
            words_.ownerProcessId[n] == ownerProcessId) {
            words_.ownerProcessId[n] = 0;
            words_.deviceHandle[n] = kFreeWord;
            return true;
        }
    }
    return false;
}

}  // namespace tavlib::connection
