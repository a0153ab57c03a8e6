// The one error type of the engines. Engines return a record or a
// MorvantaError; the module functions turn the error into ValueError(text).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace morvanta {

struct InvalidInput {
    std::string message;
};

struct PaymentBelowInterest {
    double emi;       // the monthly payment
    double interest;  // the first month's interest on the whole loan amount
};

struct TenureTooLong {
    std::uint64_t months;   // the tenure asked for or worked out
    std::uint32_t maximum;  // the supported maximum
};

// A request beyond what the engine can hold: more rules, labelled items or
// distinct tokens than its 32-bit indices count. Reported like a request
// that cannot be read.
struct RequestTooLarge {
    std::string what;  // "too many rules", ...
};

class MorvantaError {
public:
    using Variant = std::variant<InvalidInput, PaymentBelowInterest, TenureTooLong, RequestTooLarge>;

    static MorvantaError invalid_input(std::string message) { return MorvantaError(InvalidInput{std::move(message)}); }
    static MorvantaError payment_below_interest(double emi, double interest) {
        return MorvantaError(PaymentBelowInterest{emi, interest});
    }
    static MorvantaError tenure_too_long(std::uint64_t months, std::uint32_t maximum) {
        return MorvantaError(TenureTooLong{months, maximum});
    }
    static MorvantaError request_too_large(std::string what) { return MorvantaError(RequestTooLarge{std::move(what)}); }

    const Variant& variant() const { return v_; }

    // The message shown to Python callers.
    std::string text() const;

private:
    explicit MorvantaError(Variant v) : v_(std::move(v)) {}
    Variant v_;
};

// Fixed-point text with exactly two decimals, rounded from the exact binary
// value, ties to even: 1.125 -> "1.12", 2.675 -> "2.67", 0.005 -> "0.01".
std::string format_fixed2(double value);

}  // namespace morvanta
