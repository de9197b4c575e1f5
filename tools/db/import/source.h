// What every reader of a source of threat intelligence shares.
//
// Each reader (sigma.h, ioc_list.h, misp.h) appends to a Result: one
// definition per threat (a Sigma rule, a heading block of a file-name
// indicator list, a MISP event), every indicator it could not express
// exactly in the report with its place in the source. A file that cannot be
// read or parsed, a rule without a detection or with an unknown modifier is
// reported and skipped whole; no reader throws or leaves a definition half
// made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import/mapping.h"
#include "tools/db/import/model.h"

namespace tolvane::import {

// What a definition says of its source beyond the source's own texts.
struct SourceInfo {
    std::string url;      // the rule set: rule paths (Sigma, MISP) or "#L<line>" are appended
    std::string author;   // for sources that name none (a file-name indicator list)
    std::string license;  // the line the source's license asks every definition to carry
};

// Reads a source file as ReadHostFile does (a regular file, at most
// kInputFileLimit bytes); else *reason is what the report says of it:
// "cannot read the file: it is not a plain file".
bool ReadSourceFile(const std::string& hostPath, std::string* content, std::string* reason);

bool ContainsNoCase(std::string_view text, std::string_view word);

// A category from the words a source uses for a threat (a heading, an
// event's title and tags); `fallback` when none of them names one.
std::string CategoryFromWords(std::string_view words, std::string_view fallback);

// Adds the entries of an indicator's path fragments to the definition and
// sets *converted, or, when a fragment has no entry, adds none of them and
// leaves the reason in *why: an indicator is converted whole or not at all.
void AddFragments(const std::vector<PathFragment>& fragments, Definition* definition, Refusal* why,
                  bool* converted);

}  // namespace tolvane::import
