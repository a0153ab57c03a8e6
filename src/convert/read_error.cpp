#include "convert/read_error.h"

#include "util/digits.h"

namespace morvanta::convert {

void path_in_key(std::string& path, std::string_view key) {
    std::string longer;
    longer.reserve(1 + key.size() + path.size());
    longer += '.';
    longer += key;
    longer += path;
    path = std::move(longer);
}

void path_in_index(std::string& path, std::size_t index) {
    std::string segment = "[";
    digits::append(index, segment);
    segment += ']';
    path.insert(0, segment);
}

std::string path_note(const std::string& path) {
    if (path.empty()) return {};
    std::string note = "at ";
    note.append(path, path[0] == '.' ? 1 : 0);
    return note;
}

}  // namespace morvanta::convert
