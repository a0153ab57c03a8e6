// An insert-only open-addressing table that numbers distinct keys 0, 1, 2...
// in the order they are first inserted. Keys are small views (into texts
// that outlive the table), so a lookup costs one hash and usually one probe,
// with no allocation per key.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace morvanta::categorizer {

// Hash of a byte string, 8 bytes per step (a multiply-rotate mix in the style
// of FxHash, finished by a 64-bit avalanche so that every output bit counts).
// The last, partial word is read with fixed-size loads (overlapping ones, or
// three single bytes below 4), since a memcpy of variable length is a call.
inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed = 0) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t h = seed ^ (n * k);
    const auto load64 = [](const unsigned char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, 8);
        return w;
    };
    const auto load32 = [](const unsigned char* at) {
        std::uint32_t w;
        std::memcpy(&w, at, 4);
        return std::uint64_t{w};
    };
    while (n > 8) {
        h = (std::rotl(h, 5) ^ load64(p)) * k;
        p += 8;
        n -= 8;
    }
    std::uint64_t w;
    if (n == 8)
        w = load64(p);
    else if (n >= 4)
        w = load32(p) | (load32(p + n - 4) << 32);
    else if (n > 0)
        w = std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << 8) | (std::uint64_t{p[n - 1]} << 16);
    else
        w = 0;
    h = (std::rotl(h, 5) ^ w) * k;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

template <class Key, class Traits>
class FlatIndex {
public:
    static constexpr std::uint32_t none = UINT32_MAX;

    explicit FlatIndex(std::size_t expected = 16) {
        std::size_t capacity = 16;
        while (capacity < expected + expected / 2) capacity *= 2;
        slots_.assign(capacity, Slot{0, none});
        keys_.reserve(expected);
    }

    // The number of `key`, and whether this call added it.
    std::pair<std::uint32_t, bool> insert(const Key& key) { return insert(key, tag_of(key)); }

    // The same in two steps, so that a caller holding several keys can
    // prefetch all their slots before the first lookup waits on memory.
    static std::uint32_t tag_of(const Key& key) { return static_cast<std::uint32_t>(Traits::hash(key)); }
    void prefetch([[maybe_unused]] std::uint32_t tag) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[tag & (slots_.size() - 1)]);
#endif
    }

    std::pair<std::uint32_t, bool> insert(const Key& key, std::uint32_t tag) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = tag & mask;
        for (;; i = (i + 1) & mask) {
            const Slot slot = slots_[i];
            if (slot.id == none) break;
            if (slot.tag == tag && Traits::equal(keys_[slot.id], key)) return {slot.id, false};
        }
        if (keys_.size() >= none - 1) throw std::length_error("too many distinct keys");
        const auto id = static_cast<std::uint32_t>(keys_.size());
        slots_[i] = Slot{tag, id};
        keys_.push_back(key);
        // Load factor at most 1/2 keeps probe runs short.
        if (keys_.size() * 2 > slots_.size()) grow();
        return {id, true};
    }

    const Key& key(std::uint32_t id) const { return keys_[id]; }
    std::size_t size() const { return keys_.size(); }

private:
    // The slot index is the tag's low bits, so growing needs only the tags,
    // never the keys; the remaining tag bits still reject almost every
    // other key met while probing without reading it.
    struct Slot {
        std::uint32_t tag;  // low half of the key's hash
        std::uint32_t id;
    };

    void grow() {
        std::vector<Slot> bigger(slots_.size() * 2, Slot{0, none});
        const std::size_t mask = bigger.size() - 1;
        for (const Slot slot : slots_) {
            if (slot.id == none) continue;
            std::size_t i = slot.tag & mask;
            while (bigger[i].id != none) i = (i + 1) & mask;
            bigger[i] = slot;
        }
        slots_ = std::move(bigger);
    }

    std::vector<Slot> slots_;
    std::vector<Key> keys_;
};

}  // namespace morvanta::categorizer
