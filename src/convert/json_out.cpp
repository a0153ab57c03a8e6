#include "convert/json_out.h"

#include <algorithm>
#include <new>

namespace morvanta::convert::json {

void Buffer::grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(p_ - data_);
    const std::size_t size = std::max({used + n, capacity() * 2, std::size_t{128}});
    // realloc keeps the bytes, and a large block is remapped rather than copied.
    char* data = static_cast<char*>(std::realloc(data_, size));
    if (!data) throw std::bad_alloc();
    data_ = data;
    p_ = data + used;
    end_ = data + size;
}

}  // namespace morvanta::convert::json
