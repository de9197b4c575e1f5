// What the readers of the sources share.
#include "tools/db/import/source.h"

#include "base/codepage.h"
#include "tools/db/host_files.h"

namespace tolvane::import {

bool ReadSourceFile(const std::string& hostPath, std::string* content, std::string* reason) {
    std::string problem;
    if (ReadHostFileProblem(hostPath, kInputFileLimit, content, &problem)) return true;
    *reason = "cannot read the file: " + problem;
    return false;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
    std::string upperText = ToUpperCp1252(text), upperWord = ToUpperCp1252(word);
    return upperText.find(upperWord) != std::string::npos;
}

// A category from the words a source uses for a threat.
std::string CategoryFromWords(std::string_view words, std::string_view fallback) {
    static const std::pair<std::string_view, std::string_view> kWords[] = {
        {"adware", "Adware"},      {"hijack", "Browser Hijacker"},
        {"keylog", "Keylogger"},   {"ransom", "Ransomware"},
        {"backdoor", "Backdoor"},  {" RAT", "Backdoor"},
        {"miner", "Coin Miner"},   {"webshell", "Backdoor"},
        {"exploit", "Exploit"},    {"mimikatz", "Hack Tool"},
        {"hacktool", "Hack Tool"}, {"hack tool", "Hack Tool"},
        {"pentest", "Hack Tool"},  {"spy", "Spyware"},
        {"espionage", "Spyware"},  {"APT", "Spyware"},
        {"trojan", "Trojan"},
    };
    for (const auto& [word, category] : kWords) {
        bool match = word == "APT" || word == " RAT"
                         ? std::string(words).find(word) != std::string::npos
                         : ContainsNoCase(words, word);
        if (match) return std::string(category);
    }
    return std::string(fallback);
}

void AddFragments(const std::vector<PathFragment>& fragments, Definition* definition, Refusal* why,
                  bool* converted) {
    std::vector<Entry> entries;
    for (const PathFragment& f : fragments) {
        auto entry = PathEntry(f, why);
        // An indicator is converted whole or not at all.
        if (!entry) return;
        entries.push_back(*entry);
    }
    for (Entry& e : entries) AddEntry(definition, std::move(e));
    *converted = true;
}

}  // namespace tolvane::import
