// Benchmark of the categorizer engines on synthetic bank statements (not
// part of the test suite). Build like the release library, for example:
//   g++ -std=c++20 -O3 -DNDEBUG -I src tests/native/bench_categorizer.cpp
//       src/categorizer/*.cpp src/unicode/*.cpp -o /tmp/bench && /tmp/bench
// Arguments: [e2e|crossover|dense|derive|all] [letters].
// Prints nanoseconds per narration (best of several runs) for: the
// categorization engine end to end at several rule counts, direct search
// against the automaton at small rule counts (the crossover), the automaton's
// dense-row budget, and rule derivation per labelled narration.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "categorizer/engine.h"
#include "categorizer/matcher.h"
#include "unicode/unicode.h"

using namespace morvanta::categorizer;

namespace {

std::mt19937_64 rng(12345);

std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

// Letters drawn uniformly instead of syllables ("letters" on the command
// line): names then rarely share more than a short prefix.
bool uniform_letters = false;

// Word-like names from syllables, so that names share prefixes and partial
// matches are common, as with real merchant names.
std::string name(std::size_t min_len, std::size_t max_len) {
    static const char* syllables[] = {"ka", "ra", "mo", "zo", "swi", "ggy", "ama", "zon", "fli", "pkart", "uber",
                                      "ola", "pay", "tm", "big", "bas", "ket", "reli", "ance", "star", "bu",
                                      "cks", "dom", "ino", "mart", "fresh", "city", "ba", "ker", "y", "net", "flix"};
    const std::size_t target = min_len + pick(max_len - min_len + 1);
    std::string out;
    if (uniform_letters) {
        while (out.size() < target) out.push_back(static_cast<char>('a' + pick(26)));
        return out;
    }
    while (out.size() < target) out += syllables[pick(std::size(syllables))];
    out.resize(target);
    return out;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string digits(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<char>('0' + pick(10)));
    return out;
}

// Records view their texts; this keeps them for the whole run.
std::string_view keep(std::string text) {
    static std::deque<std::string> texts;
    return texts.emplace_back(std::move(text));
}

std::vector<CategoryRule> make_rules(std::size_t n) {
    std::vector<CategoryRule> rules;
    rules.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string p = name(5, 15);
        if (i % 3 == 0) p[0] = static_cast<char>(p[0] - 'a' + 'A');  // some mixed case to lower
        rules.push_back(CategoryRule{keep(p), keep("Category " + std::to_string(i % 40)), keep("Merchant " + std::to_string(i))});
    }
    return rules;
}

// Statement narrations of 20-80 bytes; about half contain some rule's pattern.
std::string narration(const std::vector<CategoryRule>& rules) {
    const std::string word = (pick(2) == 0 && !rules.empty()) ? upper(std::string(rules[pick(rules.size())].pattern)) : upper(name(4, 12));
    std::string out;
    switch (pick(3)) {
        case 0: out = "POS " + digits(4) + "XXXX" + digits(4) + " " + word + " " + upper(name(4, 9)); break;
        case 1: out = "UPI/" + digits(12) + "/" + word + "@OK" + upper(name(3, 6)) + "/PAYMENT"; break;
        default: out = "NEFT-HDFC000" + digits(4) + "-" + word + " PVT LTD"; break;
    }
    if (out.size() > 80) out.resize(80);
    return out;
}

template <class F>
double best_ns(int runs, std::size_t per_run, F&& body) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        body();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(per_run));
    }
    return best;
}

std::size_t sink = 0;

void bench_end_to_end() {
    std::printf("categorize_transactions end to end (ns per narration)\n");
    std::printf("%8s %12s %12s %12s %14s\n", "rules", "10k narr", "100k narr", "matched", "build (us)");
    for (std::size_t n : {10, 100, 1000, 10000}) {
        CategorizeRequest small{{}, make_rules(n)};
        for (int i = 0; i < 10000; ++i) small.data.push_back(MapInput{keep(narration(small.rules))});
        CategorizeRequest large{{}, small.rules};
        for (int i = 0; i < 100000; ++i) large.data.push_back(MapInput{keep(narration(large.rules))});
        std::size_t matched = 0;
        const double a = best_ns(7, small.data.size(), [&] { sink += categorize_transactions(small)->data.rows.size(); });
        const double b = best_ns(5, large.data.size(), [&] {
            const auto res = categorize_transactions(large);
            matched = static_cast<std::size_t>(std::count_if(res->data.rows.begin(), res->data.rows.end(), [](std::uint32_t row) { return row != morvanta::convert::Rows<MapOutput>::none; }));
        });
        const double build = best_ns(7, 1000, [&] { sink += RuleMatcher(small.rules).uses_automaton(); });
        std::printf("%8zu %12.1f %12.1f %11.0f%% %14.1f\n", n, a, b, 100.0 * static_cast<double>(matched) / 100000.0, build);
    }
}

void bench_crossover() {
    std::printf("\nmatching only, lowered narrations (ns per narration): direct vs automaton\n");
    std::printf("%8s %10s %10s\n", "rules", "direct", "automaton");
    for (std::size_t n : {1, 2, 3, 4, 5, 6, 8, 12, 16, 32}) {
        const auto rules = make_rules(n);
        std::vector<std::string> lowered;
        for (int i = 0; i < 20000; ++i) lowered.push_back(morvanta::unicode::to_lower(narration(rules)));
        // The build is part of the cost: one call may hold few narrations.
        const auto run = [&](MatchMethod m, std::size_t per_call) {
            return best_ns(7, lowered.size(), [&] {
                for (std::size_t at = 0; at < lowered.size(); at += per_call) {
                    const RuleMatcher matcher(rules, m);
                    // Two at a time, as the engine does (per_call is even).
                    for (std::size_t i = at; i + 1 < std::min(lowered.size(), at + per_call); i += 2) {
                        const auto [a, b] = matcher.first_match_pair(lowered[i], lowered[i + 1]);
                        sink += a + b;
                    }
                }
            });
        };
        std::printf("%8zu %10.1f %10.1f   (per call of 100: %6.1f %6.1f)\n", n, run(MatchMethod::Direct, lowered.size()),
                    run(MatchMethod::Automaton, lowered.size()), run(MatchMethod::Direct, 100), run(MatchMethod::Automaton, 100));
    }
}

void bench_dense_budget() {
    std::printf("\nautomaton dense-row budget at 10,000 rules (ns per narration, build in us)\n");
    const auto rules = make_rules(10000);
    std::vector<std::string> lowered;
    for (int i = 0; i < 100000; ++i) lowered.push_back(morvanta::unicode::to_lower(narration(rules)));
    for (std::size_t budget : {std::size_t{1}, std::size_t{16} << 10, std::size_t{64} << 10, std::size_t{256} << 10,
                               std::size_t{1} << 20, std::size_t{4} << 20, std::size_t{64} << 20}) {
        const RuleMatcher probe(rules, MatchMethod::Automaton, budget);
        const double scan = best_ns(5, lowered.size(), [&] {
            for (std::size_t i = 0; i + 1 < lowered.size(); i += 2) {
                const auto [a, b] = probe.first_match_pair(lowered[i], lowered[i + 1]);
                sink += a + b;
            }
        });
        const double build = best_ns(5, 1000, [&] { sink += RuleMatcher(rules, MatchMethod::Automaton, budget).uses_automaton(); });
        std::printf("  budget %9zu B: scan %6.1f  build %8.1f\n", budget, scan, build);
    }
    // Size of the automaton itself.
    std::vector<std::string> pats;
    for (const auto& r : rules) pats.push_back(morvanta::unicode::to_lower(r.pattern));
    std::vector<std::string_view> views(pats.begin(), pats.end());
    const Automaton a(views);
    std::printf("  states %zu, dense states %zu, memory %zu KiB\n", a.state_count(), a.dense_state_count(), a.memory_bytes() >> 10);
}

void bench_derive() {
    std::printf("\nderive_rules (ns per labelled narration)\n");
    for (std::size_t n : {10000, 100000}) {
        DeriveRulesRequest request;
        std::vector<std::string> merchants;
        for (int g = 0; g < 300; ++g) merchants.push_back(upper(name(5, 12)));
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t g = pick(300);
            const std::string text = (pick(3) == 0 ? "UPI/" + digits(12) + "/" : "POS " + digits(4) + "XXXX" + digits(4) + " ") +
                                     merchants[g] + " " + upper(name(4, 8)) + " " + (pick(2) ? "MUMBAI" : "BANGALORE");
            request.data.push_back(
                DeriveInput{keep(text), keep("Category " + std::to_string(g % 40)), keep("Merchant " + std::to_string(g))});
        }
        std::size_t rules = 0;
        const double t = best_ns(5, n, [&] { rules = derive_rules(request)->rules.size(); });
        std::printf("  %7zu narrations, 300 pairs: %6.1f ns (%zu rules)\n", n, t, rules);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string only = argc > 1 ? argv[1] : "";
    uniform_letters = argc > 2 && std::string(argv[2]) == "letters";
    if (only == "all") only.clear();
    if (only.empty() || only == "e2e") bench_end_to_end();
    if (only.empty() || only == "crossover") bench_crossover();
    if (only.empty() || only == "dense") bench_dense_budget();
    if (only.empty() || only == "derive") bench_derive();
    return sink == 42 ? 1 : 0;
}
