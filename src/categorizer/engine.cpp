#include "categorizer/engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/flat_index.h"
#include "categorizer/matcher.h"
#include "categorizer/tokens.h"
#include "unicode/unicode.h"

namespace morvanta::categorizer {

Expected<CategorizeResponse, MorvantaError> categorize_transactions(const CategorizeRequest& request) {
    RuleMatcher matcher(request.rules, request.data.size());

    CategorizeResponse response;
    response.data.reserve(request.data.size());
    const auto append = [&](std::size_t hit) {
        if (hit == RuleMatcher::npos) {
            response.data.emplace_back(std::nullopt);
        } else {
            const CategoryRule& rule = request.rules[hit];
            response.data.emplace_back(MapOutput{rule.category, rule.merchant});
        }
    };

    // Narrations go through the matcher a batch at a time.
    std::array<std::string_view, RuleMatcher::batch_max> texts;
    std::array<std::size_t, RuleMatcher::batch_max> hits;
    const std::size_t n = request.data.size();
    for (std::size_t at = 0; at < n; at += texts.size()) {
        const std::size_t count = std::min(texts.size(), n - at);
        for (std::size_t k = 0; k < count; ++k) texts[k] = request.data[at + k].narration;
        matcher.first_matches({texts.data(), count}, {hits.data(), count});
        for (std::size_t k = 0; k < count; ++k) append(hits[k]);
    }
    return response;
}

namespace {

// Owns texts in blocks that never move, so views into them stay valid
// while more texts are added.
class TextArena {
public:
    std::string_view add(std::string_view text) {
        if (text.empty()) return {};
        if (text.size() > room_) {
            const std::size_t size = std::max(text.size(), block_bytes);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            cursor_ = blocks_.back().get();
            room_ = size;
        }
        char* const at = cursor_;
        std::memcpy(at, text.data(), text.size());
        cursor_ += text.size();
        room_ -= text.size();
        return {at, text.size()};
    }

private:
    static constexpr std::size_t block_bytes = std::size_t{64} << 10;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    std::size_t room_ = 0;
};

struct TokenTraits {
    static std::uint64_t hash(const util::HashKey& key, std::string_view s) { return util::hash_bytes(key, s); }
    static bool equal(std::string_view a, std::string_view b) { return a == b; }
};

using LabelPair = std::pair<std::string_view, std::string_view>;  // (category, merchant)

struct LabelTraits {
    static std::uint64_t hash(const util::HashKey& key, const LabelPair& p) {
        return util::hash_pair(key, p.first, p.second);
    }
    static bool equal(const LabelPair& a, const LabelPair& b) { return a == b; }
};

constexpr std::uint32_t to_u32(std::size_t n) {
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many labelled items");
    return static_cast<std::uint32_t>(n);
}

// group count * 1000 + byte length, held at the maximum instead of wrapping.
std::uint64_t token_score(std::uint64_t group_count, std::size_t length) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (group_count > max / 1000) return max;
    const std::uint64_t scaled = group_count * 1000;
    const std::uint64_t len = length;
    return len > max - scaled ? max : scaled + len;
}

using TokenIndex = FlatIndex<std::string_view, TokenTraits>;

// Every item's label pair and distinct tokens, numbered in order of first
// appearance, with each token's overall count.
struct IndexedItems {
    // Per token, side by side so one cache line serves both. Counts fit in
    // 32 bits because the item count does.
    struct TokenCount {
        std::uint32_t overall;    // items whose narration holds the token
        std::uint32_t last_item;  // the last item that counted it
    };

    IndexedItems(const util::HashKey& key, std::uint32_t items)
        : groups(key), tokens(key, items), group_of(items), tokens_end(items) {
        item_tokens.reserve(std::size_t{items} * 4);
    }

    FlatIndex<LabelPair, LabelTraits> groups;
    TokenIndex tokens;
    TextArena arena;                      // the lowered narrations the token views point into
    std::vector<std::uint32_t> group_of;  // item -> group
    std::vector<std::size_t> tokens_end;  // item i's tokens: item_tokens[tokens_end[i-1], tokens_end[i])
    std::vector<std::uint32_t> item_tokens;
    std::vector<TokenCount> counts;  // per token

    std::size_t tokens_begin(std::uint32_t i) const { return i == 0 ? 0 : tokens_end[i - 1]; }
};

// One pass over the items: group each by its label pair, lower and tokenize
// its narration once, and keep its distinct tokens for the selection.
void index_items(const std::vector<DeriveInput>& data, IndexedItems& ix) {
    std::string lowered;
    std::vector<std::pair<std::string_view, std::uint32_t>> found;  // one narration's tokens and tags
    for (std::uint32_t i = 0; i < ix.group_of.size(); ++i) {
        const DeriveInput& item = data[i];
        ix.group_of[i] = ix.groups.insert(LabelPair{item.category, item.merchant}).first;
        lowered.clear();
        unicode::append_lower(item.narration, lowered);
        // Hash and prefetch all tokens first: their slots are scattered over
        // a table far larger than the cache, and the misses then overlap.
        found.clear();
        for_each_token(ix.arena.add(lowered), [&](std::string_view token) {
            const std::uint32_t tag = ix.tokens.tag_of(token);
            ix.tokens.prefetch(tag);
            found.emplace_back(token, tag);
        });
        for (const auto& [token, tag] : found) {
            const auto [id, added] = ix.tokens.insert(token, tag);
            if (added) {
                ix.counts.push_back(IndexedItems::TokenCount{1, i});
            } else {
                IndexedItems::TokenCount& c = ix.counts[id];
                if (c.last_item == i) continue;  // repeated within this narration: the token set holds it once
                c.last_item = i;
                ++c.overall;
            }
            ix.item_tokens.push_back(id);
        }
        ix.tokens_end[i] = ix.item_tokens.size();
    }
}

// The token lists laid out group by group, each group's items in request
// order, so the counting reads one sequential array: group g's tokens are
// tokens[begin[g], begin[g + 1]).
struct GroupedTokens {
    std::vector<std::size_t> begin;
    std::vector<std::uint32_t> tokens;
};

GroupedTokens lay_out_by_group(const IndexedItems& ix) {
    const std::size_t group_count = ix.groups.size();
    const auto items = static_cast<std::uint32_t>(ix.group_of.size());
    GroupedTokens out;
    out.begin.assign(group_count + 1, 0);
    for (std::uint32_t i = 0; i < items; ++i) out.begin[ix.group_of[i] + 1] += ix.tokens_end[i] - ix.tokens_begin(i);
    for (std::size_t g = 0; g < group_count; ++g) out.begin[g + 1] += out.begin[g];
    out.tokens.resize(ix.item_tokens.size());
    std::vector<std::size_t> fill(out.begin.begin(), out.begin.end() - 1);
    for (std::uint32_t i = 0; i < items; ++i) {
        const auto first = ix.item_tokens.begin() + static_cast<std::ptrdiff_t>(ix.tokens_begin(i));
        const auto last = ix.item_tokens.begin() + static_cast<std::ptrdiff_t>(ix.tokens_end[i]);
        std::size_t& at = fill[ix.group_of[i]];
        std::copy(first, last, out.tokens.begin() + static_cast<std::ptrdiff_t>(at));
        at += static_cast<std::size_t>(last - first);
    }
    return out;
}

// The best token of one group, or TokenIndex::none. `in_group` is all zero
// on entry and on return; `touched` is scratch. The counts are reset through
// the list of tokens the group touched, which is also the order of the
// candidate walk: first appearance reading the group's narrations in request
// order, so among tokens of equal best score the earliest one wins, every
// time and under every hash key.
std::uint32_t best_token(const IndexedItems& ix, const GroupedTokens& grouped, std::size_t g,
                         std::vector<std::uint32_t>& in_group, std::vector<std::uint32_t>& touched) {
    touched.clear();
    for (std::size_t t = grouped.begin[g]; t < grouped.begin[g + 1]; ++t) {
        const std::uint32_t id = grouped.tokens[t];
        if (in_group[id]++ == 0) touched.push_back(id);
    }
    std::uint32_t best = TokenIndex::none;
    std::uint64_t best_score = 0;
    for (std::uint32_t id : touched) {
        const std::uint32_t count = in_group[id];
        in_group[id] = 0;
        const double share = static_cast<double>(count) / static_cast<double>(ix.counts[id].overall);
        if (share < 0.8) continue;
        const std::uint64_t score = token_score(count, ix.tokens.key(id).size());
        if (score > best_score) {
            best_score = score;
            best = id;
        }
    }
    return best;
}

}  // namespace

Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request) {
    return derive_rules_with_key(request, util::process_hash_key());
}

Expected<DeriveRulesResponse, MorvantaError> derive_rules_with_key(const DeriveRulesRequest& request,
                                                                   const util::HashKey& hash_key) {
    IndexedItems ix(hash_key, to_u32(request.data.size()));
    index_items(request.data, ix);
    const GroupedTokens grouped = lay_out_by_group(ix);
    ix.item_tokens = {};

    DeriveRulesResponse response;
    const std::size_t group_count = ix.groups.size();
    response.rules.reserve(group_count);
    std::vector<std::uint32_t> in_group(ix.tokens.size(), 0);
    std::vector<std::uint32_t> touched;
    for (std::size_t g = 0; g < group_count; ++g) {
        const std::uint32_t best = best_token(ix, grouped, g, in_group, touched);
        if (best == TokenIndex::none) continue;
        const auto& [category, merchant] = ix.groups.key(static_cast<std::uint32_t>(g));
        response.rules.push_back(
            CategoryRule{std::string(ix.tokens.key(best)), std::string(category), std::string(merchant)});
    }

    // std::string compares bytes as unsigned char, which is code point order.
    std::stable_sort(response.rules.begin(), response.rules.end(), [](const CategoryRule& a, const CategoryRule& b) {
        if (const int c = a.category.compare(b.category); c != 0) return c < 0;
        return a.merchant < b.merchant;
    });
    return response;
}

}  // namespace morvanta::categorizer
