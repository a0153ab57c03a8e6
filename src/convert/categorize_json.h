// A categorize request read from JSON text with each narration matched as it
// is read, so that the narrations of a large request are never held at once.
#pragma once

#include <optional>
#include <string_view>

#include "categorizer/model.h"
#include "convert/json_reader.h"
#include "convert/read_error.h"
#include "util/arena.h"
#include "util/expected.h"

namespace morvanta::convert {

template <>
struct TwoPassRead<categorizer::CategorizeRequest> {
    // The first pass reads the rules and everything else but `data`, whose
    // elements it only checks for grammar and counts; the second reads the
    // whole request again, handing each narration to the categorizer as it
    // is read instead of storing it. Texts view `input`'s text or `arena`,
    // which must outlive the response; a fed input's only `arena`.
    //
    // Returns nullopt where the first pass or the rules fail, or a fed read
    // fails: the caller then reads and runs the request whole, which reports
    // that failure exactly as it stands. A failure of the second pass over a
    // whole text is the one a whole read reports.
    static std::optional<Expected<categorizer::CategorizeResponse, ReadError>> run(const json::Input& input,
                                                                                   TextArena& arena);
};

}  // namespace morvanta::convert
