// Reading the text of a Wine registry file into a key tree; used by WineHive.
//
// A file is read in one pass over its lines. Key lines, times, classes and
// comments are read at once. The value lines of a block are left on their
// key as text and decoded when the key's values are first asked for, with
// the same rules and the same problems, at the same line numbers, as a block
// read at once; a block where that could take other lines (a comment among
// its values, its last line continued) is read line by line as it comes.
#pragma once

#include <string>
#include <string_view>

#include "platform/wine_hive.h"

namespace tolvane {

inline constexpr FileTime kTicksPerSecond = 10000000;
inline constexpr FileTime kTicks1601To1970 = 116444736000000000ULL;

// Reads source->text (not empty) into the tree under root. The lines before
// the first key go to preamble, the unescaped path of ";; All keys relative
// to" to relativeTo, the blank lines after the last block to trailer.
// Problems go to source->problems; a text that is no Wine registry file
// reads as one problem and an empty tree.
void ReadHiveText(HiveSource* source, HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer);

// Reads the value lines a key was left with (lines of source->text starting
// at the file's line firstLine, counted from 0).
void ReadHiveValueLines(HiveSource* source, HiveKey* key, std::string_view lines, size_t firstLine);

}  // namespace tolvane
