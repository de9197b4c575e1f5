// File-name indicator lists to definitions.
#include "tools/db/import/ioc_list.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "base/codepage.h"
#include "tools/db/host_files.h"
#include "tools/db/import/mapping.h"

namespace tolvane::import {
namespace {

struct Block {
    Definition definition;
    int firstLine = 0;
    int score = 0;
};

// A heading as a name: links, runs of '#' and trailing separators removed.
std::string HeadingName(std::string heading) {
    for (std::string_view scheme : {"http://", "https://"}) {
        size_t at;
        while ((at = heading.find(scheme)) != std::string::npos) {
            size_t end = heading.find(' ', at);
            heading.erase(at, end == std::string::npos ? std::string::npos : end - at);
        }
    }
    heading.erase(std::remove(heading.begin(), heading.end(), '#'), heading.end());
    std::string name = PlainName(Cp1252ToUtf8(heading));
    while (!name.empty() && (name.back() == '-' || name.back() == ' ' || name.back() == ':'))
        name.pop_back();
    return name;
}

std::string DangerFromScore(int score) {
    if (score >= 90) return "Critical";
    if (score >= 75) return "High";
    if (score >= 60) return "Medium";
    return "Low";
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
    d.danger = DangerFromScore(block.score);
    d.category = CategoryFromWords(d.name, "Trojan");
    d.url = info.url + "#L" + std::to_string(block.firstLine);
    d.description = "File names and paths that " + d.name +
                    " leaves, from a list of file-name indicators (lines " +
                    std::to_string(block.firstLine) + "-" + std::to_string(lastLine) + ").";
    if (!info.author.empty()) d.description += " Author: " + info.author + ".";
    d.description += " List: " + d.url + ".";
    if (!info.license.empty()) d.description += " " + info.license;
}

}  // namespace

void ImportFilenameIocs(const std::filesystem::path& file, const SourceInfo& info, Result* result) {
    Report& report = result->report;
    std::string text;
    if (!ReadHostFile(file.string(), &text)) {
        ++report.filesSkipped;
        report.leftOut.push_back({file.string(), "", "cannot read the file"});
        return;
    }
    ++report.filesRead;
    const std::string name = file.filename().string();
    std::vector<Block> blocks;  // one per heading name, in order of first use
    std::string heading;
    bool inBlock = false;
    Block* current = nullptr;
    std::istringstream lines(text);
    std::string line;
    int number = 0, lastLine = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line[0] == '#') {
            std::string h = HeadingName(line.substr(1));
            if (!h.empty()) heading = h;
            inBlock = false;
            continue;
        }
        if (!inBlock) {
            std::string threat =
                heading.empty() ? name + " line " + std::to_string(number) : heading;
            auto same = std::find_if(blocks.begin(), blocks.end(),
                                     [&](const Block& b) { return b.definition.name == threat; });
            if (same == blocks.end()) {
                blocks.push_back({});
                blocks.back().definition.name = threat;
                blocks.back().firstLine = number;
                same = blocks.end() - 1;
            }
            current = &*same;
            inBlock = true;
        }
        lastLine = number;
        ++report.indicatorsRead;
        std::string regex, fp;
        int score = 0;
        const std::string where = name + ":" + std::to_string(number);
        if (!SplitIocLine(line, &regex, &score, &fp)) {
            report.leftOut.push_back({where, line, "line without a score"});
            continue;
        }
        if (!fp.empty()) {
            report.leftOut.push_back({where, regex, "false-positive exclusion"});
            continue;
        }
        Refusal why;
        bool converted = false;
        if (auto fragments = RegexFragments(regex, &why))
            AddFragments(*fragments, &current->definition, &why, &converted);
        if (!converted) {
            report.leftOut.push_back({where, regex, why.reason});
            continue;
        }
        ++report.indicatorsConverted;
        current->score = std::max(current->score, score);
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
