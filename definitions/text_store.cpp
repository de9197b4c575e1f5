#include "definitions/text_store.h"

#include <cstring>

namespace tolvane {
namespace {

// Blocks of this size hold the short texts; a text longer than a quarter of
// it gets a block of its own, so that little room is left unused.
constexpr size_t kBlockSize = 64 * 1024;

}  // namespace

std::string_view TextStore::Keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kBlockSize / 4) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
        capacity_ += text.size();
        std::memcpy(blocks_.back().get(), text.data(), text.size());
        return {blocks_.back().get(), text.size()};
    }
    if (text.size() > room_) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
        capacity_ += kBlockSize;
        free_ = blocks_.back().get();
        room_ = kBlockSize;
    }
    char* copy = free_;
    std::memcpy(copy, text.data(), text.size());
    free_ += text.size();
    room_ -= text.size();
    return {copy, text.size()};
}

void TextStore::Clear() {
    blocks_.clear();
    free_ = nullptr;
    room_ = 0;
    capacity_ = 0;
}

}  // namespace tolvane
