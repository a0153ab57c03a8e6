#include "categorizer/prefix_index.h"

#include <algorithm>
#include <bit>

#include "util/ascii.h"
#include "util/hash.h"
#include "util/prefetch.h"
#include "util/swar.h"

namespace morvanta::categorizer {

namespace {

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The `n` (at most 8) bytes at p, little-endian, zero above them.
std::uint64_t load_upto8(const unsigned char* p, std::size_t n) {
    return util::head_word({reinterpret_cast<const char*>(p), n});
}

// Every byte OR 0x20, for the `n` bytes of a key.
constexpr std::uint32_t fold(std::uint32_t key, std::size_t n) {
    return key | static_cast<std::uint32_t>((swar::kOnes * 0x20) >> (8 * (8 - n)));
}

}  // namespace

PrefixIndex::PrefixIndex(std::span<const std::string_view> patterns)
    : patterns_(patterns), multiplier_(util::process_hash_key().k0 | 1) {
    single_.fill(npos);
    // About 32 marks a pattern keep false hits near 3 % of the windows; the
    // cap keeps them within a typical L2. The table is at most half full.
    constexpr std::size_t kMarksMin = 4096, kMarksMax = std::size_t{1} << 19;
    const std::size_t count = patterns.size();
    const std::size_t mark_count = count >= kMarksMax / 32 ? kMarksMax : std::bit_ceil(std::max(kMarksMin, count * 32));
    const std::size_t slot_count = std::bit_ceil(std::max<std::size_t>(count, 8) * 2);
    mark_mask_ = static_cast<std::uint32_t>(mark_count - 1);
    slot_mask_ = static_cast<std::uint32_t>(slot_count - 1);
    marks_.assign(mark_count, 0);
    slots_.assign(slot_count, Slot{0, 0, 0, 0});

    // Counted first, then placed in the order of their numbers.
    std::vector<std::uint32_t> slot_index(patterns.size(), 0);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const std::string_view p = patterns[i];
        const std::size_t key_bytes = std::min(p.size(), kKeyBytes);
        has_[key_bytes] = true;
        if (key_bytes == 1) {
            single_[bytes(p)[0]] = std::min(single_[bytes(p)[0]], static_cast<std::uint32_t>(i));
            continue;
        }
        const std::uint32_t key = fold(static_cast<std::uint32_t>(load_upto8(bytes(p), key_bytes)), key_bytes);
        const std::uint32_t h = hash(key, key_bytes);
        marks_[h & mark_mask_] = 1;
        Slot& slot = slot_of(key, key_bytes, h);
        ++slot.count;
        slot_index[i] = static_cast<std::uint32_t>(&slot - slots_.data());
    }
    std::uint32_t at = 0;
    for (Slot& slot : slots_) {
        slot.first = at;
        at += slot.count;
        slot.count = 0;
    }
    members_.resize(at);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const std::string_view p = patterns[i];
        if (p.size() < 2) continue;
        Slot& slot = slots_[slot_index[i]];
        const std::uint64_t head = load_upto8(bytes(p), std::min<std::size_t>(p.size(), 8));
        const std::uint64_t tail = p.size() > 8 ? load_upto8(bytes(p) + 8, std::min<std::size_t>(p.size() - 8, 8)) : 0;
        members_[slot.first + slot.count++] = Member{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(p.size()), head, tail};
    }
}

// The slot of a key, taken for it if the key is new.
PrefixIndex::Slot& PrefixIndex::slot_of(std::uint32_t key, std::size_t key_bytes, std::uint32_t h) {
    for (std::uint32_t s = h & slot_mask_;; s = (s + 1) & slot_mask_) {
        Slot& slot = slots_[s];
        if (slot.key_bytes == 0) slot = Slot{key, static_cast<std::uint32_t>(key_bytes), 0, 0};
        if (slot.key == key && slot.key_bytes == key_bytes) return slot;
    }
}

// Tests the patterns of a key that occurs at `at`, in the order of their
// numbers, until one occurs or none could beat `best`. Each member is held
// against the text's next sixteen bytes, lowered once.
void PrefixIndex::test(std::uint32_t key, std::size_t key_bytes, std::uint32_t h, const unsigned char* at,
                       std::size_t left, std::uint32_t& best, std::uint64_t& work) const {
    std::uint32_t s = h & slot_mask_;
    for (;; s = (s + 1) & slot_mask_) {
        work += kProbeSteps;
        if (slots_[s].key_bytes == 0) return;
        if (slots_[s].key == key && slots_[s].key_bytes == key_bytes) break;
    }
    const std::uint64_t head = ascii::lower8_any(load_upto8(at, std::min<std::size_t>(left, 8)));
    const std::uint64_t tail = left > 8 ? ascii::lower8_any(load_upto8(at + 8, std::min<std::size_t>(left - 8, 8))) : 0;
    const Member* m = members_.data() + slots_[s].first;
    for (const Member* end = m + slots_[s].count; m != end && m->id < best; ++m) {
        work += kTestSteps;
        const std::size_t n = m->size;
        if (n > left || (head & (~std::uint64_t{0} >> (8 * (8 - std::min<std::size_t>(n, 8))))) != m->head) continue;
        if (n > 8) {
            if ((tail & (~std::uint64_t{0} >> (8 * (8 - std::min<std::size_t>(n - 8, 8))))) != m->tail) continue;
            if (n > kMemberBytes && !same_rest(at, n, m->id, work)) continue;
        }
        best = m->id;
        return;
    }
}

// Whether the bytes of pattern `id` past the sixteen a member holds are
// those at `at`, lowered.
bool PrefixIndex::same_rest(const unsigned char* at, std::size_t n, std::uint32_t id, std::uint64_t& work) const {
    work += n - kMemberBytes;
    const unsigned char* p = bytes(patterns_[id]);
    for (std::size_t i = kMemberBytes; i < n; ++i)
        if (ascii::lower(at[i]) != p[i]) return false;
    return true;
}

bool PrefixIndex::first_match(std::string_view text, std::uint32_t& match, std::uint64_t& work,
                              std::uint64_t limit) const {
    std::uint32_t best = npos;
    const bool done = !has_[1] && !has_[2] && !has_[3] ? scan_long_keys(bytes(text), text.size(), best, work, limit)
                                                       : scan_any_keys(bytes(text), text.size(), best, work, limit);
    match = best;
    return done;
}

// Every pattern has four bytes or more (the usual case): one window a
// position, none at the last three. The marks are read for eight windows at
// a time without a branch, so that a block without a hit (most of them)
// costs no misprediction. Up to 64 windows go at a time: their marks first,
// then the slots of the marked windows and those slots' members are fetched
// together, so that their cache misses overlap instead of following one
// another, and last the windows are tested in order.
bool PrefixIndex::scan_long_keys(const unsigned char* t, std::size_t n, std::uint32_t& best, std::uint64_t& work,
                                 std::uint64_t limit) const {
    const std::uint32_t folds = fold(0, kKeyBytes);
    const std::size_t windows = n >= kKeyBytes ? n - kKeyBytes + 1 : 0;
    const std::uint64_t multiplier = multiplier_;
    const std::uint8_t* marks = marks_.data();
    const std::uint32_t mark_mask = mark_mask_;
    const auto mark = [&](std::size_t at) {
        const std::uint64_t key = (swar::load4(t + at) | folds) | std::uint64_t{kKeyBytes} << 32;
        return std::uint32_t{marks[static_cast<std::uint32_t>((key * multiplier) >> 32) & mark_mask]};
    };
    constexpr std::size_t kSpan = 64;
    std::array<std::uint32_t, kSpan> hashes;
    for (std::size_t i = 0; i < windows && best != 0; i += kSpan) {
        const std::size_t span = std::min(kSpan, windows - i);
        std::uint64_t hits = 0;
        std::size_t k = 0;
        for (; k + kBlock <= span; k += kBlock) {
            std::uint32_t block = 0;
            for (std::size_t b = 0; b < kBlock; ++b) block |= mark(i + k + b) << b;
            hits |= std::uint64_t{block} << k;
        }
        for (; k < span; ++k) hits |= std::uint64_t{mark(i + k)} << k;
        for (std::uint64_t h = hits; h != 0; h &= h - 1) {
            const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(h));
            const std::uint32_t window = static_cast<std::uint32_t>(swar::load4(t + at)) | folds;
            const std::uint32_t hashed = hash(window, kKeyBytes);
            hashes[static_cast<std::size_t>(std::countr_zero(h))] = hashed;
            util::prefetch(&slots_[hashed & slot_mask_]);
        }
        for (std::uint64_t h = hits; h != 0; h &= h - 1) {
            const Slot& slot = slots_[hashes[static_cast<std::size_t>(std::countr_zero(h))] & slot_mask_];
            util::prefetch(members_.data() + slot.first);
        }
        for (; hits != 0 && best != 0; hits &= hits - 1) {
            const std::size_t off = static_cast<std::size_t>(std::countr_zero(hits));
            const std::size_t at = i + off;
            const std::uint32_t window = static_cast<std::uint32_t>(swar::load4(t + at)) | folds;
            test(window, kKeyBytes, hashes[off], t + at, n - at, best, work);
            if (work > limit) return false;
        }
    }
    return true;
}

// Patterns of one to three bytes too: every key length at every position.
bool PrefixIndex::scan_any_keys(const unsigned char* t, std::size_t n, std::uint32_t& best, std::uint64_t& work,
                                std::uint64_t limit) const {
    for (std::size_t i = 0; i < n && best != 0; ++i) {
        const std::size_t left = n - i;
        if (has_[1]) best = std::min(best, single_[ascii::lower(t[i])]);
        const auto window = static_cast<std::uint32_t>(load_upto8(t + i, std::min(left, kKeyBytes)));
        for (std::size_t key_bytes = 2; key_bytes <= std::min(left, kKeyBytes); ++key_bytes) {
            if (!has_[key_bytes]) continue;
            const std::uint32_t key =
                fold(key_bytes == 4 ? window : window & ((std::uint32_t{1} << (8 * key_bytes)) - 1), key_bytes);
            const std::uint32_t h = hash(key, key_bytes);
            if (maybe(h)) test(key, key_bytes, h, t + i, left, best, work);
        }
        if (work > limit) return false;
    }
    return true;
}

}  // namespace morvanta::categorizer
