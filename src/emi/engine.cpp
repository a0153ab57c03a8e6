#include "emi/engine.h"

#include <cmath>
#include <limits>
#include <string>

namespace morvanta::emi {

namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

// Sums of payments saturate at the 64-bit limits instead of wrapping, so a
// total of positive payments can never come out negative.
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::int64_t sat_add(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > kMax - b) return kMax;
    if (b < 0 && a < kMin - b) return kMin;
    return a + b;
}

std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
    if (b < 0 && a > kMax + b) return kMax;
    if (b > 0 && a < kMin + b) return kMin;
    return a - b;
}

// (1 + r)^n by square-and-multiply; the bits of n decide the multiplications,
// so results agree to the last bit with every other implementation of it.
double int_pow(double base, std::uint32_t n) {
    double result = (n & 1u) ? base : 1.0;
    n >>= 1;
    while (n != 0) {
        base = base * base;
        if (n & 1u) result = result * base;
        n >>= 1;
    }
    return result;
}

bool positive_amount(double v) { return std::isfinite(v) && v > 0.0; }

bool valid_rate(double v) { return std::isfinite(v) && !(v < 0.0); }

MorvantaError required(std::string_view key, EmiMode mode) {
    std::string m(key);
    m += " is required when solving for ";
    m += mode_message_name(mode);
    return MorvantaError::invalid_input(std::move(m));
}

MorvantaError not_positive(std::string_view key) {
    std::string m(key);
    m += " must be greater than zero";
    return MorvantaError::invalid_input(std::move(m));
}

// Reads an amount the mode needs: present and positive.
std::optional<MorvantaError> check_amount(const std::optional<double>& v, std::string_view key, EmiMode mode) {
    if (!v) return required(key, mode);
    if (!positive_amount(*v)) return not_positive(key);
    return std::nullopt;
}

std::optional<MorvantaError> check_months(const std::optional<std::uint32_t>& v, EmiMode mode) {
    if (!v) return required("months", mode);
    if (*v == 0) return MorvantaError::invalid_input("months must be greater than zero");
    if (*v > kMaxTenure) return MorvantaError::tenure_too_long(*v, kMaxTenure);
    return std::nullopt;
}

struct Solved {
    double loan;
    double emi;
    std::uint32_t months;
};

EmiResult build_schedule(const EmiRequest& request, const Solved& s, double rate);

}  // namespace

double rnd(double x) {
    const double f = std::floor(x + 0.5);
    return x < f - 0.5 ? f - 1.0 : f;
}

std::int64_t to_int(double x) {
    if (std::isnan(x)) return 0;
    if (x >= kTwoPow63) return std::numeric_limits<std::int64_t>::max();
    if (x <= -kTwoPow63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

Expected<std::uint32_t, MorvantaError> months_for(double loan, double emi, double rate) {
    if (emi <= 0.0) return Unexpected{MorvantaError::invalid_input("emi must be greater than zero")};
    double x;
    if (rate != 0.0) {
        const double interest = loan * rate;
        if (interest >= emi) return Unexpected{MorvantaError::payment_below_interest(emi, interest)};
        const double remaining = emi - interest;
        const double growth = rate + 1.0;
        x = std::log(emi / remaining) / std::log(growth);
    } else {
        x = loan / emi;
    }
    const double n = std::ceil(x);
    if (!std::isfinite(n) || !(n >= 1.0))
        return Unexpected{MorvantaError::invalid_input(
            "could not derive a valid tenure from the supplied loan amount and emi")};
    if (n > kMaxTenure) {
        const std::uint64_t months =
            n >= kTwoPow64 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(n);
        return Unexpected{MorvantaError::tenure_too_long(months, kMaxTenure)};
    }
    return static_cast<std::uint32_t>(n);
}

Expected<EmiResult, MorvantaError> compute(const EmiRequest& request) {
    if (!valid_rate(request.interestRate))
        return Unexpected{MorvantaError::invalid_input("interestRate must be zero or greater")};
    if (!valid_rate(request.inflationRate))
        return Unexpected{MorvantaError::invalid_input("inflationRate must be zero or greater")};
    const double rate = request.interestRate / 100.0 / 12.0;
    const EmiMode mode = request.mode;

    Solved s{};
    switch (mode) {
        case EmiMode::Emi: {
            if (auto e = check_amount(request.loanAmount, "loanAmount", mode)) return Unexpected{std::move(*e)};
            if (auto e = check_months(request.months, mode)) return Unexpected{std::move(*e)};
            s.loan = *request.loanAmount;
            s.months = *request.months;
            if (rate == 0.0) {
                s.emi = s.loan / static_cast<double>(s.months);
            } else {
                const double q = int_pow(1.0 + rate, s.months);
                s.emi = ((rate * s.loan) * q) / (q - 1.0);
            }
            break;
        }
        case EmiMode::Tenure: {
            if (auto e = check_amount(request.loanAmount, "loanAmount", mode)) return Unexpected{std::move(*e)};
            if (auto e = check_amount(request.emi, "emi", mode)) return Unexpected{std::move(*e)};
            s.loan = *request.loanAmount;
            s.emi = *request.emi;
            auto n = months_for(s.loan, s.emi, rate);
            if (!n) return Unexpected{std::move(n).error()};
            s.months = *n;
            break;
        }
        case EmiMode::LoanAmount: {
            if (auto e = check_amount(request.emi, "emi", mode)) return Unexpected{std::move(*e)};
            if (auto e = check_months(request.months, mode)) return Unexpected{std::move(*e)};
            s.emi = *request.emi;
            s.months = *request.months;
            if (rate == 0.0) {
                s.loan = static_cast<double>(s.months) * s.emi;
            } else {
                const double q = int_pow(1.0 + rate, s.months);
                s.loan = ((q - 1.0) * s.emi) / (rate * q);
            }
            break;
        }
    }
    return build_schedule(request, s, rate);
}

namespace {

EmiResult build_schedule(const EmiRequest& request, const Solved& s, double rate) {
    EmiResult result;
    const double emi = rnd(s.emi);
    // The exponent is the double nearest 1/12.
    const double growth = std::pow(request.inflationRate / 100.0 + 1.0, 0.08333333333333333);

    auto& rows = result.schedule;
    rows.reserve(s.months);
    double balance = s.loan;
    double deflator = 1.0;
    for (std::uint32_t k = 0; k < s.months; ++k) {
        const double interest_due = rate * balance;
        double principal, interest, paid, next;
        if (k == s.months - 1 || emi >= balance) {
            principal = rnd(balance);
            interest = rnd(interest_due);
            paid = principal + interest;
            next = 0.0;
        } else {
            // The balance is rounded from the unrounded difference, not B - principal.
            const double p = emi - interest_due;
            principal = rnd(p);
            interest = emi - principal;
            paid = emi;
            next = rnd(balance - p);
        }
        const double real_principal = rnd(principal / deflator);
        const double real_interest = rnd(interest / deflator);
        EmiMonth& row = rows.emplace_back();
        row.index = k;
        row.emi = to_int(paid);
        row.principal = to_int(principal);
        row.interest = to_int(interest);
        row.outstanding = to_int(next);
        row.realEmi = to_int(real_principal + real_interest);
        row.realPrincipal = to_int(real_principal);
        row.realInterest = to_int(real_interest);
        if (next == 0.0) break;
        deflator = deflator * growth;
        balance = next;
    }

    std::int64_t remaining = 0;
    std::int64_t real_remaining = 0;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        it->remainingEmi = remaining;
        it->realRemainingEmi = real_remaining;
        remaining = sat_add(remaining, it->emi);
        real_remaining = sat_add(real_remaining, it->realEmi);
    }

    if (request.start) {
        const YearMonth start = *request.start;
        for (auto& row : rows) {
            const std::uint32_t t = row.index + start.month - 1;
            // Years past the 32-bit range wrap around in two's complement.
            const std::uint32_t year = static_cast<std::uint32_t>(start.year) + t / 12;
            row.year = static_cast<std::int32_t>(year);
            row.month = t % 12 + 1;
        }
    }

    const std::int64_t loan = to_int(rnd(s.loan));
    EmiTotals& totals = result.totals;
    for (const auto& row : rows) {
        totals.nominalPaid = sat_add(totals.nominalPaid, row.emi);
        totals.realPaid = sat_add(totals.realPaid, row.realEmi);
    }
    totals.nominalPrincipal = loan;
    totals.nominalInterest = sat_sub(totals.nominalPaid, loan);
    totals.realPrincipal = loan;
    totals.realInterest = sat_sub(totals.realPaid, loan);

    if (request.start) {
        for (const auto& row : rows) {
            if (result.years.empty() || result.years.back().year != *row.year) {
                EmiYear& group = result.years.emplace_back();
                group.year = *row.year;
                group.months.resize(12);
            }
            EmiYear& group = result.years.back();
            group.months[*row.month - 1] = EmiYearMonth{row.emi, row.realEmi};
            group.nominalTotal = sat_add(group.nominalTotal, row.emi);
            group.realTotal = sat_add(group.realTotal, row.realEmi);
            group.closingOutstanding = row.outstanding;
        }
    }

    result.mode = request.mode;
    result.loanAmount = loan;
    result.emi = to_int(emi);
    result.months = static_cast<std::uint32_t>(rows.size());
    result.interestRate = request.interestRate;
    result.inflationRate = request.inflationRate;
    result.start = request.start;
    return result;
}

}  // namespace
}  // namespace morvanta::emi
