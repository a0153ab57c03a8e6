// The lowered rule list of one categorization call and the search for the
// first rule whose lowered pattern occurs in a lowered narration.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/automaton.h"
#include "categorizer/model.h"
#include "categorizer/prefix_index.h"

namespace morvanta::categorizer {

enum class MatchMethod {
    Automatic,  // chosen from the rule count and the narration count; the direct
                // search and the prefix index hand over to the automaton once
                // they have done as much work as it would
    Direct,     // rules in order, each searched in the narrations it could occur in
    Prefix,     // each position of a narration looked up in an index of the
                // patterns' prefixes; hands over as under Automatic
    Automaton,  // one pass over each narration, whatever the rule count
};

class RuleMatcher {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Narrations per first_matches call: one bit each in a 64-bit mask.
    static constexpr std::size_t kBatchMax = 64;

    // Lowers the patterns the chosen method needs up front. `narrations` is
    // how many narrations the call will match in all; it decides between
    // the direct search and the automaton. The engine passes only rules and
    // narrations: `method` and `dense_bytes` are for tests and benchmarks.
    RuleMatcher(std::span<const CategoryRule> rules, std::size_t narrations,
                MatchMethod method = MatchMethod::Automatic,
                std::size_t dense_bytes = Automaton::kDefaultDenseBytes);

    // patterns_ views arena_, whose bytes a move may relocate (short strings
    // live inside the object).
    RuleMatcher(const RuleMatcher&) = delete;
    RuleMatcher& operator=(const RuleMatcher&) = delete;

    // For each of at most kBatchMax narrations, as given (not lowered): the
    // index of the first rule whose lowered pattern occurs in the lowered
    // narration, or npos. `hits` has the size of `narrations`.
    void first_matches(std::span<const std::string_view> narrations, std::span<std::size_t> hits);

    // The method that costs least for this many searchable rules and
    // narrations: Direct, Prefix or Automaton.
    static MatchMethod choose(std::size_t rules, std::size_t narrations);

    bool uses_automaton() const { return automaton_.has_value(); }
    bool uses_index() const { return index_.has_value(); }

    // The gram table of the direct search for a batch whose longest indexed
    // narration has `longest` bytes (any size_t): a power of two of slots
    // from kGramSlotsMin to kGramSlotsMax, and the shift that takes a
    // 32-bit hash to a slot (32 minus the base-2 logarithm of the slots).
    static constexpr std::size_t kGramSlotsMin = 64;
    static constexpr std::size_t kGramSlotsMax = std::size_t{1} << 16;
    // A narration longer than this would set most slots of the largest
    // table; it is not indexed, and its bit is set in every slot instead.
    static constexpr std::size_t kIndexedBytesMax = kGramSlotsMax / 8;
    struct GramTable {
        std::size_t slots;
        unsigned shift;
    };
    static GramTable gram_table(std::size_t longest);

    // Work the direct search has done so far in this call, in the steps of
    // its budget (about an eighth of a nanosecond each, see matcher.cpp); under the automatic
    // choice, once it passes what the automaton would cost, the rest of the
    // call goes through the automaton.
    std::uint64_t direct_work() const { return work_; }
    // Hands over once the work passes `steps` instead of the budget (for
    // tests of the handover at any point of a walk).
    void limit_direct_work(std::uint64_t steps) { limit_ = steps; }

private:
    void lower_narrations(std::span<const std::string_view> narrations);
    std::string_view lowered(std::size_t k) const { return views_[k]; }
    // Slot of a run's key in grams_ (multiplicative hashing, top bits).
    std::size_t slot(std::uint32_t key) const { return (key * 0x9E3779B1u) >> gram_shift_; }
    void index_grams(std::size_t count);
    std::uint64_t candidates(std::string_view lowered_pattern, std::uint64_t among) const;
    std::uint64_t candidates_raw(std::string_view pattern, std::uint64_t among) const;
    void search_direct(std::span<std::size_t> hits);
    std::uint64_t rule_candidates(std::size_t i, std::uint64_t open, bool filter, std::string_view& pattern,
                                  std::uint64_t& work);
    void answer_by_automaton(std::span<std::size_t> hits, std::uint64_t open) const;
    // The narrations from `from` on, through the automaton.
    void search_automaton(std::span<std::size_t> hits, std::size_t from = 0) const;
    // A rule found by the index or the automaton (the same npos), else the floor.
    std::size_t answer(std::uint32_t found) const { return found != Automaton::npos ? std::size_t{found} : floor_; }
    void search_index(std::span<std::size_t> hits);
    void lower_patterns();
    std::uint64_t check_level() const;
    bool over_budget();
    bool take_over();

    std::span<const CategoryRule> rules_;
    bool adaptive_;  // the automatic choice: the direct search may hand over to the automaton
    // Index of the first rule with an empty pattern: it matches every
    // narration, so rules after it can never decide and are not searched.
    std::size_t floor_ = npos;
    std::size_t searchable_ = 0;  // rules before floor_
    bool lazy_ = false;           // patterns lowered in the walk, where needed
    // Patterns lowered once up front (automaton, or a direct search over
    // several batches); otherwise each is lowered only where it could match.
    std::string arena_;                       // lowered patterns back to back
    std::vector<std::string_view> patterns_;  // lowered pattern of rule i, for i < floor_
    std::optional<PrefixIndex> index_;
    std::optional<Automaton> automaton_;

    // Per batch: the lowered narrations back to back and a view of each
    // (for the automaton, the narration itself when it is pure ASCII), and
    // for the direct search a set of the 1-, 2- and 3-byte runs each holds.
    std::string texts_;
    std::array<std::string_view, kBatchMax> views_{};
    std::vector<std::uint64_t> grams_;  // hashed run -> mask of narrations holding it
    unsigned gram_shift_ = 0;
    // The direct search's work in this call, and what it may spend before
    // the automaton takes over: the automaton's build (estimated from the
    // rule count, then from the pattern bytes once that is passed) and its
    // scan of every narration seen so far. Patterns that cannot go into an
    // automaton leave the budget unlimited.
    std::uint64_t work_ = 0;
    std::uint64_t scan_budget_ = 0;
    std::uint64_t build_budget_ = 0;
    bool build_exact_ = false;
    std::uint64_t limit_ = 0;  // if not 0, replaces the budget
    std::string pattern_;               // one lowered pattern, in the direct search
    std::vector<std::uint32_t> prefix_;  // scratch of the linear scan in a containment test
};

}  // namespace morvanta::categorizer
