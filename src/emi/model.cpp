#include "emi/model.h"

#include "unicode/unicode.h"
#include "util/digits.h"

namespace morvanta::emi {

std::string_view mode_message_name(EmiMode mode) {
    switch (mode) {
        case EmiMode::Emi: return "Emi";
        case EmiMode::Tenure: return "Tenure";
        case EmiMode::LoanAmount: return "LoanAmount";
    }
    return "Emi";
}

namespace {

// Decimal digits with an optional leading '+', as the calendar texts allow;
// false when empty, when any other byte appears, or above `max`.
bool parse_unsigned(std::string_view s, std::uint64_t max, std::uint64_t& out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > max) return false;  // checked per digit, so v never exceeds 10 * max + 9
    }
    out = v;
    return true;
}

std::string message(std::string_view head, std::string_view text) {
    std::string s(head);
    unicode::append_quoted(text, s);
    return s;
}

}  // namespace
}  // namespace morvanta::emi

namespace morvanta::convert {

Expected<emi::YearMonth, std::string> TextForm<emi::YearMonth>::parse(std::string_view text) {
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) return Unexpected{emi::message("expected \"YYYY-MM\", got ", text)};
    std::uint64_t year = 0;
    std::uint64_t month = 0;
    if (!emi::parse_unsigned(text.substr(0, dash), 2147483647u, year))
        return Unexpected{emi::message("invalid year in ", text)};
    if (!emi::parse_unsigned(text.substr(dash + 1), 4294967295u, month))
        return Unexpected{emi::message("invalid month in ", text)};
    auto value = emi::YearMonth::make(static_cast<std::int32_t>(year), static_cast<std::uint32_t>(month));
    if (!value) return Unexpected{emi::message("month out of range in ", text)};
    return *value;
}

// Year padded to four characters (a minus sign counts in the width), month to two.
void TextForm<emi::YearMonth>::format(const emi::YearMonth& value, std::string& out) {
    const bool negative = value.year < 0;
    const std::uint32_t magnitude =
        negative ? 0u - static_cast<std::uint32_t>(value.year) : static_cast<std::uint32_t>(value.year);
    const std::size_t len = static_cast<std::size_t>(digits::count(magnitude)) + (negative ? 1 : 0);
    if (negative) out += '-';
    if (len < 4) out.append(4 - len, '0');
    digits::append(magnitude, out);
    out += '-';
    if (value.month < 10) out += '0';
    digits::append(value.month, out);
}

}  // namespace morvanta::convert
