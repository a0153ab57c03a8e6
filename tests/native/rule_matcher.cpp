// Runs rule sets through every matching method so tests can compare each
// with a containment test done in Python.
//
// stdin: cases until end of input; each case is a line "<rules> <narrations>"
// followed by that many lines of patterns, then of narrations, each text
// hex-encoded ("-" for the empty text).
// stdout: per case, one line per method ("direct", "prelowered", "automatic",
// "automaton", "single", "sparse", "full") with the first matching rule index
// of every narration, or "-" where none matched, then "choice direct" or
// "choice automaton": the method the automatic choice took.
#include <algorithm>
#include <cstddef>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/matcher.h"

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
// engine sends them (batch_max at a time).
void run(const char* name, RuleMatcher&& matcher, const std::vector<std::string>& narrations,
         std::size_t batch = RuleMatcher::batch_max) {
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

}  // namespace

int main() {
    std::size_t rule_count = 0, text_count = 0;
    while (std::cin >> rule_count >> text_count) {
        std::vector<CategoryRule> rules(rule_count);
        std::string word;
        for (CategoryRule& rule : rules) {
            std::cin >> word;
            rule.pattern = unhex(word);
        }
        std::vector<std::string> narrations(text_count);
        for (std::string& text : narrations) {
            std::cin >> word;
            text = unhex(word);
        }
        const std::size_t n = narrations.size();
        run("direct", RuleMatcher(rules, n, MatchMethod::Direct), narrations);
        // Announcing more narrations than one batch lowers every pattern up front.
        run("prelowered", RuleMatcher(rules, std::numeric_limits<std::size_t>::max(), MatchMethod::Direct), narrations);
        RuleMatcher automatic(rules, n, MatchMethod::Automatic);
        const bool chose_automaton = automatic.uses_automaton();
        run("automatic", std::move(automatic), narrations);
        run("automaton", RuleMatcher(rules, n, MatchMethod::Automaton), narrations);
        run("single", RuleMatcher(rules, n, MatchMethod::Automaton), narrations, 1);
        // One dense row (the root): every other state goes through its
        // children and failure links.
        run("sparse", RuleMatcher(rules, n, MatchMethod::Automaton, 1), narrations);
        run("full", RuleMatcher(rules, n, MatchMethod::Automaton, std::size_t{1} << 30), narrations);
        std::cout << "choice " << (chose_automaton ? "automaton" : "direct") << '\n';
    }
    return 0;
}
