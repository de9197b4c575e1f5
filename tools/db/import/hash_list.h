// Hash lists to definitions: lines "HASH;COMMENT" or "HASH;SCORE;COMMENT"
// (MD5, SHA-1 or SHA-256 in hex, told apart by length), '#' comment lines
// and blank lines skipped. Lines whose comments name the same threat (the
// text before " - ", or the whole comment) make one definition. A bad line
// (no comment, a hash of another length or with other characters, a score
// that is no number from 0 to 100) is left out with its line number.
//
// Danger from the score (also that of YARA rules, yara.h) by the one scale
// of danger.h; a line without a score counts 100 (an exact hash names the
// file itself).
#pragma once

#include <string>
#include <string_view>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

void ImportHashList(const std::string& hostPath, const SourceInfo& info, Result* result);
void ReadHashList(std::string_view text, const std::string& where, const SourceInfo& info,
                  Result* result);

// The lower-case form of a hex MD5, SHA-1 or SHA-256; false for any other.
bool NormalizeDigest(std::string_view hex, std::string* lower);
// DangerOfSourceScore (danger.h).
std::string DangerOfScore(int score);
// Adds a digest unless the definition already holds it.
void AddHash(Definition* definition, const std::string& lower);

}  // namespace tolvane::import
