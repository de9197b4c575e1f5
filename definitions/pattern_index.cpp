#include "definitions/pattern_index.h"

#include <algorithm>

#include "definitions/pattern_match.h"
#include "platform/codepage.h"

namespace tolvane {
namespace {

std::string_view LastComponent(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// FNV-1a over the case-folded bytes.
uint64_t FoldedHash(std::string_view text) {
    uint64_t hash = 1469598103934665603ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(FoldCase(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

uint32_t PatternIndex::Add(std::string pattern) {
    uint32_t number = static_cast<uint32_t>(patterns_.size());
    // A malformed pattern matches nothing: it keeps its number but is filed
    // nowhere.
    if (IsWellFormedPattern(pattern)) {
        std::string_view last = LastComponent(pattern);
        if (last.find_first_of(std::string_view("*?`\x1A", 4)) == std::string_view::npos)
            named_.push_back({FoldedHash(last), number});
        else
            others_.push_back(number);
    }
    patterns_.push_back(std::move(pattern));
    return number;
}

void PatternIndex::Finish() {
    std::sort(named_.begin(), named_.end());
    sorted_ = named_.size();
}

void PatternIndex::Clear() {
    patterns_.clear();
    named_.clear();
    sorted_ = 0;
    others_.clear();
}

int64_t PatternIndex::FindNewest(std::string_view text,
                                 const std::function<bool(uint32_t)>& accept) const {
    // Candidates by name: the sorted run of this hash (numbers ascending),
    // then any added since the last Finish (all newer than the sorted ones).
    const uint64_t hash = FoldedHash(LastComponent(text));
    std::vector<uint32_t> named;
    auto first = std::lower_bound(named_.begin(), named_.begin() + sorted_, Named{hash, 0});
    for (auto it = first; it != named_.begin() + sorted_ && it->hash == hash; ++it)
        named.push_back(it->number);
    std::vector<uint32_t> unsorted;
    for (size_t i = sorted_; i < named_.size(); ++i)
        if (named_[i].hash == hash) unsorted.push_back(named_[i].number);
    if (!unsorted.empty()) {
        named.insert(named.end(), unsorted.begin(), unsorted.end());
        std::sort(named.begin(), named.end());
    }
    // Both lists ascend; walk them from their ends, the larger number first.
    size_t a = named.size(), b = others_.size();
    while (a > 0 || b > 0) {
        uint32_t number;
        if (b == 0 || (a > 0 && named[a - 1] > others_[b - 1]))
            number = named[--a];
        else
            number = others_[--b];
        if (PatternMatch(patterns_[number], text) && accept(number)) return number;
    }
    return -1;
}

}  // namespace tolvane
