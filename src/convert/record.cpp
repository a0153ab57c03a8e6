#include "convert/record.h"

namespace morvanta::convert {

std::string missing_field_message(std::string_view key) {
    std::string s = "missing field `";
    s += key;
    s += '`';
    return s;
}

std::string duplicate_field_message(std::string_view key) {
    std::string s = "duplicate field `";
    s += key;
    s += '`';
    return s;
}

// "unknown variant `x`, expected one of `a`, `b`, `c`" (three or more names),
// "... expected `a` or `b`" (two), "... expected `a`" (one).
std::string unknown_variant_message(std::string_view name, const std::string_view* names,
                                    std::size_t count) {
    std::string s = "unknown variant `";
    s += name;
    s += "`, expected ";
    auto quoted = [&](std::string_view n) {
        s += '`';
        s += n;
        s += '`';
    };
    if (count == 0) {
        s += "nothing";
    } else if (count == 1) {
        quoted(names[0]);
    } else if (count == 2) {
        quoted(names[0]);
        s += " or ";
        quoted(names[1]);
    } else {
        s += "one of ";
        for (std::size_t i = 0; i < count; ++i) {
            if (i) s += ", ";
            quoted(names[i]);
        }
    }
    return s;
}

}  // namespace morvanta::convert
