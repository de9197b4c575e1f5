#include "tools/db/import/markup.h"

#include <set>
#include <sstream>

#include "tools/db/import/danger.h"

namespace tolvane::import {

namespace {

// The five entities the markup reader decodes; never a zero byte.
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
            // The markup ends at a zero byte (a JSON "\u0000" in an event's
            // title, say): everything after it, the whole database, would be
            // lost.
            case '\0':
                out += ' ';
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool HasConditions(const Entry& e) {
    return !e.conditions.empty() || !e.exclusions.empty();
}

void WriteIf(std::ostringstream& out, const Condition& c) {
    // The path is what a condition tests unless it says otherwise.
    out << "<IF "
        << (c.dword    ? "ON=\"dword\" "
            : c.onData ? "ON=\"data\" "
                       : "")
        << "HOW=\"" << c.how << "\" TEXT=\"" << Attribute(c.text) << "\"/>";
}

// One requirement: an IF, or an ANY of the IFs one of which must hold.
void WriteRequirement(std::ostringstream& out, const std::vector<Condition>& any) {
    if (any.size() > 1) out << "<ANY>";
    for (const Condition& c : any) WriteIf(out, c);
    if (any.size() > 1) out << "</ANY>";
    out << "\n";
}

// Last of all, where only readers that test conditions look.
void WriteConditional(std::ostringstream& out, const Definition& d) {
    static const char* const kElements[] = {"DIR", "FILE", "REGKEY", "REGVALUE"};
    bool any = false;
    for (const Entry& e : d.entries) {
        if (!HasConditions(e) || e.kind == EntryKind::Directory) continue;
        if (!any) out << "<CONDITIONAL>\n";
        any = true;
        const char* element = kElements[static_cast<int>(e.kind)];
        out << "<" << element << " NAME=\"" << Attribute(e.text) << "\""
            << (e.namePattern ? " MATCH=\"wildcard\"" : "") << ">\n";
        for (const std::vector<Condition>& requirement : e.conditions)
            WriteRequirement(out, requirement);
        for (const auto& exclusion : e.exclusions) {
            out << "<UNLESS>\n";
            for (const std::vector<Condition>& requirement : exclusion)
                WriteRequirement(out, requirement);
            out << "</UNLESS>\n";
        }
        out << "</" << element << ">\n";
    }
    if (any) out << "</CONDITIONAL>\n";
}

void WriteGroup(std::ostringstream& out, const Definition& d, EntryKind kind, const char* group,
                const char* element) {
    bool any = false;
    for (const Entry& e : d.entries) {
        if (e.kind != kind || HasConditions(e)) continue;
        if (!any) out << "<" << group << ">\n";
        any = true;
        out << "<" << element << " NAME=\"" << Attribute(e.text) << "\""
            << (e.namePattern ? " MATCH=\"wildcard\"" : "") << "/>\n";
    }
    if (any) out << "</" << group << ">\n";
}

// After DESCRIPTION, where readers that know no content indicators stop.
void WriteContent(std::ostringstream& out, const Definition& d) {
    if (!d.hashes.empty()) {
        out << "<HASHES>\n";
        for (const std::string& hash : d.hashes)
            out << "<HASH VALUE=\"" << Attribute(hash) << "\"/>\n";
        out << "</HASHES>\n";
    }
    if (!d.rules.empty()) {
        out << "<RULES>\n";
        for (const std::string& rule : d.rules)
            out << "<RULE NAME=\"" << Attribute(rule) << "\"/>\n";
        out << "</RULES>\n";
    }
}

// Path expressions last: older readers never look for them.
void WriteExpressions(std::ostringstream& out, const Definition& d) {
    bool any = false;
    for (const Entry& e : d.entries) {
        if (e.kind != EntryKind::FileExpression) continue;
        if (!any) out << "<EXPRESSIONS>\n";
        any = true;
        out << "<EXPRESSION FOR=\"file\" MATCH=\"" << Attribute(e.text) << "\"";
        if (!e.exclusion.empty()) out << " EXCEPT=\"" << Attribute(e.exclusion) << "\"";
        out << "/>\n";
    }
    if (any) out << "</EXPRESSIONS>\n";
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
        out << "<SW NAME=\"" << Attribute(name) << "\">\n";
        out << "<CATEGORY NAME=\"" << Attribute(d.category) << "\"/>\n";
        WriteGroup(out, d, EntryKind::Directory, "DIRECTORIES", "DIR");
        WriteGroup(out, d, EntryKind::File, "FILES", "FILE");
        WriteGroup(out, d, EntryKind::RegistryKey, "REGKEYS", "REGKEY");
        WriteGroup(out, d, EntryKind::RegistryValue, "REGVALUES", "REGVALUE");
        // Low is what the sources call low or informational (danger.h).
        out << "<DANGER NAME=\"" << Attribute(d.danger) << "\""
            << (d.danger == kLowDanger || d.uncheckedByDefault ? " CHECKED=\"no\"" : "") << "/>\n";
        out << "<DESCRIPTION NAME=\"" << Attribute(d.description) << "\" url=\"" << Attribute(d.url)
            << "\"/>\n";
        WriteContent(out, d);
        WriteExpressions(out, d);
        WriteConditional(out, d);
        out << "</SW>\n";
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

}  // namespace tolvane::import
