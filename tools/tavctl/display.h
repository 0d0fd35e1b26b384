// How tavctl shows what the instrument sent.
#pragma once

#include <string>
#include <string_view>

#include "tavlib.h"

namespace tavlib::tavctl {

// A text response for the terminal: CR LF line ends become LF and the line
// end that closes the response is dropped (the caller ends the line).
std::string printable_response(std::string_view text);

// One identity field as text: up to its NUL, never past its 20 bytes.
std::string identity_field(const char (&field)[TAVRIL_IDENTITY_FIELD_SIZE]);

// model "ZQ907", serial "A1", firmware "1.0"
std::string describe_identity(const InstrumentIdentity& identity);

// Bytes as a quoted C-style literal for traces: "*IDN?\r\n", "\x00".
std::string escaped(std::string_view bytes);

// "answer code 20" for a positive Scmd_Tavril result; empty for 0.
std::string describe_answer(std::int32_t result);

}  // namespace tavlib::tavctl
