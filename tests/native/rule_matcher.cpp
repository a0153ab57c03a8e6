// Runs rule sets through every matching method so tests can compare each
// with a containment test done in Python.
//
// stdin: cases until end of input; each case is a line "<rules> <narrations>"
// followed by that many lines of patterns, then of narrations, each text
// hex-encoded ("-" for the empty text).
// stdout: per case, one line per method ("direct", "prelowered", "automatic",
// "handover", "prefix", "prefix-handover", "automaton", "single", "sparse",
// "full") with the first matching rule index of every narration, or "-"
// where none matched, then "choice direct", "choice prefix" or "choice
// automaton": the method the automatic choice took.
//
// With the argument "probes" it checks the token table of rule derivation
// against hash flooding instead (see table_probes below); with "sizing", the
// direct search's gram table for each length on stdin (see gram_sizing); with
// "work", the steps the automatic choice's direct search took on each case,
// after the "automatic" line: "work <steps> <automaton 0 or 1>"; with
// "hashes" it prints the keyed hash and the head word of texts (see
// print_hashes).
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <limits>
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

// Narrations go through the matcher in batches of at most `batch`, as the
// engine sends them (kBatchMax at a time).
void run(const char* name, RuleMatcher&& matcher, const std::vector<std::string>& narrations,
         std::size_t batch = RuleMatcher::kBatchMax) {
    std::cout << name;
    std::vector<std::string_view> texts;
    std::vector<std::size_t> hits;
    for (std::size_t at = 0; at < narrations.size(); at += batch) {
        const std::size_t count = std::min(batch, narrations.size() - at);
        texts.assign(narrations.begin() + static_cast<std::ptrdiff_t>(at),
                     narrations.begin() + static_cast<std::ptrdiff_t>(at + count));
        hits.assign(count, 0);
        matcher.first_matches(texts, hits);
        for (std::size_t hit : hits) {
            if (hit == RuleMatcher::npos)
                std::cout << " -";
            else
                std::cout << ' ' << hit;
        }
    }
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
    // The attacker's search: tokens whose unseeded hash has its low bits 0,
    // as many bits as the largest table these tokens may make (the table
    // grows for long runs only while it is at least 1/16 full), so that they
    // all land in one slot at every size.
    const std::uint64_t mask = std::bit_ceil(std::max<std::size_t>(count, 1)) * 16 - 1;
    std::vector<std::string> colliding;
    for (std::uint64_t n = 0; colliding.size() < count; ++n) {
        std::string t = token_of(n * 0x9E3779B1ull);
        if ((unseeded_hash8(t) & mask) == 0) colliding.push_back(std::move(t));
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
    std::deque<std::string> texts;  // the request views these
    for (std::size_t i = 0; i + 1 < colliding.size(); i += 2)
        request.data.push_back({texts.emplace_back(colliding[i] + ' ' + colliding[i + 1]),
                                texts.emplace_back("c" + std::to_string(i % 13)),
                                texts.emplace_back("m" + std::to_string(i % 5))});
    for (const morvanta::util::HashKey key : {morvanta::util::HashKey{1, 2}, morvanta::util::HashKey{rng(), rng()}}) {
        std::cout << "rules " << key.k0 << '\n';
        const auto response = morvanta::categorizer::derive_rules_with_key(request, key);
        for (const auto& rule : response->rules)
            std::cout << rule.pattern << ' ' << rule.category << ' ' << rule.merchant << '\n';
    }
    return 0;
}

// stdin: narration lengths in bytes, one a line (any size_t). stdout: per
// length, "<length> <slots> <shift>" of the gram table for a batch whose
// longest narration has that length.
int gram_sizing() {
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        const std::size_t longest = std::stoull(line);
        const RuleMatcher::GramTable table = RuleMatcher::gram_table(longest);
        std::cout << longest << ' ' << table.slots << ' ' << table.shift << '\n';
    }
    return 0;
}

// stdin: one hex-encoded text per line ("-" for the empty text). stdout: per
// text, hash_bytes under the process key, plain and with the ASCII fold 0x20,
// then head_word, plain and folded, each as 16 hex digits.
int print_hashes() {
    const morvanta::util::HashKey& key = morvanta::util::process_hash_key();
    char line[4 * 17 + 1];
    for (std::string word; std::cin >> word;) {
        const std::string text = unhex(word);
        std::snprintf(line, sizeof line, "%016llx %016llx %016llx %016llx",
                      static_cast<unsigned long long>(morvanta::util::hash_bytes(key, text)),
                      static_cast<unsigned long long>(morvanta::util::hash_bytes(key, text, 0x20)),
                      static_cast<unsigned long long>(morvanta::util::head_word(text)),
                      static_cast<unsigned long long>(morvanta::util::head_word(text, 0x20)));
        std::cout << line << '\n';
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "probes") return table_probes();
    if (argc > 1 && std::string_view(argv[1]) == "sizing") return gram_sizing();
    if (argc > 1 && std::string_view(argv[1]) == "hashes") return print_hashes();
    const bool work = argc > 1 && std::string_view(argv[1]) == "work";
    std::size_t rule_count = 0, text_count = 0;
    while (std::cin >> rule_count >> text_count) {
        std::vector<CategoryRule> rules(rule_count);
        std::vector<std::string> patterns(rule_count);  // the rules view these
        std::string word;
        for (std::size_t i = 0; i < rule_count; ++i) {
            std::cin >> word;
            patterns[i] = unhex(word);
            rules[i].pattern = patterns[i];
        }
        std::vector<std::string> narrations(text_count);
        for (std::string& text : narrations) {
            std::cin >> word;
            text = unhex(word);
        }
        const std::size_t n = narrations.size();
        if (work) {
            RuleMatcher automatic(rules, n, MatchMethod::Automatic);
            run("automatic", std::move(automatic), narrations);
            // run() took the matcher by reference; it is still whole here.
            std::cout << "work " << automatic.direct_work() << ' ' << automatic.uses_automaton() << '\n';
            continue;
        }
        run("direct", RuleMatcher(rules, n, MatchMethod::Direct), narrations);
        // Announcing more narrations than one batch lowers every pattern up front.
        run("prelowered", RuleMatcher(rules, std::numeric_limits<std::size_t>::max(), MatchMethod::Direct), narrations);
        RuleMatcher automatic(rules, n, MatchMethod::Automatic);
        const char* choice = automatic.uses_automaton() ? "automaton" : automatic.uses_index() ? "prefix" : "direct";
        run("automatic", std::move(automatic), narrations);
        // The automatic choice's direct search handing over to the automaton
        // at its first look at the budget.
        RuleMatcher handover(rules, n, MatchMethod::Automatic);
        handover.limit_direct_work(1);
        run("handover", std::move(handover), narrations);
        run("prefix", RuleMatcher(rules, n, MatchMethod::Prefix), narrations);
        // The prefix index handing over to the automaton at its first test.
        RuleMatcher indexed(rules, n, MatchMethod::Prefix);
        indexed.limit_direct_work(1);
        run("prefix-handover", std::move(indexed), narrations);
        run("automaton", RuleMatcher(rules, n, MatchMethod::Automaton), narrations);
        run("single", RuleMatcher(rules, n, MatchMethod::Automaton), narrations, 1);
        // One dense row (the root): every other state goes through its
        // children and failure links.
        run("sparse", RuleMatcher(rules, n, MatchMethod::Automaton, 1), narrations);
        run("full", RuleMatcher(rules, n, MatchMethod::Automaton, std::size_t{1} << 30), narrations);
        std::cout << "choice " << choice << '\n';
    }
    return 0;
}
