// libFuzzer harness over the core, no interpreter: JSON text in, through the
// reader, the engine and the writer, for each of the three request types.
// The first byte picks the request type ('0' loan, '1' categorize, '2' derive);
// the rest is the JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"
#include "convert/categorize_json.h"
#include "convert/json_reader.h"
#include "convert/json_writer.h"
#include "emi/engine.h"
#include "unicode/utf8.h"
#include "util/arena.h"

namespace {

using namespace morvanta;

// Python hands the module only valid UTF-8 (a str encoded strictly), so texts
// that are not are outside the reader's contract.
bool valid_utf8(std::string_view s) { return unicode::is_valid_utf8(s); }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_requests: %s\n", what);
    std::abort();
}

template <class Request, class Result>
void run(std::string_view text, Expected<Result, MorvantaError> (*engine)(const Request&)) {
    TextArena arena;  // texts with escapes, decoded; the others view `text`
    auto request = convert::read_json<Request>(text, arena);
    if (!request) {
        const std::string& message = request.error().message;
        // Every reader error ends with its position, and is valid UTF-8.
        if (message.find(" at line ") == std::string::npos || !valid_utf8(message)) fail("bad error text");
        return;
    }
    auto result = engine(*request);
    if (!result) {
        if (!valid_utf8(result.error().text())) fail("bad engine text");
        return;
    }
    // Measured, then written into the one buffer the measure sized, as the
    // module writes it.
    convert::json::RenderedRows rendered;
    convert::json::Buffer buffer;
    const std::size_t bound = convert::render_json(*result, rendered);
    buffer.reserve(bound);
    const std::size_t capacity = buffer.capacity();
    convert::write_json(*result, rendered, buffer);
    const std::string_view out = buffer.text();
    if (out.size() > bound || buffer.capacity() != capacity) fail("output beyond its measure");
    if (out.empty() || out.front() != '{' || out.back() != '}' || !valid_utf8(out)) fail("bad output");
    // A large output is joined from pieces instead: the same bytes.
    std::string joined;
    convert::write_json_pieces(*result, rendered).for_each([&](std::string_view piece, std::size_t) {
        joined.append(piece);
        return true;
    });
    if (joined != out) fail("joined pieces differ from the single-buffer output");
}

// The rows of the two-pass read fed a few bytes at a time through a small
// window, or nothing where it leaves the text to the whole read.
std::optional<std::string> fed_rows(std::string_view text) {
    std::vector<unsigned char> room(text.size());
    convert::json::PiecesSource source(text, 1 + text.size() % 7);
    convert::json::Input input = convert::json::Input::fed(source, room);
    input.ahead = 40;
    input.release = 24;
    TextArena arena;
    const auto fed = convert::TwoPassRead<categorizer::CategorizeRequest>::run(input, arena);
    if (!fed) return std::nullopt;
    if (!*fed) fail("a fed read reports a failure of its own");
    std::string rows;
    convert::write_json(**fed, rows);
    return rows;
}

// The two-pass read of a large categorize request, which matches narrations
// as it meets them, must give what one read and the engine give: the same
// rows, or the same failure at the same place. Where it declines, the whole
// read answers, so there is nothing to compare.
void check_streamed(std::string_view text) {
    TextArena arena;
    const auto streamed = convert::TwoPassRead<categorizer::CategorizeRequest>::run(convert::json::Input::whole(text), arena);
    if (!streamed) return;
    TextArena whole_arena;
    auto request = convert::read_json<categorizer::CategorizeRequest>(text, whole_arena);
    if (!request || !*streamed) {
        if (request || *streamed || request.error().message != streamed->error().message ||
            request.error().note != streamed->error().note)
            fail("two-pass read fails where one read does not, or otherwise");
        if (fed_rows(text)) fail("fed read succeeds where one read fails");
        return;
    }
    auto result = categorizer::categorize_transactions(*request);
    if (!result) fail("two-pass read accepts rules the engine refuses");
    std::string one, two;
    convert::write_json(*result, one);
    convert::write_json(**streamed, two);
    if (one != two) fail("two-pass read gives other rows");

    if (const auto fed = fed_rows(text); fed && *fed != one) fail("fed read gives other rows");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!valid_utf8(text)) return 0;
    switch (data[0] % 3) {
        case 0: run(text, &emi::compute); break;
        case 1:
            run(text, &categorizer::categorize_transactions);
            check_streamed(text);
            break;
        default: run(text, &categorizer::derive_rules); break;
    }
    return 0;
}
