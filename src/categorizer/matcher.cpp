#include "categorizer/matcher.h"

#include <algorithm>

#include "unicode/unicode.h"

namespace morvanta::categorizer {

RuleMatcher::RuleMatcher(std::span<const CategoryRule> rules, MatchMethod method, std::size_t dense_bytes) {
    // Lowering never maps a character to nothing, so a pattern lowers to the
    // empty text exactly when it is empty.
    std::size_t searchable = rules.size();
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].pattern.empty()) {
            floor_ = i;
            searchable = i;
            break;
        }
        bytes += rules[i].pattern.size();
    }

    // One arena for all lowered patterns; the views are taken only once it
    // has stopped growing.
    arena_.reserve(bytes + bytes / 2);
    std::vector<std::size_t> ends;
    ends.reserve(searchable);
    for (std::size_t i = 0; i < searchable; ++i) {
        unicode::append_lower(rules[i].pattern, arena_);
        ends.push_back(arena_.size());
    }
    patterns_.reserve(searchable);
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        patterns_.emplace_back(arena_.data() + begin, end - begin);
        begin = end;
    }

    // string_view::find compares the pattern at every candidate position, so
    // its worst case grows with pattern length times narration length; the
    // automaton's does not. Long patterns therefore always take the automaton.
    std::size_t longest = 0;
    for (std::string_view p : patterns_) longest = std::max(longest, p.size());

    bool automaton = false;
    switch (method) {
        case MatchMethod::Automatic:
            automaton = searchable > direct_max_rules || longest > direct_max_pattern_bytes;
            break;
        case MatchMethod::Direct: break;
        case MatchMethod::Automaton: automaton = true; break;
    }
    // Beyond 32-bit state numbers the direct search still gives the answer.
    if (automaton && Automaton::fits(patterns_.size(), arena_.size())) automaton_.emplace(patterns_, dense_bytes);
}

std::size_t RuleMatcher::first_match(std::string_view lowered_narration) const {
    if (automaton_) {
        const std::uint32_t hit = automaton_->first_match(lowered_narration);
        return hit != Automaton::npos ? hit : floor_;
    }
    for (std::size_t i = 0; i < patterns_.size(); ++i)
        if (lowered_narration.find(patterns_[i]) != std::string_view::npos) return i;
    return floor_;
}

std::pair<std::size_t, std::size_t> RuleMatcher::first_match_pair(std::string_view a, std::string_view b) const {
    if (!automaton_) return {first_match(a), first_match(b)};
    std::uint32_t hit_a = Automaton::npos, hit_b = Automaton::npos;
    automaton_->first_match_pair(a, b, hit_a, hit_b);
    return {hit_a != Automaton::npos ? hit_a : floor_, hit_b != Automaton::npos ? hit_b : floor_};
}

}  // namespace morvanta::categorizer
