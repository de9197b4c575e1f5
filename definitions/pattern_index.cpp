#include "definitions/pattern_index.h"

#include <algorithm>

#include "base/codepage.h"
#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

// A plain loop: find_last_of asks memchr once per character.
std::string_view LastComponent(std::string_view path) {
    size_t start = path.size();
    while (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\') --start;
    return path.substr(start);
}

// FoldCase, with ASCII (nearly every name) folded here without a call.
char Fold(char c) {
    if (static_cast<unsigned char>(c) >= 0x80) return FoldCase(c);
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// FNV-1a over the case-folded bytes.
uint64_t FoldedHash(std::string_view text) {
    uint64_t hash = 1469598103934665603ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(Fold(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

// The key of a text's last component as a whole, and of its last `length`
// characters as the literal tail of a wildcard name.
uint64_t NameKey(std::string_view name) {
    return FoldedHash(name);
}
uint64_t TailKey(std::string_view tail) {
    return (FoldedHash(tail) ^ 0x9E3779B97F4A7C15ull) * 31 + tail.size();
}

// The position of the last wildcard of a name, or npos.
size_t LastWildcard(std::string_view name) {
    for (size_t i = name.size(); i-- > 0;)
        if (name[i] == '*' || name[i] == '?' || name[i] == '`' || name[i] == '\x1A') return i;
    return std::string_view::npos;
}

}  // namespace

uint32_t PatternIndex::Add(std::string_view pattern) {
    uint32_t number = static_cast<uint32_t>(Size());
    // A malformed pattern matches nothing: it keeps its number but is filed
    // nowhere.
    if (IsWellFormedPattern(pattern)) {
        std::string_view last = LastComponent(pattern);
        size_t wild = LastWildcard(last);
        if (wild == std::string_view::npos) {
            named_.push_back({NameKey(last), number});
        } else if (wild + 1 < last.size()) {
            // Everything after the last wildcard is literal: a match ends
            // with exactly these characters.
            std::string_view tail = last.substr(wild + 1);
            named_.push_back({TailKey(tail), number});
            uint32_t length = static_cast<uint32_t>(tail.size());
            auto at = std::lower_bound(tailLengths_.begin(), tailLengths_.end(), length);
            if (at == tailLengths_.end() || *at != length) tailLengths_.insert(at, length);
        } else {
            others_.push_back(number);
        }
    }
    text_.append(pattern);
    starts_.push_back(text_.size());
    return number;
}

void PatternIndex::Finish() {
    std::sort(named_.begin(), named_.end());
    sorted_ = named_.size();
}

void PatternIndex::Clear() {
    text_.clear();
    starts_.assign(1, 0);
    named_.clear();
    sorted_ = 0;
    tailLengths_.clear();
    others_.clear();
}

int64_t PatternIndex::FindNewest(std::string_view text,
                                 const std::function<bool(uint32_t)>& accept) const {
    // The keys the text's last component can be filed under: itself, and
    // each of its tails of a length some wildcard name ends with.
    std::string_view last = LastComponent(text);
    std::vector<uint64_t> keys{NameKey(last)};
    for (uint32_t length : tailLengths_) {
        if (length > last.size()) break;
        keys.push_back(TailKey(last.substr(last.size() - length)));
    }
    std::vector<uint32_t> named;
    for (uint64_t key : keys) {
        auto first = std::lower_bound(named_.begin(), named_.begin() + sorted_, Named{key, 0});
        for (auto it = first; it != named_.begin() + sorted_ && it->hash == key; ++it)
            named.push_back(it->number);
    }
    // Those added since the last Finish.
    for (size_t i = sorted_; i < named_.size(); ++i)
        if (std::find(keys.begin(), keys.end(), named_[i].hash) != keys.end())
            named.push_back(named_[i].number);
    std::sort(named.begin(), named.end());
    // Both lists ascend; walk them from their ends, the larger number first.
    size_t a = named.size(), b = others_.size();
    while (a > 0 || b > 0) {
        uint32_t number;
        if (b == 0 || (a > 0 && named[a - 1] > others_[b - 1]))
            number = named[--a];
        else
            number = others_[--b];
        if (PatternMatch(Pattern(number), text) && accept(number)) return number;
    }
    return -1;
}

}  // namespace tolvane
