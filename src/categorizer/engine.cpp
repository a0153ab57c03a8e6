#include "categorizer/engine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "categorizer/flat_index.h"
#include "categorizer/matcher.h"
#include "categorizer/tokens.h"
#include "unicode/unicode.h"
#include "util/swar.h"

namespace morvanta::categorizer {

Expected<CategorizeResponse, MorvantaError> categorize_transactions(const CategorizeRequest& request) {
    RuleMatcher matcher(request.rules, request.data.size());

    // A row is an index in the table, which holds the category and merchant
    // of each rule that some row names, once, in order of first use: a few
    // narrations against many rules make a table of a few entries.
    constexpr std::uint32_t none = convert::Rows<MapOutput>::none;
    if (request.rules.size() >= none) throw std::length_error("too many rules");
    CategorizeResponse response;
    std::vector<MapOutput>& table = response.data.table;
    std::vector<std::uint32_t> entry_of(request.rules.size(), none);  // rule -> its table entry
    std::vector<std::uint32_t>& rows = response.data.rows;
    rows.reserve(request.data.size());
    const auto append = [&](std::size_t hit) {
        if (hit == RuleMatcher::npos) {
            rows.push_back(none);
            return;
        }
        std::uint32_t& entry = entry_of[hit];
        if (entry == none) {
            entry = static_cast<std::uint32_t>(table.size());
            table.push_back(MapOutput{request.rules[hit].category, request.rules[hit].merchant});
        }
        rows.push_back(entry);
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

// A token of a pure-ASCII narration, read where it lies without lowering
// the narration: its lower-case form is each byte OR 0x20, which lowers a
// capital and leaves a small letter or a digit as it is.
struct AsciiToken {
    std::string_view raw;
};
constexpr unsigned char ascii_fold = 0x20;

struct TokenTraits {
    static std::uint64_t hash(const util::HashKey& key, std::string_view s) { return util::hash_bytes(key, s); }
    static std::uint64_t hash(const util::HashKey& key, AsciiToken t) {
        return util::hash_bytes(key, t.raw, ascii_fold);
    }
    static bool equal(std::string_view a, std::string_view b) { return util::same_bytes(a, b); }
    static bool equal(std::string_view a, AsciiToken b) { return util::same_bytes(a, b.raw, ascii_fold); }
};

using LabelPair = std::pair<std::string_view, std::string_view>;  // (category, merchant)

struct LabelTraits {
    static std::uint64_t hash(const util::HashKey& key, const LabelPair& p) {
        return util::hash_pair(key, p.first, p.second);
    }
    static bool equal(const LabelPair& a, const LabelPair& b) {
        return util::same_bytes(a.first, b.first) && util::same_bytes(a.second, b.second);
    }
};

// The group of each label pair. Items of one label usually view the very
// same texts (one Python str repeated over the request), so a small cache
// keyed by where the texts lie answers most lookups without hashing them;
// texts at the same place with the same lengths are the same texts.
using GroupIndex = FlatIndex<LabelPair, LabelTraits>;

class GroupLookup {
public:
    explicit GroupLookup(GroupIndex& groups) : groups_(groups) {}

    std::uint32_t operator()(const LabelPair& pair) {
        const std::uint64_t a = reinterpret_cast<std::uintptr_t>(pair.first.data());
        const std::uint64_t b = reinterpret_cast<std::uintptr_t>(pair.second.data());
        Entry& e = cache_[(a * 0x9E3779B97F4A7C15ull + b * 0xC2B2AE3D27D4EB4Full) >> 58];
        if (e.group != GroupIndex::none && e.pair.first.data() == pair.first.data() &&
            e.pair.second.data() == pair.second.data() && e.pair.first.size() == pair.first.size() &&
            e.pair.second.size() == pair.second.size())
            return e.group;
        e = Entry{pair, groups_.insert(pair).first};
        return e.group;
    }

private:
    struct Entry {
        LabelPair pair;
        std::uint32_t group = GroupIndex::none;
    };
    GroupIndex& groups_;
    std::array<Entry, 64> cache_{};
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

// A token as the counting keys it, in two words: its lower-case bytes when
// it has at most 16, zero-padded (a token's bytes are never 0); a longer
// token is numbered in a table of long tokens, and its second word is that
// number with the top byte 0xFF, a byte no UTF-8 text holds. Equal tokens
// have equal keys and different tokens different keys, so the counting
// compares two words and never reads the narrations again.
struct TokenKey {
    std::uint64_t head;
    std::uint64_t tail;
    friend bool operator==(const TokenKey&, const TokenKey&) = default;
};
constexpr std::uint64_t long_token_mark = std::uint64_t{0xFF} << 56;
constexpr std::size_t inline_token_bytes = 16;

struct TokenKeyTraits {
    static bool equal(const TokenKey& a, const TokenKey& b) { return a == b; }
};

// The bytes of a word up to its last nonzero one (a token's bytes are never 0).
std::size_t bytes_in(std::uint64_t w) { return static_cast<std::size_t>((std::bit_width(w) + 7) / 8); }

// One token of one item, on its way to the counting: the (token, group)
// pair the counting needs, where the item and the token's place in it
// order ties.
struct Occurrence {
    TokenKey key;
    std::uint32_t tag;  // low half of the token's keyed hash; its slot in the partition's table
    std::uint32_t item;
    std::uint32_t group;
    std::uint32_t position;  // the token's place among its item's tokens
};

// Tokens are counted a partition at a time. A table of every distinct token
// of a large request spans megabytes, and nearly every lookup in it misses
// the cache; the occurrences are first scattered by the top bits of their
// tokens' keyed hashes into partitions of a few thousand, whose table stays
// in the cache while it counts them. The keyed hash spreads tokens over the
// partitions as it spreads them over a table's slots, so no choice of
// tokens fills one partition with distinct tokens.
constexpr std::size_t occurrences_per_partition = 4096;
constexpr int max_partition_bits = 10;

// The partitions for a request of `bytes` of narrations: about four bytes a
// token, separator included.
int partition_bits(std::size_t bytes) {
    const std::size_t expected = bytes / 4;
    int bits = 0;
    while (bits < max_partition_bits && (expected >> bits) > occurrences_per_partition) ++bits;
    return bits;
}

// The keyed hashes of recently met tokens, by key: most occurrences are of a
// few hundred words (channels, banks, payees, cities), hashed once each
// while they stay here. Direct-mapped and of fixed size, so tokens that
// share a line only push each other out: no choice of tokens makes a lookup
// cost more than one comparison.
class RecentHashes {
public:
    bool find(const TokenKey& key, std::uint64_t& hash) const {
        const Line& line = lines_[line_of(key)];
        if (!line.used || !(line.key == key)) return false;
        hash = line.hash;
        return true;
    }
    void remember(const TokenKey& key, std::uint64_t hash) { lines_[line_of(key)] = Line{key, hash, true}; }

private:
    struct Line {
        TokenKey key{};
        std::uint64_t hash = 0;
        bool used = false;
    };
    static constexpr int line_bits = 10;
    static std::size_t line_of(const TokenKey& key) {
        return static_cast<std::size_t>(((key.head ^ (key.tail * 0xC2B2AE3D27D4EB4Full)) * 0x9E3779B97F4A7C15ull) >>
                                        (64 - line_bits));
    }
    std::array<Line, std::size_t{1} << line_bits> lines_{};
};

using LongTokenIndex = FlatIndex<std::string_view, TokenTraits>;

// Every item's group, and every occurrence of a token in a narration (a
// token repeated in one narration as often as it occurs), in partitions.
struct ScatteredItems {
    ScatteredItems(const util::HashKey& key, const std::vector<DeriveInput>& data)
        : hash_key(key), groups(key), long_tokens(key) {
        std::size_t bytes = 0;
        for (const DeriveInput& item : data) bytes += item.narration.size();
        bits = partition_bits(bytes);
        partitions.resize(std::size_t{1} << bits);
        const std::size_t each = bytes / 4 / partitions.size() + 16;
        for (auto& part : partitions) part.reserve(each + each / 4);
    }

    const util::HashKey& hash_key;
    GroupIndex groups;
    LongTokenIndex long_tokens;
    TextArena arena;      // the long tokens, lowered, that long_tokens views
    std::string lowering;  // scratch: a narration or a long token lowered
    int bits = 0;
    std::vector<std::vector<Occurrence>> partitions;
    RecentHashes recent;
};

// A new long token, lowered, in the arena: the narration's views do not last.
std::string_view keep(ScatteredItems& sx, std::string_view token) { return sx.arena.add(token); }
std::string_view keep(ScatteredItems& sx, AsciiToken token) {
    sx.lowering.assign(token.raw);
    for (char& c : sx.lowering) c = static_cast<char>(c | ascii_fold);
    return sx.arena.add(sx.lowering);
}

// The key and keyed hash of a token read where it lies (`Probe`
// AsciiToken: lowered by OR'ing each byte with ascii_fold) or already lowered.
template <class Probe>
std::pair<TokenKey, std::uint64_t> key_of(ScatteredItems& sx, std::string_view token, unsigned char fold) {
    if (token.size() <= inline_token_bytes) {
        const TokenKey key{util::head_word(token, fold), token.size() > 8 ? util::head_word(token.substr(8), fold) : 0};
        std::uint64_t hash;
        if (!sx.recent.find(key, hash)) {
            hash = TokenTraits::hash(sx.hash_key, Probe{token});
            sx.recent.remember(key, hash);
        }
        return {key, hash};
    }
    const Probe probe{token};
    const std::uint64_t hash = TokenTraits::hash(sx.hash_key, probe);
    const std::uint32_t id =
        sx.long_tokens.insert(probe, static_cast<std::uint32_t>(hash), [&](const Probe& p) { return keep(sx, p); }).first;
    return {TokenKey{util::head_word(token, fold), long_token_mark | id}, hash};
}

template <class Probe>
void scatter_tokens(std::uint32_t item, std::uint32_t group, std::string_view text, unsigned char fold,
                    ScatteredItems& sx) {
    std::uint32_t position = 0;
    const int shift = 64 - sx.bits;
    for_each_token(text, [&](std::string_view token) {
        const auto [key, hash] = key_of<Probe>(sx, token, fold);
        const std::size_t part = sx.bits == 0 ? 0 : static_cast<std::size_t>(hash >> shift);
        sx.partitions[part].push_back(Occurrence{key, static_cast<std::uint32_t>(hash), item, group, position});
        if (position == std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many tokens in a narration");
        ++position;
    });
}

// One pass over the items: group each by its label pair, lower and tokenize
// its narration once, and scatter its tokens.
void scatter_items(const std::vector<DeriveInput>& data, ScatteredItems& sx) {
    GroupLookup group_of(sx.groups);
    const std::uint32_t items = to_u32(data.size());
    for (std::uint32_t i = 0; i < items; ++i) {
        const DeriveInput& item = data[i];
        const std::uint32_t group = group_of(LabelPair{item.category, item.merchant});
        if (swar::is_ascii(item.narration)) {
            scatter_tokens<AsciiToken>(i, group, item.narration, ascii_fold, sx);
        } else {
            sx.lowering.clear();
            unicode::append_lower(item.narration, sx.lowering);
            scatter_tokens<std::string_view>(i, group, sx.lowering, 0, sx);
        }
    }
}

// Per distinct token of a partition. A share of at least 0.8 is a strict
// majority of the token's items, so only one group can be its candidate:
// the first pass counts the items whose narration holds the token and finds
// that group by a majority vote over their groups (a strict majority is
// what the vote ends on, in any order); the second pass counts the token in
// that group alone. Counts fit in 32 bits because the item count does.
struct TokenStats {
    std::uint32_t overall;    // items whose narration holds the token
    std::uint32_t candidate;  // the group the vote stands on
    std::uint32_t margin;     // the vote's margin for `candidate`
    std::uint32_t last_item;  // the last item that counted the token, in the pass under way
    std::uint32_t count;      // second pass: the items of `candidate` that hold it
    std::uint32_t first_item; // second pass: the first of them
    std::uint32_t first_position;  // and the token's first place in it
};

using PartitionIndex = FlatIndex<TokenKey, TokenKeyTraits, TokenStats>;

// The best token of a group so far. Among tokens of equal best score the
// one met first reading the group's narrations in request order wins,
// every time and under every hash key: the one whose first occurrence in
// the group has the smaller (item, place in the item).
struct Best {
    std::uint64_t score = 0;
    std::uint32_t item = 0;
    std::uint32_t position = 0;
    TokenKey key{};
};

std::size_t token_size(const ScatteredItems& sx, const TokenKey& key) {
    if ((key.tail & long_token_mark) == long_token_mark)
        return sx.long_tokens.key(static_cast<std::uint32_t>(key.tail & ~long_token_mark)).size();
    return key.tail != 0 ? 8 + bytes_in(key.tail) : bytes_in(key.head);
}

// Counts one partition in `table` (cleared first) and offers each of its
// tokens to its candidate group's best.
void count_partition(std::vector<Occurrence>& part, const ScatteredItems& sx, PartitionIndex& table,
                     std::vector<Best>& best) {
    table.clear();
    constexpr std::uint32_t none = PartitionIndex::none;
    // The occurrences are in item order, so a token repeated in a narration
    // meets its own item as the last one that counted it.
    for (Occurrence& o : part) {
        const auto [id, added] = table.insert(o.key, o.tag);
        TokenStats& s = table.value(id);
        o.tag = id;  // the second pass finds the token by its number
        if (added) {
            s = TokenStats{1, o.group, 1, o.item, 0, 0, 0};
            continue;
        }
        if (s.last_item == o.item) continue;
        s.last_item = o.item;
        ++s.overall;
        if (s.margin == 0) {
            s.candidate = o.group;
            s.margin = 1;
        } else if (s.candidate == o.group) {
            ++s.margin;
        } else {
            --s.margin;
        }
    }
    for (std::uint32_t id = 0; id < table.size(); ++id) table.value(id).last_item = none;
    for (const Occurrence& o : part) {
        TokenStats& s = table.value(o.tag);
        if (s.candidate != o.group || s.last_item == o.item) continue;
        s.last_item = o.item;
        if (s.count++ == 0) {
            s.first_item = o.item;
            s.first_position = o.position;
        }
    }
    for (std::uint32_t id = 0; id < table.size(); ++id) {
        const TokenStats& s = table.value(id);
        const double share = static_cast<double>(s.count) / static_cast<double>(s.overall);
        if (share < 0.8) continue;
        const TokenKey& key = table.key(id);
        const std::uint64_t score = token_score(s.count, token_size(sx, key));
        Best& b = best[s.candidate];
        if (score < b.score) continue;
        if (score == b.score && (s.first_item > b.item || (s.first_item == b.item && s.first_position > b.position)))
            continue;
        b = Best{score, s.first_item, s.first_position, key};
    }
}

// The text of a token's key.
std::string_view token_text(const ScatteredItems& sx, const TokenKey& key, std::array<char, inline_token_bytes>& out) {
    if ((key.tail & long_token_mark) == long_token_mark)
        return sx.long_tokens.key(static_cast<std::uint32_t>(key.tail & ~long_token_mark));
    const std::size_t size = token_size(sx, key);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>((i < 8 ? key.head : key.tail) >> (8 * (i % 8))));
    return {out.data(), size};
}

}  // namespace

Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request) {
    return derive_rules_with_key(request, util::process_hash_key());
}

Expected<DeriveRulesResponse, MorvantaError> derive_rules_with_key(const DeriveRulesRequest& request,
                                                                   const util::HashKey& hash_key) {
    ScatteredItems sx(hash_key, request.data);
    scatter_items(request.data, sx);
    std::vector<Best> best(sx.groups.size());
    PartitionIndex table(hash_key, occurrences_per_partition / 2);
    for (std::vector<Occurrence>& part : sx.partitions) {
        count_partition(part, sx, table, best);
        std::vector<Occurrence>().swap(part);  // its memory goes as soon as it is counted
    }

    DeriveRulesResponse response;
    response.rules.reserve(best.size());
    std::array<char, inline_token_bytes> bytes{};
    for (std::uint32_t g = 0; g < best.size(); ++g) {
        if (best[g].score == 0) continue;
        const auto& [category, merchant] = sx.groups.key(g);
        // The label pair views the request; the token is copied out of the
        // call's own storage, which goes when this call returns.
        response.rules.push_back(CategoryRule{response.tokens.add(token_text(sx, best[g].key, bytes)), category, merchant});
    }

    // string_view compares bytes as unsigned char, which is code point order.
    std::stable_sort(response.rules.begin(), response.rules.end(), [](const CategoryRule& a, const CategoryRule& b) {
        if (const int c = a.category.compare(b.category); c != 0) return c < 0;
        return a.merchant < b.merchant;
    });
    return response;
}

}  // namespace morvanta::categorizer
