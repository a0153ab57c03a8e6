// A failed read of a request, in either mode: the message and where in the
// request it happened.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvanta::convert {

struct ReadError {
    // The reader's text, raised after "invalid request: ". In JSON mode it
    // ends " at line L column C".
    std::string message;
    // The text of the exception's note, such as "at data[300].narration" or
    // "at data[300].narration (line 1, column 9123)"; empty for a failure at
    // the top level of the request, which gets no note.
    std::string note;
};

// Where a read failed, built only on failure: while the failure unwinds,
// each level puts its segment in front of `path`, ".key" for a record's
// field or "[index]" for a list's element.
void path_in_key(std::string& path, std::string_view key);
void path_in_index(std::string& path, std::size_t index);
// The note for a failure at `path`: "at data[300].narration" for
// ".data[300].narration", empty for a failure at the top level.
std::string path_note(const std::string& path);

}  // namespace morvanta::convert
