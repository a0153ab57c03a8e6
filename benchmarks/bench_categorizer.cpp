// Benchmark of the categorizer engines on synthetic bank statements, over
// the core alone. CMake builds it as the target bench_categorizer (with
// -DMORVANTA_NATIVE_TESTS=ON), or by hand, like the release library:
//   g++ -std=c++20 -O3 -DNDEBUG -I src benchmarks/bench_categorizer.cpp
//       src/categorizer/*.cpp src/unicode/*.cpp -o /tmp/bench && /tmp/bench
// Arguments: [e2e|crossover|dense|derive|budget|all] [letters], or
// files RULES NARRATIONS: one pattern, or one narration, per line (for
// example the data of benchmarks/run.py written out), or
// derive-file ITEMS: one labelled item per line, category TAB merchant TAB
// narration.
// Prints (best of several runs): the categorization engine end to end at
// 1 to 100,000 narrations per call and 100 to 10,000 rules, in ns per
// narration and per call; direct search against the automaton per call at
// each batch size (the crossover); the automaton's dense-row budget; rule
// derivation per labelled narration; and the direct search's work steps
// against its time and the automaton's, on shapes that stress the budget.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <random>
#include <span>
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

// Merchant-like patterns of 4-14 bytes, about 10 % of them two words and a
// few non-ASCII; a third start with a capital, to be lowered.
std::vector<CategoryRule> make_rules(std::size_t n) {
    static const char* accented[] = {"caf\u00e9", "b\u00e4ckerei", "stra\u00dfe", "cr\u00eape", "\u03ba\u03b1\u03c6\u03ad"};
    std::vector<CategoryRule> rules;
    rules.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string p = name(4, 10);
        const std::size_t kind = pick(100);
        if (kind < 10)
            p += " " + name(3, 5);
        else if (kind < 13)
            p = accented[pick(std::size(accented))] + name(2, 6);
        if (i % 3 == 0) p[0] = static_cast<char>(p[0] - 'a' + 'A');
        rules.push_back(CategoryRule{keep(p), keep("Category " + std::to_string(i % 40)), keep("Merchant " + std::to_string(i))});
    }
    return rules;
}

// Statement narrations of 20-80 bytes: a channel prefix, reference numbers,
// a merchant or person name (a rule's pattern for about 60 %), sometimes a
// city or a handle with '@'; about 5 % hold non-ASCII letters.
std::string narration(const std::vector<CategoryRule>& rules) {
    static const char* cities[] = {"MUMBAI", "BANGALORE", "DELHI", "PUNE", "CHENNAI", "KOLKATA"};
    static const char* foreign[] = {"M\u00dcNCHEN", "Z\u00dcRICH", "S\u00c3O PAULO", "\u0391\u0398\u0397\u039d\u0391", "K\u00d6LN"};
    const std::string word = (pick(10) < 6 && !rules.empty()) ? upper(std::string(rules[pick(rules.size())].pattern)) : upper(name(4, 12));
    std::string out;
    switch (pick(4)) {
        case 0: out = "POS " + digits(4) + "XXXX" + digits(4) + " " + word; break;
        case 1: out = "UPI/" + digits(12) + "/" + word + "/" + name(4, 8) + "@ok" + name(3, 5); break;
        case 2: out = "NEFT-HDFC" + digits(7) + "-" + word + " PVT LTD"; break;
        default: out = "ACH D- " + word + "-" + digits(9); break;
    }
    if (pick(3) == 0) out += std::string(" ") + cities[pick(std::size(cities))];
    if (pick(20) == 0) out += std::string(" ") + foreign[pick(std::size(foreign))];
    while (out.size() < 20) out += " " + digits(4);
    if (out.size() > 80) {
        out.resize(80);
        while ((static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();  // whole characters only
        if (static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    }
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

CategorizeRequest make_request(const std::vector<CategoryRule>& rules, std::size_t narrations) {
    CategorizeRequest request{{}, rules};
    request.data.reserve(narrations);
    for (std::size_t i = 0; i < narrations; ++i) request.data.push_back(MapInput{keep(narration(rules))});
    return request;
}

void bench_end_to_end() {
    std::printf("categorize_transactions end to end: ns per narration (us per call)\n");
    std::printf("%8s %18s %18s %18s %18s %9s %12s\n", "rules", "1 narr", "10 narr", "100 narr", "100k narr", "matched",
                "ns/rule at 1");
    for (std::size_t r : {100, 1000, 10000}) {
        const auto rules = make_rules(r);
        std::printf("%8zu", r);
        double single = 0;
        std::size_t matched = 0;
        for (std::size_t n : {1, 10, 100, 100000}) {
            // Calls of n narrations over at least 100,000 narrations in all
            // (fewer at 10,000 rules and small n, where a call costs more).
            const std::size_t calls = std::max<std::size_t>(1, (n == 1 && r == 10000 ? 20000 : 100000) / n);
            std::vector<CategorizeRequest> requests;
            for (std::size_t c = 0; c < std::min<std::size_t>(calls, 8); ++c) requests.push_back(make_request(rules, n));
            const double ns = best_ns(n == 100000 ? 5 : 3, calls * n, [&] {
                for (std::size_t c = 0; c < calls; ++c) {
                    const auto res = categorize_transactions(requests[c % requests.size()]);
                    if (n == 100000)
                        matched = static_cast<std::size_t>(std::count_if(res->data.rows.begin(), res->data.rows.end(), [](std::uint32_t row) { return row != morvanta::convert::Rows<MapOutput>::none; }));
                    sink += res->data.rows.size();
                }
            });
            if (n == 1) single = ns;
            std::printf(" %8.1f (%7.2f)", ns, ns * static_cast<double>(n) / 1000.0);
        }
        std::printf(" %8.0f%% %12.1f\n", 100.0 * static_cast<double>(matched) / 100000.0, single / static_cast<double>(r));
    }
}

void bench_crossover() {
    std::printf("\nmatching only, per call of n narrations (us): direct / prefix index / automaton\n");
    std::printf("%8s", "rules");
    const std::size_t counts[] = {1, 8, 32, 64, 128, 256, 512, 1024, 2048, 8192, 32768};
    for (std::size_t n : counts) std::printf(" %23zu", n);
    std::printf("\n");
    for (std::size_t r : {5, 10, 100, 1000, 10000}) {
        const auto rules = make_rules(r);
        std::vector<std::string> texts;
        for (int i = 0; i < 32768; ++i) texts.push_back(narration(rules));
        std::printf("%8zu", r);
        for (std::size_t n : counts) {
            const auto run = [&](MatchMethod method) {
                const std::size_t calls = std::max<std::size_t>(2, 2000000 / (r * n + 20 * r + 1000));
                return best_ns(3, calls, [&] {
                    std::vector<std::string_view> views(RuleMatcher::kBatchMax);
                    std::vector<std::size_t> hits(RuleMatcher::kBatchMax);
                    for (std::size_t c = 0; c < calls; ++c) {
                        RuleMatcher matcher(rules, n, method);
                        for (std::size_t at = 0; at < n; at += RuleMatcher::kBatchMax) {
                            const std::size_t m = std::min(RuleMatcher::kBatchMax, n - at);
                            for (std::size_t k = 0; k < m; ++k) views[k] = texts[(c * n + at + k) % texts.size()];
                            matcher.first_matches({views.data(), m}, {hits.data(), m});
                            sink += hits[0];
                        }
                    }
                }) / 1000.0;
            };
            std::printf(" %7.1f/%7.1f/%-7.1f", run(MatchMethod::Direct), run(MatchMethod::Prefix), run(MatchMethod::Automaton));
        }
        std::printf("\n");
    }
}

// Size of the automaton over the rules' patterns.
void print_automaton_size(std::span<const CategoryRule> rules) {
    std::vector<std::string> pats;
    for (const auto& r : rules) pats.push_back(morvanta::unicode::to_lower(r.pattern));
    std::vector<std::string_view> views(pats.begin(), pats.end());
    const Automaton a(views);
    std::printf("  states %zu, dense states %zu, memory %zu KiB\n", a.state_count(), a.dense_state_count(), a.memory_bytes() >> 10);
}

void bench_dense_budget() {
    std::printf("\nautomaton dense-row budget at 10,000 rules (ns per narration, build in us)\n");
    const auto rules = make_rules(10000);
    std::vector<std::string> texts;
    for (int i = 0; i < 100000; ++i) texts.push_back(narration(rules));
    for (std::size_t budget : {std::size_t{1}, std::size_t{16} << 10, std::size_t{64} << 10, std::size_t{256} << 10,
                               std::size_t{1} << 20, std::size_t{4} << 20, std::size_t{64} << 20}) {
        RuleMatcher probe(rules, texts.size(), MatchMethod::Automaton, budget);
        const double scan = best_ns(5, texts.size(), [&] {
            std::vector<std::string_view> views(RuleMatcher::kBatchMax);
            std::vector<std::size_t> hits(RuleMatcher::kBatchMax);
            for (std::size_t at = 0; at + RuleMatcher::kBatchMax <= texts.size(); at += RuleMatcher::kBatchMax) {
                std::copy(texts.begin() + static_cast<std::ptrdiff_t>(at), texts.begin() + static_cast<std::ptrdiff_t>(at + RuleMatcher::kBatchMax), views.begin());
                probe.first_matches(views, hits);
                sink += hits[0];
            }
        });
        const double build = best_ns(5, 1000, [&] { sink += RuleMatcher(rules, texts.size(), MatchMethod::Automaton, budget).uses_automaton(); });
        std::printf("  budget %9zu B: scan %6.1f  build %8.1f\n", budget, scan, build);
    }
    print_automaton_size(rules);
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
            request.data.push_back(DeriveInput{keep(text), keep("Category " + std::to_string(g % 40)), keep("Merchant " + std::to_string(g))});
        }
        std::size_t rules = 0;
        const double t = best_ns(5, n, [&] { rules = derive_rules(request)->rules.size(); });
        std::printf("  %7zu narrations, 300 pairs: %6.1f ns (%zu rules)\n", n, t, rules);
    }
}

// One shape for the direct search's budget: the direct search alone (no
// handover), its steps and their time; the automaton's build and scan; and
// whether the automatic choice handed over.
void budget_case(const char* name, const std::vector<std::string>& patterns, const std::vector<std::string>& texts) {
    std::vector<CategoryRule> rules;
    for (const std::string& p : patterns) rules.push_back(CategoryRule{p, "c", "m"});
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<std::size_t> hits(views.size());
    const auto match_all = [&](RuleMatcher& matcher) {
        for (std::size_t at = 0; at < views.size(); at += RuleMatcher::kBatchMax) {
            const std::size_t m = std::min(RuleMatcher::kBatchMax, views.size() - at);
            matcher.first_matches({views.data() + at, m}, {hits.data() + at, m});
        }
    };
    std::uint64_t steps = 0;
    const double direct = best_ns(3, 1, [&] {
        RuleMatcher matcher(rules, views.size(), MatchMethod::Direct);
        match_all(matcher);
        steps = matcher.direct_work();
    });
    const double build = best_ns(3, 1, [&] { sink += RuleMatcher(rules, views.size(), MatchMethod::Automaton).uses_automaton(); });
    RuleMatcher built(rules, views.size(), MatchMethod::Automaton);
    const double scan = best_ns(3, 1, [&] { match_all(built); });
    RuleMatcher automatic(rules, views.size());
    match_all(automatic);
    std::size_t pattern_bytes = 0, text_bytes = 0;
    for (const std::string& p : patterns) pattern_bytes += p.size();
    for (const std::string& t : texts) text_bytes += t.size();
    std::printf("  %-22s direct %9.3f ms, %12llu steps, %5.3f ns a step | automaton build %8.3f ms "
                "(%5.1f ns a pattern byte), scan %5.2f ns a byte | handed over: %s\n",
                name, direct / 1e6, static_cast<unsigned long long>(steps), direct / static_cast<double>(steps),
                build / 1e6, build / static_cast<double>(pattern_bytes),
                scan / static_cast<double>(text_bytes), automatic.uses_automaton() ? "yes" : "no");
}

void bench_budget() {
    std::printf("\ndirect search budget: steps against time\n");
    std::vector<std::string> patterns, texts;
    for (std::size_t k = 0; k < 10000; ++k)
        patterns.push_back("aaa" + std::string(k % 50, 'a') + std::string(1 + k / 50 % 5, 'c') + std::string(55 - k % 50, 'a') + "aab");
    for (int i = 0; i < 10; ++i) texts.push_back(std::string(1000, 'a') + "b" + std::to_string(i));
    budget_case("look-alike, 10", patterns, texts);
    texts.assign(1, std::string(std::size_t{10} << 20, 'x') + "coffee");
    patterns.clear();
    for (int i = 0; i < 5000; ++i) patterns.push_back("p" + std::to_string(i));
    budget_case("10 MiB, 5,000 rules", patterns, texts);
    patterns.resize(9);
    budget_case("10 MiB, 9 rules", patterns, texts);
    const auto rules = make_rules(10000);
    patterns.clear();
    texts.clear();
    for (const CategoryRule& r : rules) patterns.emplace_back(r.pattern);
    for (int i = 0; i < 100; ++i) texts.push_back(narration(rules));
    budget_case("bank-style, 100", patterns, texts);
}

std::vector<std::string_view> read_lines(const char* path) {
    std::ifstream in(path);
    std::vector<std::string_view> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(keep(line));
    return lines;
}

// The engine alone on given rules and narrations, all narrations in one call.
void bench_files(const char* rules_path, const char* narrations_path) {
    CategorizeRequest request;
    for (std::string_view p : read_lines(rules_path)) request.rules.push_back(CategoryRule{p, keep("Category"), p});
    for (std::string_view t : read_lines(narrations_path)) request.data.push_back(MapInput{t});
    // Processor time, best of many runs: on a shared machine the wall clock
    // also counts the time other processes run.
    std::size_t matched = 0;
    double ns = 1e300;
    for (int run = 0; run < 15; ++run) {
        const std::clock_t t0 = std::clock();
        const auto res = categorize_transactions(request);
        const std::clock_t t1 = std::clock();
        matched = static_cast<std::size_t>(std::count_if(res->data.rows.begin(), res->data.rows.end(), [](std::uint32_t row) { return row != morvanta::convert::Rows<MapOutput>::none; }));
        ns = std::min(ns, 1e9 * static_cast<double>(t1 - t0) / CLOCKS_PER_SEC / static_cast<double>(request.data.size()));
    }
    std::printf("%zu rules, %zu narrations: %.1f ns per narration, %zu matched\n", request.rules.size(),
                request.data.size(), ns, matched);
    print_automaton_size(request.rules);
}

// Rule derivation alone on given labelled items, all in one call.
void bench_derive_file(const char* path) {
    DeriveRulesRequest request;
    for (std::string_view line : read_lines(path)) {
        const std::size_t a = line.find('\t');
        const std::size_t b = line.find('\t', a + 1);
        if (a == std::string_view::npos || b == std::string_view::npos) continue;
        request.data.push_back(DeriveInput{line.substr(b + 1), line.substr(0, a), line.substr(a + 1, b - a - 1)});
    }
    std::size_t rules = 0;
    double ns = 1e300;
    for (int run = 0; run < 15; ++run) {
        const std::clock_t t0 = std::clock();
        rules = derive_rules(request)->rules.size();
        const std::clock_t t1 = std::clock();
        ns = std::min(ns, 1e9 * static_cast<double>(t1 - t0) / CLOCKS_PER_SEC / static_cast<double>(request.data.size()));
    }
    std::printf("derive_rules, %zu items: %.1f ns per item, %zu rules\n", request.data.size(), ns, rules);
}

}  // namespace

int main(int argc, char** argv) {
    std::string only = argc > 1 ? argv[1] : "";
    uniform_letters = argc > 2 && std::string(argv[2]) == "letters";
    if (only == "derive-file" && argc > 2) {
        bench_derive_file(argv[2]);
        return 0;
    }
    if (only == "files" && argc > 3) {
        bench_files(argv[2], argv[3]);
        return 0;
    }
    if (only == "all") only.clear();
    if (only.empty() || only == "e2e") bench_end_to_end();
    if (only.empty() || only == "crossover") bench_crossover();
    if (only.empty() || only == "dense") bench_dense_budget();
    if (only.empty() || only == "derive") bench_derive();
    if (only.empty() || only == "budget") bench_budget();
    return sink == 42 ? 1 : 0;
}
