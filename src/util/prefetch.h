// A hint to the processor to fetch memory ahead of its use.
#pragma once

namespace morvanta::util {

// Fetches the cache line at p ahead of its use. A hint only: a stale or
// dangling pointer is harmless, since nothing is read.
inline void prefetch([[maybe_unused]] const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#endif
}

}  // namespace morvanta::util
