#include "categorizer/automaton.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

namespace morvanta::categorizer {

namespace {

// A trie node while the trie is being built in sorted pattern order.
struct BuildNode {
    std::uint32_t first_child = 0;  // 0 = none (the root is nobody's child)
    std::uint32_t last_child = 0;
    std::uint32_t next_sibling = 0;
    std::uint32_t own = Automaton::npos;  // lowest pattern number ending exactly here
    unsigned char label = 0;
};

std::size_t common_prefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

Automaton::Automaton(std::span<const std::string_view> patterns, std::size_t dense_bytes) {
    std::size_t total = 0;
    for (std::string_view p : patterns) total += p.size();
    if (!fits(patterns.size(), total)) throw std::length_error("pattern set too large for the automaton");

    // Byte classes: bytes that occur in no pattern share class 0, which leads
    // back to the root from every state; this narrows the dense rows to the
    // alphabet the patterns actually use.
    std::array<bool, 256> used{};
    for (std::string_view p : patterns)
        for (char c : p) used[static_cast<unsigned char>(c)] = true;
    const bool all_used = std::all_of(used.begin(), used.end(), [](bool u) { return u; });
    if (all_used) {
        // No spare byte for class 0; map bytes to themselves (cannot happen
        // for UTF-8 text, which never holds 0xC0, 0xC1 or 0xF5..0xFF).
        classes_ = 256;
        for (std::size_t b = 0; b < 256; ++b) class_of_[b] = static_cast<std::uint8_t>(b);
    } else {
        classes_ = 1;
        for (std::size_t b = 0; b < 256; ++b)
            class_of_[b] = used[b] ? static_cast<std::uint8_t>(classes_++) : std::uint8_t{0};
    }

    // Inserting the patterns in sorted order needs no child lookups: a
    // pattern shares its prefix with the previous one and only appends new
    // nodes, and every parent receives its children in ascending byte order.
    std::vector<std::uint32_t> order(patterns.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return patterns[a] < patterns[b]; });

    std::vector<BuildNode> trie;
    trie.reserve(total + 1);
    trie.emplace_back();
    std::vector<std::uint32_t> path{0};  // path[d] = node of the previous pattern's d-byte prefix
    std::string_view prev;
    for (std::uint32_t id : order) {
        const std::string_view p = patterns[id];
        const std::size_t shared = common_prefix(prev, p);
        path.resize(shared + 1);
        for (std::size_t j = shared; j < p.size(); ++j) {
            const auto node = static_cast<std::uint32_t>(trie.size());
            BuildNode fresh;
            fresh.label = static_cast<unsigned char>(p[j]);
            trie.push_back(fresh);
            BuildNode& parent = trie[path.back()];
            if (parent.first_child == 0)
                parent.first_child = node;
            else
                trie[parent.last_child].next_sibling = node;
            parent.last_child = node;
            path.push_back(node);
        }
        std::uint32_t& own = trie[path.back()].own;
        own = std::min(own, id);
        prev = p;
    }

    // Renumber breadth first: children of one state become a contiguous,
    // sorted range, and state numbers grow with depth, so a failure link
    // always points to a lower number.
    const std::size_t n = trie.size();
    nodes_.resize(n + 1);
    labels_.resize(n);
    std::vector<std::uint32_t> own(n);
    std::vector<std::uint32_t> queue;
    queue.reserve(n);
    queue.push_back(0);
    own[0] = trie[0].own;
    for (std::size_t s = 0; s < n; ++s) {
        nodes_[s].first_child = static_cast<std::uint32_t>(queue.size());
        for (std::uint32_t c = trie[queue[s]].first_child; c != 0; c = trie[c].next_sibling) {
            labels_[queue.size()] = trie[c].label;
            own[queue.size()] = trie[c].own;
            queue.push_back(c);
        }
    }
    nodes_[n] = Node{static_cast<std::uint32_t>(n), 0, npos};
    trie = {};
    queue = {};

    const std::size_t row_bytes = std::size_t{classes_} * sizeof(std::uint32_t);
    dense_count_ = static_cast<std::uint32_t>(std::clamp<std::size_t>(dense_bytes / row_bytes, 1, n));
    dense_.resize(std::size_t{dense_count_} * classes_);

    // States in breadth-first order: a state's failure link and everything
    // on its chain are finished before the state itself.
    nodes_[0].fail = 0;
    nodes_[0].out = own[0];
    for (std::uint32_t s = 0; s < n; ++s) {
        Node& node = nodes_[s];
        if (s != 0) node.out = std::min(own[s], nodes_[node.fail].out);
        const std::uint32_t begin = node.first_child;
        const std::uint32_t end = nodes_[s + 1].first_child;
        if (s < dense_count_) {
            std::uint32_t* row = dense_.data() + std::size_t{s} * classes_;
            if (s != 0) std::memcpy(row, dense_.data() + std::size_t{node.fail} * classes_, row_bytes);
            for (std::uint32_t t = begin; t < end; ++t) row[class_of_[labels_[t]]] = t;
        }
        for (std::uint32_t t = begin; t < end; ++t) nodes_[t].fail = s == 0 ? 0 : step(node.fail, labels_[t]);
    }
}

std::uint32_t Automaton::first_match(std::string_view text) const {
    // Pattern 0 is the lowest possible answer: once found, stop.
    std::uint32_t best = nodes_[0].out;
    if (best == 0) return 0;
    std::uint32_t s = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    for (; p != end; ++p) {
        s = step(s, *p);
        const std::uint32_t out = nodes_[s].out;
        if (out < best) {
            best = out;
            if (best == 0) break;
        }
    }
    return best;
}

std::size_t Automaton::memory_bytes() const {
    return sizeof(*this) + dense_.capacity() * sizeof(std::uint32_t) + nodes_.capacity() * sizeof(Node) +
           labels_.capacity();
}

}  // namespace morvanta::categorizer
