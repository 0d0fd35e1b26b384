// The first-line cut of Read_Tavril's line mode, apart from the transfers so
// that it can be checked on its own.
#pragma once

#include <cstdint>

namespace tavlib::transfer {

// `text` holds a response of `count` bytes followed by a NUL.  Ends the text
// at its first CR LF pair (both bytes become NUL) and returns the count to
// report: `count` - 2 when a pair was cut off, else `count`.  The search
// stops at the first NUL, so it never looks past text[count].
inline std::uint32_t cut_first_line(char* text, std::uint32_t count) noexcept {
    for (char* p = text; *p != '\0'; ++p) {
        if (p[0] == '\r' && p[1] == '\n') {
            p[0] = '\0';
            p[1] = '\0';
            return count - 2;
        }
    }
    return count;
}

}  // namespace tavlib::transfer
