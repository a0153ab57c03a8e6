// libFuzzer harness over the core, no interpreter: JSON text in, through the
// reader, the engine and the writer, for each of the three request types.
// The first byte picks the request type ('0' loan, '1' categorize, '2' derive);
// the rest is the JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "categorizer/engine.h"
#include "convert/json_reader.h"
#include "convert/json_writer.h"
#include "emi/engine.h"
#include "util/arena.h"

namespace {

using namespace morvanta;

// Python hands the module only valid UTF-8 (a str encoded strictly), so texts
// that are not are outside the reader's contract.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        char32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

[[noreturn]] void fail(const char* what) {
    std::abort();
    (void)what;
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
    convert::json::Out buffer;
    const std::size_t bound = convert::measure_json(*result, buffer);
    buffer.reserve(bound);
    const std::size_t capacity = buffer.capacity();
    convert::write_json(*result, buffer);
    const std::string_view out = buffer.text();
    if (out.size() > bound || buffer.capacity() != capacity) fail("output beyond its measure");
    if (out.empty() || out.front() != '{' || out.back() != '}' || !valid_utf8(out)) fail("bad output");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!valid_utf8(text)) return 0;
    switch (data[0] % 3) {
        case 0: run(text, &emi::compute); break;
        case 1: run(text, &categorizer::categorize_transactions); break;
        default: run(text, &categorizer::derive_rules); break;
    }
    return 0;
}
