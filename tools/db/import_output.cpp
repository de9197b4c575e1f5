// The importer's output: definitions markup and the report.
#include <algorithm>
#include <set>
#include <sstream>

#include "base/codepage.h"
#include "tools/db/import_sources.h"

namespace tolvane::import {

std::map<std::string, int> Report::ByReason() const {
    std::map<std::string, int> counts;
    for (const LeftOut& l : leftOut) ++counts[l.reason];
    return counts;
}

void AddEntry(Definition* definition, Entry entry) {
    if (std::find(definition->entries.begin(), definition->entries.end(), entry) ==
        definition->entries.end())
        definition->entries.push_back(std::move(entry));
}

namespace {

// The five entities the markup reader decodes.
std::string Attribute(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
            case '\r':
                out += ' ';
                break;
            default:
                out += c;
        }
    }
    return out;
}

void WriteGroup(std::ostringstream& out, const Definition& d, EntryKind kind, const char* group,
                const char* element) {
    bool any = false;
    for (const Entry& e : d.entries) {
        if (e.kind != kind) continue;
        if (!any) out << "    <" << group << ">\n";
        any = true;
        out << "      <" << element << " NAME=\"" << Attribute(e.text) << "\"/>\n";
    }
    if (any) out << "    </" << group << ">\n";
}

}  // namespace

std::string DefinitionsMarkup(const std::vector<Definition>& definitions,
                              std::string_view includedMarkup, std::string_view version,
                              std::string_view date, std::string_view headerComment) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n";
    if (!headerComment.empty()) out << "<!--\n" << headerComment << "\n-->\n";
    out << "<NA VERSION=\"" << Attribute(version) << "\" DATE=\"" << Attribute(date) << "\">\n";
    std::set<std::string> names;
    // The names already taken by the included definitions.
    for (size_t at = includedMarkup.find("<SW NAME=\""); at != std::string_view::npos;
         at = includedMarkup.find("<SW NAME=\"", at + 1)) {
        size_t start = at + 10, end = includedMarkup.find('"', start);
        names.insert(std::string(includedMarkup.substr(start, end - start)));
    }
    if (!includedMarkup.empty()) out << includedMarkup << "\n";
    for (const Definition& d : definitions) {
        std::string name = d.name;
        for (int n = 2; !names.insert(Attribute(name)).second; ++n)
            name = d.name + " (" + std::to_string(n) + ")";
        out << "  <SW NAME=\"" << Attribute(name) << "\">\n";
        out << "    <CATEGORY NAME=\"" << Attribute(d.category) << "\"/>\n";
        WriteGroup(out, d, EntryKind::Directory, "DIRECTORIES", "DIR");
        WriteGroup(out, d, EntryKind::File, "FILES", "FILE");
        WriteGroup(out, d, EntryKind::RegistryKey, "REGKEYS", "REGKEY");
        WriteGroup(out, d, EntryKind::RegistryValue, "REGVALUES", "REGVALUE");
        out << "    <DANGER NAME=\"" << Attribute(d.danger) << "\"/>\n";
        out << "    <DESCRIPTION NAME=\"" << Attribute(d.description) << "\" url=\""
            << Attribute(d.url) << "\"/>\n";
        out << "  </SW>\n";
    }
    out << "</NA>\n";
    return out.str();
}

namespace {

std::string AttributeOf(std::string_view tag, std::string_view name) {
    std::string key = " " + std::string(name) + "=\"";
    size_t at = tag.find(key);
    if (at == std::string_view::npos) return {};
    size_t start = at + key.size(), end = tag.find('"', start);
    return std::string(tag.substr(start, end == std::string_view::npos ? end : end - start));
}

}  // namespace

bool ReadIncludedMarkup(std::string_view markup, std::string* version, std::string* date,
                        std::string* definitions) {
    // Comments may mention the element; the first "<NA " outside them opens it.
    size_t at = 0;
    while (true) {
        size_t comment = markup.find("<!--", at);
        size_t open = markup.find("<NA ", at);
        if (open == std::string_view::npos) return false;
        if (comment != std::string_view::npos && comment < open) {
            size_t close = markup.find("-->", comment);
            if (close == std::string_view::npos) return false;
            at = close + 3;
            continue;
        }
        size_t tagEnd = markup.find('>', open);
        size_t end = markup.rfind("</NA>");
        if (tagEnd == std::string_view::npos || end == std::string_view::npos || end < tagEnd)
            return false;
        std::string_view tag = markup.substr(open, tagEnd - open);
        *version = AttributeOf(tag, "VERSION");
        *date = AttributeOf(tag, "DATE");
        std::string_view inner = markup.substr(tagEnd + 1, end - tagEnd - 1);
        while (!inner.empty() && (inner.front() == '\n' || inner.front() == '\r'))
            inner.remove_prefix(1);
        while (!inner.empty() && (inner.back() == '\n' || inner.back() == '\r'))
            inner.remove_suffix(1);
        *definitions = std::string(inner);
        return true;
    }
}

std::vector<CleanEntry> ReadCleanList(std::string_view text) {
    std::vector<CleanEntry> list;
    std::string reason = "found on a clean machine";
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line[0] == '#') {
            size_t start = line.find_first_not_of("# \t");
            if (start != std::string::npos) reason = line.substr(start);
            continue;
        }
        list.push_back({line, reason});
    }
    return list;
}

void ApplyCleanList(const std::vector<CleanEntry>& clean, Result* result) {
    auto reasonFor = [&](const Entry& e) -> const std::string* {
        std::string_view name(e.text);
        if (e.kind == EntryKind::RegistryValue) name = name.substr(0, name.find(":@:"));
        for (const CleanEntry& c : clean)
            if (EqualsNoCase(c.text, e.text) || EqualsNoCase(c.text, name)) return &c.reason;
        return nullptr;
    };
    std::vector<Definition> kept;
    for (Definition& d : result->definitions) {
        std::vector<Entry> entries;
        for (Entry& e : d.entries) {
            if (const std::string* reason = reasonFor(e)) {
                result->report.leftOut.push_back(
                    {d.name, e.text, "on a clean machine: " + *reason});
                ++result->report.entriesOnCleanMachines;
            } else {
                entries.push_back(std::move(e));
            }
        }
        d.entries = std::move(entries);
        if (d.entries.empty())
            --result->report.threatsConverted;
        else
            kept.push_back(std::move(d));
    }
    result->definitions = std::move(kept);
}

nlohmann::ordered_json ReportJson(const Report& report) {
    using nlohmann::ordered_json;
    auto show = [](const std::string& s) { return Cp1252ToUtf8(s); };
    ordered_json j;
    j["files"] = {{"read", report.filesRead}, {"skipped", report.filesSkipped}};
    j["threats"] = {{"read", report.threatsRead}, {"converted", report.threatsConverted}};
    j["indicators"] = {{"read", report.indicatorsRead},
                       {"converted", report.indicatorsConverted},
                       {"leftOut", report.indicatorsRead - report.indicatorsConverted}};
    j["entriesOnCleanMachines"] = report.entriesOnCleanMachines;
    ordered_json reasons = ordered_json::object();
    for (const auto& [reason, count] : report.ByReason()) reasons[show(reason)] = count;
    j["leftOutByReason"] = reasons;
    ordered_json items = ordered_json::array();
    for (const LeftOut& l : report.leftOut)
        items.push_back({{"where", show(l.where)},
                         {"indicator", show(l.indicator)},
                         {"reason", show(l.reason)}});
    j["leftOut"] = items;
    return j;
}

std::string ReportSummary(const Report& report) {
    std::ostringstream out;
    out << "files: " << report.filesRead << " read, " << report.filesSkipped << " skipped\n"
        << "threats: " << report.threatsRead << " read, " << report.threatsConverted
        << " converted into definitions\n"
        << "indicators: " << report.indicatorsRead << " read, " << report.indicatorsConverted
        << " converted, " << report.indicatorsRead - report.indicatorsConverted << " left out\n"
        << "entries left out as found on clean machines: " << report.entriesOnCleanMachines << "\n"
        << "left out by reason (indicators, rules, files and entries):\n";
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& [reason, count] : report.ByReason()) sorted.push_back({count, reason});
    std::sort(sorted.rbegin(), sorted.rend());
    for (const auto& [count, reason] : sorted)
        out << "  " << count << "  " << Cp1252ToUtf8(reason) << "\n";
    return out.str();
}

}  // namespace tolvane::import
