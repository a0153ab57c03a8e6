// Runs rule sets through every matching method so tests can compare each
// with a containment test done in Python.
//
// stdin: cases until end of input; each case is a line "<rules> <narrations>"
// followed by that many lines of patterns, then of narrations, each text
// hex-encoded ("-" for the empty text).
// stdout: per case, one line per method ("direct", "automatic", "automaton",
// "single", "sparse", "full") with the first matching rule index of every narration,
// or "-" where none matched, then "choice direct" or "choice automaton": the
// method the automatic choice took.
//
// With the argument "probes" it checks the token table of rule derivation
// against hash flooding instead (see table_probes below).
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"
#include "categorizer/flat_index.h"
#include "categorizer/matcher.h"
#include "unicode/unicode.h"
#include "util/hash.h"

using morvanta::categorizer::CategoryRule;
using morvanta::categorizer::MatchMethod;
using morvanta::categorizer::RuleMatcher;

namespace {

std::string unhex(const std::string& hex) {
    if (hex == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void print(std::size_t hit) {
    if (hit == RuleMatcher::npos)
        std::cout << " -";
    else
        std::cout << ' ' << hit;
}

// Narrations go through first_match_pair two by two, as the engine sends
// them, and the last one of an odd count through first_match.
void run(const char* name, const RuleMatcher& matcher, const std::vector<std::string>& lowered) {
    std::cout << name;
    std::size_t i = 0;
    for (; i + 1 < lowered.size(); i += 2) {
        const auto [a, b] = matcher.first_match_pair(lowered[i], lowered[i + 1]);
        print(a);
        print(b);
    }
    if (i < lowered.size()) print(matcher.first_match(lowered[i]));
    std::cout << '\n';
}

// Every narration through first_match alone.
void run_single(const char* name, const RuleMatcher& matcher, const std::vector<std::string>& lowered) {
    std::cout << name;
    for (const std::string& text : lowered) print(matcher.first_match(text));
    std::cout << '\n';
}

// The unseeded hash the token table used before it was keyed (for texts of
// 8 bytes): every process placed a text in the same slot, so colliding
// texts could be searched for once, offline.
std::uint64_t unseeded_hash8(std::string_view s) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t w;
    std::memcpy(&w, s.data(), 8);
    std::uint64_t h = (std::rotl(std::uint64_t{8} * k, 5) ^ w) * k;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

struct UnseededTraits {
    static std::uint64_t hash(const morvanta::util::HashKey&, std::string_view s) { return unseeded_hash8(s); }
    static bool equal(std::string_view a, std::string_view b) { return a == b; }
};

struct KeyedTraits {
    static std::uint64_t hash(const morvanta::util::HashKey& key, std::string_view s) {
        return morvanta::util::hash_bytes(key, s);
    }
    static bool equal(std::string_view a, std::string_view b) { return a == b; }
};

constexpr char alnum[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// The eight-byte token numbered n, in base 36.
std::string token_of(std::uint64_t n) {
    std::string t(8, '0');
    for (std::size_t i = 0; i < 8; ++i, n /= 36) t[i] = alnum[n % 36];
    return t;
}

template <class Traits>
void print_probes(const char* name, const std::vector<std::string>& tokens, const morvanta::util::HashKey& key) {
    morvanta::categorizer::FlatIndex<std::string_view, Traits> table(key);
    for (const std::string& t : tokens) table.insert(t);
    const auto stats = table.probe_stats();
    std::cout << name << ' ' << tokens.size() << ' ' << stats.total << ' ' << stats.longest << '\n';
}

// stdin: the number of tokens. stdout: lines "<set> <tokens> <total probes>
// <longest probe run>" for the colliding set under the unseeded hash, then
// for the colliding set and for random tokens under several keys; then, for
// two keys, "rules <key>" and the rules derived from narrations made of the
// colliding tokens, one "pattern category merchant" line each.
int table_probes() {
    std::size_t count = 0;
    std::cin >> count;
    // The attacker's search: tokens whose unseeded hash has 16 low bits 0.
    std::vector<std::string> colliding;
    for (std::uint64_t n = 0; colliding.size() < count; ++n) {
        std::string t = token_of(n * 0x9E3779B1ull);
        if ((unseeded_hash8(t) & 0xffff) == 0) colliding.push_back(std::move(t));
    }
    std::mt19937_64 rng(2024);
    std::vector<std::string> random_tokens;
    for (std::size_t i = 0; i < count; ++i) random_tokens.push_back(token_of(rng()));

    print_probes<UnseededTraits>("unseeded", colliding, {0, 0});
    for (int round = 0; round < 4; ++round) {
        const morvanta::util::HashKey key =
            round == 0 ? morvanta::util::process_hash_key() : morvanta::util::HashKey{rng(), rng()};
        print_probes<KeyedTraits>("colliding", colliding, key);
        print_probes<KeyedTraits>("random", random_tokens, key);
    }

    // Many groups, many tokens of equal score: the pattern of each group is
    // decided by first appearance, whatever the key.
    morvanta::categorizer::DeriveRulesRequest request;
    for (std::size_t i = 0; i + 1 < colliding.size(); i += 2)
        request.data.push_back({colliding[i] + ' ' + colliding[i + 1], "c" + std::to_string(i % 13),
                                "m" + std::to_string(i % 5)});
    for (const morvanta::util::HashKey key : {morvanta::util::HashKey{1, 2}, morvanta::util::HashKey{rng(), rng()}}) {
        std::cout << "rules " << key.k0 << '\n';
        for (const auto& rule : morvanta::categorizer::derive_rules_with_key(request, key)->rules)
            std::cout << rule.pattern << ' ' << rule.category << ' ' << rule.merchant << '\n';
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "probes") return table_probes();
    std::size_t rule_count = 0, text_count = 0;
    while (std::cin >> rule_count >> text_count) {
        std::vector<CategoryRule> rules(rule_count);
        std::string word;
        for (CategoryRule& rule : rules) {
            std::cin >> word;
            rule.pattern = unhex(word);
        }
        std::vector<std::string> lowered(text_count);
        for (std::string& text : lowered) {
            std::cin >> word;
            text = morvanta::unicode::to_lower(unhex(word));
        }
        run("direct", RuleMatcher(rules, MatchMethod::Direct), lowered);
        const RuleMatcher automatic(rules, MatchMethod::Automatic);
        run("automatic", automatic, lowered);
        const RuleMatcher automaton(rules, MatchMethod::Automaton);
        run("automaton", automaton, lowered);
        run_single("single", automaton, lowered);
        // One dense row (the root): every other state goes through its
        // children and failure links.
        run("sparse", RuleMatcher(rules, MatchMethod::Automaton, 1), lowered);
        run("full", RuleMatcher(rules, MatchMethod::Automaton, std::size_t{1} << 30), lowered);
        std::cout << "choice " << (automatic.uses_automaton() ? "automaton" : "direct") << '\n';
    }
    return 0;
}
