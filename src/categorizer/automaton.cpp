#include "categorizer/automaton.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace morvanta::categorizer {

namespace {

using Entry = Automaton::Entry;

// Sorts entries by their byte at `depth` (every entry in the range is longer
// than `depth`). Counting sort for large ranges, insertion sort for the small
// ones that make up most of a trie.
void sort_by_byte(Entry* first, Entry* last, std::size_t depth, std::vector<Entry>& scratch) {
    const auto n = static_cast<std::size_t>(last - first);
    if (n <= 32) {
        for (Entry* i = first + 1; i < last; ++i) {
            const Entry e = *i;
            Entry* j = i;
            for (; j > first && (j - 1)->data[depth] > e.data[depth]; --j) *j = *(j - 1);
            *j = e;
        }
        return;
    }
    std::array<std::uint32_t, 257> start{};
    for (Entry* i = first; i < last; ++i) ++start[i->data[depth] + 1u];
    for (std::size_t b = 0; b < 256; ++b) start[b + 1] += start[b];
    scratch.resize(n);
    for (Entry* i = first; i < last; ++i) scratch[start[i->data[depth]]++] = *i;
    std::copy(scratch.begin(), scratch.end(), first);
}

}  // namespace

Automaton::Automaton(std::span<const std::string_view> patterns, std::size_t dense_bytes) {
    std::size_t total = 0;
    for (std::string_view p : patterns) total += p.size();
    // Callers test fits() first: a set beyond it is a broken invariant.
    if (!fits(patterns.size(), total)) throw std::logic_error("pattern set too large for the automaton");

    assign_byte_classes(patterns);
    set_stride();
    const std::size_t row_bytes = std::size_t{stride_} * sizeof(std::uint16_t);
    const std::size_t budget = std::min(dense_bytes, kRowCellsMax * sizeof(std::uint16_t));
    const std::size_t capacity = total + 1;
    reserve_states(capacity, static_cast<std::uint32_t>(std::clamp<std::size_t>(budget / row_bytes, 1, capacity)));
    std::uint32_t failed_at = 0;
    if (build_trie(patterns, failed_at)) return;
    // The dense rows led into more flagged states than the escapes can
    // number. The rows of the states below d lead only into the states
    // below the first child of d, so the build is taken once more with as
    // many rows as keep that within the escapes. The numbering does not
    // depend on the rows: the first build has already placed those children.
    std::uint32_t rows = failed_at;
    while (rows > 1 && nodes_[rows].first_child > kEscapesMax) --rows;
    reserve_states(capacity, rows);
    if (!build_trie(patterns, failed_at)) throw std::logic_error("automaton escapes overflowed twice");
}

// Byte classes: bytes that occur in no pattern share class 0, which leads
// back to the root from every state; this narrows the dense rows to the
// alphabet the patterns actually use.
void Automaton::assign_byte_classes(std::span<const std::string_view> patterns) {
    std::array<bool, 256> used{};
    for (std::string_view p : patterns)
        for (char c : p) used[static_cast<unsigned char>(c)] = true;
    if (std::all_of(used.begin(), used.end(), [](bool u) { return u; })) {
        // No spare byte for class 0; map bytes to themselves (cannot happen
        // for UTF-8 text, which never holds 0xC0, 0xC1 or 0xF5..0xFF).
        classes_ = 256;
        for (std::size_t b = 0; b < 256; ++b) class_of_[b] = static_cast<std::uint8_t>(b);
        fold_ascii_case();
        return;
    }
    classes_ = 1;
    for (std::size_t b = 0; b < 256; ++b) class_of_[b] = used[b] ? static_cast<std::uint8_t>(classes_++) : std::uint8_t{0};
    fold_ascii_case();
}

// Lowered patterns hold no ASCII capital, so a capital can take its small
// letter's class: scanning a pure-ASCII text then equals scanning its
// lowered copy, and the caller need not make one.
void Automaton::fold_ascii_case() {
    for (unsigned b = 'A'; b <= 'Z'; ++b) class_of_[b] = class_of_[b + 0x20];
}

// Rows are padded to whole sixteenths, the unit of an unflagged code.
void Automaton::set_stride() {
    stride_ = (classes_ + 15) & ~std::uint32_t{15};
    stride_shift_ = static_cast<unsigned>(std::countr_zero(stride_));
    const std::uint32_t odd = stride_ >> stride_shift_;
    stride_inverse_ = odd;  // right to 3 bits; each step doubles that
    for (int k = 0; k < 4; ++k) stride_inverse_ *= 2 - odd * stride_inverse_;
}

// There is at most one state per pattern byte, plus the root (`capacity`
// in all); the first `rows` states get a dense row.
void Automaton::reserve_states(std::size_t capacity, std::uint32_t rows) {
    dense_count_ = rows;
    if (!nodes_) {
        nodes_ = std::make_unique_for_overwrite<Node[]>(capacity);
        labels_ = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    }
    dense_.clear();
    dense_.reserve(std::size_t{dense_count_} * stride_);
    escapes_.clear();
    has_out_.assign(capacity / 64 + 1, 0);
}

// The trie is built breadth first, the way a byte-wise radix sort of the
// patterns proceeds: each state owns the range of entries that share its
// prefix, and sorting that range by the next byte splits it into the
// children, in byte order. States are thus numbered breadth first with
// each state's children contiguous and sorted, and a failure link (always
// shallower) points to a state that is already finished.
//
// Until a state is processed, its node holds the range of entries through
// it: first_child = lo, out = hi. Its depth is that of its level, which
// advances when the walk reaches the first state of the next level.
bool Automaton::build_trie(std::span<const std::string_view> patterns, std::uint32_t& failed_at) {
    std::vector<Entry> entries(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i)
        entries[i] = Entry{reinterpret_cast<const unsigned char*>(patterns[i].data()),
                           static_cast<std::uint32_t>(patterns[i].size()), static_cast<std::uint32_t>(i)};
    nodes_[0] = Node{0, 0, static_cast<std::uint32_t>(entries.size()), 0, 0, 0};
    labels_[0] = 0;
    state_count_ = 1;
    std::vector<Entry> scratch;
    std::uint32_t depth = 0;
    std::uint32_t level_end = 1;  // first state of the next level
    for (std::uint32_t s = 0; s < state_count_; ++s) {
        if (s == level_end) {
            ++depth;
            level_end = state_count_;
        }
        const std::uint32_t first_child = state_count_;
        const std::uint32_t own = add_children(nodes_[s].first_child, nodes_[s].out, depth, entries, scratch);
        if (!finish_state(s, first_child, own)) {
            failed_at = s;
            return false;
        }
    }
    return true;
}

// Creates the children of the state whose entries are [lo, hi) at `depth`;
// returns the lowest number of a pattern ending at that state, or npos.
std::uint32_t Automaton::add_children(std::uint32_t lo, std::uint32_t hi, std::uint32_t depth,
                                      std::vector<Entry>& entries, std::vector<Entry>& scratch) {
    const auto add_state = [&](std::uint32_t from, std::uint32_t to, unsigned char label, bool ends) {
        nodes_[state_count_] = Node{from, 0, to, 0, 0, ends};
        labels_[state_count_] = label;
        ++state_count_;
    };
    std::uint32_t own = npos;
    if (hi - lo == 1) {
        // One pattern through here (most deep states): a chain.
        const Entry& e = entries[lo];
        if (e.size == depth) return e.id;
        add_state(lo, hi, e.data[depth], e.size == depth + 1);
        return npos;
    }
    // Patterns that end here move to the front; the rest split by their
    // next byte.
    for (std::uint32_t j = lo; j < hi; ++j) {
        if (entries[j].size == depth) {
            own = std::min(own, entries[j].id);
            std::swap(entries[j], entries[lo++]);
        }
    }
    sort_by_byte(entries.data() + lo, entries.data() + hi, depth, scratch);
    while (lo < hi) {
        const unsigned char b = entries[lo].data[depth];
        std::uint32_t run = lo;
        bool ends = false;
        for (; run < hi && entries[run].data[depth] == b; ++run) ends |= entries[run].size == depth + 1;
        add_state(lo, run, b, ends);
        lo = run;
    }
    return own;
}

bool Automaton::cell_of(std::uint32_t t, std::uint16_t& cell) {
    if (t < dense_count_ && !has_out(t)) {
        cell = static_cast<std::uint16_t>((std::size_t{t} * stride_) >> kRowShift);
        return true;
    }
    if (escapes_.size() == kEscapesMax) return false;
    cell = static_cast<std::uint16_t>(kEscape + escapes_.size());
    escapes_.push_back(t);
    return true;
}

// Fills in state `s` once its children [first_child, state_count_) exist:
// their range, its output, the children's failure links and output bits,
// and its dense row. False if the row's cells need more escapes than there
// are.
bool Automaton::finish_state(std::uint32_t s, std::uint32_t first_child, std::uint32_t own) {
    Node& node = nodes_[s];
    node.first_child = first_child;
    node.children = static_cast<std::uint16_t>(state_count_ - first_child);  // at most 256
    node.first_label = state_count_ > first_child ? labels_[first_child] : 0;
    node.out = s == 0 ? own : std::min(own, nodes_[node.fail].out);
    // step() only visits states shallower than the children, whose output
    // bits are set: a pattern ends at a child or on its failure chain.
    for (std::uint32_t t = first_child; t < state_count_; ++t) {
        const std::uint32_t fail = s == 0 ? 0 : step(node.fail, labels_[t]);
        nodes_[t].fail = fail;
        if (nodes_[t].ends || has_out(fail)) has_out_[t / 64] |= std::uint64_t{1} << (t % 64);
    }
    if (s < dense_count_) {
        // A dense row is the failure state's row with this state's own
        // children written over it. Each child's cell is made here, once:
        // no other row leads into it but by copying this one.
        dense_.resize(dense_.size() + stride_, 0);
        std::uint16_t* row = dense_.data() + std::size_t{s} * stride_;
        if (s != 0) std::memcpy(row, dense_.data() + std::size_t{node.fail} * stride_, stride_ * sizeof(std::uint16_t));
        for (std::uint32_t t = first_child; t < state_count_; ++t)
            if (!cell_of(t, row[class_of_[labels_[t]]])) return false;
    }
    return true;
}

std::uint32_t Automaton::finish(std::uint32_t c, const unsigned char* p, const unsigned char* end,
                                std::uint32_t best) const {
    // Pattern 0 is the lowest possible answer: once found, stop.
    const Tables t = tables();
    for (; p != end && best != 0; ++p) c = scan_step(t, c, *p, best);
    collect(c, best);
    return best;
}

std::uint32_t Automaton::first_match(std::string_view text) const {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    return finish(kRoot, p, p + text.size(), nodes_[0].out);
}

void Automaton::first_match_pair(std::string_view a, std::string_view b, std::uint32_t& match_a,
                                 std::uint32_t& match_b) const {
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t common = std::min(a.size(), b.size());
    std::uint32_t sa = kRoot, sb = sa;
    std::uint32_t best_a = nodes_[0].out, best_b = best_a;
    // Lockstep over the common length; a walk that has found pattern 0
    // rides along to the end of it, which costs less than a branch per step.
    const Tables t = tables();
    for (std::size_t i = 0; i < common; ++i) {
        sa = scan_step(t, sa, pa[i], best_a);
        sb = scan_step(t, sb, pb[i], best_b);
    }
    match_a = finish(sa, pa + common, pa + a.size(), best_a);
    match_b = finish(sb, pb + common, pb + b.size(), best_b);
}

void Automaton::first_matches(std::span<const std::string_view> texts, std::uint32_t* matches) const {
    std::size_t next = 0;
    if (texts.size() >= kLanes) {
        Lanes lanes;
        for (std::size_t j = 0; j < kLanes; ++j) start_lane(lanes, j, texts, next);
        do {
            std::size_t run = SIZE_MAX;
            for (std::size_t j = 0; j < kLanes; ++j) run = std::min(run, static_cast<std::size_t>(lanes.end[j] - lanes.p[j]));
            run_lanes(lanes, run);
        } while (refill_lanes(lanes, texts, next, matches));
        // The lanes still scanning when the texts ran out finish one by one.
        for (std::size_t j = 0; j < kLanes; ++j)
            if (lanes.text[j] != SIZE_MAX)
                matches[lanes.text[j]] = finish(lanes.code[j], lanes.p[j], lanes.end[j], lanes.best[j]);
    }
    for (; next + 1 < texts.size(); next += 2) first_match_pair(texts[next], texts[next + 1], matches[next], matches[next + 1]);
    if (next < texts.size()) matches[next] = first_match(texts[next]);
}

void Automaton::start_lane(Lanes& lanes, std::size_t j, std::span<const std::string_view> texts, std::size_t& next) const {
    lanes.p[j] = reinterpret_cast<const unsigned char*>(texts[next].data());
    lanes.end[j] = lanes.p[j] + texts[next].size();
    lanes.text[j] = next++;
    lanes.code[j] = kRoot;
    lanes.best[j] = nodes_[0].out;
}

// `run` steps of every lane, their states held in locals, so in registers.
void Automaton::run_lanes(Lanes& lanes, std::size_t run) const {
    const Tables t = tables();
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        std::array<const unsigned char*, kLanes> p = lanes.p;
        std::array<std::uint32_t, kLanes> c = lanes.code, best = lanes.best;
        for (std::size_t i = 0; i < run; ++i) ((c[J] = scan_step(t, c[J], p[J][i], best[J])), ...);
        ((lanes.p[J] = p[J] + run), ...);
        lanes.code = c;
        lanes.best = best;
    }(std::make_index_sequence<kLanes>{});
}

// Answers the lanes whose texts ended and gives each the next text; false,
// with those lanes retired, once there is none left.
bool Automaton::refill_lanes(Lanes& lanes, std::span<const std::string_view> texts, std::size_t& next,
                             std::uint32_t* matches) const {
    bool refilled = true;
    for (std::size_t j = 0; j < kLanes; ++j) {
        if (lanes.p[j] != lanes.end[j]) continue;
        collect(lanes.code[j], lanes.best[j]);
        matches[lanes.text[j]] = lanes.best[j];
        if (next < texts.size()) {
            start_lane(lanes, j, texts, next);
        } else {
            lanes.text[j] = SIZE_MAX;
            refilled = false;
        }
    }
    return refilled;
}

std::size_t Automaton::memory_bytes() const {
    // Only the pages of nodes_ and labels_ that hold states are ever touched.
    return sizeof(*this) + dense_.capacity() * sizeof(std::uint16_t) + escapes_.capacity() * sizeof(std::uint32_t) +
           state_count_ * sizeof(Node) + state_count_ + has_out_.capacity() * sizeof(std::uint64_t);
}

}  // namespace morvanta::categorizer
