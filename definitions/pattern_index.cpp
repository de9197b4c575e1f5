#include "definitions/pattern_index.h"

#include "definitions/pattern_match.h"
#include "platform/codepage.h"

namespace tolvane {
namespace {

std::string_view LastComponent(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string Folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldCase(c);
    return out;
}

}  // namespace

uint32_t PatternIndex::Add(std::string pattern) {
    uint32_t number = static_cast<uint32_t>(patterns_.size());
    // A malformed pattern matches nothing: it keeps its number but is filed
    // nowhere.
    if (IsWellFormedPattern(pattern)) {
        std::string_view last = LastComponent(pattern);
        if (last.find_first_of(std::string_view("*?`\x1A", 4)) == std::string_view::npos)
            byLastName_[Folded(last)].push_back(number);
        else
            others_.push_back(number);
    }
    patterns_.push_back(std::move(pattern));
    return number;
}

void PatternIndex::Clear() {
    patterns_.clear();
    byLastName_.clear();
    others_.clear();
}

int64_t PatternIndex::FindNewest(std::string_view text,
                                 const std::function<bool(uint32_t)>& accept) const {
    static const std::vector<uint32_t> kNone;
    const std::vector<uint32_t>* named = &kNone;
    if (!byLastName_.empty()) {
        auto hit = byLastName_.find(Folded(LastComponent(text)));
        if (hit != byLastName_.end()) named = &hit->second;
    }
    // Both lists ascend; walk them from their ends, the larger number first.
    size_t a = named->size(), b = others_.size();
    while (a > 0 || b > 0) {
        uint32_t number;
        if (b == 0 || (a > 0 && (*named)[a - 1] > others_[b - 1]))
            number = (*named)[--a];
        else
            number = others_[--b];
        if (PatternMatch(patterns_[number], text) && accept(number)) return number;
    }
    return -1;
}

}  // namespace tolvane
