// An insert-only open-addressing table that numbers distinct keys 0, 1, 2...
// in the order they are first inserted. Keys are small views (into texts
// that outlive the table), so a lookup costs one hash and usually one probe,
// with no allocation per key. Keys come from requests, so they are hashed
// under a secret key (util/hash.h), and a probe run longer than a fixed cap
// makes the table grow: no set of keys makes lookups walk long runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "util/hash.h"
#include "util/prefetch.h"

namespace morvanta::categorizer {

struct NoValue {};

// Traits::hash(hash_key, key) gives the key's 64-bit hash, Traits::equal
// compares two keys. Each key may carry a Value, kept beside it so that one
// memory access reaches both; a key's value starts as Value{}.

template <class Key, class Traits, class Value = NoValue>
class FlatIndex {
public:
    static constexpr std::uint32_t none = UINT32_MAX;
    // Ids below `none`, and one spare: at most this many keys. Inserting one
    // more gives the id `none`, which the engine turns into an error value.
    static constexpr std::uint32_t kMaxKeys = none - 1;
    // Probes an insertion may take before the table grows to break up the
    // run. At a load of at most 1/2 and with keyed hashes a run this long is
    // so rare that tables of millions of keys do not grow for it (their
    // longest runs stay near 40); only colliding keys make the table grow.
    static constexpr std::size_t kProbeCap = 96;

    explicit FlatIndex(const util::HashKey& hash_key, std::size_t expected = 16) : hash_key_(hash_key) {
        std::size_t capacity = 16;
        while (capacity < expected + expected / 2) capacity *= 2;
        slots_.assign(capacity, Slot{0, none});
        entries_.reserve(expected);
    }

    // The number of `key`, and whether this call added it; `none` for a new
    // key when the index holds kMaxKeys.
    std::pair<std::uint32_t, bool> insert(const Key& key) { return insert(key, tag_of(key)); }

    // The same in two steps, so that a caller holding several keys can
    // prefetch all their slots before the first lookup waits on memory. A
    // probe is a key or another form of one that Traits hashes and compares
    // with keys.
    template <class Probe>
    std::uint32_t tag_of(const Probe& key) const {
        return static_cast<std::uint32_t>(Traits::hash(hash_key_, key));
    }
    void prefetch(std::uint32_t tag) const { util::prefetch(&slots_[tag & (slots_.size() - 1)]); }
    // The same for the key and value of key number `id`, ahead of a walk
    // that visits keys by their numbers in an order of its own.
    void prefetch_entry(std::uint32_t id) const { util::prefetch(&entries_[id]); }
    // The step after prefetch(tag), once the slot is in the cache: the key
    // and value in the first slot for `tag`, if that slot's tag is `tag`
    // (then it is nearly always the key sought).
    void prefetch_entry_of(std::uint32_t tag) const {
        const Slot slot = slots_[tag & (slots_.size() - 1)];
        if (slot.id != none && slot.tag == tag) prefetch_entry(slot.id);
    }

    std::pair<std::uint32_t, bool> insert(const Key& key, std::uint32_t tag) {
        return insert(key, tag, [](const Key& k) -> const Key& { return k; });
    }

    // As insert, but a key it adds is kept as store(key), the Key equal to
    // the probe: a copy that outlives the storage `key` views, for one.
    template <class Probe, class Store>
    std::pair<std::uint32_t, bool> insert(const Probe& key, std::uint32_t tag, Store&& store) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = tag & mask;
        std::size_t probes = 1;
        for (;; i = (i + 1) & mask, ++probes) {
            const Slot slot = slots_[i];
            if (slot.id == none) break;
            if (slot.tag == tag && Traits::equal(entries_[slot.id].key, key)) return {slot.id, false};
        }
        if (entries_.size() >= kMaxKeys) return {none, false};
        const auto id = static_cast<std::uint32_t>(entries_.size());
        entries_.push_back(Entry{store(key), Value{}});
        slots_[i] = Slot{tag, id};
        // Load factor at most 1/2 keeps probe runs short.
        if (entries_.size() * 2 > slots_.size() || (probes > kProbeCap && sparse_enough_to_grow())) grow();
        return {id, true};
    }

    // Room for `keys` keys without moving them (the slots grow as before).
    void reserve(std::size_t keys) { entries_.reserve(keys); }

    const Key& key(std::uint32_t id) const { return entries_[id].key; }
    Value& value(std::uint32_t id) { return entries_[id].value; }
    const Value& value(std::uint32_t id) const { return entries_[id].value; }
    std::size_t size() const { return entries_.size(); }

    // Probes that finding each key present takes: summed over the keys, and
    // the most for one key.
    struct ProbeStats {
        std::size_t total;
        std::size_t longest;
    };
    ProbeStats probe_stats() const {
        ProbeStats stats{0, 0};
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].id == none) continue;
            const std::size_t probes = ((i - (slots_[i].tag & mask)) & mask) + 1;
            stats.total += probes;
            stats.longest = std::max(stats.longest, probes);
        }
        return stats;
    }

private:
    // The slot index is the tag's low bits, so growing needs only the tags,
    // never the keys; the remaining tag bits still reject almost every
    // other key met while probing without reading it.
    struct Slot {
        std::uint32_t tag;  // low half of the key's hash
        std::uint32_t id;
    };

    // Growing cannot separate keys whose whole tags are equal, so a long run
    // makes the table grow only while it is at least 1/16 full.
    bool sparse_enough_to_grow() const { return entries_.size() * 16 > slots_.size(); }

    void grow() {
        for (;;) {
            std::vector<Slot> bigger(slots_.size() * 2, Slot{0, none});
            const std::size_t mask = bigger.size() - 1;
            std::size_t longest = 0;
            for (const Slot slot : slots_) {
                if (slot.id == none) continue;
                std::size_t i = slot.tag & mask;
                std::size_t probes = 1;
                for (; bigger[i].id != none; i = (i + 1) & mask) ++probes;
                bigger[i] = slot;
                longest = std::max(longest, probes);
            }
            slots_ = std::move(bigger);
            if (longest <= kProbeCap || !sparse_enough_to_grow()) return;
        }
    }

    struct Entry {
        Key key;
        [[no_unique_address]] Value value;
    };

    util::HashKey hash_key_;
    std::vector<Slot> slots_;
    std::vector<Entry> entries_;
};

}  // namespace morvanta::categorizer
