// The call path of the JSON functions: a request read from a str of JSON
// text, one engine run, and the result written as a new str. A large call
// keeps its peak low: a request that may be read in two passes
// (convert::reads_in_two_passes_v) is read so, from a str without a UTF-8
// form to view encoded a piece at a time as the reader comes to it, what the
// request's texts view is let go as soon as the write no longer needs it,
// and a large output is joined from pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
#include "util/reserved.h"

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

// A large request str that has no UTF-8 form to view, read fed
// (convert::json::Input): its UTF-8 is encoded a piece at a time into
// reserved room, which only the window the reader holds takes up.
class FedStr {
public:
    // The fed read of `text`, or null where a whole read serves: a short
    // text, one whose UTF-8 is viewed, or no room to reserve.
    static std::unique_ptr<FedStr> of(PyObject* text);

    convert::json::Input input() { return convert::json::Input::fed(source_, room_.room()); }
    // A piece could not be encoded (a lone surrogate, memory): the whole
    // read raises what that is.
    bool failed() const { return source_.failed; }

private:
    struct Source final : convert::json::Source {
        std::size_t next(unsigned char* out, std::size_t room) override;
        void rewind() override { at = 0; }

        PyObject* str = nullptr;
        Py_ssize_t length = 0;
        Py_ssize_t at = 0;
        bool failed = false;
    };
    FedStr(PyObject* text, Py_ssize_t length, std::size_t room);

    Source source_;
    util::ReservedBytes room_;
};

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

// A two-pass read of `text` fed a piece at a time (detail::FedStr), where
// that applies and succeeds; its texts then view `arena` alone. Anything
// else, a failure included, is left to the whole read.
template <class Request, class Result>
std::optional<Result> fed_run(PyObject* text, TextArena& arena) {
    if constexpr (convert::reads_in_two_passes_v<Request>) {
        const std::unique_ptr<detail::FedStr> fed = detail::FedStr::of(text);
        if (!fed) return std::nullopt;
        TextArena texts;
        auto run = convert::TwoPassRead<Request>::run(fed->input(), texts);
        if (!run || !*run || fed->failed()) return std::nullopt;
        arena = std::move(texts);
        return std::move(**run);
    } else {
        return std::nullopt;
    }
}

template <class Request, class Result, Expected<Result, MorvantaError> (*Engine)(const Request&)>
std::optional<Result> read_and_run(std::string_view utf8, TextArena& arena, CallError& error) {
    if constexpr (convert::reads_in_two_passes_v<Request>) {
        if (utf8.size() >= detail::kTwoPassRequestBytes) {
            if (auto run = convert::TwoPassRead<Request>::run(convert::json::Input::whole(utf8), arena)) {
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
    if (std::optional<Result> fed = fed_run<Request, Result>(text, input.arena)) return write_str(*fed, input);
    if (!input.utf8.load_raw(text, /*transient=*/true)) return Ref();
    std::optional<Result> result = read_and_run<Request, Result, Engine>(input.utf8.view(), input.arena, error);
    return result ? write_str(*result, input) : Ref();
}

}  // namespace morvanta::py
