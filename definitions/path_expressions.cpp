#include "definitions/path_expressions.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>

namespace tolvane {
namespace {

// One expression's compiled program may take this much; a larger one (a
// repetition of a repetition) is refused rather than held.
constexpr int64_t kExpressionMemory = 1 << 20;

// No byte of a Latin-1 text is above 0xFF.
constexpr const char* kMatchesNothing = "[^\\x00-\\xFF]";

RE2::Options ExpressionOptions(int64_t memory) {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_case_sensitive(false);
    options.set_log_errors(false);
    options.set_max_mem(memory);
    return options;
}

std::unique_ptr<RE2> Compile(std::string_view text, std::string* why) {
    if (text.size() > kExpressionLimit) {
        *why = "expression longer than " + std::to_string(kExpressionLimit) + " bytes";
        return nullptr;
    }
    auto compiled = std::make_unique<RE2>(re2::StringPiece(text.data(), text.size()),
                                          ExpressionOptions(kExpressionMemory));
    if (!compiled->ok()) {
        *why = "expression RE2 cannot compile: " + compiled->error();
        return nullptr;
    }
    return compiled;
}

}  // namespace

std::optional<std::string> ExpressionError(std::string_view expression) {
    std::string why;
    if (!Compile(expression, &why)) return why;
    return std::nullopt;
}

struct PathExpressions::CompiledSet {
    explicit CompiledSet(int64_t memory) : set(ExpressionOptions(memory), RE2::UNANCHORED) {}
    // A set of one expression stands for that expression alone: RE2
    // (20220601) misreads a Latin-1 byte above 0x7F in the literal start it
    // looks for ahead of a single expression ("\xFFx|\xFF\xFFy" misses
    // "\xFF\xFFy"); its sets do not. Null with the reason when the expression
    // does not parse or compile within the memory.
    static std::unique_ptr<CompiledSet> One(std::string_view expression, int64_t memory,
                                            std::string* why) {
        auto one = std::make_unique<CompiledSet>(memory);
        std::string error;
        if (one->set.Add(re2::StringPiece(expression.data(), expression.size()), &error) < 0) {
            *why = "expression RE2 cannot compile: " + error;
            return nullptr;
        }
        if (!one->set.Compile()) {
            *why = "expression RE2 cannot compile: pattern too large - compile failed";
            return nullptr;
        }
        return one;
    }
    // Whether a set of one matches; an automaton out of memory says no.
    bool Matches(std::string_view text) const {
        return set.Match(re2::StringPiece(text.data(), text.size()), nullptr);
    }
    RE2::Set set;
};

namespace {

// A '|' outside brackets and parentheses: an alternative of the whole
// expression, which need not start where the first one does.
bool HasTopLevelAlternative(std::string_view expression) {
    int depth = 0;
    bool inClass = false;
    for (size_t i = 0; i < expression.size(); ++i) {
        char c = expression[i];
        if (c == '\\') {
            ++i;
        } else if (inClass) {
            inClass = c != ']';
        } else if (c == '[') {
            inClass = true;
            if (i + 1 < expression.size() && expression[i + 1] == ']') ++i;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == '|' && depth <= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> RegistryExpressionKey(std::string_view expression) {
    if (HasTopLevelAlternative(expression)) return std::nullopt;
    if (expression.substr(0, 5) == "^(?i)")
        expression.remove_prefix(5);
    else if (expression.substr(0, 5) == "(?i)^")
        expression.remove_prefix(5);
    else if (!expression.empty() && expression[0] == '^')
        expression.remove_prefix(1);
    else
        return std::nullopt;
    std::string literal;
    for (size_t i = 0; i < expression.size(); ++i) {
        char c = expression[i];
        if (std::string_view("?*{").find(c) != std::string_view::npos) {
            // The character before a repetition may be absent or repeated.
            if (!literal.empty()) literal.pop_back();
            break;
        }
        if (std::string_view("[(.+|$^").find(c) != std::string_view::npos) break;
        if (c == '\\') {
            if (i + 1 >= expression.size()) break;
            char next = expression[i + 1];
            if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                (next >= '0' && next <= '9'))
                break;  // a class (\d, \w) or a code
            c = next;
            ++i;
        }
        literal += c;
    }
    size_t slash = literal.rfind('\\');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    return literal.substr(0, slash);
}

PathExpressions::PathExpressions(int64_t setMemory) : setMemory_(setMemory) {}
PathExpressions::~PathExpressions() = default;

bool PathExpressions::Add(std::string_view expression, std::string_view exclusion,
                          std::string* why) {
    if (expression.size() > kExpressionLimit) {
        *why = "expression longer than " + std::to_string(kExpressionLimit) + " bytes";
        return false;
    }
    if (exclusion.size() > kExpressionLimit) {
        *why = "expression longer than " + std::to_string(kExpressionLimit) + " bytes";
        return false;
    }
    std::unique_ptr<CompiledSet> excluded;
    if (!exclusion.empty()) {
        excluded = CompiledSet::One(exclusion, kExpressionMemory, why);
        if (!excluded) return false;
    }
    // Only checked here; the set to match with parses it again on the first
    // lookup. Folding the case of every literal costs that parse several
    // times the check, and whether an expression parses does not depend on
    // case.
    RE2::Options checkOptions = ExpressionOptions(setMemory_);
    checkOptions.set_case_sensitive(true);
    RE2::Set check(checkOptions, RE2::UNANCHORED);
    std::string error;
    if (check.Add(re2::StringPiece(expression.data(), expression.size()), &error) < 0) {
        *why = "expression RE2 cannot compile: " + error;
        return false;
    }
    entries_.push_back({std::string(expression), std::move(excluded)});
    return true;
}

void PathExpressions::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.reset();
    singles_.clear();
    setReady_.store(false, std::memory_order_release);
}

void PathExpressions::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.reset();
    entries_.clear();
    singles_.clear();
    setReady_.store(false, std::memory_order_release);
}

// Each expression in its number's place: one the check let pass that this
// parse refuses after all matches nothing rather than move the numbers of
// those after it.
std::unique_ptr<PathExpressions::CompiledSet> PathExpressions::Parsed() const {
    auto parsed = std::make_unique<CompiledSet>(setMemory_);
    for (const Entry& entry : entries_)
        if (parsed->set.Add(entry.expression, nullptr) < 0)
            parsed->set.Add(kMatchesNothing, nullptr);
    return parsed;
}

// Compiled on the first lookup, not at Finish: a load that no scan follows
// (the start-up listing, the window before a scan) never pays for it.
const PathExpressions::CompiledSet* PathExpressions::Set() const {
    if (setReady_.load(std::memory_order_acquire)) return set_.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!setReady_.load(std::memory_order_relaxed)) {
        // A set too large for its memory leaves every path to the one-by-one
        // match: slower, never a miss.
        std::unique_ptr<CompiledSet> pending = Parsed();
        if (pending->set.Compile()) set_ = std::move(pending);
        setReady_.store(true, std::memory_order_release);
    }
    return set_.get();
}

const std::vector<std::unique_ptr<PathExpressions::CompiledSet>>& PathExpressions::Singles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (singles_.size() != entries_.size()) {
        singles_.clear();
        std::string why;
        for (const Entry& entry : entries_)
            singles_.push_back(
                CompiledSet::One(entry.expression, std::max(setMemory_, kExpressionMemory), &why));
    }
    return singles_;
}

bool PathExpressions::Excluded(int number, std::string_view path) const {
    const Entry& entry = entries_[number];
    return entry.exclusion && entry.exclusion->Matches(path);
}

int64_t PathExpressions::FindOneByOne(std::string_view path) const {
    const std::vector<std::unique_ptr<CompiledSet>>& singles = Singles();
    for (size_t number = singles.size(); number-- > 0;)
        if (singles[number] && singles[number]->Matches(path) && !Excluded(number, path))
            return static_cast<int64_t>(number);
    return -1;
}

int64_t PathExpressions::FindNewest(std::string_view path) const {
    if (entries_.empty()) return -1;
    const CompiledSet* set = Set();
    if (!set) return FindOneByOne(path);
    std::vector<int> hits;
    RE2::Set::ErrorInfo error;
    if (!set->set.Match(re2::StringPiece(path.data(), path.size()), &hits, &error)) {
        if (error.kind == RE2::Set::kNoError) return -1;
        return FindOneByOne(path);
    }
    int64_t newest = -1;
    for (int number : hits)
        if (number > newest && !Excluded(number, path)) newest = number;
    return newest;
}

}  // namespace tolvane
