// YARA rule files to definitions: one definition per public rule, tied to
// it by a RULE element; the rules kept go to Result::yaraRules as source,
// which tolvane-db pack compiles into the database's rules member.
//
// A rule is kept only when it compiles with the modules libyara computes
// from the file itself (pe, elf, math, hash, dotnet, macho, dex, time,
// string, console) and the external variables of kYaraExternals
// (definitions/yara_compiler.h), and when
// its license allows shipping it: its `license` meta, else the source's
// --license line. Kept: the Detection Rule License, MIT, BSD, Apache, CC BY
// and the UK Open Government Licence v3 (reuse with attribution, commercial
// use included). Left out with the reason in the report: CC BY-NC, licenses
// whose text we cannot check (Volexity's, CAPE's) and unknown or missing
// ones; a file with an include or a global rule (it would gate every other
// rule); a rule whose identifier an earlier kept rule has.
//
// Each file is compiled alone first, so one bad file does not sink the
// rest; when a file fails, its rules are tried one after another so that
// only the ones that fail are left out, with the compiler's message.
//
// Danger from the `score` meta as for hash lists (hash_list.h); a rule
// without a score counts 75 (Medium), as the IOC scanners count it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/content_indicators.h"
#include "definitions/yara_compiler.h"
#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// Files (*.yar, *.yara) and folders of them, read in sorted order.
void ImportYara(const std::vector<std::filesystem::path>& paths, const SourceInfo& info,
                Result* result);

// "" when a license line allows shipping a rule, else why not.
std::string LicenseRefusal(std::string_view license);

}  // namespace tolvane::import
