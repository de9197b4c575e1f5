#include "definitions/pattern_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/codepage.h"
#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

// What the one pass over a pattern looks for in each byte.
enum : unsigned char {
    kSeparator = 1,  // '/' or '\': the last component starts after it
    kWildcard = 2,   // '*', '?', 0x1A, and '`' (an escape makes the name no literal)
    kFormChar = 4,   // '`', '!', '[': only a pattern holding one can be malformed
};

struct ByteTables {
    std::array<unsigned char, 256> kind{};
    std::array<unsigned char, 256> fold{};
};

// Built once: FoldCase per byte, and the classes above, as table reads
// instead of a call and a chain of comparisons per character.
const ByteTables& Tables() {
    static const ByteTables tables = [] {
        ByteTables t;
        for (int b = 0; b < 256; ++b)
            t.fold[b] = static_cast<unsigned char>(FoldCase(static_cast<char>(b)));
        t.kind['/'] = t.kind['\\'] = kSeparator;
        t.kind['*'] = t.kind['?'] = t.kind['\x1A'] = kWildcard;
        t.kind['`'] = kWildcard | kFormChar;
        t.kind['!'] = t.kind['['] = kFormChar;
        return t;
    }();
    return tables;
}

// A plain loop: find_last_of asks memchr once per character.
std::string_view LastComponent(std::string_view path) {
    size_t start = path.size();
    while (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\') --start;
    return path.substr(start);
}

uint64_t Mix(uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

// Eight ASCII bytes folded at once: each of 'a'..'z' loses 0x20. Adding
// to a byte below 0x80 carries into no other.
uint64_t FoldAsciiWord(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    uint64_t fromA = word + kOnes * (0x80 - 'a');
    uint64_t pastZ = word + kOnes * (0x80 - 'z' - 1);
    return word - (((fromA & ~pastZ) & (kOnes * 0x80)) >> 2);
}

// One word of a text's case-folded bytes, from eight bytes at text.
uint64_t FoldedWord(const char* text, const ByteTables& tables) {
    uint64_t word;
    std::memcpy(&word, text, 8);
    if ((word & 0x8080808080808080ull) == 0) return FoldAsciiWord(word);
    word = 0;
    for (size_t k = 0; k < 8; ++k)
        word |= uint64_t{tables.fold[static_cast<unsigned char>(text[k])]} << (8 * k);
    return word;
}

// A hash of the case-folded bytes taken eight at a time, so that a name
// costs one multiply per word rather than one per character. The seed
// keeps a whole name apart from a tail of the same letters.
uint64_t FoldedHash(std::string_view text, uint64_t seed, const ByteTables& tables) {
    uint64_t h = seed ^ (text.size() * 0x9E3779B97F4A7C15ull);
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        h = (h ^ FoldedWord(text.data() + i, tables)) * 0x9FB21C651E98DF25ull;
        h ^= h >> 29;
    }
    if (i < text.size()) {
        uint64_t word = 0;
        for (size_t k = 0; i + k < text.size(); ++k)
            word |= uint64_t{tables.fold[static_cast<unsigned char>(text[i + k])]} << (8 * k);
        h = (h ^ word) * 0x9FB21C651E98DF25ull;
    }
    return Mix(h);
}

// The key of a text's last component as a whole, and of its last
// characters as the literal tail of a wildcard name.
uint64_t NameKey(std::string_view name, const ByteTables& tables) {
    return FoldedHash(name, 0, tables);
}
uint64_t TailKey(std::string_view tail, const ByteTables& tables) {
    return FoldedHash(tail, 0x5851F42D4C957F2Dull, tables);
}

// Where the last component of a pattern starts, where its last wildcard is
// (npos for none), and whether it holds a character on which its form
// depends, from one pass over it.
struct Shape {
    size_t lastStart = 0;
    size_t wildcard = std::string_view::npos;
    bool formChars = false;
};

Shape ShapeOf(std::string_view pattern, const ByteTables& tables) {
    const unsigned char* kind = tables.kind.data();
    Shape shape;
    unsigned char seen = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        unsigned char k = kind[static_cast<unsigned char>(pattern[i])];
        if (k == 0) continue;
        seen |= k;
        if (k & kSeparator) {
            shape.lastStart = i + 1;
            shape.wildcard = std::string_view::npos;
        } else if (k & kWildcard) {
            shape.wildcard = i;
        }
    }
    shape.formChars = (seen & kFormChar) != 0;
    return shape;
}

}  // namespace

uint32_t PatternIndex::Add(std::string_view pattern) {
    uint32_t number = static_cast<uint32_t>(Size());
    const ByteTables& tables = Tables();
    Shape shape = ShapeOf(pattern, tables);
    // A malformed pattern matches nothing: it keeps its number but is filed
    // nowhere.
    if (!shape.formChars || IsWellFormedPattern(pattern)) {
        std::string_view last = pattern.substr(shape.lastStart);
        if (shape.wildcard == std::string_view::npos) {
            named_.push_back({NameKey(last, tables), number});
        } else if (shape.wildcard + 1 < pattern.size()) {
            // Everything after the last wildcard is literal: a match ends
            // with exactly these characters.
            std::string_view tail = pattern.substr(shape.wildcard + 1);
            named_.push_back({TailKey(tail, tables), number});
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

namespace {

// Buckets by a key's top bits, about as many as entries: the keys are
// hashes, so most buckets hold one or two.
int BucketBits(size_t count) {
    return std::min(16, std::max(1, static_cast<int>(std::bit_width(count)) - 1));
}

// The entries ordered by key alone, equal keys kept in their order: in
// adding order they are also in order of number.
template <typename Named>
std::vector<Named> SortedByKey(const Named* first, const Named* last) {
    size_t count = static_cast<size_t>(last - first);
    if (count < 2) return std::vector<Named>(first, last);
    // One counting pass spreads the entries into their buckets, leaving an
    // insertion sort little to move.
    int bits = BucketBits(count);
    int shift = 64 - bits;
    std::vector<uint32_t> ends((size_t{1} << bits) + 1, 0);
    for (const Named* it = first; it != last; ++it) ++ends[(it->hash >> shift) + 1];
    for (size_t b = 1; b < ends.size(); ++b) ends[b] += ends[b - 1];
    std::vector<Named> spread(count);
    for (const Named* it = first; it != last; ++it) spread[ends[it->hash >> shift]++] = *it;
    // Keys chosen to share their top bits could make the insertion sort
    // quadratic: past a budget of moves, a full sort finishes the work.
    size_t budget = 8 * count;
    for (size_t i = 1; i < count; ++i) {
        Named entry = spread[i];
        size_t j = i;
        for (; j > 0 && spread[j - 1].hash > entry.hash; --j) spread[j] = spread[j - 1];
        spread[j] = entry;
        budget -= std::min(budget, i - j);
        if (budget == 0) {
            std::sort(spread.begin(), spread.end());
            break;
        }
    }
    return spread;
}

}  // namespace

void PatternIndex::Finish() {
    std::vector<Named> added = SortedByKey(named_.data() + sorted_, named_.data() + named_.size());
    if (sorted_ == 0) {
        named_.swap(added);
    } else {
        // All numbers added since the last Finish are larger than those before.
        auto middle = named_.begin() + static_cast<std::ptrdiff_t>(sorted_);
        std::copy(added.begin(), added.end(), middle);
        std::inplace_merge(named_.begin(), middle, named_.end());
    }
    sorted_ = named_.size();
    FindBuckets();
}

void PatternIndex::FindBuckets() {
    bucketShift_ = 64 - BucketBits(sorted_);
    buckets_.assign((size_t{1} << (64 - bucketShift_)) + 1, 0);
    for (size_t i = 0; i < sorted_; ++i) ++buckets_[(named_[i].hash >> bucketShift_) + 1];
    for (size_t b = 1; b < buckets_.size(); ++b) buckets_[b] += buckets_[b - 1];
}

void PatternIndex::Clear() {
    text_.clear();
    starts_.assign(1, 0);
    named_.clear();
    sorted_ = 0;
    buckets_.clear();
    tailLengths_.clear();
    others_.clear();
}

int64_t PatternIndex::FindNewest(std::string_view text,
                                 const std::function<bool(uint32_t)>& accept) const {
    // The keys the text's last component can be filed under: itself, and
    // each of its tails of a length some wildcard name ends with.
    const ByteTables& tables = Tables();
    std::string_view last = LastComponent(text);
    std::vector<uint64_t> keys{NameKey(last, tables)};
    for (uint32_t length : tailLengths_) {
        if (length > last.size()) break;
        keys.push_back(TailKey(last.substr(last.size() - length), tables));
    }
    std::vector<uint32_t> named;
    for (uint64_t key : keys) {
        if (buckets_.empty()) break;
        size_t bucket = key >> bucketShift_;
        auto end = named_.begin() + buckets_[bucket + 1];
        auto first = std::lower_bound(named_.begin() + buckets_[bucket], end, Named{key, 0});
        for (auto it = first; it != end && it->hash == key; ++it) named.push_back(it->number);
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
