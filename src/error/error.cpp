#include "error/error.h"

#include <cmath>

#include "util/float_decimal.h"

namespace morvanta {

std::string format_fixed2(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return util::fixed2(value);
}

std::string MorvantaError::text() const {
    struct Visitor {
        std::string operator()(const InvalidInput& e) const { return "invalid input: " + e.message; }
        std::string operator()(const PaymentBelowInterest& e) const {
            return "monthly payment of " + format_fixed2(e.emi) + " does not cover the first month's interest of " +
                   format_fixed2(e.interest) + "; the loan would never be repaid";
        }
        std::string operator()(const TenureTooLong& e) const {
            return "tenure of " + std::to_string(e.months) + " months exceeds the maximum supported " +
                   std::to_string(e.maximum) + " months";
        }
        std::string operator()(const RequestTooLarge& e) const { return "invalid request: " + e.what; }
    };
    return std::visit(Visitor{}, v_);
}

}  // namespace morvanta
