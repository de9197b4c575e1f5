// TextStore: copies of short texts that string views point into, for records
// made by the thousand (the threat definitions and their entries), which as
// strings of their own would each cost an allocation and a free.
//
// The copies stand in blocks that never move: a view that Keep gave stays
// valid until Clear or the store's end, whatever is kept after it. A store
// is moved, never copied (its views point into it). Not safe to Keep from
// two threads at once; the views may be read from any thread.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tolvane {

class TextStore {
  public:
    TextStore() = default;
    TextStore(const TextStore&) = delete;
    TextStore& operator=(const TextStore&) = delete;
    TextStore(TextStore&&) = default;
    TextStore& operator=(TextStore&&) = default;

    // A view of a copy of text; the empty text gives an empty view. Inline:
    // a load keeps some hundred thousand texts.
    std::string_view Keep(std::string_view text) {
        if (text.empty()) return {};
        if (text.size() > room_) return KeepInNewBlock(text);
        char* copy = free_;
        std::memcpy(copy, text.data(), text.size());
        free_ += text.size();
        room_ -= text.size();
        return {copy, text.size()};
    }
    // Frees every copy: every view given before is then dangling.
    void Clear();

  private:
    std::string_view KeepInNewBlock(std::string_view text);

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t room_ = 0;
};

}  // namespace tolvane
