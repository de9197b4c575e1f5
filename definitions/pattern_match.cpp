#include "definitions/pattern_match.h"

#include <vector>

#include "base/codepage.h"

namespace tolvane {
namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}
bool StopsStar(char c) {
    return c == '.' || IsSeparator(c);
}
bool SameLetter(char a, char b) {
    return a == b || FoldCase(a) == FoldCase(b);
}

// One pattern character (taken literally when escaped) against one text character.
bool CharMatches(char pc, bool literal, char tc) {
    if (literal) return SameLetter(pc, tc);
    if (pc == '?') return !IsSeparator(tc);
    if (IsSeparator(pc)) return IsSeparator(tc);
    return SameLetter(pc, tc);
}

// A pattern without '*': one text character per pattern element.
bool MatchWithoutStar(std::string_view pattern, std::string_view text) {
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); ++p, ++t) {
        bool literal = pattern[p] == '`';
        if (literal) ++p;
        if (t >= text.size() || !CharMatches(pattern[p], literal, text[t])) return false;
    }
    return t == text.size();
}

}  // namespace

bool IsWellFormedPattern(std::string_view pattern) {
    const size_t n = pattern.size();
    for (size_t i = 0; i < n; ++i) {
        char c = pattern[i];
        if (c == '`') {
            if (i + 1 == n) return false;
            ++i;
        } else if (c == '!') {
            if (i + 1 == n) return false;
        } else if (c == '[') {
            size_t j = i + 1;
            if (j < n && pattern[j] == '!') ++j;
            bool closed = false;
            while (j < n) {
                if (pattern[j] == '`') {
                    if (j + 1 >= n) return false;
                    j += 2;
                } else if (pattern[j] == ']') {
                    closed = true;
                    break;
                } else {
                    ++j;  // a character or one end of a range a-z
                }
            }
            if (!closed) return false;
            i = j;
        }
    }
    return true;
}

// The set of text positions reachable after each pattern element, walked
// element by element: linear in pattern length times text length, with no
// backtracking and no recursion, whatever the pattern.
bool PatternMatch(std::string_view pattern, std::string_view text) {
    if (!IsWellFormedPattern(pattern)) return false;
    if (text.empty()) return pattern.empty();
    if (pattern.find_first_of(std::string_view("*\x1A", 2)) == std::string_view::npos)
        return MatchWithoutStar(pattern, text);
    const size_t n = text.size();
    std::vector<char> reach(n + 1, 0), next(n + 1, 0);
    reach[0] = 1;
    size_t lowest = 0;  // no reachable position lies below it
    for (size_t p = 0; p < pattern.size(); ++p) {
        char pc = pattern[p];
        bool any = false;
        std::fill(next.begin(), next.end(), 0);
        if (pc == '*' || pc == '\x1A') {
            // Each reachable position extends through the run of characters
            // up to the next '.', '/' or '\'.
            bool extending = false;
            for (size_t t = lowest; t <= n; ++t) {
                if (reach[t]) extending = true;
                if (extending) {
                    next[t] = 1;
                    any = true;
                }
                if (t < n && StopsStar(text[t])) extending = false;
            }
        } else {
            bool literal = false;
            if (pc == '`') {
                ++p;  // well-formed: a character follows
                pc = pattern[p];
                literal = true;
            }
            for (size_t t = lowest; t < n; ++t) {
                if (!reach[t]) continue;
                if (CharMatches(pc, literal, text[t])) {
                    next[t + 1] = 1;
                    any = true;
                }
            }
        }
        if (!any) return false;
        reach.swap(next);
        while (!reach[lowest]) ++lowest;
    }
    return reach[n] != 0;
}

// The last '*' met is the only point to go back to: a later star can absorb
// whatever an earlier one would have, so no deeper backtracking is needed.
bool ValueNameMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || SameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace tolvane
