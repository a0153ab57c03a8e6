// The categorizer engines: categorization by ordered, case-insensitive
// substring rules, and derivation of such rules from labelled narrations.
#pragma once

#include "categorizer/model.h"
#include "error/error.h"
#include "util/expected.h"
#include "util/hash.h"

namespace morvanta::categorizer {

// One optional result per transaction, position for position: the category
// and merchant of the first rule whose lower-cased pattern occurs in the
// lower-cased narration. Never fails.
Expected<CategorizeResponse, MorvantaError> categorize_transactions(const CategorizeRequest& request);

// At most one rule per (category, merchant) label pair, sorted by category
// then merchant as byte strings. Never fails.
Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request);

// For tests (tests/native/rule_matcher.cpp): the same with the texts hashed
// under `hash_key` instead of the process's key. The rules do not depend on
// the key, which the tests check.
Expected<DeriveRulesResponse, MorvantaError> derive_rules_with_key(const DeriveRulesRequest& request,
                                                                   const util::HashKey& hash_key);

}  // namespace morvanta::categorizer
