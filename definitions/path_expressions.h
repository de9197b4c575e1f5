// PathExpressions: the regular expressions of the definitions over the
// Windows path of a file, in RE2's syntax. RE2 matches in time linear in the
// path whatever the expression, so neither a careless nor a hostile
// definition can stall a walk.
//
// An expression is searched anywhere in the path ("\\dl_[0-9]{2}\.exe$" is
// tied to the end by its own '$'), letters compared without regard to case,
// bytes read as Latin-1 (the paths are in code page 1252). An expression may
// carry an exclusion: a path the exclusion also matches is not listed (the
// false-positive expression of the file-name indicator lists).
//
// All expressions are compiled into one RE2::Set, so a path is read once
// whatever their number; only the expressions that match it run their
// exclusions. Add only checks that an expression parses; the set is parsed
// for matching and compiled on the first lookup.
//
// Limits: an expression or exclusion longer than kExpressionLimit bytes, or
// one RE2 cannot parse (a bad syntax, a repetition over 1000), is refused by
// Add with the reason; ExpressionError also refuses a program over the
// per-expression memory budget (the importer checks with it). A set over
// its own budget, or whose automaton runs out of it on a path, leaves the
// path to the expressions one by one, each with the set's budget (one that
// cannot compile even so matches nothing).
// Errors are values; nothing throws. After Finish, FindNewest is const and
// may be called from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr size_t kExpressionLimit = 4096;
// The memory of the set of all expressions and of the automaton it builds
// while it matches.
inline constexpr int64_t kExpressionSetMemory = 64 << 20;

// Why RE2 (with the options used here) refuses the expression, or nothing
// when it compiles. The importer checks its expressions with this before it
// writes them.
std::optional<std::string> ExpressionError(std::string_view expression);

// The key a registry expression names its values in: the literal text after
// a leading '^' (and an optional "(?i)") up to the last backslash before
// anything that is not literal, escapes read ("\\\\" a backslash, "\\." a
// dot). Nothing when there is no such key (an unanchored expression, one
// with an alternative of the whole, one whose first name already varies).
// The scan reads only that key's values, so an expression that reaches into
// deeper keys finds less than it says, never more.
std::optional<std::string> RegistryExpressionKey(std::string_view expression);

class PathExpressions {
  public:
    explicit PathExpressions(int64_t setMemory = kExpressionSetMemory);
    ~PathExpressions();
    PathExpressions(const PathExpressions&) = delete;
    PathExpressions& operator=(const PathExpressions&) = delete;

    // Appends an expression (it becomes the newest) with its exclusion
    // (empty for none). False with the reason when either is refused; the
    // expression is then not added and takes no number.
    bool Add(std::string_view expression, std::string_view exclusion, std::string* why);
    // Ends a run of Adds: the next lookup compiles the set of all (and
    // searches the ones added later only after the next Finish).
    void Finish();
    void Clear();

    size_t Size() const { return entries_.size(); }
    // Whether the set compiles (else every path is matched one by one).
    bool SetCompiled() const { return Set() != nullptr; }

    // The newest expression (its number, counted from 0 in the order of
    // adding) that matches the path and whose exclusion does not; -1 when
    // there is none.
    int64_t FindNewest(std::string_view path) const;

  private:
    struct CompiledSet;  // RE2::Set, a nested class no header can name ahead
    struct Entry {
        std::string expression;
        std::unique_ptr<CompiledSet> exclusion;  // null for none
    };
    bool Excluded(int number, std::string_view path) const;
    int64_t FindOneByOne(std::string_view path) const;
    const std::vector<std::unique_ptr<CompiledSet>>& Singles() const;

    const CompiledSet* Set() const;
    std::unique_ptr<CompiledSet> Parsed() const;

    const int64_t setMemory_;
    std::vector<Entry> entries_;
    // The compiled set of all: null until a lookup after Finish, or when it
    // could not compile. Guarded by mutex_ until setReady_.
    mutable std::unique_ptr<CompiledSet> set_;
    mutable std::atomic<bool> setReady_{false};
    // Each expression alone, made on the first path the set cannot answer
    // (most loads never need them).
    mutable std::mutex mutex_;
    mutable std::vector<std::unique_ptr<CompiledSet>> singles_;  // null: cannot compile
};

}  // namespace tolvane
