// A failed read of a request, in either mode: the message and where in the
// request it happened.
#pragma once

#include <string>

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

}  // namespace morvanta::convert
