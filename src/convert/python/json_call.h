// The call path of the JSON functions: a request read from a str of JSON
// text, one engine run, and the result written as a new str. A large call
// keeps its peak low: a request that may be read in two passes
// (convert::reads_in_two_passes_v) is read so, what the request's texts view
// is let go as soon as the write no longer needs it, and a large output is
// joined from pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "convert/json_reader.h"
#include "convert/json_writer.h"
#include "convert/python/capi.h"
#include "convert/read_error.h"
#include "error/error.h"
#include "util/arena.h"
#include "util/expected.h"

namespace morvanta::py {

// Why a call has no result, for the module to raise.
struct CallError {
    enum class Kind : std::uint8_t {
        Pending,  // a Python exception is set (a text that cannot be encoded, memory)
        Read,     // the request could not be read: `read`
        Engine,   // the engine refused it: `engine_text`
    };
    Kind kind = Kind::Pending;
    convert::ReadError read;
    std::string engine_text;

    void read_failed(convert::ReadError&& error) {
        kind = Kind::Read;
        read = std::move(error);
    }
    void engine_failed(const MorvantaError& error) {
        kind = Kind::Engine;
        engine_text = error.text();
    }
};

namespace detail {

// From this many bytes of UTF-8 on, a request that may be read in two passes
// is: its long list is then never held whole, for the time of the first pass
// (benchmarks/peak.py measures the peak).
inline constexpr std::size_t kTwoPassRequestBytes = std::size_t{16} << 20;

// From this many bytes on, an output with rows is joined from pieces rather
// than written into one buffer, so that the returned str is its only full
// copy; joining takes longer than one buffer and one decode, which smaller
// outputs keep (benchmarks/peak.py and benchmarks/run.py measure both).
inline constexpr std::size_t kPiecesOutputBytes = std::size_t{16} << 20;

// Hands the allocator's free pages back to the system, where it can.
void release_free_memory();
// A new str of the UTF-8 bytes.
Ref str_of(std::string_view bytes);
// The pieces as a list of str, a piece that repeats made once and shared.
Ref piece_list(const convert::json::Pieces& pieces);
// The list's str joined into one.
Ref joined(const Ref& list);

}  // namespace detail

// What the request's texts view: the argument's UTF-8, and the arena for the
// texts that had escapes.
struct JsonInput {
    Utf8 utf8;
    TextArena arena;
};

template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
std::optional<Result> read_and_run(std::string_view utf8, TextArena& arena, CallError& error) {
    if constexpr (convert::reads_in_two_passes_v<Request>) {
        if (utf8.size() >= detail::kTwoPassRequestBytes) {
            if (auto run = convert::TwoPassRead<Request>::run(utf8, arena)) {
                if (*run) return std::move(**run);
                error.read_failed(std::move(*run).error());
                return std::nullopt;
            }
        }
    }
    auto request = convert::read_json<Request>(utf8, arena);
    if (!request) {
        error.read_failed(std::move(request).error());
        return std::nullopt;
    }
    auto run = Engine(*request);
    if (run) return std::move(*run);
    error.engine_failed(run.error());
    return std::nullopt;
}

template <class Result>
Ref write_pieces(Result& result, const convert::json::RenderedRows& rendered) {
    // The request's memory went back to the allocator before this write;
    // its free pages go back to the system before the output is built, so
    // that the two do not add up in the process's peak.
    detail::release_free_memory();
    const Ref list = detail::piece_list(convert::write_json_pieces(result, rendered));
    result = Result{};  // the rows are in the pieces now
    return detail::joined(list);
}

// The result as a new str. Its row tables are rendered and the output
// measured while the texts they view are valid; then `input` is let go if
// the write no longer reads it.
template <class Result>
Ref write_str(Result& result, JsonInput& input) {
    convert::json::RenderedRows rendered;
    std::size_t size = convert::render_json_bound(result, rendered);
    // Past the size that is written in pieces the exact size decides; below
    // it, room that is never written is never touched, so the bound costs
    // address space (at most that size), not memory.
    if (size >= detail::kPiecesOutputBytes) size = convert::measure_json(result, rendered);
    if constexpr (!convert::writes_views_v<Result>) input = JsonInput();
    if constexpr (convert::has_rows_v<Result>) {
        if (size >= detail::kPiecesOutputBytes) return write_pieces(result, rendered);
    }
    convert::json::Buffer out;
    out.reserve(size);
    convert::write_json(result, rendered, out);
    return detail::str_of(out.text());
}

// A JSON call on the str `text`: the result as a new str, or NULL and the
// error to raise. An encoding that fails (UnicodeEncodeError for a lone
// surrogate) leaves its exception pending, as memory that runs out does.
template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
Ref json_call(PyObject* text, CallError& error) {
    JsonInput input;
    if (!input.utf8.load_raw(text, /*transient=*/true)) return Ref();
    std::optional<Result> result = read_and_run<Request, Result, Engine>(input.utf8.view(), input.arena, error);
    return result ? write_str(*result, input) : Ref();
}

}  // namespace morvanta::py
