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

}  // namespace

int main() {
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
