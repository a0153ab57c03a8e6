// Multi-pattern search that answers the automaton's question (the lowest
// number of any pattern occurring in a text) by looking at each position of
// the text once: the patterns are indexed by their first four bytes (or all
// of a shorter one), and a table of marks over the hashed windows rules out
// almost every position before the index is consulted. A scan has no chain
// of dependent loads, and the marks' size, not the pattern count, decides
// what stays in cache, so the cost follows the text.
//
// Windows and keys are hashed with every byte OR 0x20, which a capital
// shares with its small letter, so a pure-ASCII text is scanned as it is;
// a pattern is then compared byte for byte with the text lowered.
//
// Patterns that share a prefix are all tested where it occurs, which a
// hostile pattern set can make quadratic; the caller bounds that work and
// hands over to the automaton (see RuleMatcher).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace morvanta::categorizer {

class PrefixIndex {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;  // the automaton's too: callers map both alike

    // patterns[i] is pattern number i, lowered; none is empty, and there are
    // fewer than npos of them.
    explicit PrefixIndex(std::span<const std::string_view> patterns);

    // The lowest number of a pattern occurring in `text`, in `match` (npos
    // for none). ASCII capitals in `text` count as small letters, so a
    // pure-ASCII text may be given as it is, any other lowered. The steps
    // spent on patterns whose prefix occurs are added to `work`; once it
    // passes `limit` the scan stops and returns false, its answer unknown.
    bool first_match(std::string_view text, std::uint32_t& match, std::uint64_t& work, std::uint64_t limit) const;

    // Steps of `work` (those of RuleMatcher's budget): a slot of the table
    // looked at, a pattern tested, and a byte compared beyond the sixteen a
    // member holds.
    static constexpr std::uint64_t kProbeSteps = 16;
    static constexpr std::uint64_t kTestSteps = 8;

private:
    static constexpr std::size_t kKeyBytes = 4;
    static constexpr std::size_t kMemberBytes = 16;
    static constexpr std::size_t kBlock = 8;  // windows whose marks are read at once

    // A folded key in the open-addressing table, and its patterns:
    // members_[first, first + count), in the order of their numbers.
    struct Slot {
        std::uint32_t key;        // the first bytes (at most four), little-endian, folded
        std::uint32_t key_bytes;  // 0 for an empty slot
        std::uint32_t first;
        std::uint32_t count;
    };
    struct Member {
        std::uint32_t id;
        std::uint32_t size;
        std::uint64_t head;  // bytes 0 to 7 of the pattern, zero past its end
        std::uint64_t tail;  // bytes 8 to 15
    };

    // The hash of a folded key and its length: the high half of its
    // product with a multiplier that the process draws at random (multiply-
    // shift hashing: its low bits are a universal hash of the key), so that
    // no pattern set can be chosen to collide. The bitmap and the table take
    // its low bits.
    std::uint32_t hash(std::uint32_t key, std::size_t key_bytes) const {
        return static_cast<std::uint32_t>(((std::uint64_t{key} | std::uint64_t{key_bytes} << 32) * multiplier_) >> 32);
    }
    // 1 if some key has the hash's mark, else 0: a byte a mark, read with
    // no variable shift.
    std::uint32_t maybe(std::uint32_t h) const { return marks_[h & mark_mask_]; }
    Slot& slot_of(std::uint32_t key, std::size_t key_bytes, std::uint32_t h);
    bool scan_long_keys(const unsigned char* t, std::size_t n, std::uint32_t& best, std::uint64_t& work,
                        std::uint64_t limit) const;
    bool scan_any_keys(const unsigned char* t, std::size_t n, std::uint32_t& best, std::uint64_t& work,
                       std::uint64_t limit) const;
    void test(std::uint32_t key, std::size_t key_bytes, std::uint32_t h, const unsigned char* at,
              std::size_t left, std::uint32_t& best, std::uint64_t& work) const;
    bool same_rest(const unsigned char* at, std::size_t n, std::uint32_t id, std::uint64_t& work) const;

    std::span<const std::string_view> patterns_;
    std::uint64_t multiplier_;
    std::array<bool, kKeyBytes + 1> has_{};    // whether some pattern has a key of L bytes
    std::array<std::uint32_t, 256> single_{};  // the lowest 1-byte pattern of each byte, or npos
    std::uint32_t mark_mask_ = 0;
    std::uint32_t slot_mask_ = 0;
    std::vector<std::uint8_t> marks_;
    std::vector<Slot> slots_;
    std::vector<Member> members_;
};

}  // namespace morvanta::categorizer
