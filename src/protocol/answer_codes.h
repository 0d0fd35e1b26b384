// Answer-code tokens in the instrument's responses.
#pragma once

#include <cstdint>
#include <cstring>

namespace tavlib::protocol {

struct AnswerToken {
    const char* text;
    std::int32_t code;
};

// Searched in this order; a longer token that begins with one of these
// (ANS200, ANS410) counts as that one.
inline constexpr AnswerToken kAnswerTokens[] = {
    {"ANS20", 20}, {"ANS40", 40}, {"ANS41", 41}, {"ANS60", 60},
    {"ANS80", 80}, {"ANS90", 90}, {"ANS100", 100},
};

// The result that `responseText` carries: the code of the first token of the
// table (in the table's order, not the text's) that occurs in it; 0 if none.
inline std::int32_t answer_code(const char* responseText) noexcept {
    for (const AnswerToken& token : kAnswerTokens)
        if (std::strstr(responseText, token.text) != nullptr) return token.code;
    return 0;
}

}  // namespace tavlib::protocol
