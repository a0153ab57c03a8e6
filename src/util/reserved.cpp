#include "util/reserved.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace morvanta::util {

ReservedBytes::ReservedBytes(std::size_t capacity) noexcept {
#if defined(__unix__) || defined(__APPLE__)
    if (capacity == 0) return;
#if defined(MAP_NORESERVE)
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
#else
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
#endif
    void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, kFlags, -1, 0);
    if (p == MAP_FAILED) return;
    data_ = static_cast<unsigned char*>(p);
    size_ = capacity;
#else
    (void)capacity;
#endif
}

ReservedBytes::~ReservedBytes() {
#if defined(__unix__) || defined(__APPLE__)
    if (data_) munmap(data_, size_);
#endif
}

}  // namespace morvanta::util
