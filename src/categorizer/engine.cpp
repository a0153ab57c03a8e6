#include "categorizer/engine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
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

namespace {

// "too many rules (at most 4294967294)"
MorvantaError too_many(const char* what, std::size_t most) {
    return MorvantaError::request_too_large(std::string("too many ") + what + " (at most " + std::to_string(most) + ")");
}

}  // namespace

std::optional<MorvantaError> Categorizer::too_many_rules(std::size_t rules) {
    if (rules >= kNone) return too_many("rules", kNone - 1);
    return std::nullopt;
}

Categorizer::Categorizer(std::span<const CategoryRule> rules, std::size_t narrations)
    : rules_(rules), matcher_(rules, narrations), entry_of_(rules.size(), kNone) {
    response_.data.rows.reserve(narrations);
}

void Categorizer::flush() {
    if (pending_ == 0) return;
    matcher_.first_matches({texts_.data(), pending_}, {hits_.data(), pending_});
    std::vector<MapOutput>& table = response_.data.table;
    std::vector<std::uint32_t>& rows = response_.data.rows;
    for (std::size_t k = 0; k < pending_; ++k) {
        const std::size_t hit = hits_[k];
        if (hit == RuleMatcher::npos) {
            rows.push_back(kNone);
            continue;
        }
        // A row is an index in the table, which holds the category and
        // merchant of each rule that some row names, once, in order of first
        // use: a few narrations against many rules make a table of a few entries.
        std::uint32_t& entry = entry_of_[hit];
        if (entry == kNone) {
            entry = static_cast<std::uint32_t>(table.size());
            table.push_back(MapOutput{rules_[hit].category, rules_[hit].merchant});
        }
        rows.push_back(entry);
    }
    pending_ = 0;
}

Expected<CategorizeResponse, MorvantaError> categorize_transactions(const CategorizeRequest& request) {
    if (auto error = Categorizer::too_many_rules(request.rules.size())) return Unexpected{std::move(*error)};
    Categorizer categorizer(request.rules, request.data.size());
    for (const MapInput& item : request.data) categorizer.add(item.narration);
    return categorizer.finish();
}

namespace {

// A token as the token table keys it: its lower-case bytes in two words
// when it has at most 16, zero-padded (a token's bytes are never 0), so
// that finding it compares its entry alone and never reads the text the
// entry views; a longer token is its place in the call's arena and its
// size, marked by a top byte 0xFF, which no UTF-8 text holds.
struct TokenKey {
    std::uint64_t head;
    std::uint64_t tail;
    friend bool operator==(const TokenKey&, const TokenKey&) = default;
};
constexpr std::size_t kInlineTokenBytes = 16;
constexpr std::uint64_t kLongTokenMark = std::uint64_t{0xFF} << 56;

bool is_long(const TokenKey& key) { return (key.tail & kLongTokenMark) == kLongTokenMark; }

// The bytes of a word up to its last nonzero one.
std::size_t bytes_in(std::uint64_t w) { return static_cast<std::size_t>((std::bit_width(w) + 7) / 8); }

std::size_t token_size(const TokenKey& key) {
    if (is_long(key)) return static_cast<std::size_t>(key.tail & ~kLongTokenMark);
    return key.tail != 0 ? 8 + bytes_in(key.tail) : bytes_in(key.head);
}

// The text of a token; `buffer` holds it when it lies in the key itself.
std::string_view token_text(const TokenKey& key, std::array<char, kInlineTokenBytes>& buffer) {
    const std::size_t size = token_size(key);
    if (is_long(key)) return {reinterpret_cast<const char*>(static_cast<std::uintptr_t>(key.head)), size};
    for (std::size_t i = 0; i < size; ++i)
        buffer[i] = static_cast<char>(static_cast<unsigned char>((i < 8 ? key.head : key.tail) >> (8 * (i % 8))));
    return {buffer.data(), size};
}

// A token of a narration, as found there: `fold` is what lowers its bytes
// (a pure-ASCII narration is read where it lies without lowering it: the
// lower-case form of each byte is the byte OR 0x20, which lowers a capital
// and leaves a small letter or a digit as it is; any other narration is
// lowered first, fold 0). `key` is its TokenKey, but for a long token only
// the size and the mark.
struct TokenProbe {
    std::string_view raw;
    unsigned char fold;
    TokenKey key;
};
constexpr unsigned char kAsciiFold = 0x20;

TokenProbe probe_of(std::string_view raw, unsigned char fold) {
    if (raw.size() > kInlineTokenBytes) return TokenProbe{raw, fold, TokenKey{0, kLongTokenMark | raw.size()}};
    return TokenProbe{raw, fold,
                      TokenKey{util::head_word(raw, fold), raw.size() > 8 ? util::head_word(raw.substr(8), fold) : 0}};
}

struct TokenTraits {
    static std::uint64_t hash(const util::HashKey& key, const TokenProbe& t) {
        return util::hash_bytes(key, t.raw, t.fold);
    }
    static bool equal(const TokenKey& a, const TokenProbe& b) {
        if (!is_long(b.key)) return a == b.key;
        std::array<char, kInlineTokenBytes> unused;
        return a.tail == b.key.tail && util::same_bytes(token_text(a, unused), b.raw, b.fold);
    }
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

// The group of each label pair, or none once the index is full. Items of
// one label usually view the very same texts (one Python str repeated over
// the request), so a small cache keyed by where the texts lie answers most
// lookups without hashing them; texts at the same place with the same
// lengths are the same texts.
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


// group count * 1000 + byte length, held at the maximum instead of wrapping.
std::uint64_t token_score(std::uint64_t group_count, std::size_t length) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (group_count > max / 1000) return max;
    const std::uint64_t scaled = group_count * 1000;
    const std::uint64_t len = length;
    return len > max - scaled ? max : scaled + len;
}

// Per distinct token. A share of at least 0.8 is a strict majority of the
// token's items, so only one group can be its candidate: the first pass
// counts the items whose narration holds the token and finds that group by a
// majority vote over their groups (a strict majority is what the vote ends
// on); the second pass counts the token in that group alone, in the two
// fields the first pass no longer needs. Counts fit in 32 bits because the
// item count does.
struct TokenStats {
    std::uint32_t overall;    // items whose narration holds the token
    std::uint32_t candidate;  // the group the vote stands on
    // First pass: the last item that counted the token. Second pass: the
    // first item of `candidate` that holds it.
    std::uint32_t item;
    // First pass: the vote's margin for `candidate`. Second pass: the items
    // of `candidate` that hold the token.
    std::uint32_t count;
};

using TokenIndex = FlatIndex<TokenKey, TokenTraits, TokenStats>;

// Recently met tokens of up to 16 bytes, found by their keys without hashing
// them under the secret key or probing the index: most occurrences are of a
// few hundred words (channels, payees, cities). The table is direct-mapped
// and of fixed size, so tokens that share a line only push each other out:
// no choice of tokens makes a lookup cost more than one comparison.
class RecentTokens {
public:
    // The number of the token whose key is `key`, or TokenIndex::none if it is not here.
    std::uint32_t find(const TokenKey& key) const {
        const Line& line = lines_[line_of(key)];
        return line.key == key ? line.id : TokenIndex::none;
    }

    void remember(const TokenKey& key, std::uint32_t id) { lines_[line_of(key)] = Line{key, id}; }

private:
    struct Line {
        TokenKey key{0, 0};  // no token's key
        std::uint32_t id = TokenIndex::none;
    };
    static constexpr int kLineBits = 10;
    static std::size_t line_of(const TokenKey& key) {
        return static_cast<std::size_t>(((key.head ^ (key.tail * 0xC2B2AE3D27D4EB4Full)) * 0x9E3779B97F4A7C15ull) >>
                                        (64 - kLineBits));
    }
    std::array<Line, std::size_t{1} << kLineBits> lines_{};
};

// Every item's group and distinct tokens, numbered in order of first
// appearance, with each token's counts.
struct IndexedItems {
    // `bytes`: the narrations' total length. A token takes at least three
    // bytes and a separator, so item_tokens outgrows bytes / 4 + items only
    // where lowering lengthens a narration; reserved pages never used cost
    // nothing, while growing copies every number.
    IndexedItems(const util::HashKey& key, std::uint32_t items, std::size_t bytes)
        : groups(key), tokens(key, items), group_of(items), tokens_end(items) {
        item_tokens.reserve(bytes / 4 + items);
        // Statement narrations bring about one new token each (a reference
        // number, a card or a handle); pages reserved and never used cost
        // nothing, while growing copies every key.
        tokens.reserve(std::size_t{items} * 2);
    }

    GroupIndex groups;
    TokenIndex tokens;
    TextArena arena;                      // the long tokens, lowered, that the index's keys view
    std::string lowering;                 // scratch for a token lowered into the arena
    std::vector<std::uint32_t> group_of;  // item -> group
    std::vector<std::size_t> tokens_end;  // item i's tokens: item_tokens[tokens_end[i-1], tokens_end[i])
    std::vector<std::uint32_t> item_tokens;
    RecentTokens recent;
};

// One narration cut into tokens, each with its hash tag, waiting for its
// turn in the index. A pure-ASCII narration is cut where it lies; any
// other is lowered first.
struct PendingToken {
    TokenProbe probe;  // its text views the narration or `lowered`
    std::uint32_t id;  // its number if RecentTokens knew it, else TokenIndex::none
    std::uint32_t tag;  // else its hash tag
};

struct PendingItem {
    std::string lowered;
    std::vector<PendingToken> tokens;
};

// Narrations lowered, tokenized and hashed ahead of their insertion: their
// slots lie scattered over a table far larger than the cache, and fetching
// them this early lets the misses of several narrations overlap.
constexpr std::size_t kLookahead = 4;

PendingToken pending_token(const IndexedItems& ix, std::string_view token, unsigned char fold) {
    PendingToken t{probe_of(token, fold), TokenIndex::none, 0};
    if (!is_long(t.probe.key)) t.id = ix.recent.find(t.probe.key);
    if (t.id == TokenIndex::none) {
        t.tag = ix.tokens.tag_of(t.probe);
        ix.tokens.prefetch(t.tag);
    }
    return t;
}

void prepare(std::string_view narration, const IndexedItems& ix, PendingItem& out) {
    out.tokens.clear();
    const bool ascii = swar::is_ascii(narration);
    std::string_view text = narration;
    if (!ascii) {
        out.lowered.clear();
        unicode::append_lower(narration, out.lowered);
        text = out.lowered;
    }
    const unsigned char fold = ascii ? kAsciiFold : 0;
    for_each_token(text, [&](std::string_view token) { out.tokens.push_back(pending_token(ix, token, fold)); });
}

// The key of a new token: a long one is copied, lowered, into the arena,
// for the narration's views do not last.
TokenKey keep(IndexedItems& ix, const TokenProbe& token) {
    if (!is_long(token.key)) return token.key;
    ix.lowering.assign(token.raw);
    for (char& c : ix.lowering) c = static_cast<char>(c | token.fold);
    const std::string_view kept = ix.arena.add(ix.lowering);
    return TokenKey{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(kept.data())), token.key.tail};
}

// Item i's tokens into the index and its counts; the token set holds a
// token repeated within the narration once. False if the index is full.
bool add_item(std::uint32_t i, std::uint32_t group, const PendingItem& item, IndexedItems& ix) {
    for (const PendingToken& t : item.tokens) {
        std::uint32_t id = t.id;
        bool added = false;
        if (id == TokenIndex::none) {
            std::tie(id, added) = ix.tokens.insert(t.probe, t.tag, [&](const TokenProbe& p) { return keep(ix, p); });
            if (id == TokenIndex::none) return false;
            // A token met for the first time is most often met only once (a
            // reference number): only one met again may push another out.
            if (!added && !is_long(t.probe.key)) ix.recent.remember(t.probe.key, id);
        }
        TokenStats& s = ix.tokens.value(id);
        if (added) {
            s = TokenStats{1, group, i, 1};
        } else {
            if (s.item == i) continue;
            s.item = i;
            ++s.overall;
            if (s.count == 0) {
                s.candidate = group;
                s.count = 1;
            } else if (s.candidate == group) {
                ++s.count;
            } else {
                --s.count;
            }
        }
        ix.item_tokens.push_back(id);
    }
    ix.tokens_end[i] = ix.item_tokens.size();
    return true;
}

// One pass over the items: group each by its label pair, lower and tokenize
// its narration once, and keep its distinct tokens for the selection. False
// if an index is full.
bool index_items(const std::vector<DeriveInput>& data, IndexedItems& ix) {
    const auto items = static_cast<std::uint32_t>(ix.group_of.size());
    std::array<PendingItem, kLookahead> ring;
    GroupLookup group_of(ix.groups);
    for (std::uint32_t i = 0; i < items + kLookahead; ++i) {
        PendingItem& slot = ring[i % kLookahead];
        if (i >= kLookahead) {
            const std::uint32_t j = i - static_cast<std::uint32_t>(kLookahead);
            if (!add_item(j, ix.group_of[j], slot, ix)) return false;
        }
        // Halfway, the slots fetched for a narration are in the cache: fetch
        // the entries they name, which answer a lookup on their own.
        if (i >= kLookahead / 2 && i - kLookahead / 2 < items) {
            for (const PendingToken& t : ring[(i - kLookahead / 2) % kLookahead].tokens)
                if (t.id == TokenIndex::none) ix.tokens.prefetch_entry_of(t.tag);
        }
        if (i < items) {
            const DeriveInput& item = data[i];
            ix.group_of[i] = group_of(LabelPair{item.category, item.merchant});
            if (ix.group_of[i] == GroupIndex::none) return false;
            prepare(item.narration, ix, slot);
        }
    }
    return true;
}

// Counts each token in its candidate group, and notes the first item there
// that holds it.
// The tokens' entries lie scattered over a table far larger than the
// cache: each is fetched this many occurrences ahead, so that the misses
// overlap.
constexpr std::size_t count_ahead = 16;

void count_in_candidates(IndexedItems& ix) {
    for (std::uint32_t id = 0; id < ix.tokens.size(); ++id) ix.tokens.value(id).count = 0;
    const std::size_t total = ix.item_tokens.size();
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < ix.group_of.size(); ++i) {
        const std::uint32_t group = ix.group_of[i];
        for (const std::size_t end = ix.tokens_end[i]; at < end; ++at) {
            if (at + count_ahead < total) ix.tokens.prefetch_entry(ix.item_tokens[at + count_ahead]);
            TokenStats& s = ix.tokens.value(ix.item_tokens[at]);
            if (s.candidate != group) continue;
            if (s.count++ == 0) s.item = i;
        }
    }
}

// Whether token a comes before token b in item i's tokens (both are there).
bool earlier_in_item(const IndexedItems& ix, std::uint32_t i, std::uint32_t a, std::uint32_t b) {
    const std::size_t begin = i == 0 ? 0 : ix.tokens_end[i - 1];
    for (std::size_t at = begin; at < ix.tokens_end[i]; ++at) {
        if (ix.item_tokens[at] == a) return true;
        if (ix.item_tokens[at] == b) return false;
    }
    return false;
}

// The best token of each group, or TokenIndex::none. Among tokens of equal
// best score the one met first reading the group's narrations in request
// order wins, every time and under every hash key.
std::vector<std::uint32_t> best_tokens(const IndexedItems& ix) {
    struct Best {
        std::uint64_t score = 0;
        std::uint32_t token = TokenIndex::none;
    };
    std::vector<Best> best(ix.groups.size());
    for (std::uint32_t id = 0; id < ix.tokens.size(); ++id) {
        const TokenStats& s = ix.tokens.value(id);
        const double share = static_cast<double>(s.count) / static_cast<double>(s.overall);
        if (share < 0.8) continue;
        const std::uint64_t score = token_score(s.count, token_size(ix.tokens.key(id)));
        Best& b = best[s.candidate];
        if (score < b.score) continue;
        if (score == b.score) {
            const std::uint32_t first = ix.tokens.value(b.token).item;
            if (s.item > first || (s.item == first && !earlier_in_item(ix, s.item, id, b.token))) continue;
        }
        b = Best{score, id};
    }
    std::vector<std::uint32_t> out(best.size());
    std::transform(best.begin(), best.end(), out.begin(), [](const Best& b) { return b.token; });
    return out;
}

}  // namespace

Expected<DeriveRulesResponse, MorvantaError> derive_rules(const DeriveRulesRequest& request) {
    return derive_rules_with_key(request, util::process_hash_key());
}

Expected<DeriveRulesResponse, MorvantaError> derive_rules_with_key(const DeriveRulesRequest& request,
                                                                   const util::HashKey& hash_key) {
    // Items are numbered, and tokens counted, in 32 bits.
    constexpr std::size_t kMaxItems = std::numeric_limits<std::uint32_t>::max() - 1;
    if (request.data.size() > kMaxItems) return Unexpected{too_many("labelled items", kMaxItems)};
    std::size_t bytes = 0;
    for (const DeriveInput& item : request.data) bytes += item.narration.size();
    IndexedItems ix(hash_key, static_cast<std::uint32_t>(request.data.size()), bytes);
    if (!index_items(request.data, ix)) return Unexpected{too_many("distinct keys", TokenIndex::kMaxKeys)};
    count_in_candidates(ix);
    const std::vector<std::uint32_t> best = best_tokens(ix);

    DeriveRulesResponse response;
    response.rules.reserve(best.size());
    std::array<char, kInlineTokenBytes> buffer;
    for (std::uint32_t g = 0; g < best.size(); ++g) {
        if (best[g] == TokenIndex::none) continue;
        const auto& [category, merchant] = ix.groups.key(g);
        // The label pair views the request; the token is copied out of its
        // key or the call's arena, which goes when this call returns.
        response.rules.push_back(
            CategoryRule{response.tokens.add(token_text(ix.tokens.key(best[g]), buffer)), category, merchant});
    }

    // string_view compares bytes as unsigned char, which is code point order.
    std::stable_sort(response.rules.begin(), response.rules.end(), [](const CategoryRule& a, const CategoryRule& b) {
        if (const int c = a.category.compare(b.category); c != 0) return c < 0;
        return a.merchant < b.merchant;
    });
    return response;
}

}  // namespace morvanta::categorizer
