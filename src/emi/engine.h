// The loan engine: validates a request, solves the missing quantity and
// builds the schedule.
#pragma once

#include <cstdint>

#include "emi/model.h"
#include "error/error.h"
#include "util/expected.h"

namespace morvanta::emi {

inline constexpr std::uint32_t kMaxTenure = 600;

Expected<EmiResult, MorvantaError> compute(const EmiRequest& request);

// Months needed to repay `loan` with instalment `emi` at monthly rate `rate`.
Expected<std::uint32_t, MorvantaError> months_for(double loan, double emi, double rate);

// Whole-unit rounding: halves toward +infinity, NaN stays NaN.
double rnd(double x);

}  // namespace morvanta::emi
