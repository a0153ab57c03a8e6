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

}  // namespace morvanta::emi
