// Address space reserved for a buffer of which only the written pages use memory.
#pragma once

#include <cstddef>
#include <span>

namespace morvanta::util {

// Room for up to `capacity` bytes that never moves. Only the pages written
// take memory: a private anonymous mapping, not reserved against swap, so
// that a large capacity costs address space alone. Where no mapping can be
// made (or on a system without one), room() is empty and the caller takes
// another way.
class ReservedBytes {
public:
    explicit ReservedBytes(std::size_t capacity) noexcept;
    ~ReservedBytes();
    ReservedBytes(const ReservedBytes&) = delete;
    ReservedBytes& operator=(const ReservedBytes&) = delete;

    std::span<unsigned char> room() const noexcept { return {data_, size_}; }

private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace morvanta::util
