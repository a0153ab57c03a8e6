// Keyed hashing of request texts. Tables keyed by what a caller sends must
// not let the caller choose keys that collide, so every such table hashes
// with SipHash-1-3 under a key drawn at random once per process: without the
// key, which never leaves the process, colliding texts cannot be found.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/swar.h"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace morvanta::util {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

namespace detail {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

// Words are read little-endian on every machine (swar.h), so a text hashes
// alike everywhere and the shifts below keep the bytes they mean to.
inline std::uint64_t load64(const unsigned char* at) { return swar::load8(at); }

inline std::uint64_t load32(const unsigned char* at) { return swar::load4(at); }

// The last n % 8 bytes of a text of n bytes, little-endian in the low bytes
// of a word, read with fixed-size loads (a memcpy of variable length is a
// call): an overlapping load when the text has a full word before them, else
// two overlapping 4-byte loads or up to three single bytes.
inline std::uint64_t tail_word(const unsigned char* p, std::size_t n) {
    const std::size_t t = n & 7;
    if (t == 0) return 0;
    if (n >= 8) return load64(p + n - 8) >> (8 * (8 - t));
    if (t >= 4) return load32(p) | ((load32(p + t - 4) >> (8 * (8 - t))) << 32);
    return std::uint64_t{p[0]} | (std::uint64_t{p[t / 2]} << (8 * (t / 2))) | (std::uint64_t{p[t - 1]} << (8 * (t - 1)));
}

inline SipState sip_init(const HashKey& key) {
    return SipState{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
                    key.k1 ^ 0x7465646279746573ull};
}

// The words of a text, then its last bytes with its length in the top byte;
// every byte OR'ed with `fold` first.
inline void sip_absorb_text(SipState& st, std::string_view s, unsigned char fold = 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const std::size_t words = n / 8;
    const std::uint64_t folds = 0x0101010101010101ull * fold;
    for (std::size_t i = 0; i < words; ++i) st.absorb(load64(p + 8 * i) | folds);
    const std::size_t t = n & 7;
    const std::uint64_t tail_folds = t == 0 ? 0 : folds >> (8 * (8 - t));
    st.absorb((std::uint64_t{n} << 56) | tail_word(p, n) | tail_folds);
}

inline std::uint64_t sip_finish(SipState st) {
    st.v2 ^= 0xff;
    st.round();
    st.round();
    st.round();
    return st.v0 ^ st.v1 ^ st.v2 ^ st.v3;
}

}  // namespace detail

// Whether `a` holds the bytes of `b`, each OR'ed with `fold`, compared with
// fixed-size loads: keys are short, and a memcmp of variable length is a call.
inline bool same_bytes(std::string_view a, std::string_view b, unsigned char fold = 0) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(a.data());
    const auto* q = reinterpret_cast<const unsigned char*>(b.data());
    const std::uint64_t folds = 0x0101010101010101ull * fold;
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (detail::load64(p + i) != (detail::load64(q + i) | folds)) return false;
        return detail::load64(p + n - 8) == (detail::load64(q + n - 8) | folds);
    }
    if (n >= 4) {
        const std::uint64_t fold4 = folds & 0xffffffffu;
        return detail::load32(p) == (detail::load32(q) | fold4) &&
               detail::load32(p + n - 4) == (detail::load32(q + n - 4) | fold4);
    }
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != (q[i] | fold)) return false;
    return true;
}

// The first (up to 8) bytes of `s`, each OR'ed with `fold`, little-endian in
// the low bytes of a word; the bytes past a shorter text are 0.
inline std::uint64_t head_word(std::string_view s, unsigned char fold = 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const std::uint64_t folds = 0x0101010101010101ull * fold;
    if (n >= 8) return detail::load64(p) | folds;
    return n == 0 ? 0 : detail::tail_word(p, n) | (folds >> (8 * (8 - n)));
}

// SipHash-1-3 of `s` under `key`: one compression round per 8-byte word,
// three finalization rounds.
// With `fold`, the hash of the text whose bytes are those of `s` each OR'ed
// with it, computed without making that text.
inline std::uint64_t hash_bytes(const HashKey& key, std::string_view s, unsigned char fold = 0) {
    detail::SipState st = detail::sip_init(key);
    detail::sip_absorb_text(st, s, fold);
    return detail::sip_finish(st);
}

// A pair of texts in one SipHash-1-3 stream: the first text's whole length,
// then both texts as hash_bytes reads one. The leading length tells where
// the first text ends, so ("ab", "c") and ("a", "bc") are different inputs.
inline std::uint64_t hash_pair(const HashKey& key, std::string_view first, std::string_view second) {
    detail::SipState st = detail::sip_init(key);
    st.absorb(std::uint64_t{first.size()});
    detail::sip_absorb_text(st, first);
    detail::sip_absorb_text(st, second);
    return detail::sip_finish(st);
}

// The process's key, drawn from the kernel's random source on first use.
// Should that source be unavailable, the clocks and the addresses laid out
// at random by the loader stand in, mixed under a fixed key.
inline const HashKey& process_hash_key() {
    static const HashKey key = [] {
        HashKey k{0, 0};
#if defined(__linux__) && defined(SYS_getrandom)
        // GRND_NONBLOCK: never wait for the pool at early boot.
        constexpr unsigned grnd_nonblock = 1;
        if (syscall(SYS_getrandom, &k, sizeof k, grnd_nonblock) == static_cast<long>(sizeof k)) return k;
#endif
        const int on_stack = 0;
        const std::uint64_t noise[4] = {
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
            static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
            reinterpret_cast<std::uintptr_t>(&on_stack), reinterpret_cast<std::uintptr_t>(&process_hash_key)};
        const std::string_view bytes(reinterpret_cast<const char*>(noise), sizeof noise);
        k.k0 = hash_bytes(HashKey{0x0123456789abcdefull, 0xfedcba9876543210ull}, bytes);
        k.k1 = hash_bytes(HashKey{k.k0, 0x5bd1e9955bd1e995ull}, bytes);
        return k;
    }();
    return key;
}

}  // namespace morvanta::util
