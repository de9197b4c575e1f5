#include "definitions/text_store.h"

#include <cstring>

namespace tolvane {
namespace {

// Blocks of this size hold the short texts.
constexpr size_t kBlockSize = 64 * 1024;

}  // namespace

// A text longer than a quarter of a block gets a block of its own, so that
// the room left in the current one stays for the texts after it.
std::string_view TextStore::KeepInNewBlock(std::string_view text) {
    if (text.size() > kBlockSize / 4) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
        std::memcpy(blocks_.back().get(), text.data(), text.size());
        return {blocks_.back().get(), text.size()};
    }
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    free_ = blocks_.back().get();
    room_ = kBlockSize;
    return Keep(text);
}

void TextStore::Clear() {
    blocks_.clear();
    free_ = nullptr;
    room_ = 0;
}

}  // namespace tolvane
