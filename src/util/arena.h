// Texts owned by one call, in blocks that never move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace morvanta {

// Views returned by add() stay valid while more texts are added and when the
// arena itself is moved: only the block pointers move, never the bytes.
class TextArena {
public:
    std::string_view add(std::string_view text) {
        if (text.empty()) return {};
        if (text.size() > room_) {
            const std::size_t size = std::max(text.size(), kBlockBytes);
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            cursor_ = blocks_.back().get();
            room_ = size;
        }
        char* const at = cursor_;
        std::memcpy(at, text.data(), text.size());
        cursor_ += text.size();
        room_ -= text.size();
        return {at, text.size()};
    }

private:
    static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    std::size_t room_ = 0;
};

}  // namespace morvanta
