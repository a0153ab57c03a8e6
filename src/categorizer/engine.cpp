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
    static std::uint64_t hash(std::string_view s) { return hash_bytes(s); }
    static bool equal(std::string_view a, std::string_view b) { return a == b; }
};

using LabelPair = std::pair<std::string_view, std::string_view>;  // (category, merchant)

struct LabelTraits {
    static std::uint64_t hash(const LabelPair& p) { return hash_bytes(p.second, hash_bytes(p.first)); }
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

}  // namespace

Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request) {
    const std::vector<DeriveInput>& data = request.data;
    const std::uint32_t items = to_u32(data.size());

    // One pass over the items: group each by its label pair, lower and
    // tokenize its narration once, and keep its distinct tokens (numbered,
    // in order of first appearance) for the selection below.
    FlatIndex<LabelPair, LabelTraits> groups;
    FlatIndex<std::string_view, TokenTraits> tokens(items);
    TextArena arena;
    std::string lowered;
    std::vector<std::uint32_t> group_of(items);
    std::vector<std::size_t> tokens_end(items);   // item i's tokens: item_tokens[tokens_end[i-1], tokens_end[i])
    std::vector<std::uint32_t> item_tokens;
    item_tokens.reserve(std::size_t{items} * 4);
    // Per token, side by side so one cache line serves both. Counts fit in
    // 32 bits because the item count does (checked above).
    struct TokenCount {
        std::uint32_t overall;    // items whose narration holds the token
        std::uint32_t last_item;  // the last item that counted it
    };
    std::vector<TokenCount> counts;

    std::vector<std::pair<std::string_view, std::uint32_t>> found;  // one narration's tokens and tags
    for (std::uint32_t i = 0; i < items; ++i) {
        const DeriveInput& item = data[i];
        group_of[i] = groups.insert(LabelPair{item.category, item.merchant}).first;
        lowered.clear();
        unicode::append_lower(item.narration, lowered);
        // Hash and prefetch all tokens first: their slots are scattered over
        // a table far larger than the cache, and the misses then overlap.
        found.clear();
        for_each_token(arena.add(lowered), [&](std::string_view token) {
            const std::uint32_t tag = tokens.tag_of(token);
            tokens.prefetch(tag);
            found.emplace_back(token, tag);
        });
        for (const auto& [token, tag] : found) {
            const auto [id, added] = tokens.insert(token, tag);
            if (added) {
                counts.push_back(TokenCount{1, i});
            } else {
                TokenCount& c = counts[id];
                if (c.last_item == i) continue;  // repeated within this narration: the token set holds it once
                c.last_item = i;
                ++c.overall;
            }
            item_tokens.push_back(id);
        }
        tokens_end[i] = item_tokens.size();
    }

    // Lay the token lists out group by group, each group's items in request
    // order, so the counting below reads one sequential array.
    const std::size_t group_count = groups.size();
    std::vector<std::size_t> group_begin(group_count + 1, 0);
    for (std::uint32_t i = 0; i < items; ++i)
        group_begin[group_of[i] + 1] += tokens_end[i] - (i == 0 ? 0 : tokens_end[i - 1]);
    for (std::size_t g = 0; g < group_count; ++g) group_begin[g + 1] += group_begin[g];
    std::vector<std::uint32_t> by_group(item_tokens.size());
    {
        std::vector<std::size_t> fill(group_begin.begin(), group_begin.end() - 1);
        for (std::uint32_t i = 0; i < items; ++i) {
            const std::size_t begin = i == 0 ? 0 : tokens_end[i - 1];
            std::size_t& at = fill[group_of[i]];
            std::copy(item_tokens.begin() + static_cast<std::ptrdiff_t>(begin),
                      item_tokens.begin() + static_cast<std::ptrdiff_t>(tokens_end[i]),
                      by_group.begin() + static_cast<std::ptrdiff_t>(at));
            at += tokens_end[i] - begin;
        }
    }
    item_tokens = {};

    // Selection per group. The counts are reset through the list of tokens
    // the group touched, which is also the order of the candidate walk:
    // first appearance reading the group's narrations in request order, so
    // among tokens of equal best score the earliest one wins, every time.
    DeriveRulesResponse response;
    response.rules.reserve(group_count);
    std::vector<std::uint32_t> in_group(tokens.size(), 0);
    std::vector<std::uint32_t> touched;
    for (std::size_t g = 0; g < group_count; ++g) {
        touched.clear();
        for (std::size_t t = group_begin[g]; t < group_begin[g + 1]; ++t) {
            const std::uint32_t id = by_group[t];
            if (in_group[id]++ == 0) touched.push_back(id);
        }

        std::uint32_t best = FlatIndex<std::string_view, TokenTraits>::none;
        std::uint64_t best_score = 0;
        for (std::uint32_t id : touched) {
            const std::uint32_t count = in_group[id];
            in_group[id] = 0;
            const double share = static_cast<double>(count) / static_cast<double>(counts[id].overall);
            if (share < 0.8) continue;
            const std::uint64_t score = token_score(count, tokens.key(id).size());
            if (score > best_score) {
                best_score = score;
                best = id;
            }
        }
        if (best != FlatIndex<std::string_view, TokenTraits>::none) {
            const auto& [category, merchant] = groups.key(static_cast<std::uint32_t>(g));
            response.rules.push_back(
                CategoryRule{std::string(tokens.key(best)), std::string(category), std::string(merchant)});
        }
    }

    // std::string compares bytes as unsigned char, which is code point order.
    std::stable_sort(response.rules.begin(), response.rules.end(), [](const CategoryRule& a, const CategoryRule& b) {
        if (const int c = a.category.compare(b.category); c != 0) return c < 0;
        return a.merchant < b.merchant;
    });
    return response;
}

}  // namespace morvanta::categorizer
