// PatternIndex: an ordered list of wildcard patterns searched newest first,
// as the definitions' file and folder lookups need, without walking the
// whole list for every path.
//
// A pattern whose last component (after the last '/' or '\') holds no
// wildcard is filed under a hash of that component case-folded: it can only
// match a text whose own last component folds to the same string. One whose
// last component ends in literal characters after its last wildcard
// ("*.exe", "emb*.tmp") is filed under a hash of that tail: a match ends
// with it. A hash shared by another name only adds a candidate that
// PatternMatch turns down: how the hashes fall decides how fast a lookup
// is, never what it finds. The remaining patterns ("name.*") stay in one
// list in their order. A lookup merges the candidate lists newest first, so
// its result is exactly that of a walk over every pattern from the newest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class PatternIndex {
  public:
    // Appends a pattern (it becomes the newest). Returns its number, counted
    // from 0 in the order of adding.
    uint32_t Add(std::string_view pattern);
    // Sorts what was added since the last call, for quick lookups; patterns
    // added after it are still found, only more slowly.
    void Finish();
    void Clear();

    size_t Size() const { return starts_.size() - 1; }
    std::string_view Pattern(uint32_t number) const {
        return std::string_view(text_.data() + starts_[number],
                                starts_[number + 1] - starts_[number]);
    }

    // The newest pattern that PatternMatch accepts for text and for which
    // accept(number) is true; -1 when there is none.
    int64_t FindNewest(std::string_view text, const std::function<bool(uint32_t)>& accept) const;

  private:
    void FindBuckets();

    struct Named {
        uint64_t hash;    // of the folded last component, or of its literal tail
        uint32_t number;  // of the pattern
        bool operator<(const Named& other) const {
            return hash != other.hash ? hash < other.hash : number < other.number;
        }
    };
    // The patterns one after another in one block (an index of some ten
    // thousand patterns would otherwise make as many strings), and where
    // each starts; the last entry is where the next one will.
    std::string text_;
    std::vector<size_t> starts_{0};
    std::vector<Named> named_;  // sorted up to sorted_, in adding order after it
    size_t sorted_ = 0;
    // Where the sorted keys with each value of their top bits start (the
    // last entry is sorted_), so that a lookup searches only those.
    std::vector<uint32_t> buckets_;
    int bucketShift_ = 63;
    std::vector<uint32_t> tailLengths_;  // of the tails filed, ascending
    std::vector<uint32_t> others_;
};

}  // namespace tolvane
