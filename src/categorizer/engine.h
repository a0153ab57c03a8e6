// The categorizer engines: categorization by ordered, case-insensitive
// substring rules, and derivation of such rules from labelled narrations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "categorizer/matcher.h"
#include "categorizer/model.h"
#include "error/error.h"
#include "util/expected.h"
#include "util/hash.h"

namespace morvanta::categorizer {

// Categorizes narrations as they are handed over, a batch at a time, into
// the rows of a response: the rows categorize_transactions makes of the same
// narrations. Each narration's text must stay valid until it is matched (see
// add), the rules' until the response is let go; the caller keeps no list
// of narrations.
class Categorizer {
public:
    // The error for a rule list too long for the rows to number, if it is.
    static std::optional<MorvantaError> too_many_rules(std::size_t rules);
    // `narrations`: how many add() will be given in all, which decides the
    // matching method. The rules must have passed too_many_rules.
    Categorizer(std::span<const CategoryRule> rules, std::size_t narrations);
    Categorizer(const Categorizer&) = delete;
    Categorizer& operator=(const Categorizer&) = delete;

    // True when this narration and every one before it have been matched:
    // their texts are no longer read.
    bool add(std::string_view narration) {
        texts_[pending_++] = narration;
        if (pending_ < texts_.size()) return false;
        flush();
        return true;
    }
    CategorizeResponse finish() {
        flush();
        return std::move(response_);
    }

private:
    static constexpr std::uint32_t kNone = convert::Rows<MapOutput>::none;
    void flush();

    std::span<const CategoryRule> rules_;
    RuleMatcher matcher_;
    CategorizeResponse response_;
    std::vector<std::uint32_t> entry_of_;  // rule -> its table entry
    std::array<std::string_view, RuleMatcher::kBatchMax> texts_;
    std::array<std::size_t, RuleMatcher::kBatchMax> hits_;
    std::size_t pending_ = 0;
};

// One optional result per transaction, position for position: the category
// and merchant of the first rule whose lower-cased pattern occurs in the
// lower-cased narration. Fails only with more rules than a row can number.
Expected<CategorizeResponse, MorvantaError> categorize_transactions(const CategorizeRequest& request);

// At most one rule per (category, merchant) label pair, sorted by category
// then merchant as byte strings. Fails only with more labelled items or
// distinct tokens than 32-bit numbers count.
Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request);

// For tests (tests/native/rule_matcher.cpp): the same with the texts hashed
// under `hash_key` instead of the process's key. The rules do not depend on
// the key, which the tests check.
Expected<DeriveRulesResponse, MorvantaError> derive_rules_with_key(const DeriveRulesRequest& request,
                                                                   const util::HashKey& hash_key);

}  // namespace morvanta::categorizer
