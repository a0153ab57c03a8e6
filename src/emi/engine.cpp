#include "emi/engine.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace morvanta::emi {

namespace {

// Months needed to repay `loan` with instalment `emi` at monthly rate `rate`.
Expected<std::uint32_t, MorvantaError> months_for(double loan, double emi, double rate);

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

MorvantaError out_of_range() {
    return MorvantaError::invalid_input("amounts exceed the supported range of whole units");
}

// The schedule's whole-unit amounts. A rounded value outside the signed
// 64-bit range (NaN included), or a sum that would leave it, marks the
// schedule as failed: the result is refused rather than clamped or wrapped.
class WholeUnits {
public:
    std::int64_t of(double x) {
        // The negated test also catches NaN.
        if (!(x >= -kTwoPow63 && x < kTwoPow63)) {
            failed_ = true;
            return 0;
        }
        return static_cast<std::int64_t>(x);
    }
    std::int64_t add(std::int64_t a, std::int64_t b) {
        if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) {
            failed_ = true;
            return 0;
        }
        return a + b;
    }
    std::int64_t sub(std::int64_t a, std::int64_t b) {
        if ((b < 0 && a > kMax + b) || (b > 0 && a < kMin + b)) {
            failed_ = true;
            return 0;
        }
        return a - b;
    }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;
};

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

using Solution = Expected<Solved, MorvantaError>;

// Where 1 + r rounds to 1 the annuity factor q - 1 is 0 although r is not:
// the rate is too small to matter, and the zero-rate formula stands in.
Solution solve_emi(const EmiRequest& request, double rate) {
    if (auto e = check_amount(request.loanAmount, "loanAmount", EmiMode::Emi)) return Unexpected{std::move(*e)};
    if (auto e = check_months(request.months, EmiMode::Emi)) return Unexpected{std::move(*e)};
    Solved s{*request.loanAmount, 0.0, *request.months};
    const double q = rate == 0.0 ? 1.0 : int_pow(1.0 + rate, s.months);
    if (q - 1.0 == 0.0)
        s.emi = s.loan / static_cast<double>(s.months);
    else
        s.emi = ((rate * s.loan) * q) / (q - 1.0);
    if (!std::isfinite(s.emi))
        return Unexpected{
            MorvantaError::invalid_input("could not derive a valid emi from the supplied loan amount and months")};
    return s;
}

Solution solve_tenure(const EmiRequest& request, double rate) {
    if (auto e = check_amount(request.loanAmount, "loanAmount", EmiMode::Tenure)) return Unexpected{std::move(*e)};
    if (auto e = check_amount(request.emi, "emi", EmiMode::Tenure)) return Unexpected{std::move(*e)};
    Solved s{*request.loanAmount, *request.emi, 0};
    auto n = months_for(s.loan, s.emi, rate);
    if (!n) return Unexpected{std::move(n).error()};
    s.months = *n;
    return s;
}

Solution solve_loan_amount(const EmiRequest& request, double rate) {
    if (auto e = check_amount(request.emi, "emi", EmiMode::LoanAmount)) return Unexpected{std::move(*e)};
    if (auto e = check_months(request.months, EmiMode::LoanAmount)) return Unexpected{std::move(*e)};
    Solved s{0.0, *request.emi, *request.months};
    const double q = rate == 0.0 ? 1.0 : int_pow(1.0 + rate, s.months);
    if (q - 1.0 == 0.0)
        s.loan = static_cast<double>(s.months) * s.emi;
    else
        s.loan = ((q - 1.0) * s.emi) / (rate * q);
    if (!std::isfinite(s.loan))
        return Unexpected{
            MorvantaError::invalid_input("could not derive a valid loan amount from the supplied emi and months")};
    return s;
}

Solution solve(const EmiRequest& request, double rate) {
    switch (request.mode) {
        case EmiMode::Emi: return solve_emi(request, rate);
        case EmiMode::Tenure: return solve_tenure(request, rate);
        case EmiMode::LoanAmount: break;
    }
    return solve_loan_amount(request, rate);
}

Expected<EmiResult, MorvantaError> build_schedule(const EmiRequest& request, const Solved& s, double rate);

// Whole-unit rounding as defined: f = floor(x + 0.5), one less when x lies
// below f - 0.5 (x + 0.5 rounded up in floating point). That is x rounded
// to the nearest integer with halves toward +infinity, which the month
// loop computes on its critical path the short way: below 2^51 adding and
// subtracting 1.5 * 2^52 rounds x to the nearest integer, halves to even,
// and a half that went down (x - r, exact here, is 0.5) goes up instead.
// Both give +0.0 for -0.0 and for -0.5 < x < 0.
inline double round_whole(double x) {
#if FLT_EVAL_METHOD == 0
    constexpr double kTwoPow51 = 2251799813685248.0;
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    if (std::fabs(x) < kTwoPow51) {
        const double r = (x + kShift) - kShift;
        return x - r == 0.5 ? r + 1.0 : r;
    }
#endif
    const double f = std::floor(x + 0.5);
    return x < f - 0.5 ? f - 1.0 : f;
}

Expected<std::uint32_t, MorvantaError> months_for(double loan, double emi, double rate) {
    if (emi <= 0.0) return Unexpected{MorvantaError::invalid_input("emi must be greater than zero")};
    double x;
    if (rate != 0.0) {
        const double interest = loan * rate;
        if (interest >= emi) return Unexpected{MorvantaError::payment_below_interest(emi, interest)};
        const double remaining = emi - interest;
        const double growth = std::log(rate + 1.0);
        // A rate so small that 1 + r rounds to 1 repays like no rate at all.
        x = growth == 0.0 ? loan / emi : std::log(emi / remaining) / growth;
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

}  // namespace

Expected<EmiResult, MorvantaError> compute(const EmiRequest& request) {
    if (!valid_rate(request.interestRate))
        return Unexpected{MorvantaError::invalid_input("interestRate must be zero or greater")};
    if (!valid_rate(request.inflationRate))
        return Unexpected{MorvantaError::invalid_input("inflationRate must be zero or greater")};
    const double rate = request.interestRate / 100.0 / 12.0;
    Solution solved = solve(request, rate);
    if (!solved) return Unexpected{std::move(solved).error()};
    return build_schedule(request, *solved, rate);
}

namespace {

// The month loop: rows with their amounts, real values and index; the sums
// still to come, the calendar months and the year groups come later.
void run_months(const EmiRequest& request, const Solved& s, double rate, WholeUnits& units,
                std::vector<EmiMonth>& rows) {
    const double emi = round_whole(s.emi);
    // The exponent is the double nearest 1/12.
    const double growth = std::pow(request.inflationRate / 100.0 + 1.0, 0.08333333333333333);
    // Made whole at once, as copies of one cleared row: GCC compiles
    // value-initialising the rows (resize, or a row appended at a time) to a
    // string store per row, whose start-up costs more than the row's
    // arithmetic, while a copy is a few plain stores. The rows past a
    // schedule that ends early go.
    rows.assign(s.months, EmiMonth{});
    double balance = s.loan;
    double deflator = 1.0;
    for (std::uint32_t k = 0; k < s.months; ++k) {
        const double interest_due = rate * balance;
        double principal, interest, paid, next;
        if (k == s.months - 1 || emi >= balance) {
            principal = round_whole(balance);
            interest = round_whole(interest_due);
            paid = principal + interest;
            next = 0.0;
        } else {
            // The balance is rounded from the unrounded difference, not B - principal.
            const double p = emi - interest_due;
            principal = round_whole(p);
            interest = emi - principal;
            paid = emi;
            next = round_whole(balance - p);
        }
        const double real_principal = round_whole(principal / deflator);
        const double real_interest = round_whole(interest / deflator);
        EmiMonth& row = rows[k];
        row.index = k;
        row.emi = units.of(paid);
        row.principal = units.of(principal);
        row.interest = units.of(interest);
        row.outstanding = units.of(next);
        row.realEmi = units.of(real_principal + real_interest);
        row.realPrincipal = units.of(real_principal);
        row.realInterest = units.of(real_interest);
        if (units.failed() || next == 0.0) {
            rows.resize(k + 1);
            return;
        }
        deflator = deflator * growth;
        balance = next;
    }
}

// Each row's sums of the payments after it, walking from the last row.
void fill_remaining(std::vector<EmiMonth>& rows, WholeUnits& units) {
    std::int64_t remaining = 0;
    std::int64_t real_remaining = 0;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        it->remainingEmi = remaining;
        it->realRemainingEmi = real_remaining;
        remaining = units.add(remaining, it->emi);
        real_remaining = units.add(real_remaining, it->realEmi);
    }
}

// The calendar month of each row; false, with no row dated, if the last
// row's year would pass the largest signed 32-bit year.
bool fill_calendar(std::vector<EmiMonth>& rows, YearMonth start) {
    if (rows.empty()) return true;
    const std::int64_t last = std::int64_t{start.year} + (rows.back().index + start.month - 1) / 12;
    if (last > std::numeric_limits<std::int32_t>::max()) return false;
    for (auto& row : rows) {
        const std::uint32_t t = row.index + start.month - 1;
        row.year = static_cast<std::int32_t>(start.year + static_cast<std::int32_t>(t / 12));
        row.month = t % 12 + 1;
    }
    return true;
}

EmiTotals totals_of(const std::vector<EmiMonth>& rows, std::int64_t loan, WholeUnits& units) {
    EmiTotals totals;
    for (const auto& row : rows) {
        totals.nominalPaid = units.add(totals.nominalPaid, row.emi);
        totals.realPaid = units.add(totals.realPaid, row.realEmi);
    }
    totals.nominalPrincipal = loan;
    totals.nominalInterest = units.sub(totals.nominalPaid, loan);
    totals.realPrincipal = loan;
    totals.realInterest = units.sub(totals.realPaid, loan);
    return totals;
}

// One group per calendar year of rows that carry their calendar month.
std::vector<EmiYear> years_of(const std::vector<EmiMonth>& rows, YearMonth start, WholeUnits& units) {
    std::vector<EmiYear> years;
    // One group per twelve months from January of the start year: reserved
    // once, so that the groups and their lists are never moved.
    if (!rows.empty()) years.reserve((rows.back().index + start.month - 1) / 12 + 1);
    for (const auto& row : rows) {
        if (years.empty() || years.back().year != *row.year) {
            EmiYear& group = years.emplace_back();
            group.year = *row.year;
            group.months.resize(12);
        }
        EmiYear& group = years.back();
        group.months[*row.month - 1] = EmiYearMonth{row.emi, row.realEmi};
        group.nominalTotal = units.add(group.nominalTotal, row.emi);
        group.realTotal = units.add(group.realTotal, row.realEmi);
        group.closingOutstanding = row.outstanding;
    }
    return years;
}

Expected<EmiResult, MorvantaError> build_schedule(const EmiRequest& request, const Solved& s, double rate) {
    WholeUnits units;
    EmiResult result;
    result.mode = request.mode;
    result.loanAmount = units.of(round_whole(s.loan));
    result.emi = units.of(round_whole(s.emi));
    if (units.failed()) return Unexpected{out_of_range()};
    run_months(request, s, rate, units, result.schedule);
    fill_remaining(result.schedule, units);
    const bool dated = !request.start || fill_calendar(result.schedule, *request.start);
    result.totals = totals_of(result.schedule, result.loanAmount, units);
    if (request.start && dated) result.years = years_of(result.schedule, *request.start, units);
    if (units.failed()) return Unexpected{out_of_range()};
    if (!dated) return Unexpected{MorvantaError::invalid_input("calendar years exceed the supported range (at most 2147483647)")};
    result.months = static_cast<std::uint32_t>(result.schedule.size());
    result.interestRate = request.interestRate;
    result.inflationRate = request.inflationRate;
    result.start = request.start;
    return result;
}

}  // namespace
}  // namespace morvanta::emi
