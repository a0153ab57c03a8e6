// Runs rule sets through every matching method so tests can compare each
// with a containment test done in Python.
//
// stdin: cases until end of input; each case is a line "<rules> <narrations>"
// followed by that many lines of patterns, then of narrations, each text
// hex-encoded ("-" for the empty text).
// stdout: per case, one line per method ("direct", "automatic", "automaton",
// "sparse", "full") with the first matching rule index of every narration,
// or "-" where none matched.
#include <cstddef>
#include <iostream>
#include <string>
#include <vector>

#include "categorizer/matcher.h"
#include "unicode/unicode.h"

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

void run(const char* name, const RuleMatcher& matcher, const std::vector<std::string>& lowered) {
    std::cout << name;
    for (const std::string& text : lowered) {
        const std::size_t hit = matcher.first_match(text);
        if (hit == RuleMatcher::npos)
            std::cout << " -";
        else
            std::cout << ' ' << hit;
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
        std::vector<std::string> lowered(text_count);
        for (std::string& text : lowered) {
            std::cin >> word;
            text = morvanta::unicode::to_lower(unhex(word));
        }
        run("direct", RuleMatcher(rules, MatchMethod::Direct), lowered);
        run("automatic", RuleMatcher(rules, MatchMethod::Automatic), lowered);
        run("automaton", RuleMatcher(rules, MatchMethod::Automaton), lowered);
        // One dense row (the root): every other state goes through its
        // children and failure links.
        run("sparse", RuleMatcher(rules, MatchMethod::Automaton, 1), lowered);
        run("full", RuleMatcher(rules, MatchMethod::Automaton, std::size_t{1} << 30), lowered);
    }
    return 0;
}
