// Answer-code tokens in the instrument's responses.
#pragma once

#include <cstdint>

namespace tavlib::protocol {

// The result that `responseText` carries: the code of the first token of the
// table (in the table's order, not the text's) that occurs in it; 0 if none.
std::int32_t answer_code(const char* responseText) noexcept;

}  // namespace tavlib::protocol
