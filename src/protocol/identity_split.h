// The split of an identity response into its fields, apart from the
// handshake so that it can be checked on its own.
#pragma once

#include <cstddef>
#include <cstring>

#include "tavlib.h"

namespace tavlib::protocol {

inline constexpr std::size_t kFieldSize = TAVRIL_IDENTITY_FIELD_SIZE;

// Copies at most kFieldSize - 1 characters and a NUL; bytes behind the NUL
// keep what they held.
inline void copy_field(char* field, const char* text) noexcept {
    std::size_t n = 0;
    for (; n + 1 < kFieldSize && text[n] != '\0'; ++n) field[n] = text[n];
    field[n] = '\0';
}

// Moves the text behind the last comma into `field` and ends the text at that
// comma; without a comma the field is empty and the text stays.
inline void take_last_field(char (&field)[kFieldSize], char* text) noexcept {
    char* comma = std::strrchr(text, ',');
    if (comma == nullptr) {
        field[0] = '\0';
        return;
    }
    copy_field(field, comma + 1);
    *comma = '\0';
}

// Splits an identity response in place into its last three comma-separated
// fields: firmware version (last), serial number, model.  Missing leading
// fields come out empty; a field longer than 19 characters is cut to 19.
// Afterwards `identityText` holds what stood before the third-last comma.
inline void SplitIdentity(char (&modelField)[kFieldSize], char (&serialField)[kFieldSize],
                          char (&firmwareField)[kFieldSize], char* identityText) noexcept {
    take_last_field(firmwareField, identityText);
    take_last_field(serialField, identityText);
    take_last_field(modelField, identityText);
}

}  // namespace tavlib::protocol
