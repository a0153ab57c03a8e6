// A categorize request read from Python objects with each narration matched
// as soon as it is read: the narrations of a large request are never held at
// once, and each is matched while its objects are still in cache.
#pragma once

#include <optional>

#include "categorizer/model.h"
#include "convert/python/object_read.h"
#include "convert/read_error.h"
#include "util/expected.h"

namespace morvanta::py {

// Reads and runs `request` in one pass over its narrations, where that pass
// applies: with the interpreter lock, an exact dict of just "data" and
// "rules", both exact lists whose elements are exact dicts, and thousands of
// narrations (fewer cost no more read whole). Reading those runs no Python
// code, so a read stopped part way has had no effect. Each narration's text
// is kept only until its batch is matched; the rules' texts are kept (or
// noted, see TextOwners) in `texts`, which must outlive the response.
//
// Returns nullopt where the pass does not apply, found so before or while
// reading; the caller then reads and runs the request whole. A read failure
// is the one a whole read reports (with an exception pending, the failure's
// text is empty, as there).
std::optional<Expected<categorizer::CategorizeResponse, convert::ReadError>> categorize_streamed(PyObject* request,
                                                                                                TextOwners& texts);

}  // namespace morvanta::py
