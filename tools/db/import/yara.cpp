#include "tools/db/import/yara.h"

#include <yara.h>

#include <algorithm>
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
        chunk.text = std::string(text.substr(start, reader.At() - start)) + "\n";
        out.rules.push_back(std::move(chunk));
    }
    return out;
}

void CollectMessage(int level, const char*, int line, const YR_RULE*, const char* message,
                    void* user) {
    if (level != YARA_ERROR_LEVEL_ERROR) return;
    auto* errors = static_cast<std::string*>(user);
    *errors += "line " + std::to_string(line) + ": " + message + "\n";
}

const char* RefuseInclude(const char*, const char*, const char*, void*) {
    return nullptr;
}

}  // namespace

bool CompileYaraText(std::string_view text, YaraRules* rules, std::string* errors) {
    errors->clear();
    if (!EnsureYaraStarted()) return (*errors = "the YARA engine could not start"), false;
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS)
        return (*errors = "the YARA compiler could not start"), false;
    yr_compiler_set_callback(compiler, CollectMessage, errors);
    yr_compiler_set_include_callback(compiler, RefuseInclude, nullptr, nullptr);
    for (const char* name : kYaraExternals) yr_compiler_define_string_variable(compiler, name, "");
    std::string source(text);
    bool ok = yr_compiler_add_string(compiler, source.c_str(), nullptr) == 0;
    YR_RULES* compiled = nullptr;
    if (ok) ok = yr_compiler_get_rules(compiler, &compiled) == ERROR_SUCCESS;
    yr_compiler_destroy(compiler);
    if (!ok) {
        if (errors->empty()) *errors = "the rules did not compile";
        return false;
    }
    rules->reset(compiled);
    return true;
}

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
    if (CompileYaraText(text(file.rules.size(), file.rules.size()), &rules, &errors)) return;
    for (size_t i = 0; i < file.rules.size(); ++i) {
        if (!(*why)[i].empty()) continue;
        if (!CompileYaraText(text(i, i), &rules, &errors)) (*why)[i] = CompileRefusal(errors, file);
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
    if (CompileYaraText(kept, &compiled, &errors)) metas = MetasOf(compiled.get());
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
