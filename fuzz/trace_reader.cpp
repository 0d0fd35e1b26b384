// Fuzz target: the reader of the library's I/O trace, and the twin made from it.
//
// The input is a trace file.  Read whole and read in two pieces (cut where
// its first byte says), it must give the same records, or the same refusal,
// which names the file and a line.  Every block a record holds keeps its
// length, whole or kept in part.  A trace read without fault goes on to a
// twin: either a refusal at a place, or a definitions file that the
// simulator's parser reads back as the twin that was made, whatever bytes
// the commands and answers held.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "trace_reader.h"
#include "twin.h"

namespace {

using namespace tavlib::trace;

const std::string kFile = "fuzz.trace";

struct Outcome {
    std::vector<Entry> entries;
    std::string refusal;
};

Outcome read(std::string_view text, std::size_t cut) {
    Outcome outcome;
    TraceParser parser(kFile);
    try {
        for (const std::string_view piece : {text.substr(0, cut), text.substr(cut)}) {
            parser.feed(piece);
            while (std::optional<Entry> entry = parser.next()) outcome.entries.push_back(std::move(*entry));
        }
        parser.finish();
    } catch (const TraceError& e) {
        outcome.refusal = e.what();
        FUZZ_CHECK(outcome.refusal.rfind(kFile + ":", 0) == 0);
    }
    return outcome;
}

void check_block(const std::optional<Block>& block) {
    if (!block) return;
    if (block->restSha256)
        FUZZ_CHECK(block->bytes.size() < block->length && block->restSha256->size() == 64);
    else
        FUZZ_CHECK(block->bytes.size() == block->length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    const Outcome whole = read(text, size);
    const Outcome pieces = read(text, cut);
    FUZZ_CHECK(whole.refusal == pieces.refusal);
    FUZZ_CHECK(whole.entries.size() == pieces.entries.size());
    for (std::size_t i = 0; i < whole.entries.size(); ++i) {
        const Record& record = whole.entries[i].record;
        FUZZ_CHECK(whole.entries[i].place.line == i + 1);
        FUZZ_CHECK(record.call == pieces.entries[i].record.call && record.seq == pieces.entries[i].record.seq);
        for (const auto* block : {&record.text, &record.data, &record.command, &record.response}) check_block(*block);
    }
    if (!whole.refusal.empty()) return 0;
    try {
        const Twin twin = make_twin(std::vector<TraceInput>{{kFile, whole.entries}}, TwinOptions{});
        const std::string definitions = twin_definitions(twin);
        const std::string differs = check_definitions(twin, definitions);
        if (!differs.empty()) std::fprintf(stderr, "%s\n%s\n", differs.c_str(), definitions.c_str());
        FUZZ_CHECK(differs.empty());
    } catch (const TraceError& e) {
        FUZZ_CHECK(std::string_view(e.what()).rfind(kFile + ":", 0) == 0);
    }
    return 0;
}
