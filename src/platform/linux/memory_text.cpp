// Memory and text: GlobalAlloc and GlobalFree over the C heap, and the
// lstr* string functions.

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backend.h"
#include "platform/win32_errors.h"
#include "pump.h"

namespace tavlib::platform {

namespace lb = linux_backend;
namespace err = win32_error;

namespace {

constexpr Word kGmemZeroInit = 0x40;

// A large block comes fresh from the kernel, and memory is committed only
// as a read fills it: a call costs memory for what arrives, not for what
// maxBytes allows.  Each first touch of a page faults; huge pages make those
// faults 512 times fewer where the kernel offers them (transparent huge
// pages in "madvise" mode serve only blocks that ask).
void advise_huge_pages(void* memory, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    if (size < 2 * kHugePage) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(memory) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(memory) + size) & ~(kHugePage - 1);
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

}  // namespace

void* GlobalAlloc(Word flags, std::size_t bytes) {
    if ((flags & ~kGmemZeroInit) != 0) {  // only fixed memory is served
        lb::set_last_error(err::kInvalidParameter);
        return nullptr;
    }
    const std::size_t size = bytes == 0 ? 1 : bytes;
    void* memory = (flags & kGmemZeroInit) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (memory == nullptr) {
        lb::set_last_error(err::kNotEnoughMemory);
        return nullptr;
    }
    advise_huge_pages(memory, size);
    return memory;
}

void* GlobalFree(void* memory) {
    if (memory == nullptr) return nullptr;
    // A READ still running into this block must not land in freed memory.
    lb::forget_destination(memory, ::malloc_usable_size(memory));
    std::free(memory);
    return nullptr;
}

int lstrlenA(const char* text) {
    if (text == nullptr) return 0;
    return static_cast<int>(std::strlen(text));
}

char* lstrcpyA(char* destination, const char* source) {
    if (destination == nullptr || source == nullptr) {
        lb::set_last_error(err::kNoAccess);
        return nullptr;
    }
    std::memmove(destination, source, std::strlen(source) + 1);
    return destination;
}

char* lstrcatA(char* destination, const char* source) {
    if (destination == nullptr || source == nullptr) {
        lb::set_last_error(err::kNoAccess);
        return nullptr;
    }
    std::memmove(destination + std::strlen(destination), source, std::strlen(source) + 1);
    return destination;
}

}  // namespace tavlib::platform
