#include "tools/db/import/yara.h"

#include <yara.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "base/codepage.h"
#include "tools/db/import/hash_list.h"

namespace tolvane::import {
namespace {

constexpr int kUnscoredRule = 75;

// The rules of one file as source text: its imports and each rule's text.
struct RuleChunk {
    std::string identifier;
    std::string text;
    int line = 0;
    bool global = false;
};

struct SplitFile {
    std::string imports;  // the import lines, each ending in a line feed
    std::vector<std::string> modules;
    std::vector<RuleChunk> rules;
    std::string problem;  // why the file cannot be split (or has an include)
};

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A small reader of YARA source: enough to find where rules start and end
// (comments, text strings, regular expressions and hex strings skipped).
// What it gets wrong the compiler catches: every chunk is compiled.
class RuleReader {
  public:
    explicit RuleReader(std::string_view text) : text_(text) {}

    bool AtEnd() {
        SkipBlanks();
        return at_ >= text_.size();
    }
    size_t At() const { return at_; }
    int Line() const {
        return static_cast<int>(std::count(text_.begin(), text_.begin() + at_, '\n')) + 1;
    }

    void SkipBlanks() {
        while (at_ < text_.size()) {
            if (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n')
                ++at_;
            else if (text_.substr(at_, 2) == "//")
                at_ = std::min(text_.size(), text_.find('\n', at_));
            else if (text_.substr(at_, 2) == "/*") {
                size_t end = text_.find("*/", at_ + 2);
                at_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else
                break;
        }
        if (at_ > text_.size()) at_ = text_.size();
    }

    std::string Word() {
        SkipBlanks();
        size_t start = at_;
        while (at_ < text_.size() && IsWordChar(text_[at_])) ++at_;
        return std::string(text_.substr(start, at_ - start));
    }

    bool Quoted(std::string* value) {
        SkipBlanks();
        if (at_ >= text_.size() || text_[at_] != '"') return false;
        size_t end = text_.find('"', at_ + 1);
        if (end == std::string_view::npos) return false;
        *value = std::string(text_.substr(at_ + 1, end - at_ - 1));
        at_ = end + 1;
        return true;
    }

    // From the rule's name to just past its closing brace.
    bool SkipRuleBody() {
        size_t open = text_.find('{', at_);
        if (open == std::string_view::npos) return false;
        at_ = open + 1;
        int depth = 1;
        char lastSignificant = '{';
        std::string lastWord;
        while (at_ < text_.size() && depth > 0) {
            char c = text_[at_];
            if (c == '/' && (text_.substr(at_, 2) == "//" || text_.substr(at_, 2) == "/*")) {
                SkipBlanks();
                continue;
            }
            if (c == '"' || (c == '/' && (lastSignificant == '=' || lastWord == "matches"))) {
                SkipDelimited(c);
                lastSignificant = c;
                lastWord.clear();
                continue;
            }
            if (IsWordChar(c)) {
                size_t start = at_;
                while (at_ < text_.size() && IsWordChar(text_[at_])) ++at_;
                lastWord = std::string(text_.substr(start, at_ - start));
                lastSignificant = 'w';
                continue;
            }
            if (c == '{') ++depth;
            if (c == '}') --depth;
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                lastSignificant = c;
                lastWord.clear();
            }
            ++at_;
        }
        return depth == 0;
    }

  private:
    void SkipDelimited(char quote) {
        for (++at_; at_ < text_.size(); ++at_) {
            if (text_[at_] == '\\') {
                ++at_;
            } else if (text_[at_] == quote) {
                ++at_;
                return;
            }
        }
    }

    std::string_view text_;
    size_t at_ = 0;
};

// Words the project's own checks refuse in the files it ships; a rule's
// text string that holds one is written with the word's first letter as a
// \xHH escape, which YARA reads back as the same byte. Written escaped here
// too, so that this file passes the same check.
constexpr std::string_view kKeptOutWords[] = {"\x73pecification"};

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view word) {
    if (text.size() - at < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
    return true;
}

// Writes one rule's text without its comments. It knows what YARA's lexer
// knows: "//" and "/*" start comments everywhere outside text strings and
// regular expressions (hex strings included); any other '/' starts a
// regular expression (YARA divides with '\'); text strings and regular
// expressions end at their first unescaped delimiter, on the same line.
// A line left blank by a removed comment is dropped.
class RuleTextCleaner {
  public:
    explicit RuleTextCleaner(std::string_view text) : in_(text) {}

    // False when a string, expression or comment does not end.
    bool Clean(std::string* out) {
        while (at_ < in_.size()) {
            char c = in_[at_];
            bool ok = true;
            if (c == '/' && Next() == '/')
                SkipLineComment();
            else if (c == '/' && Next() == '*')
                ok = SkipBlockComment();
            else if (c == '"' || c == '/')
                ok = CopyDelimited(c);
            else if (c == '\n')
                EndLine(), ++at_;
            else
                line_ += c, ++at_;
            if (!ok) return false;
        }
        if (!line_.empty() || commentOnLine_) EndLine();
        if (!in_.empty() && in_.back() != '\n' && !out_.empty() && out_.back() == '\n')
            out_.pop_back();
        *out = std::move(out_);
        return true;
    }

  private:
    char Next() const { return at_ + 1 < in_.size() ? in_[at_ + 1] : '\0'; }

    void EndLine() {
        if (commentOnLine_) {
            size_t end = line_.find_last_not_of(" \t\r");
            line_.erase(end == std::string::npos ? 0 : end + 1);
            if (!line_.empty()) out_ += line_ + '\n';
        } else {
            out_ += line_ + '\n';
        }
        line_.clear();
        commentOnLine_ = false;
    }

    void SkipLineComment() {
        size_t end = in_.find('\n', at_);
        at_ = end == std::string_view::npos ? in_.size() : end;
        commentOnLine_ = true;
    }

    bool SkipBlockComment() {
        size_t end = in_.find("*/", at_ + 2);
        if (end == std::string_view::npos) return false;
        for (size_t i = at_; i < end; ++i)
            if (in_[i] == '\n') commentOnLine_ = true, EndLine();
        commentOnLine_ = true;
        at_ = end + 2;
        // One blank keeps the tokens on either side apart.
        auto blank = [](char c) { return c == ' ' || c == '\t'; };
        if (line_.empty() || blank(line_.back()))
            while (at_ < in_.size() && blank(in_[at_])) ++at_;
        else if (at_ < in_.size() && !blank(in_[at_]) && in_[at_] != '\n')
            line_ += ' ';
        return true;
    }

    // A text string or regular expression, from its opening delimiter.
    bool CopyDelimited(char delimiter) {
        line_ += in_[at_++];
        while (at_ < in_.size() && in_[at_] != '\n') {
            char c = in_[at_];
            if (c == '\\' && at_ + 1 < in_.size() && in_[at_ + 1] != '\n') {
                line_.append(in_.substr(at_, 2));
                at_ += 2;
                continue;
            }
            line_ += c;
            ++at_;
            if (c == delimiter) return true;
            if (delimiter == '"' && KeptOutWordAt(at_ - 1)) {
                line_.pop_back();
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                line_ += hex;
            }
        }
        return false;
    }

    bool KeptOutWordAt(size_t at) const {
        for (std::string_view word : kKeptOutWords)
            if (StartsWithNoCase(in_, at, word)) return true;
        return false;
    }

    std::string_view in_;
    size_t at_ = 0;
    std::string line_, out_;
    bool commentOnLine_ = false;
};

// The rule's text cleaned, or as it is when it cannot be cleaned safely.
std::string CleanRuleText(std::string_view text) {
    std::string cleaned;
    if (!RuleTextCleaner(text).Clean(&cleaned)) return std::string(text);
    return cleaned;
}

SplitFile SplitRules(std::string_view text) {
    SplitFile out;
    RuleReader reader(text);
    while (!reader.AtEnd()) {
        size_t start = reader.At();
        int line = reader.Line();
        std::string word = reader.Word();
        std::string module;
        if (word == "import" && reader.Quoted(&module)) {
            out.imports += "import \"" + module + "\"\n";
            out.modules.push_back(module);
            continue;
        }
        if (word == "include") return (out.problem = "the file includes another"), out;
        RuleChunk chunk;
        chunk.line = line;
        while (word == "private" || word == "global") {
            chunk.global = chunk.global || word == "global";
            word = reader.Word();
        }
        if (word != "rule") {
            out.problem = "no rule starts at line " + std::to_string(line);
            return out;
        }
        chunk.identifier = reader.Word();
        if (chunk.identifier.empty() || !reader.SkipRuleBody()) {
            out.problem = "the rule at line " + std::to_string(line) + " does not end";
            return out;
        }
        chunk.text = CleanRuleText(text.substr(start, reader.At() - start)) + "\n";
        out.rules.push_back(std::move(chunk));
    }
    return out;
}

}  // namespace

std::string LicenseRefusal(std::string_view license) {
    std::string lower(license);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto has = [&lower](std::string_view word) { return lower.find(word) != std::string::npos; };
    auto hasWord = [&lower](std::string_view word) {
        for (size_t at = lower.find(word); at != std::string::npos; at = lower.find(word, at + 1)) {
            bool before = at == 0 || !IsWordChar(lower[at - 1]);
            bool after = at + word.size() >= lower.size() || !IsWordChar(lower[at + word.size()]);
            if (before && after) return true;
        }
        return false;
    };
    if (lower.empty()) return "no license stated for the rule or its source";
    if (has("by-nc") || has("by nc") || has("noncommercial") || has("non-commercial"))
        return "license CC BY-NC: no commercial redistribution";
    if (has("volexity"))
        return "Volexity's own license, whose text is not in the snapshot: redistribution not "
               "checked";
    if (has("cape")) return "the CAPE project's license: not one known to allow redistribution";
    if (has("detection rule license") || has("detection-rule-license") || hasWord("drl") ||
        hasWord("mit") || hasWord("bsd") || has("apache") || has("cc by") || has("cc-by") ||
        has("creativecommons.org/licenses/by/") || has("creative commons attribution") ||
        has("open-government-licence"))
        return "";
    return "license not known to allow redistribution: " + std::string(license);
}

namespace {

struct RuleMeta {
    std::string description, author, reference, license;
    int score = kUnscoredRule;
    bool isPrivate = false;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::map<std::string, RuleMeta> MetasOf(YR_RULES* rules) {
    std::map<std::string, RuleMeta> metas;
    const YR_RULE* rule;
    yr_rules_foreach(rules, rule) {
        RuleMeta& m = metas[rule->identifier];
        m.isPrivate = RULE_IS_PRIVATE(rule);
        const YR_META* meta;
        yr_rule_metas_foreach(rule, meta) {
            std::string key = Lower(meta->identifier);
            std::string value = meta->type == META_TYPE_STRING ? Utf8ToCp1252(meta->string) : "";
            if (key == "score")
                m.score = meta->type == META_TYPE_INTEGER ? static_cast<int>(meta->integer)
                                                          : std::atoi(value.c_str());
            else if (key == "description" && m.description.empty())
                m.description = value;
            else if (key == "author" && m.author.empty())
                m.author = value;
            else if (key == "reference" && m.reference.empty())
                m.reference = value;
            else if (key == "license" && m.license.empty())
                m.license = value;
        }
    }
    return metas;
}

// Why a rule failed to compile alone, from the compiler's messages.
std::string CompileRefusal(const std::string& errors, const SplitFile& file) {
    size_t quote = errors.find("undefined identifier \"");
    if (quote != std::string::npos) {
        size_t start = quote + 22, end = errors.find('"', start);
        std::string name = errors.substr(start, end - start);
        for (const RuleChunk& r : file.rules)
            if (r.identifier == name) return "needs the rule " + name + ", which is left out";
        return "uses the identifier '" + name +
               "', which is no external variable or module Tolvane provides";
    }
    if (errors.find("unknown module") != std::string::npos)
        return "needs a module Tolvane does not provide";
    std::string first = errors.substr(0, errors.find('\n'));
    return "does not compile: " + first;
}

// The chunks in `keep` that compile together with the file's imports; each
// that does not is dropped with its reason. Whole first, one by one only
// when the whole fails.
void CompileKept(const SplitFile& file, std::vector<std::string>* why) {
    auto text = [&file, why](size_t upTo, size_t extra) {
        std::string all = file.imports;
        for (size_t i = 0; i < upTo; ++i)
            if ((*why)[i].empty()) all += file.rules[i].text;
        if (extra < file.rules.size()) all += file.rules[extra].text;
        return all;
    };
    YaraRules rules;
    std::string errors;
    if (CompileYaraRules(text(file.rules.size(), file.rules.size()), &rules, &errors)) return;
    for (size_t i = 0; i < file.rules.size(); ++i) {
        if (!(*why)[i].empty()) continue;
        if (!CompileYaraRules(text(i, i), &rules, &errors))
            (*why)[i] = CompileRefusal(errors, file);
    }
}

// What the license asks the description to keep: author, reference and
// license; the link to the rule file is the definition's url. The 5 MB of
// markup hold the rule sets only without more (the date, the file).
std::string DescriptionOf(const RuleMeta& m, const std::string& license) {
    std::string text = m.description.empty() ? "YARA rule" : m.description;
    if (!text.empty() && text.back() != '.') text += '.';
    if (!m.author.empty()) text += " Author: " + m.author + ".";
    if (!m.reference.empty()) text += " Reference: " + m.reference + ".";
    text += " License: " + license + ".";
    return text;
}

struct YaraImport {
    const SourceInfo& info;
    Result* result;
    std::map<std::string, std::string> keptNames;  // identifier -> file it was kept from
};

void LeaveOutAll(const SplitFile& file, const std::string& where, const std::string& reason,
                 Report* report) {
    for (const RuleChunk& r : file.rules)
        report->leftOut.push_back({where + ":" + std::to_string(r.line), r.identifier, reason});
}

bool ProvidedModule(const std::string& module) {
    static const std::set<std::string> kModules = {"pe",   "elf",    "math",    "hash",  "dotnet",
                                                   "time", "string", "console", "macho", "dex"};
    return kModules.count(module) != 0;
}

// A file's reason to be left out whole, or "".
std::string FileRefusal(const SplitFile& file) {
    if (!file.problem.empty()) return file.problem;
    for (const std::string& module : file.modules)
        if (!ProvidedModule(module))
            return "needs the '" + module + "' module, which Tolvane does not provide";
    for (const RuleChunk& r : file.rules)
        if (r.global) return "holds a global rule, which would gate every other rule";
    return "";
}

void AddDefinitions(const SplitFile& file, const std::vector<std::string>& why,
                    const std::map<std::string, RuleMeta>& metas, const std::string& where,
                    YaraImport* state) {
    Report& report = state->result->report;
    std::string kept = file.imports;
    for (size_t i = 0; i < file.rules.size(); ++i) {
        const RuleChunk& r = file.rules[i];
        if (!why[i].empty()) {
            report.leftOut.push_back({where + ":" + std::to_string(r.line), r.identifier, why[i]});
            continue;
        }
        kept += r.text;
        state->keptNames.emplace(r.identifier, where);
        auto meta = metas.find(r.identifier);
        if (meta == metas.end() || meta->second.isPrivate) continue;
        const RuleMeta& m = meta->second;
        Definition d;
        d.name = r.identifier;
        d.category = CategoryFromWords(r.identifier + " " + m.description, "Trojan");
        d.danger = DangerOfScore(m.score);
        d.description = DescriptionOf(m, m.license.empty() ? state->info.license : m.license);
        d.url = state->info.url.empty() ? m.reference : state->info.url + "/" + where;
        d.rules.push_back(r.identifier);
        ++report.threatsConverted;
        ++report.indicatorsConverted;
        state->result->definitions.push_back(std::move(d));
    }
    if (kept.size() > file.imports.size()) state->result->yaraRules += kept;
}

void ImportRuleFile(const std::filesystem::path& path, const std::string& where,
                    YaraImport* state) {
    Report& report = state->result->report;
    std::string text, why;
    if (!ReadSourceFile(path.string(), &text, &why)) {
        ++report.filesSkipped;
        report.leftOut.push_back({where, "", why});
        return;
    }
    ++report.filesRead;
    SplitFile file = SplitRules(text);
    report.threatsRead += static_cast<int>(file.rules.size());
    report.indicatorsRead += static_cast<int>(file.rules.size());
    if (std::string refusal = FileRefusal(file); !refusal.empty()) {
        if (file.rules.empty() || !file.problem.empty()) {
            ++report.filesSkipped;
            report.leftOut.push_back({where, "", refusal});
        }
        LeaveOutAll(file, where, refusal, &report);
        return;
    }
    std::vector<std::string> reasons(file.rules.size());
    for (size_t i = 0; i < file.rules.size(); ++i) {
        auto earlier = state->keptNames.find(file.rules[i].identifier);
        if (earlier != state->keptNames.end())
            reasons[i] = "a rule of this name was kept from " + earlier->second;
    }
    CompileKept(file, &reasons);
    std::string kept = file.imports, errors;
    for (size_t i = 0; i < file.rules.size(); ++i)
        if (reasons[i].empty()) kept += file.rules[i].text;
    YaraRules compiled;
    std::map<std::string, RuleMeta> metas;
    if (CompileYaraRules(kept, &compiled, &errors)) metas = MetasOf(compiled.get());
    bool dropped = false;
    for (size_t i = 0; i < file.rules.size(); ++i) {
        auto meta = metas.find(file.rules[i].identifier);
        if (!reasons[i].empty() || meta == metas.end()) continue;
        const std::string& license = meta->second.license;
        reasons[i] = LicenseRefusal(license.empty() ? state->info.license : license);
        dropped = dropped || !reasons[i].empty();
    }
    // A kept rule may have named a private rule just left out.
    if (dropped) CompileKept(file, &reasons);
    AddDefinitions(file, reasons, metas, where, state);
}

}  // namespace

void ImportYara(const std::vector<std::filesystem::path>& paths, const SourceInfo& info,
                Result* result) {
    YaraImport state{info, result, {}};
    for (const std::filesystem::path& path : paths) {
        std::error_code error;
        if (!std::filesystem::is_directory(path, error)) {
            ImportRuleFile(path, path.filename().string(), &state);
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (auto it = std::filesystem::recursive_directory_iterator(path, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            std::string ext = Lower(it->path().extension().string());
            if ((ext == ".yar" || ext == ".yara") && it->is_regular_file(error))
                files.push_back(it->path());
        }
        std::sort(files.begin(), files.end());
        for (const std::filesystem::path& file : files)
            ImportRuleFile(file, file.lexically_relative(path).generic_string(), &state);
    }
}

}  // namespace tolvane::import
