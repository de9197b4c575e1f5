#include "tools/db/import/hash_list.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>

#include "base/codepage.h"
#include "definitions/content_indicators.h"
#include "tools/db/import/danger.h"

namespace tolvane::import {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string ThreatOfComment(std::string_view comment) {
    size_t dash = comment.find(" - ");
    std::string_view threat =
        Trim(dash == std::string_view::npos ? comment : comment.substr(0, dash));
    return std::string(threat);
}

struct HashLine {
    std::string hash, comment;
    int score = 100;
};

// The fields of one line, or the reason it is left out.
bool ParseLine(std::string_view line, HashLine* out, std::string* why) {
    size_t first = line.find(';');
    if (first == std::string_view::npos) return (*why = "no ';' after the hash"), false;
    if (!NormalizeDigest(Trim(line.substr(0, first)), &out->hash))
        return (*why = "not an MD5, SHA-1 or SHA-256 in hex"), false;
    std::string_view rest = line.substr(first + 1);
    size_t second = rest.find(';');
    if (second != std::string_view::npos) {
        std::string_view score = Trim(rest.substr(0, second));
        int value = -1;
        auto [end, error] = std::from_chars(score.data(), score.data() + score.size(), value);
        if (error != std::errc() || end != score.data() + score.size() || value < 0 || value > 100)
            return (*why = "the score is no number from 0 to 100"), false;
        out->score = value;
        rest = rest.substr(second + 1);
    }
    out->comment = std::string(Trim(rest));
    if (out->comment.empty()) return (*why = "no comment naming the threat"), false;
    return true;
}

Definition NewDefinition(const std::string& threat, const std::string& where,
                         const SourceInfo& info) {
    Definition d;
    d.name = threat;
    d.category = CategoryFromWords(threat, "Trojan");
    d.description = "Files known by their hash: " + threat + ". From the hash list " + where + ".";
    if (!info.author.empty()) d.description += " Author: " + info.author + ".";
    if (!info.license.empty()) d.description += " " + info.license;
    d.url = info.url;
    return d;
}

}  // namespace

bool NormalizeDigest(std::string_view hex, std::string* lower) {
    if (!DigestKindOfHexLength(hex.size())) return false;
    std::string out(hex);
    for (char& c : out) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    *lower = std::move(out);
    return true;
}

std::string DangerOfScore(int score) {
    return DangerOfSourceScore(score);
}

void AddHash(Definition* definition, const std::string& lower) {
    auto& hashes = definition->hashes;
    if (std::find(hashes.begin(), hashes.end(), lower) == hashes.end()) hashes.push_back(lower);
}

void ReadHashList(std::string_view text, const std::string& where, const SourceInfo& info,
                  Result* result) {
    Report& report = result->report;
    ++report.filesRead;
    std::map<std::string, size_t> byThreat;  // index into result->definitions
    std::map<size_t, int> topScore;
    size_t lineNumber = 0;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = Trim(text.substr(at, end - at));
        at = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;
        ++report.indicatorsRead;
        HashLine parsed;
        std::string why;
        if (!ParseLine(line, &parsed, &why)) {
            report.leftOut.push_back(
                {where + ":" + std::to_string(lineNumber), std::string(line), why});
            continue;
        }
        std::string threat = ThreatOfComment(parsed.comment);
        auto [found, added] = byThreat.emplace(threat, result->definitions.size());
        if (added) {
            ++report.threatsRead;
            ++report.threatsConverted;
            result->definitions.push_back(NewDefinition(threat, where, info));
        }
        AddHash(&result->definitions[found->second], parsed.hash);
        int& top = topScore[found->second];
        top = std::max(top, parsed.score);
        ++report.indicatorsConverted;
    }
    for (const auto& [index, score] : topScore)
        result->definitions[index].danger = DangerOfScore(score);
}

void ImportHashList(const std::string& hostPath, const SourceInfo& info, Result* result) {
    std::string text, why;
    if (!ReadSourceFile(hostPath, &text, &why)) {
        ++result->report.filesSkipped;
        result->report.leftOut.push_back({hostPath, "", why});
        return;
    }
    // Named by the list's own name, as the other lists are, not by where it
    // lay on the importing machine.
    ReadHashList(Utf8ToCp1252(text), std::filesystem::path(hostPath).filename().string(), info,
                 result);
}

}  // namespace tolvane::import
