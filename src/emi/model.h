// Loan request and result records.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/record.h"

namespace morvanta::emi {

// What the request solves for. Enumerators are in declaration order.
enum class EmiMode : std::uint8_t { Emi, Tenure, LoanAmount };

// The capitalised name used inside "is required when solving for" messages.
std::string_view mode_message_name(EmiMode mode);

// One calendar month; exists only with a month from 1 to 12.
struct YearMonth {
    std::int32_t year = 0;
    std::uint32_t month = 1;

    static std::optional<YearMonth> make(std::int32_t year, std::uint32_t month) {
        if (month < 1 || month > 12) return std::nullopt;
        return YearMonth{year, month};
    }
    friend bool operator==(const YearMonth&, const YearMonth&) = default;
};

struct EmiRequest {
    EmiMode mode = EmiMode::Emi;
    std::optional<double> loanAmount;
    std::optional<double> emi;
    std::optional<std::uint32_t> months;
    double interestRate = 0.0;
    double inflationRate = 0.0;
    std::optional<YearMonth> start;
};

struct EmiTotals {
    std::int64_t nominalPaid = 0;
    std::int64_t realPaid = 0;
    std::int64_t nominalPrincipal = 0;
    std::int64_t nominalInterest = 0;
    std::int64_t realPrincipal = 0;
    std::int64_t realInterest = 0;
};

struct EmiMonth {
    std::uint32_t index = 0;
    std::optional<std::int32_t> year;
    std::optional<std::uint32_t> month;
    std::int64_t emi = 0;
    std::int64_t principal = 0;
    std::int64_t interest = 0;
    std::int64_t outstanding = 0;
    std::int64_t realEmi = 0;
    std::int64_t realPrincipal = 0;
    std::int64_t realInterest = 0;
    std::int64_t remainingEmi = 0;
    std::int64_t realRemainingEmi = 0;
};

struct EmiYearMonth {
    std::int64_t nominal = 0;
    std::int64_t real = 0;
};

struct EmiYear {
    std::int32_t year = 0;
    std::vector<std::optional<EmiYearMonth>> months;  // always 12 entries
    std::int64_t nominalTotal = 0;
    std::int64_t realTotal = 0;
    std::int64_t closingOutstanding = 0;
};

struct EmiResult {
    EmiMode mode = EmiMode::Emi;
    std::int64_t loanAmount = 0;
    std::int64_t emi = 0;
    std::uint32_t months = 0;
    double interestRate = 0.0;
    double inflationRate = 0.0;
    std::optional<YearMonth> start;
    EmiTotals totals;
    std::vector<EmiMonth> schedule;
    std::vector<EmiYear> years;
};

}  // namespace morvanta::emi

namespace morvanta::convert {

template <>
struct EnumNames<emi::EmiMode> {
    static constexpr std::array<std::string_view, 3> names{"emi", "tenure", "loanAmount"};
};

// "YYYY-MM" with its four reading messages.
template <>
struct TextForm<emi::YearMonth> {
    static Expected<emi::YearMonth, std::string> parse(std::string_view text);
    static void format(const emi::YearMonth& value, std::string& out);
};

template <>
struct Fields<emi::EmiRequest> {
    using R = emi::EmiRequest;
    static constexpr std::string_view name = "EmiRequest";
    static constexpr auto list = std::tuple{
        field("mode", &R::mode),
        field("loanAmount", &R::loanAmount, Presence::Optional),
        field("emi", &R::emi, Presence::Optional),
        field("months", &R::months, Presence::Optional),
        field("interestRate", &R::interestRate),
        field("inflationRate", &R::inflationRate, Presence::Defaulted),
        field("start", &R::start, Presence::Optional),
    };
};

template <>
struct Fields<emi::EmiTotals> {
    using R = emi::EmiTotals;
    static constexpr std::string_view name = "EmiTotals";
    static constexpr auto list = std::tuple{
        field("nominalPaid", &R::nominalPaid),
        field("realPaid", &R::realPaid),
        field("nominalPrincipal", &R::nominalPrincipal),
        field("nominalInterest", &R::nominalInterest),
        field("realPrincipal", &R::realPrincipal),
        field("realInterest", &R::realInterest),
    };
};

template <>
struct Fields<emi::EmiMonth> {
    using R = emi::EmiMonth;
    static constexpr std::string_view name = "EmiMonth";
    static constexpr auto list = std::tuple{
        field("index", &R::index),
        field("year", &R::year, Presence::OmitIfAbsent),
        field("month", &R::month, Presence::OmitIfAbsent),
        field("emi", &R::emi),
        field("principal", &R::principal),
        field("interest", &R::interest),
        field("outstanding", &R::outstanding),
        field("realEmi", &R::realEmi),
        field("realPrincipal", &R::realPrincipal),
        field("realInterest", &R::realInterest),
        field("remainingEmi", &R::remainingEmi),
        field("realRemainingEmi", &R::realRemainingEmi),
    };
};

template <>
struct Fields<emi::EmiYearMonth> {
    using R = emi::EmiYearMonth;
    static constexpr std::string_view name = "EmiYearMonth";
    static constexpr auto list = std::tuple{
        field("nominal", &R::nominal),
        field("real", &R::real),
    };
};

template <>
struct Fields<emi::EmiYear> {
    using R = emi::EmiYear;
    static constexpr std::string_view name = "EmiYear";
    static constexpr auto list = std::tuple{
        field("year", &R::year),
        field("months", &R::months),
        field("nominalTotal", &R::nominalTotal),
        field("realTotal", &R::realTotal),
        field("closingOutstanding", &R::closingOutstanding),
    };
};

template <>
struct Fields<emi::EmiResult> {
    using R = emi::EmiResult;
    static constexpr std::string_view name = "EmiResult";
    static constexpr auto list = std::tuple{
        field("mode", &R::mode),
        field("loanAmount", &R::loanAmount),
        field("emi", &R::emi),
        field("months", &R::months),
        field("interestRate", &R::interestRate),
        field("inflationRate", &R::inflationRate),
        field("start", &R::start, Presence::OmitIfAbsent),
        field("totals", &R::totals),
        field("schedule", &R::schedule),
        field("years", &R::years),
    };
};

}  // namespace morvanta::convert
