#include "categorizer/matcher.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "unicode/unicode.h"
#include "util/ascii.h"
#include "util/swar.h"

namespace morvanta::categorizer {

namespace {

// Up to this many rules the direct search tests every pattern in every
// narration; the set of runs a narration holds costs more to build than it
// saves (see benchmarks/bench_categorizer.cpp, "crossover").
constexpr std::size_t kUnfilteredMaxRules = 8;

// Keys of the 1-, 2- and 3-byte runs of a lowered text, distinct by length.
constexpr std::uint32_t key1(unsigned char a) { return a | 0x2000000u; }
constexpr std::uint32_t key2(unsigned char a, unsigned char b) { return a | (b << 8) | 0x1000000u; }
constexpr std::uint32_t key3(unsigned char a, unsigned char b, unsigned char c) {
    return a | (b << 8) | (std::uint32_t{c} << 16);
}

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Steps of the direct search's budget, each about an eighth of a
// nanosecond on the development machine where the budget decides (look-alike
// patterns), 0.04 to 0.3 ns on long narrations and bank-style data
// (benchmarks/bench_categorizer.cpp, "budget"): a byte that memchr or memcmp passes
// over (fewer in fact), the fixed cost of a call to one of them, a byte of
// the Knuth-Morris-Pratt scan, a rule looked up in the gram table and a
// pattern byte lowered; for the automaton, its build (about 100 ns per rule
// and 12 ns per pattern byte) and its scan (about 2 ns per narration byte).
constexpr std::uint64_t kCallSteps = 32;
constexpr std::uint64_t kKmpByteSteps = 20;
constexpr std::uint64_t kVisitSteps = 64;
constexpr std::uint64_t kLowerByteSteps = 8;
constexpr std::uint64_t kBuildRuleSteps = 800;
constexpr std::uint64_t kBuildByteSteps = 100;
constexpr std::uint64_t kScanByteSteps = 16;

// Knuth-Morris-Pratt: containment in time linear in the text and the
// pattern, whatever their bytes.
bool contains_kmp(std::string_view text, std::string_view pattern, std::vector<std::uint32_t>& prefix) {
    const std::size_t m = pattern.size();
    prefix.assign(m, 0);
    for (std::size_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && pattern[i] != pattern[k]) k = prefix[k - 1];
        if (pattern[i] == pattern[k]) ++k;
        prefix[i] = static_cast<std::uint32_t>(k);
    }
    std::size_t k = 0;
    for (char c : text) {
        while (k > 0 && c != pattern[k]) k = prefix[k - 1];
        if (c == pattern[k] && ++k == m) return true;
    }
    return false;
}

// Whether `pattern` occurs in `text`, adding the steps it took to `work`.
// Each first byte that memchr finds is followed by one memcmp; once those
// have compared more bytes than twice the text and the pattern, the rest of
// the text goes through the linear scan. A memchr and a memcmp per text
// byte at most, and that many compared bytes, keep one test linear in the
// text and the pattern, whatever their bytes.
// Kept out of line (the attribute form unknown to a compiler is ignored), so
// that the common path of contains() stays small.
[[gnu::noinline]] bool contains_rest(std::string_view text, std::size_t from, std::string_view pattern,
                                     std::vector<std::uint32_t>& prefix, std::uint64_t& work) {
    work += kKmpByteSteps * (text.size() - from + 2 * pattern.size());
    return contains_kmp(text.substr(from), pattern, prefix);
}

inline bool contains(std::string_view text, std::string_view pattern, std::vector<std::uint32_t>& prefix,
                     std::uint64_t& work) {
    const std::size_t n = text.size(), m = pattern.size();
    if (m == 0) return true;
    if (m > n) return false;
    const char* const t = text.data();
    const char* const last = t + (n - m);  // the last place the pattern can start
    const char* p = t;
    std::size_t compared = 0;  // bytes given to memcmp
    std::size_t attempts = 0;
    bool found = false;
    for (;;) {
        p = static_cast<const char*>(std::memchr(p, pattern[0], static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr) break;
        ++attempts;
        compared += m;
        if (std::memcmp(p + 1, pattern.data() + 1, m - 1) == 0) {
            found = true;
            break;
        }
        if (p++ == last) break;
        if (compared > 2 * (n + m)) [[unlikely]] {
            work += static_cast<std::uint64_t>(p - t) + compared + attempts * (2 * kCallSteps);
            return contains_rest(text, static_cast<std::size_t>(p - t), pattern, prefix, work);
        }
    }
    work += n + compared + (attempts + 1) * (2 * kCallSteps);
    return found;
}

// Saturating a + b.
constexpr std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

MatchMethod RuleMatcher::choose(std::size_t rules, std::size_t narrations) {
    // From benchmarks/bench_categorizer.cpp ("crossover") and the module's
    // 100,000-narration batches (benchmarks/run.py): the direct search pays
    // per rule for every batch of up to 64 narrations; the prefix index
    // builds several times faster than the automaton, whose scan is faster
    // while its rows stay in cache, and the two meet near eight narrations a
    // rule. From a few thousand rules on, the automaton's scan has lost its
    // lead. One rule is a memchr scan.
    constexpr std::size_t kIndexedRules = 4096;
    if (rules < 2 || narrations < 16 + rules / 64) return MatchMethod::Direct;
    if (rules >= kIndexedRules || narrations < 256 + 8 * rules) return MatchMethod::Prefix;
    return MatchMethod::Automaton;
}

RuleMatcher::RuleMatcher(std::span<const CategoryRule> rules, std::size_t narrations, MatchMethod method,
                         std::size_t dense_bytes)
    : rules_(rules), adaptive_(method == MatchMethod::Automatic || method == MatchMethod::Prefix) {
    MatchMethod chosen = method == MatchMethod::Automatic ? choose(rules.size(), narrations) : method;
    // Until the pattern bytes are known, every pattern counts as one byte.
    build_budget_ = rules.size() * (kBuildRuleSteps + kBuildByteSteps);
    // The direct search over one batch lowers a pattern only where its edges
    // occur in some narration, and needs no pass over the rules beforehand:
    // an empty pattern occurs everywhere, so the walk ends there by itself.
    // Over several batches, or unfiltered, each pattern is lowered up front
    // rather than once per batch.
    searchable_ = rules.size();
    lazy_ = chosen == MatchMethod::Direct && rules.size() > kUnfilteredMaxRules && narrations <= kBatchMax;
    if (lazy_) return;
    lower_patterns();
    if (method == MatchMethod::Automatic) chosen = choose(searchable_, narrations);
    if (chosen == MatchMethod::Prefix && patterns_.size() < PrefixIndex::npos) {
        index_.emplace(patterns_);
        return;
    }
    // Beyond 32-bit state numbers the direct search still gives the answer.
    if (chosen != MatchMethod::Direct && Automaton::fits(patterns_.size(), arena_.size()))
        automaton_.emplace(patterns_, dense_bytes);
}

void RuleMatcher::lower_patterns() {
    // Lowering never maps a character to nothing, so a pattern lowers to the
    // empty text exactly when it is empty.
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const std::string_view pattern = rules_[i].pattern;
        if (pattern.empty()) {
            floor_ = i;
            searchable_ = i;
            break;
        }
        bytes += pattern.size();
    }
    build_budget_ = add_sat(searchable_ * kBuildRuleSteps, bytes * kBuildByteSteps);
    build_exact_ = true;

    // One arena for all lowered patterns; the views are taken only once it
    // has stopped growing.
    arena_.reserve(bytes + bytes / 2);
    std::vector<std::size_t> ends;
    ends.reserve(searchable_);
    for (std::size_t i = 0; i < searchable_; ++i) {
        unicode::append_lower(rules_[i].pattern, arena_);
        ends.push_back(arena_.size());
    }
    patterns_.reserve(searchable_);
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        patterns_.emplace_back(arena_.data() + begin, end - begin);
        begin = end;
    }
}

void RuleMatcher::first_matches(std::span<const std::string_view> narrations, std::span<std::size_t> hits) {
    std::fill(hits.begin(), hits.end(), floor_);
    // No rule before the floor: the answer does not depend on the narration.
    if (searchable_ == 0 || narrations.empty()) return;
    lower_narrations(narrations);
    if (!automaton_) {
        std::size_t bytes = 0;
        for (std::size_t k = 0; k < narrations.size(); ++k) bytes += lowered(k).size();
        scan_budget_ = add_sat(scan_budget_, bytes * kScanByteSteps);
    }
    if (automaton_)
        search_automaton(hits);
    else if (index_)
        search_index(hits);
    else
        search_direct(hits);
}

void RuleMatcher::search_index(std::span<std::size_t> hits) {
    for (std::size_t k = 0; k < hits.size();) {
        std::uint32_t hit = PrefixIndex::npos;
        if (index_->first_match(lowered(k), hit, work_, adaptive_ ? check_level() : UINT64_MAX)) {
            hits[k++] = answer(hit);
            continue;
        }
        // Patterns sharing their prefixes have cost what the automaton would:
        // it answers this narration and the rest of the call. Otherwise the
        // budget is exact now, or unlimited, and the narration is scanned again.
        if (over_budget() && take_over()) {
            index_.reset();
            return search_automaton(hits, k);
        }
    }
}

void RuleMatcher::lower_narrations(std::span<const std::string_view> narrations) {
    // The automaton and the index read ASCII capitals as small letters, so they take a
    // pure-ASCII narration (most of them) as it is; the others are lowered
    // back to back, and their views taken once the buffer stops growing.
    texts_.clear();
    std::array<std::size_t, kBatchMax + 1> ends;
    std::uint64_t as_is = 0;
    ends[0] = 0;
    for (std::size_t k = 0; k < narrations.size(); ++k) {
        if ((automaton_ || index_) && swar::is_ascii(narrations[k]))
            as_is |= std::uint64_t{1} << k;
        else
            unicode::append_lower(narrations[k], texts_);
        ends[k + 1] = texts_.size();
    }
    for (std::size_t k = 0; k < narrations.size(); ++k)
        views_[k] = (as_is >> k) & 1 ? narrations[k] : std::string_view(texts_).substr(ends[k], ends[k + 1] - ends[k]);
}

void RuleMatcher::search_automaton(std::span<std::size_t> hits, std::size_t from) const {
    std::array<std::uint32_t, kBatchMax> found;
    automaton_->first_matches({views_.data() + from, hits.size() - from}, found.data());
    for (std::size_t k = from; k < hits.size(); ++k) hits[k] = answer(found[k - from]);
}

static_assert(std::has_single_bit(RuleMatcher::kGramSlotsMax) && RuleMatcher::kGramSlotsMax <= (std::size_t{1} << 31),
              "the slot of a 32-bit hash is its top bits");

RuleMatcher::GramTable RuleMatcher::gram_table(std::size_t longest) {
    // A narration's bit is set in about 3 slots per byte of it; 16 slots per
    // byte of the longest narration keep a slot holding a given narration's
    // bit to about 1 in 5, and a pattern probes two slots. The cap keeps
    // the table within a typical L2 whatever the narrations' lengths, and
    // the comparison comes before the product, which cannot wrap.
    const std::size_t wanted = longest >= kGramSlotsMax / 16 ? kGramSlotsMax : std::max(kGramSlotsMin, longest * 16);
    const std::size_t slots = std::bit_ceil(wanted);  // at most kGramSlotsMax, itself a power of two
    return {slots, 32u - static_cast<unsigned>(std::countr_zero(slots))};
}

void RuleMatcher::index_grams(std::size_t count) {
    std::size_t longest = 0;
    std::uint64_t unindexed = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t n = lowered(k).size();
        if (n > kIndexedBytesMax)
            unindexed |= std::uint64_t{1} << k;
        else
            longest = std::max(longest, n);
    }
    // A narration too long to index holds every run as far as the table
    // can tell: its bit is in every slot, which costs at most a few steps
    // per byte of it.
    const GramTable table = gram_table(longest);
    gram_shift_ = table.shift;
    grams_.assign(table.slots, 0);
    if (unindexed != 0) std::fill(grams_.begin(), grams_.end(), unindexed);
    for (std::size_t k = 0; k < count; ++k) {
        if ((unindexed >> k) & 1) continue;
        const std::uint64_t bit = std::uint64_t{1} << k;
        const std::string_view text = lowered(k);
        const unsigned char* t = bytes(text);
        const std::size_t n = text.size();
        for (std::size_t j = 0; j < n; ++j) {
            grams_[slot(key1(t[j]))] |= bit;
            if (j + 1 < n) grams_[slot(key2(t[j], t[j + 1]))] |= bit;
            if (j + 2 < n) grams_[slot(key3(t[j], t[j + 1], t[j + 2]))] |= bit;
        }
    }
}

// The narrations among `among` that hold both the first and the last three
// bytes of a lowered pattern (or all of a shorter one), as far as the
// hashed set can tell: a superset of those the pattern occurs in.
std::uint64_t RuleMatcher::candidates(std::string_view pattern, std::uint64_t among) const {
    const auto probe = [&](std::uint32_t key) { return grams_[slot(key)]; };
    const unsigned char* p = bytes(pattern);
    const std::size_t n = pattern.size();
    if (n == 0) return among;
    if (n >= 3) {
        among &= probe(key3(p[0], p[1], p[2]));
        if (among != 0) among &= probe(key3(p[n - 3], p[n - 2], p[n - 1]));
        return among;
    }
    return among & (n == 2 ? probe(key2(p[0], p[1])) : probe(key1(p[0])));
}

// candidates() from the pattern as given, when its first and last three
// bytes are ASCII: each is a character of its own, whose lower case depends
// on nothing around it, so they are the lowered pattern's edges once
// lowered one by one. Returns `among` unfiltered otherwise.
std::uint64_t RuleMatcher::candidates_raw(std::string_view pattern, std::uint64_t among) const {
    const unsigned char* p = bytes(pattern);
    const std::size_t n = pattern.size();
    if (n < 3 || ((p[0] | p[1] | p[2] | p[n - 3] | p[n - 2] | p[n - 1]) & 0x80) != 0) return among;
    const auto probe = [&](unsigned char a, unsigned char b, unsigned char c) {
        return grams_[slot(key3(ascii::lower(a), ascii::lower(b), ascii::lower(c)))];
    };
    among &= probe(p[0], p[1], p[2]);
    return among != 0 ? among & probe(p[n - 3], p[n - 2], p[n - 1]) : 0;
}

// The work below which the direct search is surely within its budget.
std::uint64_t RuleMatcher::check_level() const {
    if (limit_ != 0) return limit_;
    return add_sat(scan_budget_, build_budget_);
}

// Whether the direct search has spent more than the automaton would cost.
// The first time the estimate from the rule count is passed, the pattern
// bytes are counted, once (a pass over the rules, which the work so far
// already exceeds).
bool RuleMatcher::over_budget() {
    if (!adaptive_) return false;
    if (limit_ != 0) return work_ > limit_;
    const auto passed = [&] { return work_ > scan_budget_ && work_ - scan_budget_ > build_budget_; };
    if (!passed()) return false;
    if (!build_exact_) {
        std::size_t rules = 0, bytes = 0;
        for (; rules < rules_.size() && !rules_[rules].pattern.empty(); ++rules) bytes += rules_[rules].pattern.size();
        build_budget_ = add_sat(rules * kBuildRuleSteps, bytes * kBuildByteSteps);
        build_exact_ = true;
        if (!passed()) return false;
    }
    return true;
}

// The narrations among `open` that rule i can occur in, by the gram filter
// when `filter` is set; its lowered pattern in `pattern`.
std::uint64_t RuleMatcher::rule_candidates(std::size_t i, std::uint64_t open, bool filter, std::string_view& pattern,
                                           std::uint64_t& work) {
    if (!lazy_) {
        pattern = patterns_[i];
        return filter ? candidates(pattern, open) : open;
    }
    const std::string_view raw = rules_[i].pattern;
    // Most patterns are ruled out before they are lowered.
    const std::uint64_t cand = candidates_raw(raw, open);
    if (cand == 0) return 0;
    pattern_.clear();
    unicode::append_lower(raw, pattern_);
    work += raw.size() * kLowerByteSteps;
    pattern = pattern_;
    return candidates(pattern, cand);
}

// The narrations still open matched no rule up to the one the direct walk
// stopped at, so the lowest rule the automaton finds in each is its first
// match.
void RuleMatcher::answer_by_automaton(std::span<std::size_t> hits, std::uint64_t open) const {
    for (; open != 0; open &= open - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(open));
        const std::uint32_t hit = automaton_->first_match(lowered(k));
        hits[k] = answer(hit);
    }
}

void RuleMatcher::search_direct(std::span<std::size_t> hits) {
    const std::size_t count = hits.size();
    std::uint64_t open = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const bool filter = searchable_ > kUnfilteredMaxRules;
    if (filter) index_grams(count);

    // Rules in order; a narration leaves `open` at its first match, and the
    // walk ends when none is left. The work, with the rules walked at
    // kVisitSteps each, is held against the budget after each rule that
    // needed a containment test and after every 1,024 rules; the budget
    // itself is looked at only once the work passes the level where it
    // could be over.
    std::uint64_t work = work_;
    std::uint64_t check_at = adaptive_ ? check_level() : UINT64_MAX;
    const std::size_t floor = floor_;
    std::size_t i = 0, end = 0;
    const auto over = [&] {
        work_ = add_sat(work, i * kVisitSteps);
        if (work_ <= check_at) return false;
        const bool handed_over = over_budget() && take_over();
        check_at = adaptive_ ? check_level() : UINT64_MAX;
        end = std::min(end, searchable_);  // take_over may have found the floor
        return handed_over;
    };
    while (i < searchable_ && open != 0) {
        end = std::min(searchable_, i + 1024);
        for (; i < end && open != 0; ++i) {
            std::string_view pattern;
            std::uint64_t cand = rule_candidates(i, open, filter, pattern, work);
            if (cand == 0) continue;
            for (; cand != 0; cand &= cand - 1) {
                const auto k = static_cast<std::size_t>(std::countr_zero(cand));
                if (contains(lowered(k), pattern, prefix_, work)) {
                    hits[k] = i;
                    open &= ~(std::uint64_t{1} << k);
                }
            }
            if (open != 0 && work + i * kVisitSteps > check_at && over()) break;
        }
        if (automaton_ || (i < searchable_ && open != 0 && over())) break;
    }
    if (automaton_) return answer_by_automaton(hits, open);
    work_ = add_sat(work, i * kVisitSteps);
    // A walk cut short at the first empty pattern, which take_over found
    // lowering the patterns, leaves the floor's answer to every narration
    // still open.
    if (floor_ != floor)
        for (; open != 0; open &= open - 1) hits[static_cast<std::size_t>(std::countr_zero(open))] = floor_;
}

// Builds the automaton for the rest of the call, lowering the patterns
// first if the walk has not. Returns false, and leaves the budget unlimited,
// when the patterns do not fit in one.
bool RuleMatcher::take_over() {
    adaptive_ = false;
    if (lazy_) {
        lower_patterns();
        lazy_ = false;
    }
    if (!Automaton::fits(patterns_.size(), arena_.size())) return false;
    automaton_.emplace(patterns_);
    return true;
}

}  // namespace morvanta::categorizer
