// Fuzz target: the read path's text handling (line cut, answer code, identity split).
//
// Fuzzes the read path's text handling with arbitrary response bytes: the
// line mode's first-line cut, the answer-code search (on the whole text and
// on the cut line, as Scmd_Tavril sees it in either mode) and the identity
// split.  Each works in a buffer of exactly the response plus its NUL, as in
// Read_Tavril, so that ASan sees any access past it; each result is checked
// against an independent reading of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/answer_codes.h"
#include "protocol/identity_split.h"
#include "transfer/line_cut.h"

namespace {

using tavlib::protocol::kFieldSize;

// The response as the scratch area holds it: the bytes, then a NUL.
std::unique_ptr<char[]> scratch_copy(std::string_view bytes) {
    std::unique_ptr<char[]> text(new char[bytes.size() + 1]);
    std::memcpy(text.get(), bytes.data(), bytes.size());
    text[bytes.size()] = '\0';
    return text;
}

// The text as C string functions see it: up to the first NUL.
std::string_view as_c_text(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

void check_answer_code(const char* text, std::string_view c_text) {
    const std::int32_t code = tavlib::protocol::answer_code(text);
    // The codes the header documents, in the order they are searched.
    constexpr struct {
        std::string_view token;
        std::int32_t code;
    } kExpected[] = {{"ANS20", 20}, {"ANS40", 40}, {"ANS41", 41}, {"ANS60", 60},
                     {"ANS80", 80}, {"ANS90", 90}, {"ANS100", 100}};
    std::int32_t expected = 0;
    for (const auto& entry : kExpected) {
        if (c_text.find(entry.token) != std::string_view::npos) {
            expected = entry.code;
            break;
        }
    }
    FUZZ_CHECK(code == expected);
}

// Returns the cut text's length.
std::size_t check_line_cut(std::string_view bytes) {
    const auto count = static_cast<std::uint32_t>(bytes.size());
    std::unique_ptr<char[]> text = scratch_copy(bytes);
    const std::uint32_t reported = tavlib::transfer::cut_first_line(text.get(), count);

    const std::size_t pair = as_c_text(bytes).find("\r\n");
    FUZZ_CHECK(reported <= count);
    FUZZ_CHECK(text[count] == '\0');
    if (pair == std::string_view::npos) {
        FUZZ_CHECK(reported == count);
        FUZZ_CHECK(std::memcmp(text.get(), bytes.data(), count) == 0);
    } else {
        FUZZ_CHECK(count >= 2 && reported == count - 2);
        FUZZ_CHECK(text[pair] == '\0' && text[pair + 1] == '\0');
        FUZZ_CHECK(std::memcmp(text.get(), bytes.data(), pair) == 0);
        FUZZ_CHECK(std::memcmp(text.get() + pair + 2, bytes.data() + pair + 2, count - pair - 2) == 0);
    }
    const std::size_t length = std::strlen(text.get());
    FUZZ_CHECK(length <= reported);
    check_answer_code(text.get(), std::string_view(text.get(), length));
    return length;
}

// The field that copy_field leaves: at most kFieldSize - 1 characters.
std::string field_of(std::string_view text) { return std::string(text.substr(0, kFieldSize - 1)); }

// Splits off the text behind the last comma, as the identity split should.
std::string take_last(std::string& rest) {
    const std::size_t comma = rest.rfind(',');
    if (comma == std::string::npos) return {};
    std::string field = field_of(std::string_view(rest).substr(comma + 1));
    rest.resize(comma);
    return field;
}

void check_identity_split(std::string_view bytes) {
    std::unique_ptr<char[]> text = scratch_copy(bytes);
    char model[kFieldSize];
    char serial[kFieldSize];
    char firmware[kFieldSize];
    // No NUL anywhere beforehand: a field left unterminated shows.
    std::memset(model, 'm', sizeof model);
    std::memset(serial, 's', sizeof serial);
    std::memset(firmware, 'f', sizeof firmware);
    tavlib::protocol::SplitIdentity(model, serial, firmware, text.get());

    std::string rest(as_c_text(bytes));
    const std::string expected_firmware = take_last(rest);
    const std::string expected_serial = take_last(rest);
    const std::string expected_model = take_last(rest);
    for (const char* field : {model, serial, firmware})
        FUZZ_CHECK(std::memchr(field, '\0', kFieldSize) != nullptr);
    FUZZ_CHECK(firmware == expected_firmware);
    FUZZ_CHECK(serial == expected_serial);
    FUZZ_CHECK(model == expected_model);
    // What is left is the text before the third-last comma; only commas
    // became NULs, so the bytes behind the first NUL are as they came.
    FUZZ_CHECK(text.get() == rest);
    FUZZ_CHECK(text[bytes.size()] == '\0');
    const std::size_t end = as_c_text(bytes).size();
    FUZZ_CHECK(std::memcmp(text.get() + end, bytes.data() + end, bytes.size() - end) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (size > UINT32_MAX - 1) return 0;  // beyond any response a read can deliver
    check_line_cut(bytes);
    {
        std::unique_ptr<char[]> text = scratch_copy(bytes);
        check_answer_code(text.get(), as_c_text(bytes));
    }
    check_identity_split(bytes);
    return 0;
}
