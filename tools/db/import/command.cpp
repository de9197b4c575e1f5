#include "tools/db/import/command.h"

#include <iostream>

#include "base/codepage.h"
#include "definitions/container.h"
#include "tools/db/host_files.h"
#include "tools/db/import/clean_list.h"
#include "tools/db/import/hash_list.h"
#include "tools/db/import/ioc_list.h"
#include "tools/db/import/mapping.h"
#include "tools/db/import/markup.h"
#include "tools/db/import/misp.h"
#include "tools/db/import/report.h"
#include "tools/db/import/sigma.h"
#include "tools/db/import/yara.h"

namespace tolvane {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kImportHelp =
    "Usage: tolvane-db import SOURCE... -o OUT.xml [--report REPORT.json]\n"
    "                         [--include MARKUP.xml] [--version V] [--date D]\n"
    "                         [--rules-out RULES.yar]\n"
    "\n"
    "Converts public threat intelligence into definitions markup that\n"
    "'tolvane-db pack OUT.xml database.db' takes as it stands. SOURCE is one or\n"
    "more of:\n"
    "  --sigma DIR             Sigma rules (*.yml) below DIR: one definition per rule\n"
    "  --filename-iocs FILE    'REGEX;SCORE[;FALSE-POSITIVE-REGEX]' lines under\n"
    "                          '# THREAT' headings: one definition per heading\n"
    "  --misp FILE...          MISP event files (JSON): one definition per event,\n"
    "                          named with the file's folder (the family); their\n"
    "                          md5, sha1, sha256 and filename|<hash> attributes too\n"
    "  --yara DIR|FILE...      YARA rule files (*.yar, *.yara): one definition per\n"
    "                          rule whose license allows shipping it (its 'license'\n"
    "                          meta, else --license) and that compiles with the\n"
    "                          externals filename, filepath, extension, filetype, owner\n"
    "  --hashes FILE           'HASH;COMMENT' or 'HASH;SCORE;COMMENT' lines (MD5,\n"
    "                          SHA-1, SHA-256): one definition per threat named\n"
    "Each source may be followed by what its definitions say of it:\n"
    "  --url URL               the rule set's address (rule paths or #L<line> appended)\n"
    "  --author TEXT           the author, for sources that name none\n"
    "  --license TEXT          the license line every definition carries\n"
    "Output:\n"
    "  -o OUT.xml              the definitions markup (replaced atomically)\n"
    "  --report REPORT.json    counts and every indicator left out, with its place\n"
    "  --rules-out RULES.yar   the YARA rules kept (default: OUT with .yar), for\n"
    "                          'tolvane-db pack OUT.xml database.db --rules RULES.yar'\n"
    "  --include MARKUP.xml    definitions to put first, copied as written; their\n"
    "                          VERSION and DATE are kept unless given\n"
    "  --clean LIST            entries a clean machine holds (one a line, as the markup\n"
    "                          writes them; a '# reason' line before them): left out\n"
    "  --stock-names LIST      file names a stock Windows or Wine has (one a line): a\n"
    "                          rule's condition on the writing program is dropped only\n"
    "                          where its path names none of them\n"
    "\n"
    "Only what the scan can match exactly is converted: registry keys and values\n"
    "(with a data text the value must contain), files and folders (full paths,\n"
    "bare names, paths below a folder a placeholder such as %appdata% stands for),\n"
    "and entries with several conditions and exclusions (a Sigma rule's |all,\n"
    "'and not filter', data that starts or ends with a text). An indicator that\n"
    "would have to match more than it says is left out: an exclusion on a field\n"
    "the scan cannot see, a regular expression or |re condition without an exact\n"
    "wildcard form, a condition on another field (the writing process, unless\n"
    "the path alone is specific), a Linux or macOS path, a hash of a kind the\n"
    "scan does not compute. The report\n"
    "and the summary on stderr count them by reason. A malformed file or rule is\n"
    "reported and skipped.\n";

struct Source {
    enum Kind { Sigma, FilenameIocs, Misp, Yara, Hashes } kind;
    std::vector<std::string> paths;
    import::SourceInfo info;
};

struct ImportOptions {
    std::vector<Source> sources;
    std::string out, report, include, clean, version, date, rulesOut;
    std::vector<std::string> cleanWindows, cleanWindowsKeys, stockNames;
    bool versionGiven = false, dateGiven = false;
};

bool IsOption(const std::string& a) {
    return a.size() > 1 && a[0] == '-';
}

bool ParseImport(const std::vector<std::string>& args, ImportOptions* o, std::string* problem) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size() || IsOption(args[i + 1])) {
                *problem = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto info = [&]() -> import::SourceInfo* {
            if (o->sources.empty()) {
                *problem = a + " must follow a source";
                return nullptr;
            }
            return &o->sources.back().info;
        };
        std::string v;
        if (a == "--sigma" || a == "--filename-iocs") {
            if (!value(&v)) return false;
            o->sources.push_back({a == "--sigma" ? Source::Sigma : Source::FilenameIocs, {v}, {}});
        } else if (a == "--hashes") {
            if (!value(&v)) return false;
            o->sources.push_back({Source::Hashes, {v}, {}});
        } else if (a == "--misp" || a == "--yara") {
            o->sources.push_back({a == "--misp" ? Source::Misp : Source::Yara, {}, {}});
            while (i + 1 < args.size() && !IsOption(args[i + 1]))
                o->sources.back().paths.push_back(args[++i]);
            if (o->sources.back().paths.empty()) return (*problem = a + " needs files"), false;
        } else if (a == "--url" || a == "--author" || a == "--license") {
            import::SourceInfo* target = info();
            if (!target || !value(&v)) return false;
            std::string text = Utf8ToCp1252(v);
            (a == "--url"      ? target->url
             : a == "--author" ? target->author
                               : target->license) = text;
        } else if (a == "-o") {
            if (!value(&o->out)) return false;
        } else if (a == "--rules-out") {
            if (!value(&o->rulesOut)) return false;
        } else if (a == "--report") {
            if (!value(&o->report)) return false;
        } else if (a == "--include") {
            if (!value(&o->include)) return false;
        } else if (a == "--clean") {
            if (!value(&o->clean)) return false;
        } else if (a == "--clean-windows" || a == "--clean-windows-keys") {
            if (!value(&v)) return false;
            (a == "--clean-windows" ? o->cleanWindows : o->cleanWindowsKeys).push_back(v);
        } else if (a == "--stock-names") {
            if (!value(&v)) return false;
            o->stockNames.push_back(v);
        } else if (a == "--version") {
            if (!value(&o->version)) return false;
            o->versionGiven = true;
        } else if (a == "--date") {
            if (!value(&o->date)) return false;
            o->dateGiven = true;
        } else {
            *problem = IsOption(a) ? "unknown option " + a : "unexpected argument " + a;
            return false;
        }
    }
    if (o->sources.empty()) return (*problem = "import needs a source"), false;
    if (o->out.empty()) return (*problem = "import needs -o OUT.xml"), false;
    return true;
}

void RunSources(const std::vector<Source>& sources, const import::CleanWindows& stock,
                import::Result* result) {
    // By Source::Kind.
    static constexpr const char* kKindNames[] = {"sigma", "filename-iocs", "misp", "yara",
                                                 "hashes"};
    for (const Source& s : sources) {
        import::Report& report = result->report;
        const int read = report.indicatorsRead, converted = report.indicatorsConverted;
        switch (s.kind) {
            case Source::Sigma:
                import::ImportSigma(s.paths[0], s.info, result, &stock);
                break;
            case Source::FilenameIocs:
                import::ImportFilenameIocs(s.paths[0], s.info, result);
                break;
            case Source::Misp:
            case Source::Yara: {
                std::vector<std::filesystem::path> files(s.paths.begin(), s.paths.end());
                if (s.kind == Source::Misp)
                    import::ImportMisp(files, s.info, result);
                else
                    import::ImportYara(files, s.info, result);
                break;
            }
            case Source::Hashes:
                import::ImportHashList(s.paths[0], s.info, result);
                break;
        }
        import::SourceCounts& counts = report.bySource[kKindNames[s.kind]];
        counts.read += report.indicatorsRead - read;
        counts.converted += report.indicatorsConverted - converted;
    }
}

std::string HeaderComment(const ImportOptions& o) {
    std::string text =
        "Generated by tolvane-db import; do not edit. Each definition names its source,\n"
        "author, link and license; NOTICE lists the sources.";
    if (!o.include.empty())
        text += "\nThe definitions before the generated ones are copied from " +
                std::filesystem::path(o.include).filename().string() + ".";
    return text;
}

// Files that could not be read and indicators holding control characters,
// one line each with their place: the summary only counts them, and either
// means the input is not what its user thinks.
void ReportRefusedInputs(const import::Report& report) {
    for (const import::LeftOut& l : report.leftOut) {
        if (l.reason.rfind("cannot read the file", 0) == 0 ||
            l.reason == import::kControlCharacterReason)
            std::cerr << "tolvane-db: " << Cp1252ToUtf8(l.where) << ": " << l.reason << "\n";
    }
}

// Reads the lists of stock Windows objects the options name.
bool ReadCleanWindows(const ImportOptions& o, import::CleanWindows* stock) {
    for (bool keys : {false, true}) {
        for (const std::string& path : keys ? o.cleanWindowsKeys : o.cleanWindows) {
            std::string text, why;
            if (!ReadHostFile(path, kInputFileLimit, &text, &why)) {
                std::cerr << "tolvane-db: " << why << "\n";
                return false;
            }
            if (keys)
                stock->AddSoftwareKeys(Utf8ToCp1252(text));
            else
                stock->AddEntries(Utf8ToCp1252(text));
        }
    }
    for (const std::string& path : o.stockNames) {
        std::string text, why;
        if (!ReadHostFile(path, kInputFileLimit, &text, &why)) {
            std::cerr << "tolvane-db: " << why << "\n";
            return false;
        }
        stock->AddStockNames(Utf8ToCp1252(text));
    }
    return true;
}

// The kept rules as one file, checked to compile together (each file
// compiled alone does not prove that). Nothing is written without rules.
bool WriteKeptRules(const ImportOptions& o, const import::Result& result, std::string* why) {
    bool yara = false;
    for (const Source& s : o.sources) yara = yara || s.kind == Source::Yara;
    if (!yara) return true;
    YaraRules rules;
    std::string errors;
    if (!result.yaraRules.empty() && !CompileYaraRules(result.yaraRules, &rules, &errors)) {
        *why = "the kept YARA rules do not compile together: " + errors;
        return false;
    }
    std::string path = o.rulesOut;
    if (path.empty()) path = std::filesystem::path(o.out).replace_extension(".yar").string();
    if (!WriteHostFileAtomic(path, result.yaraRules, why)) return false;
    std::cerr << "YARA rules: " << result.yaraRules.size() << " bytes written to " << path << "\n";
    return true;
}

}  // namespace

int ImportCommand(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return std::cout << kImportHelp, kDone;
    ImportOptions o;
    std::string problem;
    if (!ParseImport(args, &o, &problem)) {
        std::cerr << "tolvane-db: " << problem << "\n\n" << kImportHelp;
        return kUsage;
    }
    std::string included, version = "1.0", date;
    if (!o.include.empty()) {
        std::string text, why;
        if (!ReadHostFile(o.include, kInputFileLimit, &text, &why)) {
            std::cerr << "tolvane-db: " << why << "\n";
            return kFailed;
        }
        if (!import::ReadIncludedMarkup(text, &version, &date, &included)) {
            std::cerr << "tolvane-db: " << o.include << " is no definitions markup\n";
            return kFailed;
        }
    }
    if (o.versionGiven) version = o.version;
    if (o.dateGiven) date = o.date;
    std::vector<import::CleanEntry> clean;
    if (!o.clean.empty()) {
        std::string text, why;
        if (!ReadHostFile(o.clean, kInputFileLimit, &text, &why)) {
            std::cerr << "tolvane-db: " << why << "\n";
            return kFailed;
        }
        clean = import::ReadCleanList(Utf8ToCp1252(text));
    }
    import::CleanWindows stock;
    if (!ReadCleanWindows(o, &stock)) return kFailed;
    import::Result result;
    RunSources(o.sources, stock, &result);
    import::ApplyCleanList(clean, &result);
    import::ApplyCleanWindows(stock, &result);
    std::string markup =
        import::DefinitionsMarkup(result.definitions, included, version, date, HeaderComment(o));
    ReportRefusedInputs(result.report);
    std::cerr << import::ReportSummary(result.report);
    std::string why;
    if (!o.report.empty() &&
        !WriteHostFileAtomic(o.report, import::ReportJson(result.report).dump(2) + "\n", &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return kFailed;
    }
    if (markup.size() > kContainerTextLimit) {
        std::cerr << "tolvane-db: the markup would be " << markup.size()
                  << " bytes; a database holds at most 5,242,880\n";
        return kFailed;
    }
    if (!WriteHostFileAtomic(o.out, markup, &why) || !WriteKeptRules(o, result, &why)) {
        std::cerr << "tolvane-db: " << why << "\n";
        return kFailed;
    }
    std::cerr << "definitions: " << result.definitions.size() << " written to " << o.out << " ("
              << markup.size() << " bytes of markup)\n";
    return kDone;
}

}  // namespace tolvane
