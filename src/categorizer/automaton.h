// Multi-pattern byte search that answers one question about a text: the
// lowest number of any pattern occurring in it.
//
// Aho-Corasick over bytes. The trie is numbered breadth first, so shallow
// states (the ones every scan keeps visiting) come first and sit together in
// memory. The first states, up to a memory budget, get a full transition row
// over byte classes (a DFA row: one load per byte); deeper states keep only
// their children, sorted by byte, and a failure link, so memory stays linear
// in the total pattern length however many distinct bytes the patterns use.
// Each state stores the lowest pattern number ending there or at any state on
// its failure chain, so a scan is a running minimum over visited states.
//
// A dense row holds 16-bit cells, so twice as many states get a row in the
// same memory. A scan carries a state as its code. Below kEscape it is a
// dense state where no pattern ends, the offset of its row in sixteenths
// (rows are padded to a multiple of sixteen cells). Every other state, one
// where a pattern ends there or on its failure chain and every sparse
// state, is flagged: a cell names it by its place in a table of escapes,
// and a sparse step names it directly. A step from an unflagged code
// (nearly every step) is one compare and one load at the code plus the
// byte's class; the outputs of a state are taken as the scan leaves it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "util/ascii.h"

namespace morvanta::categorizer {

class Automaton {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Transition rows of 2-byte cells. 768 KiB gives a row to every state
    // of 1,000 word-like patterns (6,333 states) and to the root, every
    // depth-1 and depth-2 state and many depth-3 states of 10,000, and still
    // sits in a typical L2 (see benchmarks/bench_categorizer.cpp). The
    // unflagged codes address at most 1 MiB of rows (kRowCellsMax).
    static constexpr std::size_t kDefaultDenseBytes = std::size_t{768} << 10;

    // Number of patterns and total pattern bytes the automaton can hold:
    // pattern numbers are 32-bit, and a state's direct code (its number
    // plus kDirect) must fit in 32 bits.
    static bool fits(std::size_t pattern_count, std::size_t total_bytes) {
        return pattern_count < npos && total_bytes < kMaxStates;
    }

    // patterns[i] is pattern number i. Every pattern must be non-empty and
    // the set must satisfy fits().
    explicit Automaton(std::span<const std::string_view> patterns,
                       std::size_t dense_bytes = kDefaultDenseBytes);

    // The lowest number of a pattern that occurs in `text` as a contiguous
    // run of bytes, or npos. ASCII capitals in `text` count as small letters
    // (patterns are lowered), so a pure-ASCII text may be given as it is.
    std::uint32_t first_match(std::string_view text) const;

    // first_match of two texts at once. Each step waits on a memory load
    // that depends on the previous one; two independent walks in lockstep
    // let the loads of one overlap those of the other.
    void first_match_pair(std::string_view a, std::string_view b, std::uint32_t& match_a,
                          std::uint32_t& match_b) const;

    // first_match of each text, matches[i] for texts[i]. Four scans run in
    // lockstep, each lane taking the next text as its own ends: a step waits
    // on a load that depends on the one before, and four independent chains
    // of such loads overlap.
    void first_matches(std::span<const std::string_view> texts, std::uint32_t* matches) const;

    std::size_t state_count() const { return state_count_; }
    std::size_t dense_state_count() const { return std::min(dense_count_, state_count_); }
    std::size_t memory_bytes() const;

    // A pattern while the trie is built: its bytes and its number, kept
    // together so that splitting a range by the next byte reads one array.
    struct Entry {
        const unsigned char* data;
        std::uint32_t size;
        std::uint32_t id;
    };

private:
    static constexpr std::size_t kMaxStates = std::size_t{1} << 30;

    // 16 bytes, so a sparse step reads one cache line; a state with one
    // child (most deep states) needs nothing else.
    struct Node {
        std::uint32_t first_child;  // children are [first_child, first_child + children)
        std::uint32_t fail;         // longest proper suffix that is a trie state
        std::uint32_t out;          // lowest pattern number ending here or on the fail chain
        std::uint16_t children;
        unsigned char first_label;  // label of the first child, when there is one
        unsigned char ends;         // whether a pattern ends here
    };

    // Codes (see the top of the file): [0, kEscape) the row of an unflagged
    // dense state in sixteenths, [kEscape, kDirect) a place in escapes_, and
    // from kDirect on a state's number plus kDirect.
    static constexpr unsigned kRowShift = 4;  // stride_ is a multiple of 1 << kRowShift
    static constexpr std::uint32_t kEscape = 0x8000;
    static constexpr std::uint32_t kDirect = 0x10000;
    static constexpr std::size_t kEscapesMax = kDirect - kEscape;
    // Cells the unflagged codes can address.
    static constexpr std::size_t kRowCellsMax = std::size_t{kEscape} << kRowShift;
    static constexpr std::uint32_t kRoot = 0;  // the root's code: row 0, and no pattern is empty

    bool has_out(std::uint32_t s) const { return (has_out_[s / 64] >> (s % 64)) & 1; }

    // The state of a flagged code.
    std::uint32_t flagged_state(std::uint32_t c) const { return c < kDirect ? escapes_[c - kEscape] : c - kDirect; }
    // The state of a cell, while the trie is built. A row offset is an
    // exact multiple of stride_: divided by its power of two, times the
    // inverse of its odd part (modulo 2^32).
    std::uint32_t cell_state(std::uint32_t c) const {
        if (c >= kEscape) return flagged_state(c);
        return ((c << kRowShift) >> stride_shift_) * stride_inverse_;
    }

    // Adds the outputs of the state coded `c` to `best` (a state without
    // any has the output npos).
    void collect(std::uint32_t c, std::uint32_t& best) const {
        if (c >= kEscape) best = std::min(best, nodes_[flagged_state(c)].out);
    }

    // One step of a scan, from and to a code; the outputs of the state left
    // go into `best`, and the scan collects its last state itself. The scan
    // hands in the tables (dense_ and class_of_) from locals: read through
    // the members, they are loaded again at every step, since the call
    // below might change them for all the compiler knows.
    struct Tables {
        const std::uint16_t* dense;
        const std::uint8_t* class_of;
    };
    Tables tables() const { return {dense_.data(), class_of_.data()}; }
    std::uint32_t scan_step(Tables t, std::uint32_t c, unsigned char b, std::uint32_t& best) const {
        if (c < kEscape) [[likely]]
            return t.dense[(std::size_t{c} << kRowShift) + t.class_of[b]];
        return flagged_step(c, b, best);
    }
    // Out of line, so that the scans keep their registers for the dense step.
    [[gnu::noinline]] std::uint32_t flagged_step(std::uint32_t c, unsigned char b, std::uint32_t& best) const {
        std::uint32_t s = flagged_state(c);
        best = std::min(best, nodes_[s].out);
        // The child of a sparse state comes later in the order: sparse too.
        if (s >= dense_count_ && climb(s, b)) return s + kDirect;
        return dense_[std::size_t{s} * stride_ + class_of_[b]];
    }

    // The steps of the build, in order.
    void assign_byte_classes(std::span<const std::string_view> patterns);
    void fold_ascii_case();
    void set_stride();
    void reserve_states(std::size_t capacity, std::uint32_t rows);
    // False, with the state whose row failed in `failed_at`, if the rows
    // need more escapes than there are.
    bool build_trie(std::span<const std::string_view> patterns, std::uint32_t& failed_at);
    std::uint32_t add_children(std::uint32_t lo, std::uint32_t hi, std::uint32_t depth, std::vector<Entry>& entries,
                               std::vector<Entry>& scratch);
    bool finish_state(std::uint32_t s, std::uint32_t first_child, std::uint32_t own);

    std::uint32_t finish(std::uint32_t c, const unsigned char* p, const unsigned char* end, std::uint32_t best) const;

    // The scans of first_matches: lane j is at p[j] in texts[text[j]]
    // (SIZE_MAX once retired), in state code[j] with best[j] found so far.
    static constexpr std::size_t kLanes = 4;
    struct Lanes {
        std::array<const unsigned char*, kLanes> p, end;
        std::array<std::size_t, kLanes> text;
        std::array<std::uint32_t, kLanes> code, best;
    };
    void start_lane(Lanes& lanes, std::size_t j, std::span<const std::string_view> texts, std::size_t& next) const;
    void run_lanes(Lanes& lanes, std::size_t run) const;
    bool refill_lanes(Lanes& lanes, std::span<const std::string_view> texts, std::size_t& next,
                      std::uint32_t* matches) const;

    // From state `s`, follows failure links through the sparse states until
    // one has a child by byte `b` (true, `s` the child) or a dense state is
    // reached (false, `s` that state).
    bool climb(std::uint32_t& s, unsigned char b) const {
        if (s >= dense_count_) b = ascii::lower(b);
        while (s >= dense_count_) {
            const Node& node = nodes_[s];
            if (node.children == 1) {
                if (node.first_label == b) return s = node.first_child, true;
            } else {
                const std::uint32_t end = node.first_child + node.children;
                for (std::uint32_t k = node.first_child; k < end; ++k) {
                    if (labels_[k] == b) return s = k, true;
                    if (labels_[k] > b) break;  // children are sorted by byte
                }
            }
            s = node.fail;
        }
        return false;
    }

    // One step from state `s` on byte `b`, while the trie is built.
    std::uint32_t step(std::uint32_t s, unsigned char b) const {
        return climb(s, b) ? s : cell_state(dense_[std::size_t{s} * stride_ + class_of_[b]]);
    }
    // The cell that leads into state `t` from its parent's row: its row, or
    // a new escape; false once escapes_ is full.
    bool cell_of(std::uint32_t t, std::uint16_t& cell);

    std::array<std::uint8_t, 256> class_of_{};  // 0 for bytes that occur in no pattern
    std::uint32_t classes_ = 1;
    std::uint32_t stride_ = 16;                // cells a row: classes_ rounded up to sixteen
    std::uint32_t dense_count_ = 1;            // states below it have a row (if there are as many)
    unsigned stride_shift_ = 0;                // stride_ = odd << stride_shift_
    std::uint32_t stride_inverse_ = 1;         // odd * stride_inverse_ = 1 modulo 2^32
    std::uint32_t state_count_ = 1;
    std::vector<std::uint16_t> dense_;         // dense_count_ rows of stride_ cells, codes
    // The flagged states that dense cells lead into, each once, numbered
    // by the first cell that does.
    std::vector<std::uint32_t> escapes_;
    // Sized for the worst case (one state per pattern byte) and filled
    // without bounds checks; pages past the last state are never touched.
    std::unique_ptr<Node[]> nodes_;            // one per state
    std::unique_ptr<unsigned char[]> labels_;  // byte leading into each state
    // One bit per state: does any pattern end here or on the fail chain?
    // It decides whether the state's code is flagged, so a scan touches
    // nodes_ only on a hit (and in sparse states).
    std::vector<std::uint64_t> has_out_;
};

}  // namespace morvanta::categorizer
