// The lowered rule list of one categorization call and the search for the
// first rule whose lowered pattern occurs in a lowered narration.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/automaton.h"
#include "categorizer/model.h"

namespace morvanta::categorizer {

enum class MatchMethod {
    Automatic,  // direct search for a few rules, the automaton beyond
    Direct,     // one substring search per rule, in rule order
    Automaton,  // one pass over the narration, whatever the rule count
};

class RuleMatcher {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // Up to this many searchable rules a substring search per rule beats
    // building and running the automaton (see tests/native/bench_categorizer.cpp).
    static constexpr std::size_t direct_max_rules = 5;
    // ... and when no lowered pattern is longer than this.
    static constexpr std::size_t direct_max_pattern_bytes = 64;

    // Lowers every pattern that can ever decide a result, once.
    explicit RuleMatcher(std::span<const CategoryRule> rules, MatchMethod method = MatchMethod::Automatic,
                         std::size_t dense_bytes = Automaton::default_dense_bytes);

    // patterns_ views arena_, whose bytes a move may relocate (short strings
    // live inside the object).
    RuleMatcher(const RuleMatcher&) = delete;
    RuleMatcher& operator=(const RuleMatcher&) = delete;

    // Index of the first rule whose lowered pattern occurs in
    // `lowered_narration`, or npos when none does.
    std::size_t first_match(std::string_view lowered_narration) const;

    // first_match of two narrations; the automaton walks both at once.
    std::pair<std::size_t, std::size_t> first_match_pair(std::string_view a, std::string_view b) const;

    // False when the answer does not depend on the narration (no rules, or
    // the first rule's pattern is empty), so callers can skip lowering it.
    bool needs_narration() const { return floor_ != 0 && (floor_ != npos || !patterns_.empty()); }

    bool uses_automaton() const { return automaton_.has_value(); }

private:
    // Index of the first rule with an empty pattern: it matches every
    // narration, so rules after it can never decide and are not searched.
    std::size_t floor_ = npos;
    std::string arena_;                       // lowered patterns back to back
    std::vector<std::string_view> patterns_;  // lowered pattern of rule i, for i < floor_
    std::optional<Automaton> automaton_;
};

}  // namespace morvanta::categorizer
