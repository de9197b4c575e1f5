// File-name indicator lists to definitions.
#include "tools/db/import/ioc_list.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "base/codepage.h"
#include "tools/db/import/danger.h"
#include "tools/db/import/expressions.h"
#include "tools/db/import/mapping.h"

namespace tolvane::import {
namespace {

struct Block {
    Definition definition;
    int firstLine = 0;
    int score = 0;
};

// A heading as a name: links, runs of '#' and trailing separators removed.
// One pass: a heading of many links costs no more than its length.
std::string HeadingName(std::string_view heading) {
    std::string kept;
    size_t at = 0;
    while (at < heading.size()) {
        if (heading.substr(at, 7) == "http://" || heading.substr(at, 8) == "https://") {
            size_t end = heading.find(' ', at);
            at = end == std::string_view::npos ? heading.size() : end;
            continue;
        }
        if (heading[at] != '#') kept += heading[at];
        ++at;
    }
    std::string name = PlainName(Cp1252ToUtf8(kept));
    while (!name.empty() && (name.back() == '-' || name.back() == ' ' || name.back() == ':'))
        name.pop_back();
    return name;
}

// "REGEX;SCORE[;FALSE-POSITIVE-REGEX]": the score is the first field after
// the first that is a number (an expression may hold ';').
bool SplitIocLine(const std::string& line, std::string* regex, int* score, std::string* fp) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ';')) fields.push_back(field);
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string& f = fields[i];
        if (f.empty() || f.size() > 3 ||
            !std::all_of(f.begin(), f.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        regex->clear();
        for (size_t j = 0; j < i; ++j) *regex += (j ? ";" : "") + fields[j];
        *score = std::stoi(f);
        fp->clear();
        for (size_t j = i + 1; j < fields.size(); ++j) *fp += (j > i + 1 ? ";" : "") + fields[j];
        return true;
    }
    return false;
}

void FinishIocDefinition(Block& block, int lastLine, const SourceInfo& info) {
    Definition& d = block.definition;
    d.danger = DangerOfSourceScore(block.score);
    d.category = CategoryFromWords(d.name, "Trojan");
    d.url = info.url + "#L" + std::to_string(block.firstLine);
    d.description = "File names and paths that " + d.name +
                    " leaves, from a list of file-name indicators (lines " +
                    std::to_string(block.firstLine) + "-" + std::to_string(lastLine) + ").";
    if (!info.author.empty()) d.description += " Author: " + info.author + ".";
    d.description += " List: " + d.url + ".";
    if (!info.license.empty()) d.description += " " + info.license;
}

// What the wildcard entries cannot state exactly (or an indicator with a
// false-positive expression, which they cannot exclude) as the list's own
// expression, unless the wildcard form was refused because the expression
// names no Windows file.
bool AddExpression(const std::string& regex, const std::string& fp, Definition* definition,
                   Refusal* why) {
    if (fp.empty() && RefusalStandsForExpressions(why->reason)) return false;
    std::optional<Entry> entry = FileExpressionEntry(regex, fp, why);
    if (entry) AddEntry(definition, std::move(*entry));
    return entry.has_value();
}

// One "REGEX;SCORE[;FALSE-POSITIVE-REGEX]" line into the block, or into
// the report with its place. A control character (a NUL, an escape) is
// refused before anything reads the expression: no Windows name holds one,
// and written into the markup it would make the whole database unloadable.
void ReadIndicatorLine(const std::string& line, const std::string& where, Block* block,
                       Report* report) {
    if (HasControlCharacter(line)) {
        report->leftOut.push_back({where, line, std::string(kControlCharacterReason)});
        return;
    }
    std::string regex, fp;
    int score = 0;
    if (!SplitIocLine(line, &regex, &score, &fp)) {
        report->leftOut.push_back({where, line, "line without a score"});
        return;
    }
    Refusal why;
    bool converted = false;
    if (fp.empty()) {
        if (auto fragments = RegexFragments(regex, &why))
            AddFragments(*fragments, &block->definition, &why, &converted);
    }
    if (!converted) converted = AddExpression(regex, fp, &block->definition, &why);
    if (!converted) {
        report->leftOut.push_back({where, regex, why.reason});
        return;
    }
    ++report->indicatorsConverted;
    block->score = std::max(block->score, score);
}

}  // namespace

void ImportFilenameIocs(const std::filesystem::path& file, const SourceInfo& info, Result* result) {
    std::string text, why;
    if (!ReadSourceFile(file.string(), &text, &why)) {
        ++result->report.filesSkipped;
        result->report.leftOut.push_back({file.string(), "", why});
        return;
    }
    ReadFilenameIocs(text, file.filename().string(), info, result);
}

void ReadFilenameIocs(std::string_view text, const std::string& name, const SourceInfo& info,
                      Result* result) {
    Report& report = result->report;
    ++report.filesRead;
    std::vector<Block> blocks;              // one per heading name, in order of first use
    std::map<std::string, size_t> blockOf;  // heading name -> its index in blocks
    std::string heading;
    bool inBlock = false;
    size_t current = 0;
    int number = 0, lastLine = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line[0] == '#') {
            std::string h = HeadingName(std::string_view(line).substr(1));
            if (!h.empty()) heading = h;
            inBlock = false;
            continue;
        }
        if (!inBlock) {
            std::string threat =
                heading.empty() ? name + " line " + std::to_string(number) : heading;
            auto [at, added] = blockOf.try_emplace(threat, blocks.size());
            if (added) {
                blocks.push_back({});
                blocks.back().definition.name = threat;
                blocks.back().firstLine = number;
            }
            current = at->second;
            inBlock = true;
        }
        lastLine = number;
        ++report.indicatorsRead;
        ReadIndicatorLine(line, name + ":" + std::to_string(number), &blocks[current], &report);
    }
    for (Block& block : blocks) {
        ++report.threatsRead;
        if (block.definition.entries.empty()) continue;
        FinishIocDefinition(block, lastLine, info);
        ++report.threatsConverted;
        result->definitions.push_back(std::move(block.definition));
    }
}

}  // namespace tolvane::import
