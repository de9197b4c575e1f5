#include "definitions/pattern_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

// Letters of both cases, and the bytes either side of 'a'..'z' and 'A'..'Z',
// which fold to nothing else; in ASCII alone, and with code page 1252 (e/E
// acute, s/S caron, y diaeresis and its capital).
const std::string kAscii = "aAzZ@[{`-.09";
const std::string kLetters = kAscii + "\xE9\xC9\x9A\x8A\xFF\x9F\xF7\xD7";

char OtherCase(char c) {
    static const std::string pairs = "aAzZ\xE9\xC9\x9A\x8A\xFF\x9F";
    size_t at = pairs.find(c);
    return at == std::string::npos ? c : pairs[at ^ 1];
}

// Lookups in an index sorted in several runs, with patterns added after the
// last run, and names of several words in both cases, give what a walk over
// every pattern from the newest gives.
TEST(PatternIndex, LookupsAcrossRunsEqualTheWalk) {
    std::mt19937 random(20261210);
    auto name = [&] {
        const std::string& letters = random() % 2 ? kAscii : kLetters;
        std::string text;
        size_t length = 1 + random() % 20;
        for (size_t i = 0; i < length; ++i) text += letters[random() % letters.size()];
        return text;
    };
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) names.push_back(name());
    PatternIndex index;
    std::vector<std::string> patterns;
    for (int i = 0; i < 1000; ++i) {
        std::string last = names[random() % names.size()];
        switch (random() % 4) {
            case 0:
                last = "*" + last.substr(last.size() / 2);
                break;
            case 1:
                last += "*";
                break;
            default:
                break;
        }
        patterns.push_back((random() % 2 ? "C:\\d\\" : "*\\") + last);
        EXPECT_EQ(index.Add(patterns.back()), static_cast<uint32_t>(i));
        if (i == 300 || i == 700) index.Finish();
    }
    ASSERT_EQ(index.Size(), patterns.size());

    int found = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string text = "c:/D/";
        for (char c : names[random() % names.size()]) text += random() % 2 ? OtherCase(c) : c;
        uint32_t refused = random() % 1000;  // one number accept turns down
        auto accept = [&](uint32_t number) { return number != refused; };
        int64_t expected = -1;
        for (size_t n = patterns.size(); n-- > 0;) {
            if (PatternMatch(patterns[n], text) && accept(static_cast<uint32_t>(n))) {
                expected = static_cast<int64_t>(n);
                break;
            }
        }
        ASSERT_EQ(index.FindNewest(text, accept), expected) << text;
        if (expected >= 0) ++found;
    }
    EXPECT_GT(found, 500);
}

}  // namespace
}  // namespace tolvane
